#include "sim/card/codec.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/hda_codec.h"
#include "profiles.h"

namespace {

using sim::card::AmpChannel;
using sim::card::AmpDirection;
using sim::card::AmpState;
using sim::card::Codec;
using sim::card::VerbLogEntry;
using sim::card::VerbResult;

constexpr VerbResult Valid(uint32_t response) { return {response, true}; }

struct Answer {
  const char* what;
  uint32_t command;
  VerbResult r1220;
  VerbResult r0899;
  VerbResult rUnknown;
};

// One command, three codecs: what the filter's identification and the other
// readers see.
const Answer kAnswers[] = {
    {"root vendor id", 0x000F0000, Valid(0x10EC1220), Valid(0x10EC0899), Valid(0x1AF00042)},
    {"root revision id", 0x000F0002, Valid(0x00100101), Valid(0x00100101), Valid(0x00100101)},
    {"root subordinate nodes: one group at 0x01", 0x000F0004, Valid(0x00010001), Valid(0x00010001), Valid(0x00010001)},
    {"group type: audio, unsolicited capable", 0x001F0005, Valid(0x101), Valid(0x101), Valid(0x101)},
    {"group subordinate nodes: widgets 0x02-0x23", 0x001F0004, Valid(0x00020022), Valid(0x00020022), Valid(0x00020022)},
    {"subsystem id", 0x001F2000, Valid(0x1458A0C3), Valid(0x1458A002), Valid(0x1AF00001)},
    {"subsystem id asked of the root", 0x000F2000, Valid(0), Valid(0), Valid(0)},
    {"group type asked of a widget", 0x002F0005, Valid(0), Valid(0), Valid(0)},
    {"widget caps of an ADC", 0x008F0009, Valid(0x0010010B), Valid(0x0010010B), Valid(0x0010010B)},
    {"widget caps of the processing widget", 0x020F0009, Valid(0x00F00040), Valid(0x00F00040), Valid(0x00F00040)},
    {"input amp caps of the ADC", 0x008F000D, Valid(0x80053F17), Valid(0x80053F17), Valid(0x80053F17)},
    {"output amp caps of an ADC without one", 0x008F0012, Valid(0), Valid(0), Valid(0)},
    {"pin caps of the line out", 0x014F000C, Valid(0x00010014), Valid(0x00010014), Valid(0x00010014)},
    {"pin caps of the microphone with VRef", 0x018F000C, Valid(0x00003724), Valid(0x00003724), Valid(0x00003724)},
    {"pin widget control at reset", 0x014F0700, Valid(0x40), Valid(0x40), Valid(0x40)},
    {"config default of the headphone pin", 0x021F1C00, Valid(0x0221401F), Valid(0x0221401F), Valid(0x0221401F)},
    {"connection list length", 0x022F000E, Valid(2), Valid(2), Valid(2)},
    {"connection list entries", 0x022F0200, Valid(0x1A18), Valid(0x1A18), Valid(0x1A18)},
    {"coefficient at its reset value", 0x020C0000, Valid(0), Valid(0), Valid(0)},
    {"node that does not exist", 0x030F0000, Valid(0), Valid(0), Valid(0)},
    {"unknown verb on the root", 0x000FA000, Valid(0), Valid(0), Valid(0)},
    {"pin widget control of a non-pin", 0x002F0700, Valid(0), Valid(0), Valid(0)},
    {"another codec address: no response", 0x100F0000, VerbResult{0, false}, VerbResult{0, false},
     VerbResult{0, false}},
    {"the highest address: no response", 0xF00F0000, VerbResult{0, false}, VerbResult{0, false}, VerbResult{0, false}},
};

TEST(CodecTest, AnswersEachCodecProfile) {
  Codec c1220(card_test::Shipped("default").codec);
  Codec c0899(card_test::Shipped("codec_0899").codec);
  Codec unknown(card_test::Shipped("unanswered").codec);
  for (const Answer& a : kAnswers) {
    SCOPED_TRACE(a.what);
    EXPECT_EQ(a.r1220, c1220.Execute(a.command));
    EXPECT_EQ(a.r0899, c0899.Execute(a.command));
    EXPECT_EQ(a.rUnknown, unknown.Execute(a.command));
  }
}

struct Sequence {
  const char* what;
  std::vector<std::pair<uint32_t, uint32_t>> steps;  // command, expected response
};

// State-changing verbs on the default codec, each run on a fresh codec.
const Sequence kSequences[] = {
    {"first-create amplifier verb sets node 0x08's input gain",
     {{0x00837027, 0}, {0x008B2000, 0x27}, {0x008B0000, 0x27}, {0x008BA000, 0}}},
    {"mute and unmute node 0x0D as the DSD programming does",
     {{0x00D37080, 0}, {0x00DB2000, 0x80}, {0x00DB0000, 0x80}, {0x00D37000, 0}, {0x00DB2000, 0x00}}},
    {"left only leaves the right channel",
     {{0x00D36005, 0}, {0x00DB0000, 0x00}, {0x00DB2000, 0x05}, {0x00D35009, 0}, {0x00DB0000, 0x09}}},
    {"mute on an amplifier that cannot mute keeps the gain only", {{0x01837082, 0}, {0x018B2000, 0x02}}},
    {"input amplifier index beyond the inputs changes nothing", {{0x02237305, 0}, {0x022B2003, 0}}},
    {"mixer input amplifier index 1", {{0x02237105, 0}, {0x022B2001, 0x05}, {0x022B2000, 0x00}}},
    {"amplifier verb on a widget without amplifiers", {{0x0063B01F, 0}, {0x006BA000, 0}}},
    {"pin widget control set and get", {{0x01A70722, 0}, {0x01AF0700, 0x22}}},
    {"pin widget control on a non-pin is ignored", {{0x00270740, 0}, {0x002F0700, 0}}},
    {"coefficient read auto-increments the index",
     {{0x02050043, 0}, {0x020C0000, 0x3005}, {0x020C0000, 0xFA00}, {0x020D0000, 0x45}}},
    {"coefficient write auto-increments; reading back needs the index again",
     {{0x02050043, 0},
      {0x02047C05, 0},
      {0x020D0000, 0x44},
      {0x020C0000, 0xFA00},
      {0x02050043, 0},
      {0x020C0000, 0x7C05}}},
    {"coefficients beyond the register file read 0 and ignore writes",
     {{0x02050090, 0}, {0x02041234, 0}, {0x02050090, 0}, {0x020C0000, 0}, {0x020D0000, 0x91}}},
    {"coefficient index wraps at 16 bits", {{0x0205FFFF, 0}, {0x020C0000, 0}, {0x020D0000, 0}}},
    {"coefficient verbs on a widget without registers", {{0x00250015, 0}, {0x002D0000, 0}}},
    {"subsystem id is written a byte at a time", {{0x001F2000, 0x1458A0C3}, {0x00172078, 0}, {0x001F2000, 0x1458A078}}},
    {"power state reports actual and setting",
     {{0x00170503, 0}, {0x001F0500, 0x33}, {0x00270502, 0}, {0x002F0500, 0x22}}},
    {"connection select of a mixer is not a selector", {{0x02270101, 0}, {0x022F0100, 0}}},
    {"function reset restores the widgets",
     {{0x01470700, 0},
      {0x02050015, 0},
      {0x02041860, 0},
      {0x00D37080, 0},
      {0x0017FF00, 0},
      {0x014F0700, 0x40},
      {0x02050015, 0},
      {0x020C0000, 0x0660},
      {0x00DB2000, 0x00}}},
};

TEST(CodecTest, ExecutesSequences) {
  const sim::card::Profile profile = card_test::Shipped("default");
  for (const Sequence& s : kSequences) {
    SCOPED_TRACE(s.what);
    Codec codec(profile.codec);
    for (size_t i = 0; i < s.steps.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "step " << i << ", command 0x" << std::hex << s.steps[i].first);
      EXPECT_EQ(Valid(s.steps[i].second), codec.Execute(s.steps[i].first));
    }
  }
}

TEST(CodecTest, DsdCoefficientProgrammingReadsBackEachValue) {
  struct Row {
    uint16_t index, value;
  };
  // Mode 2 as the filter programs it: index, value, index, read back, amplifier.
  const Row kMode2[] = {{0x15, 0x1860}, {0x41, 0x5757}, {0x43, 0x7C05}, {0x44, 0xFA18}, {0x45, 0xD080}};
  Codec codec(card_test::Shipped("default").codec);
  const uint32_t ca = hda::CodecAddressBits(codec.address());
  for (const Row& row : kMode2) {
    SCOPED_TRACE(row.index);
    EXPECT_EQ(Valid(0), codec.Execute(ca | 0x2050000 | row.index));
    EXPECT_EQ(Valid(0), codec.Execute(ca | 0x2040000 | row.value));
    EXPECT_EQ(Valid(0), codec.Execute(ca | 0x2050000 | row.index));
    EXPECT_EQ(Valid(row.value), codec.Execute(ca | 0x20C0000));
    EXPECT_EQ(Valid(0), codec.Execute(ca | 0xD37000));
    EXPECT_EQ(row.value, codec.Coefficient(0x20, row.index));
  }
  EXPECT_EQ(0x46, codec.CoefficientIndex(0x20));
  EXPECT_EQ((AmpState{0, false}), codec.Amplifier(0x0D, AmpDirection::Input, AmpChannel::Right));
  EXPECT_EQ(25u, codec.VerbLog().size());
}

// The identification walk the filter makes: root, then each group in turn.
uint32_t FirstAudioGroup(Codec& codec) {
  const uint32_t ca = hda::CodecAddressBits(codec.address());
  const uint32_t range = codec.Execute(ca | 0xF0004).response;
  for (uint32_t i = 0; i < hda::ResponseNodeCount(range); ++i) {
    const uint32_t node = hda::ResponseStartNode(range) + i;
    const VerbResult type = codec.Execute(ca | (node << 20) | 0xF0005);
    if (type.valid && hda::ResponseFunctionGroupType(type.response) == hda::kFunctionGroupAudio) return node;
  }
  return 0;
}

TEST(CodecTest, AudioGroupAfterAModemGroup) {
  Codec codec(card_test::Inline(R"({"extends": "default.json", "codec": {"function_groups": {
      "0x01": {"type": "modem", "unsolicited": false, "widgets": null},
      "0x30": {"type": "audio", "widgets": {"0x31": {"type": "output"}}}}}})")
                  .codec);
  EXPECT_EQ(Valid(0x00010030), codec.Execute(0x000F0004));
  EXPECT_EQ(Valid(0x02), codec.Execute(0x001F0005));
  EXPECT_EQ(Valid(0x00000000), codec.Execute(0x001F0004));
  EXPECT_EQ(Valid(0), codec.Execute(0x002F0005));
  EXPECT_EQ(Valid(0x01), codec.Execute(0x030F0005));
  EXPECT_EQ(Valid(0x00310001), codec.Execute(0x030F0004));
  EXPECT_EQ(0x30u, FirstAudioGroup(codec));
}

TEST(CodecTest, RootWithoutFunctionGroups) {
  Codec codec(card_test::Inline(R"({"extends": "default.json", "codec": {"function_groups": null}})").codec);
  EXPECT_EQ(Valid(0x10EC1220), codec.Execute(0x000F0000));
  EXPECT_EQ(Valid(0), codec.Execute(0x000F0004));
  EXPECT_EQ(Valid(0), codec.Execute(0x001F0005));
  EXPECT_EQ(0u, FirstAudioGroup(codec));
}

TEST(CodecTest, AnswersOnlyItsOwnAddress) {
  // The filter's fixed verb for codec 10EC:0899 names address 1.
  Codec atZero(card_test::Shipped("codec_0899").codec);
  EXPECT_EQ((VerbResult{0, false}), atZero.Execute(0x11A70722));
  EXPECT_EQ(0x20, atZero.PinWidgetControl(0x1A));

  Codec atOne(card_test::Inline(R"({"extends": "codec_0899.json", "codec": {"address": 1}})").codec);
  EXPECT_EQ(Valid(0), atOne.Execute(0x11A70722));
  EXPECT_EQ(0x22, atOne.PinWidgetControl(0x1A));
  EXPECT_EQ((VerbResult{0, false}), atOne.Execute(0x000F0000));
  EXPECT_EQ(Valid(0x10EC0899), atOne.Execute(0x100F0000));
}

TEST(CodecTest, LogsEveryCommandWithItsResponse) {
  Codec codec(card_test::Shipped("default").codec);
  codec.Execute(0x000F0000);
  codec.Execute(0x300F0000);
  codec.Execute(0x00837027);
  codec.Execute(0x008B2000);
  const std::vector<VerbLogEntry> expected = {
      {0x000F0000, Valid(0x10EC1220)},
      {0x300F0000, VerbResult{0, false}},
      {0x00837027, Valid(0)},
      {0x008B2000, Valid(0x27)},
  };
  EXPECT_EQ(expected, codec.VerbLog());
  codec.ClearVerbLog();
  EXPECT_TRUE(codec.VerbLog().empty());
  EXPECT_EQ((AmpState{0x27, false}), codec.Amplifier(0x08, AmpDirection::Input, AmpChannel::Left));
}

TEST(CodecTest, StateAccessorsRefuseWhatIsNotThere) {
  Codec codec(card_test::Shipped("default").codec);
  EXPECT_THROW(codec.Amplifier(0x30, AmpDirection::Input, AmpChannel::Left), std::out_of_range);
  EXPECT_THROW(codec.Amplifier(0x08, AmpDirection::Output, AmpChannel::Left), std::out_of_range);
  EXPECT_THROW(codec.PinWidgetControl(0x02), std::out_of_range);
  EXPECT_THROW(codec.Coefficient(0x20, 0x80), std::out_of_range);
  EXPECT_THROW(codec.CoefficientIndex(0x02), std::out_of_range);
  EXPECT_EQ(0x0660, codec.Coefficient(0x20, 0x15));
  EXPECT_EQ(0x1458A0C3u, codec.SubsystemId());
}

TEST(CodecTest, ConcurrentCommandsAreAllLogged) {
  Codec codec(card_test::Shipped("default").codec);
  constexpr int kPerThread = 500;
  auto worker = [&codec](uint32_t node) {
    for (int i = 0; i < kPerThread; ++i) {
      codec.Execute((node << 20) | 0x37000 | static_cast<uint32_t>(i & 0x7F));
      codec.Execute((node << 20) | 0xB2000);
    }
  };
  std::thread a(worker, 0x08), b(worker, 0x09);
  a.join();
  b.join();
  EXPECT_EQ(4u * kPerThread, codec.VerbLog().size());
  EXPECT_EQ(((kPerThread - 1) & 0x7F), codec.Amplifier(0x08, AmpDirection::Input, AmpChannel::Left).gain);
}

}  // namespace
