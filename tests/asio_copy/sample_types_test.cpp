#include "asio/sample_types.h"

#include <gtest/gtest.h>

namespace {

struct SampleTypeCase {
  ULONG bitDepth;
  ASIOSampleType type;
  ULONG containerBits;
  ULONG validBits;
};

TEST(SampleTypes, BitDepthGivesTypeContainerAndValidBits) {
  const SampleTypeCase cases[] = {
      {16, ASIOSTInt16LSB, 16, 16},
      {24, ASIOSTInt32LSB, 32, 24},
      {32, ASIOSTInt32LSB, 32, 32},
      // Depths outside the table, as a stored "BitDepth" may give them.
      {8, ASIOSTInt16LSB, 16, 8},
      {0, ASIOSTInt16LSB, 16, 0},
      // A 32-bit container carries 32-bit host samples, so the host is told so.
      {20, ASIOSTInt32LSB, 32, 20},
      {17, ASIOSTInt32LSB, 32, 17},
  };
  for (const SampleTypeCase& c : cases) {
    SCOPED_TRACE(c.bitDepth);
    const AsioSampleFormat f = SampleFormatForBitDepth(c.bitDepth);
    EXPECT_EQ(c.bitDepth, f.bitDepth);
    EXPECT_EQ(c.type, f.sampleType);
    EXPECT_EQ(c.containerBits, f.containerBits);
    EXPECT_EQ(c.validBits, f.validBits);
  }
}

TEST(SampleTypes, PublishedTypeValues) {
  EXPECT_EQ(16, ASIOSTInt16LSB);
  EXPECT_EQ(18, ASIOSTInt32LSB);
  EXPECT_EQ(32, ASIOSTDSDInt8LSB1);
}

}  // namespace
