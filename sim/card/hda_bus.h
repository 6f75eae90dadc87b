// The HD Audio bus driver of the simulated card, as tests and the machine see
// it. Its devices:
//   - the controller's FDO, over a root-enumerated controller PDO; when it
//     starts it reports the card's codec as a child PDO whose instance id and
//     hardware ids come from the profile's device part;
//   - the codec's PDO, which answers IRP_MN_QUERY_INTERFACE for
//     GUID_HDAUDIO_BUS_INTERFACE and GUID_HDAUDIO_BUS_INTERFACE_V2.
//
// The interface it hands out:
//   - Version must be ORA_HDAUDIO_INTERFACE_VERSION (else STATUS_NOT_SUPPORTED)
//     and Size at least the record's size (else STATUS_BUFFER_TOO_SMALL); a
//     null Interface is STATUS_INVALID_PARAMETER. Exactly the record's bytes are
//     written, and the interface is referenced once before it is returned.
//   - TransferCodecVerbs runs the list synchronously against the card's codec
//     and sets each Input (IsValid as the codec answered); with a callback it
//     calls it before returning. A refused transfer (profile fault, or a codec
//     that is gone) leaves every Input zero and returns the failure.
//   - GetResourceInformation reports the codec's address and the node of its
//     first function group; null pointers are skipped.
//   - The DMA-engine and event entries answer STATUS_NOT_SUPPORTED: the card's
//     streaming runs in its function driver.
//
// Transfer fault numbering: TransferCodecVerbs calls are numbered from 0; call
// k fails when fail_every is not 0, k >= from and (k - from + 1) is a multiple
// of fail_every.
#pragma once

#include <cstdint>

#include "platform/hdaudio.h"
#include "platform/wdm.h"

namespace sim::card::hdabus {

// The codec's PDO while the bus reports it, or null.
PDEVICE_OBJECT CodecPdo();

struct Counters {
  uint32_t queries_v1 = 0;  // answered IRP_MN_QUERY_INTERFACE requests, per version
  uint32_t queries_v2 = 0;
  uint32_t refused = 0;  // interface requests refused (fault, version, size)
  uint32_t references = 0;
  uint32_t dereferences = 0;
  uint32_t transfers = 0;  // TransferCodecVerbs calls, failed ones included
  uint32_t failed_transfers = 0;
};
Counters GetCounters();

// Where GetResourceInformation places the codec.
ORA_HDAUDIO_CODEC_LOCATION CodecLocation();

// The codec left the link: its transfers fail from now on, and the PDO is
// deleted at its next IRP_MN_REMOVE_DEVICE (a present codec's PDO survives a
// remove, as the bus still reports it).
void ReportCodecGone();

// Forgets every record of a previous machine (the kernel was reset under it).
void Reset();

}  // namespace sim::card::hdabus
