// Run in the Windows cross build (under Wine here): every GUID of our own seam
// must equal the SDK's definition, as the seam's Windows headers present it
// (they correct one wrong value of MinGW-w64's libksguid). Also holds the HD Audio bit fields under the
// Windows compiler's packing, which static_assert cannot see through.
// Exits non-zero on any difference.
// The SDK headers depend on their order.
// clang-format off
#include <initguid.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
// clang-format on

#include <cstdio>
#include <cstring>

#include "platform/com.h"
#include "platform/hdaudio.h"
#include "platform/ks.h"

namespace {

struct GuidRow {
  const char* name;
  GUID ours;
  const GUID* sdk;
};

// The SDK's object is taken by address, so a name the SDK lacks fails to build.
#define ORA_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  {#name, {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}, &name},
const GuidRow kRows[] = {
#include "platform/values/com_guids.def"
#include "platform/values/ks_guids.def"
};
#undef ORA_GUID

void Print(const char* what, const GUID& g) {
  std::printf("  %s {%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\n", what, static_cast<unsigned long>(g.Data1),
              g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
              g.Data4[7]);
}

int CheckGuids() {
  int failures = 0;
  for (const GuidRow& row : kRows) {
    if (std::memcmp(&row.ours, row.sdk, sizeof(GUID)) == 0) continue;
    std::printf("GUID differs from the SDK: %s\n", row.name);
    Print("ours", row.ours);
    Print("SDK ", *row.sdk);
    ++failures;
  }
  return failures;
}

int Expect(const char* what, unsigned long long expected, unsigned long long actual) {
  if (expected == actual) return 0;
  std::printf("HD Audio layout differs: %s: expected 0x%llX, got 0x%llX\n", what, expected, actual);
  return 1;
}

int CheckHdAudioBits() {
  int failures = 0;
  HDAUDIO_CODEC_COMMAND command{};
  command.Verb8.CodecAddress = 0x1;
  command.Verb8.Node = 0x1A;
  command.Verb8.VerbId = 0x707;
  command.Verb8.Data = 0x22;
  failures += Expect("Verb8", 0x11A70722, command.Command);
  command.Command = 0;
  command.Verb16.CodecAddress = 0x2;
  command.Verb16.Node = 0x20;
  command.Verb16.VerbId = 0x4;
  command.Verb16.Data = 0x1860;
  failures += Expect("Verb16", 0x22041860, command.Command);

  HDAUDIO_CODEC_RESPONSE response{};
  response.Response = 0x10EC1220;
  response.SDataIn = 0x3;
  response.IsUnsolicitedResponse = 1;
  response.HasFifoOverrun = 1;
  response.IsValid = 1;
  failures += Expect("response", 0xC0000013'10EC1220ull, response.CompleteResponse);
  response.CompleteResponse = 0;
  response.Unsolicited.Tag = 0x3F;
  response.Unsolicited.SubTag = 0x1;
  response.Unsolicited.Response = 0x1;
  failures += Expect("unsolicited", 0xFC200001ull, response.CompleteResponse);

  HDAUDIO_CONVERTER_FORMAT format{};
  format.NumberOfChannels = 1;
  format.BitsPerSample = 4;
  format.SampleRate = 0x7F;
  format.StreamType = 1;
  failures += Expect("converter format", 0xFF41, format.ConverterFormat);
  return failures;
}

}  // namespace

int main() {
  const int failures = CheckGuids() + CheckHdAudioBits();
  std::printf("guid_check: %u GUIDs, %d difference(s)\n", static_cast<unsigned>(sizeof(kRows) / sizeof(kRows[0])),
              failures);
  return failures == 0 ? 0 : 1;
}
