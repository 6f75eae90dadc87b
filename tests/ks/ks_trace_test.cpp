// The library's trace: silent at the start threshold, leveled, cut at 260 characters.
#include "ks/ks_trace.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/core/debug_log.h"

namespace {

class KsTraceTest : public testing::Test {
 protected:
  void SetUp() override { sim::DebugLog::Get().Clear(); }
  void TearDown() override { KsSetTraceLevel(0); }
};

TEST_F(KsTraceTest, SilentAtTheStartThreshold) {
  EXPECT_EQ(0, KsGetTraceLevel());
  for (int level = 1; level <= 5; ++level) KsTrace(level, "message %d", level);
  EXPECT_TRUE(sim::DebugLog::Get().Lines().empty());
}

TEST_F(KsTraceTest, LevelsUpToTheThresholdPass) {
  KsSetTraceLevel(3);
  for (int level : {1, 3, 4, 5}) KsTrace(level, "level %d", level);
  auto lines = sim::DebugLog::Get().Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("level 1\n", lines[0].text);
  EXPECT_EQ("level 3\n", lines[1].text);

  sim::DebugLog::Get().Clear();
  KsSetTraceLevel(5);
  for (int level : {1, 3, 4, 5}) KsTrace(level, "Connected device: %s (Pin %d)", "\\\\?\\X", level);
  lines = sim::DebugLog::Get().Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("Connected device: \\\\?\\X (Pin 5)\n", lines[3].text);
}

TEST_F(KsTraceTest, LongMessagesAreCut) {
  KsSetTraceLevel(5);
  std::string longText(400, 'x');
  KsTrace(KS_TRACE_ERROR, "Failed to create filter for %s", longText.c_str());
  auto lines = sim::DebugLog::Get().Lines();
  ASSERT_EQ(1u, lines.size());
  std::string expected = ("Failed to create filter for " + longText).substr(0, KS_TRACE_BUFFER - 1) + "\n";
  EXPECT_EQ(expected, lines[0].text);
  EXPECT_EQ(260u, lines[0].text.size());
}

}  // namespace
