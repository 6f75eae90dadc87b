// Feeds arbitrary bytes as device answers through the KS client's parsers:
// data ranges, identifier lists, topology connections with both walks, and
// physical connections. The first byte picks nothing; every path runs on
// every input, each over an exact-size copy so the sanitizer sees any byte
// read past the answer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "ks/ks_parse.h"
#include "ks/wave_format.h"

namespace {

struct Counter {
  ULONG kept = 0;
  ULONG channels = 0;
};

bool Keep(void* ctx, const KSDATARANGE_AUDIO& range) {
  auto* counter = static_cast<Counter*>(ctx);
  ++counter->kept;
  WAVEFORMATEXTENSIBLE wfx;
  MakeWaveFormatExtensible(&wfx, 2, 48000, 24);
  if (KsRangeSupportsFormat(range, &wfx.Format) || KsRangeContainsFormat(range, &wfx)) counter->channels++;
  return (counter->kept & 7) != 0;  // refuse some, as an allocation failure would
}

bool IsLine(void*, ULONG pin) { return (pin & 1) != 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  const ULONG cb = static_cast<ULONG>(size);
  // Answers arrive in heap buffers of exactly the size the device gave.
  std::unique_ptr<uint8_t[]> answer(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(answer.get(), data, size);

  Counter counter;
  KsScanDataRanges(answer.get(), cb, Keep, &counter);

  KsItemView view;
  if (KsParseMultipleItem(answer.get(), cb, sizeof(KSIDENTIFIER), &view))
    KsHasIdentifier(view, KSINTERFACESETID_Standard, 0, 1);

  CKsList<KSTOPOLOGY_CONNECTION> connections(true);
  if (SUCCEEDED(KsCopyTopologyConnections(answer.get(), cb, &connections))) {
    for (ULONG pin = 0; pin < 4; ++pin) {
      KsFindBridgePinDownstream(connections, KSFILTER_NODE, pin);
      ULONG lineIn = 0;
      KsFindBridgePinUpstream(connections, KSFILTER_NODE, pin, IsLine, nullptr, &lineIn);
    }
  }

  ULONG pin = 0, cchLink = 0;
  if (KsParsePhysicalConnection(answer.get(), cb, &pin, &cchLink) && 8 + (cchLink + 1) * 2 > cb) __builtin_trap();

  // A device path from the same bytes, zero-terminated.
  std::unique_ptr<char[]> path(new char[size + 1]);
  std::memcpy(path.get(), data, size);
  path[size] = '\0';
  char field[MAX_PATH];
  if (KsCopyDevicePath(field, path.get())) {
    KsParseDevicePathId(field, "VEN_", "VID_");
    KsParseDevicePathId(field, "DEV_", "PID_");
  }
  return 0;
}
