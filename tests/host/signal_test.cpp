// Signal sources write what they promise in each sample type.
#include <gtest/gtest.h>

#include <cstring>

#include "host/asio_host.h"
#include "host/signal_source.h"

namespace {

using namespace ora::host;

// Renders into a buffer with guard bytes behind it.
std::vector<std::uint8_t> RenderWithGuard(SignalSource& s, LONG channel, ASIOSampleType type, std::int64_t first,
                                          LONG frames) {
  const std::size_t bytes = HalfBufferBytes(type, frames);
  std::vector<std::uint8_t> buf(bytes + 4, 0xEE);
  s.Render({channel, type, first, frames, buf.data()});
  for (std::size_t i = bytes; i < buf.size(); ++i) EXPECT_EQ(0xEE, buf[i]) << "guard byte " << i - bytes;
  buf.resize(bytes);
  return buf;
}

TEST(SignalTest, HalfBufferBytesPerType) {
  EXPECT_EQ(512u, HalfBufferBytes(ASIOSTInt16LSB, 256));
  EXPECT_EQ(1024u, HalfBufferBytes(ASIOSTInt32LSB, 256));
  EXPECT_EQ(32u, HalfBufferBytes(ASIOSTDSDInt8LSB1, 256));
  EXPECT_EQ(0u, HalfBufferBytes(ASIOSTDSDInt8LSB1, 255));
  EXPECT_EQ(0u, HalfBufferBytes(ASIOSTFloat32LSB, 256));
  EXPECT_EQ(0u, HalfBufferBytes(ASIOSTInt32LSB, 0));
}

TEST(SignalTest, RampNamesChannelAndFrame) {
  RampSource ramp;
  EXPECT_EQ(0x03000005u, RampSource::Sample32(2, 5));
  EXPECT_EQ(0x01FFFFFFu, RampSource::Sample32(0, 0xFFFFFF));
  EXPECT_EQ(0x01000000u, RampSource::Sample32(0, 0x1000000));  // the frame part wraps
  EXPECT_EQ(0x3005u, RampSource::Sample16(2, 5));
  EXPECT_EQ(0x45u, RampSource::DsdByte(1, 5));
  const auto b32 = RenderWithGuard(ramp, 3, ASIOSTInt32LSB, 1000, 4);
  EXPECT_EQ((std::vector<std::uint8_t>{0xE8, 0x03, 0x00, 0x04, 0xE9, 0x03, 0x00, 0x04, 0xEA, 0x03, 0x00, 0x04, 0xEB,
                                       0x03, 0x00, 0x04}),
            b32);
  const auto b16 = RenderWithGuard(ramp, 0, ASIOSTInt16LSB, 0xFFE, 3);
  EXPECT_EQ((std::vector<std::uint16_t>{0x1FFE, 0x1FFF, 0x1000}), Samples16(b16));
  const auto dsd = RenderWithGuard(ramp, 0, ASIOSTDSDInt8LSB1, 16, 24);
  EXPECT_EQ((std::vector<std::uint8_t>{0x22, 0x23, 0x24}), dsd);
}

TEST(SignalTest, SilenceIsZeroOrTheDsdIdlePattern) {
  SilenceSource silence;
  EXPECT_EQ(std::vector<std::uint8_t>(8, 0), RenderWithGuard(silence, 0, ASIOSTInt32LSB, 0, 2));
  EXPECT_EQ(std::vector<std::uint8_t>(2, 0x96), RenderWithGuard(silence, 0, ASIOSTDSDInt8LSB1, 0, 16));
}

TEST(SignalTest, SineFollowsTheAbsoluteFrame) {
  SineSource sine(12000, 48000, 0.5);  // a quarter turn per frame
  const auto s = Samples32(RenderWithGuard(sine, 0, ASIOSTInt32LSB, 1, 4));
  EXPECT_EQ((std::vector<std::uint32_t>{0x40000000u, 0u, 0xC0000000u, 0u}), s);
  const auto s16 = Samples16(RenderWithGuard(sine, 5, ASIOSTInt16LSB, 0, 2));
  EXPECT_EQ((std::vector<std::uint16_t>{0, 16384}), s16);
}

TEST(SignalTest, InterleavedPlaysItsChannelsThenLoopsOrFallsSilent) {
  // Three frames of two 16-bit channels.
  std::vector<std::uint8_t> data = {0x01, 0x00, 0x11, 0x00, 0x02, 0x00, 0x12, 0x00, 0x03, 0x00, 0x13, 0x00};
  InterleavedSource looped(ASIOSTInt16LSB, 2, data, true);
  InterleavedSource once(ASIOSTInt16LSB, 2, data, false);
  EXPECT_EQ(3, looped.frames());
  EXPECT_EQ((std::vector<std::uint16_t>{0x12, 0x13, 0x11, 0x12}),
            Samples16(RenderWithGuard(looped, 1, ASIOSTInt16LSB, 1, 4)));
  EXPECT_EQ((std::vector<std::uint16_t>{0x02, 0x03, 0, 0}), Samples16(RenderWithGuard(once, 0, ASIOSTInt16LSB, 1, 4)));
  // Channel 2 of the host plays source channel 0; 16-bit data widens into 32-bit buffers.
  EXPECT_EQ((std::vector<std::uint32_t>{0x00010000u}), Samples32(RenderWithGuard(looped, 2, ASIOSTInt32LSB, 0, 1)));
  // PCM never plays into DSD buffers.
  EXPECT_EQ(std::vector<std::uint8_t>(1, 0x96), RenderWithGuard(looped, 0, ASIOSTDSDInt8LSB1, 0, 8));
  // DSD data: one byte per channel per 8 frames.
  InterleavedSource dsd(ASIOSTDSDInt8LSB1, 2, {0xA1, 0xB1, 0xA2, 0xB2}, false);
  EXPECT_EQ(16, dsd.frames());
  EXPECT_EQ((std::vector<std::uint8_t>{0xB1, 0xB2, 0x96}), RenderWithGuard(dsd, 1, ASIOSTDSDInt8LSB1, 0, 24));
}

}  // namespace
