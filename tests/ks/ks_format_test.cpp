// Wave formats, the pin-creation block byte for byte, and the range tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "ks/ks_parse.h"
#include "ks/wave_format.h"
#include "tests/ks/ks_bytes.h"

namespace {

TEST(MakeWaveFormatExtensible, FieldsFollowChannelsRateAndBits) {
  struct Case {
    WORD channels;
    DWORD rate;
    WORD valid;
    WORD container;
    WORD blockAlign;
    DWORD mask;
  };
  const Case cases[] = {
      {2, 48000, 24, 32, 8, 0x3},   {2, 48000, 16, 16, 4, 0x3},   {1, 44100, 16, 16, 2, 0x4},
      {4, 96000, 32, 32, 16, 0x33}, {6, 48000, 24, 32, 24, 0x3F}, {8, 48000, 24, 32, 32, 0x63F},
      {3, 48000, 24, 32, 12, 0x3},  {10, 48000, 16, 16, 20, 0x3}, {2, 192000, 17, 32, 8, 0x3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.valid << " bits");
    WAVEFORMATEXTENSIBLE wfx;
    std::memset(&wfx, 0xCD, sizeof(wfx));
    EXPECT_EQ(&wfx, MakeWaveFormatExtensible(&wfx, c.channels, c.rate, c.valid));
    EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, wfx.Format.wFormatTag);
    EXPECT_EQ(c.channels, wfx.Format.nChannels);
    EXPECT_EQ(c.rate, wfx.Format.nSamplesPerSec);
    EXPECT_EQ(c.container, wfx.Format.wBitsPerSample);
    EXPECT_EQ(c.blockAlign, wfx.Format.nBlockAlign);
    EXPECT_EQ(c.blockAlign * c.rate, wfx.Format.nAvgBytesPerSec);
    EXPECT_EQ(22, wfx.Format.cbSize);
    EXPECT_EQ(c.valid, wfx.Samples.wValidBitsPerSample);
    EXPECT_EQ(c.mask, wfx.dwChannelMask);
    EXPECT_TRUE(wfx.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
  }
  WAVEFORMATEXTENSIBLE wfx;
  MakeWaveFormatExtensible(&wfx, 2, 48000, 24);
  EXPECT_EQ(384000u, wfx.Format.nAvgBytesPerSec);
}

void PutGuid(Bytes& b, const GUID& g) { b.Put(g); }

TEST(KsPinCreate, InitialBlockByteForByte) {
  Bytes expected;
  PutGuid(expected, KSINTERFACESETID_Standard);
  expected.Put(ULONG{0}).Put(ULONG{0});  // Id streaming, Flags
  PutGuid(expected, KSMEDIUMSETID_Standard);
  expected.Put(ULONG{0}).Put(ULONG{0});  // Id any instance, Flags
  expected.Put(ULONG{7}).Zeros(4);       // PinId, padding
  expected.Zeros(8);                     // PinToHandle
  expected.Put(ULONG{0x40000000}).Put(ULONG{1});
  expected.Put(ULONG{82}).Put(ULONG{0}).Put(ULONG{0}).Put(ULONG{0});
  PutGuid(expected, KSDATAFORMAT_TYPE_AUDIO);
  PutGuid(expected, KSDATAFORMAT_SUBTYPE_PCM);
  PutGuid(expected, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
  expected.Zeros(18);
  ASSERT_EQ(154u, expected.size());

  BYTE block[160];
  std::memset(block, 0xEE, sizeof(block));
  KsInitPinCreate(block, 7);
  EXPECT_EQ(0, std::memcmp(expected.data(), block, 154));
  EXPECT_EQ(0xEE, block[154]);  // guard byte past the block
}

ULONG At32(const BYTE* p, size_t offset) {
  ULONG v;
  std::memcpy(&v, p + offset, 4);
  return v;
}

TEST(KsPinCreate, FormatGrowsAndShrinksTheBlock) {
  ULONG cb = KS_PIN_CREATE_INITIAL;
  BYTE* block = static_cast<BYTE*>(std::malloc(cb));
  KsInitPinCreate(block, 3);

  WAVEFORMATEXTENSIBLE wfx;
  MakeWaveFormatExtensible(&wfx, 2, 48000, 24);
  ASSERT_EQ(S_OK, KsSetPinCreateFormat(&block, &cb, &wfx.Format));
  EXPECT_EQ(176u, cb);
  EXPECT_EQ(104u, At32(block, 72));
  EXPECT_EQ(8u, At32(block, 80));
  EXPECT_EQ(3u, At32(block, 48));  // the head survives the move
  EXPECT_EQ(0, std::memcmp(block + 136, &wfx, 40));

  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0x5555};  // cbSize ignored for PCM
  ASSERT_EQ(S_OK, KsSetPinCreateFormat(&block, &cb, &pcm));
  EXPECT_EQ(154u, cb);
  EXPECT_EQ(82u, At32(block, 72));
  EXPECT_EQ(4u, At32(block, 80));
  EXPECT_EQ(0, std::memcmp(block + 136, &pcm, 18));

  // SampleSize is cut to 16 bits.
  WAVEFORMATEX wide{WAVE_FORMAT_PCM, 0xFFFF, 48000, 0, 0, 32, 0};
  ASSERT_EQ(S_OK, KsSetPinCreateFormat(&block, &cb, &wide));
  EXPECT_EQ(static_cast<ULONG>(static_cast<WORD>(0xFFFF * 4)), At32(block, 80));
  std::free(block);
}

TEST(KsRangeTests, SupportsFormatChecksEverything) {
  KSDATARANGE_AUDIO range = AudioRange(2, 16, 24, 44100, 192000);
  WAVEFORMATEXTENSIBLE wfx;
  EXPECT_TRUE(KsRangeSupportsFormat(range, &MakeWaveFormatExtensible(&wfx, 2, 96000, 24)->Format));
  EXPECT_FALSE(KsRangeSupportsFormat(range, &MakeWaveFormatExtensible(&wfx, 4, 96000, 24)->Format));
  EXPECT_FALSE(KsRangeSupportsFormat(range, &MakeWaveFormatExtensible(&wfx, 2, 96000, 32)->Format));
  EXPECT_FALSE(KsRangeSupportsFormat(range, &MakeWaveFormatExtensible(&wfx, 2, 32000, 16)->Format));
  EXPECT_TRUE(KsRangeSupportsFormat(range, &MakeWaveFormatExtensible(&wfx, 1, 192000, 16)->Format));

  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  EXPECT_TRUE(KsRangeSupportsFormat(range, &pcm));
  WAVEFORMATEX floatFormat{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 24, 0};
  EXPECT_FALSE(KsRangeSupportsFormat(range, &floatFormat));

  // An extensible tag without room for its extension fits nothing.
  MakeWaveFormatExtensible(&wfx, 2, 48000, 16);
  wfx.Format.cbSize = 0;
  EXPECT_FALSE(KsRangeSupportsFormat(range, &wfx.Format));
}

TEST(KsRangeTests, NullGuidsMatchAnyWaveFormat) {
  KSDATARANGE_AUDIO range = AudioRange(8, 8, 32, 8000, 384000, KSDATAFORMAT_SUBTYPE_WILDCARD,
                                       KSDATAFORMAT_TYPE_WILDCARD, KSDATAFORMAT_SPECIFIER_WILDCARD);
  WAVEFORMATEX floatFormat{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0};
  EXPECT_TRUE(KsRangeSupportsFormat(range, &floatFormat));
  WAVEFORMATEXTENSIBLE wfx;
  EXPECT_TRUE(KsRangeContainsFormat(range, MakeWaveFormatExtensible(&wfx, 2, 48000, 24)));

  KSDATARANGE_AUDIO dsound = AudioRange(8, 8, 32, 8000, 384000, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_TYPE_AUDIO,
                                        KSDATAFORMAT_SPECIFIER_DSOUND);
  EXPECT_FALSE(KsRangeSupportsFormat(dsound, &floatFormat));
  EXPECT_FALSE(KsRangeContainsFormat(dsound, &wfx));
  EXPECT_FALSE(KsRangeHeaderMatches(dsound));
}

TEST(KsRangeTests, InRangeIgnoresChannels) {
  KSDATARANGE_AUDIO range = AudioRange(2, 16, 24, 44100, 192000);
  WAVEFORMATEXTENSIBLE wfx;
  EXPECT_TRUE(KsRangeContainsFormat(range, MakeWaveFormatExtensible(&wfx, 8, 96000, 24)));
  EXPECT_FALSE(KsRangeContainsFormat(range, MakeWaveFormatExtensible(&wfx, 2, 96000, 32)));
  EXPECT_TRUE(KsRangeContainsFormat(range, MakeWaveFormatExtensible(&wfx, 2, 44100, 16)));
  EXPECT_FALSE(KsRangeContainsFormat(range, MakeWaveFormatExtensible(&wfx, 2, 44099, 16)));
  EXPECT_TRUE(KsRangeContainsRate(range, 192000));
  EXPECT_FALSE(KsRangeContainsRate(range, 192001));

  KSDATARANGE_AUDIO floatRange = AudioRange(2, 16, 32, 44100, 192000, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  EXPECT_FALSE(KsRangeIsPcmRange(floatRange));
  EXPECT_FALSE(KsRangeContainsFormat(floatRange, MakeWaveFormatExtensible(&wfx, 2, 48000, 24)));
  EXPECT_TRUE(KsRangeIsPcmRange(AudioRange(2, 16, 16, 1, 1, KSDATAFORMAT_SUBTYPE_WAVEFORMATEX)));
}

TEST(KsRangeTests, WaveOrWildcardSubFormat) {
  GUID tagged = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
  tagged.Data1 = 0x1234;
  EXPECT_TRUE(KsIsWaveOrWildcardSubFormat(tagged));
  EXPECT_TRUE(KsIsWaveOrWildcardSubFormat(KSDATAFORMAT_SUBTYPE_WILDCARD));
  EXPECT_TRUE(KsIsWaveOrWildcardSubFormat(KSDATAFORMAT_SUBTYPE_PCM));
  GUID high = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
  high.Data1 = 0x00010001;  // beyond the two bytes of a tag
  EXPECT_FALSE(KsIsWaveOrWildcardSubFormat(high));
  GUID other = KSDATAFORMAT_SUBTYPE_PCM;
  other.Data4[7] = 0;
  EXPECT_FALSE(KsIsWaveOrWildcardSubFormat(other));
}

TEST(KsChannels, StreamsCarryAtMostEight) { EXPECT_EQ(8u, KS_MAX_STREAM_CHANNELS); }

}  // namespace
