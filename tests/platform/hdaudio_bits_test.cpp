// The HD Audio command and response words are bit fields; their bit positions
// are what the codec sees, and static_assert cannot look inside them.
#include <gtest/gtest.h>

#include "platform/hdaudio.h"

namespace {

TEST(HdAudioCodecCommand, Verb8FieldsSitAtTheirBits) {
  HDAUDIO_CODEC_COMMAND command{};
  command.Verb8.CodecAddress = 0x1;
  command.Verb8.Node = 0x1A;
  command.Verb8.VerbId = 0x707;
  command.Verb8.Data = 0x22;
  EXPECT_EQ(0x11A70722u, command.Command);
}

TEST(HdAudioCodecCommand, Verb16FieldsSitAtTheirBits) {
  HDAUDIO_CODEC_COMMAND command{};
  command.Command = 0x22041860;
  EXPECT_EQ(0x2u, command.Verb16.CodecAddress);
  EXPECT_EQ(0x20u, command.Verb16.Node);
  EXPECT_EQ(0x4u, command.Verb16.VerbId);
  EXPECT_EQ(0x1860u, command.Verb16.Data);
}

TEST(HdAudioCodecResponse, FlagsSitAboveTheResponse) {
  HDAUDIO_CODEC_RESPONSE response{};
  response.CompleteResponse = 0xC000001310EC1220ull;
  EXPECT_EQ(0x10EC1220u, response.Response);
  EXPECT_EQ(0x3u, response.SDataIn);
  EXPECT_EQ(1u, response.IsUnsolicitedResponse);
  EXPECT_EQ(1u, response.HasFifoOverrun);
  EXPECT_EQ(1u, response.IsValid);

  response.CompleteResponse = 0xFC200001ull;
  EXPECT_EQ(0x3Fu, response.Unsolicited.Tag);
  EXPECT_EQ(0x1u, response.Unsolicited.SubTag);
  EXPECT_EQ(0x1u, response.Unsolicited.Response);
  EXPECT_EQ(0u, response.IsValid);
}

TEST(HdAudioConverterFormat, FieldsSitAtTheirBits) {
  HDAUDIO_CONVERTER_FORMAT format{};
  format.NumberOfChannels = 1;
  format.BitsPerSample = 4;
  format.SampleRate = 0x7F;
  format.StreamType = 1;
  EXPECT_EQ(0xFF41u, format.ConverterFormat);
}

}  // namespace
