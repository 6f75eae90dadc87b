// Pure functions over the device's answers: every byte a filter or pin sends
// back is input, so each answer is checked against the bytes that hold it
// before an item of it is used. Nothing here talks to a device.
#pragma once

#include "ks/ks_list.h"
#include "platform/ks.h"

// A KSMULTIPLE_ITEM answer whose header has been checked against its bytes.
struct KsItemView {
  ULONG ulCount;       // items that lie wholly inside the answer
  const BYTE* pItems;  // first byte after the header
  ULONG cbItems;       // bytes after the header, up to the answer's Size
};

// Checks the header of a KSMULTIPLE_ITEM answer of cb bytes: the header fits,
// 8 <= Size <= cb, and Count items of at least cbMinItem bytes fit in Size.
// False (an empty view) for anything else, so no item of it is used.
bool KsParseMultipleItem(const void* pAnswer, ULONG cb, ULONG cbMinItem, KsItemView* pView);

// True when one KSIDENTIFIER of the view has the set and one of the two ids.
bool KsHasIdentifier(const KsItemView& view, const GUID& set, ULONG ulId0, ULONG ulId1);

// The smallest data range that can be examined, and the size kept of audio ranges.
inline constexpr ULONG KS_MIN_DATARANGE = sizeof(KSDATARANGE);
inline constexpr ULONG KS_AUDIO_DATARANGE = sizeof(KSDATARANGE_AUDIO);

// Receives each audio range that a scan keeps; returns false when it could
// not keep it (out of memory), which the scan reports and goes on.
typedef bool (*KsRangeSink)(void* pContext, const KSDATARANGE_AUDIO& range);

struct KsRangeScan {
  bool fAnyPassed;   // some range passed the sub-format test
  bool fSinkFailed;  // the sink refused a range
  bool fMalformed;   // the walk stopped at a range that does not fit the answer
  ULONG ulKept;      // ranges handed to the sink
};

// Walks the data ranges of a KSPROPERTY_PIN_DATARANGES answer of cb bytes.
// Each range starts where the previous one started plus its FormatSize. A
// range whose FormatSize is below 64 (0 would never advance) or that runs
// past the answer ends the walk there; an audio range shorter than 88 bytes
// is examined but not kept.
KsRangeScan KsScanDataRanges(const void* pAnswer, ULONG cb, KsRangeSink pfnSink, void* pContext);

// The sub-format test of the scan: a wave-format GUID (any tag) or the wildcard.
bool KsIsWaveOrWildcardSubFormat(const GUID& subFormat);

// Copies the Count connections of a KSPROPERTY_TOPOLOGY_CONNECTIONS answer to
// the tail of the list. E_FAIL (list emptied) when the header does not fit
// the answer or an entry cannot be kept.
HRESULT KsCopyTopologyConnections(const void* pAnswer, ULONG cb, CKsList<KSTOPOLOGY_CONNECTION>* pList);

// KSPIN_PHYSICALCONNECTION: Pin and the length in characters of the link
// name at offset 8. False when the answer is shorter than its header plus one
// character or the name has no terminating zero inside the answer.
bool KsParsePhysicalConnection(const void* pAnswer, ULONG cb, ULONG* pulPin, ULONG* pcchLink);

// Copies a device path into the 260-character field, upper-cased in place.
// False for a path that does not fit with its terminating zero; the field
// then stays zero-filled, since a cut path would name another device.
bool KsCopyDevicePath(char (&szField)[MAX_PATH], const char* pszPath);

// The hexadecimal number four characters after the first marker found (the
// first marker, else the second) in a zero-terminated path; 0 without one.
ULONG KsParseDevicePathId(const char* pszPath, const char* pszMarker, const char* pszAltMarker);

// Topology walks over the connection list. Each step follows one
// connection, so a walk longer than the list has gone round a cycle; such a
// walk finds no bridge pin (-1). The upstream walk also stops after
// KS_WALK_BUDGET examined connections, so a dense graph cannot run away.
inline constexpr ULONG KS_WALK_BUDGET = 65536;

LONG KsFindBridgePinDownstream(const CKsList<KSTOPOLOGY_CONNECTION>& connections, ULONG ulNode, ULONG ulPin);

// Answers whether a filter pin's category is KSNODETYPE_LINE_CONNECTOR (a
// failed read is no).
typedef bool (*KsIsLineConnectorPin)(void* pContext, ULONG ulPin);

LONG KsFindBridgePinUpstream(const CKsList<KSTOPOLOGY_CONNECTION>& connections, ULONG ulNode, ULONG ulPin,
                             KsIsLineConnectorPin pfnIsLine, void* pContext, ULONG* pfLineIn);
