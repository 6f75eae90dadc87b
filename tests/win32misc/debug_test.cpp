#include "platform/win32/debug.h"

#include <gtest/gtest.h>

#include "sim/core/debug_log.h"

namespace {

class DebugOutput : public ::testing::Test {
 protected:
  void SetUp() override { sim::DebugLog::Get().Clear(); }
  void TearDown() override { sim::DebugLog::Get().Clear(); }
};

TEST_F(DebugOutput, AnsiLineReachesTheMachineLogAsUserOutput) {
  OutputDebugStringA("OraAsio - started\n");
  const auto lines = sim::DebugLog::Get().Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(sim::DebugLog::Source::User, lines[0].source);
  EXPECT_EQ("OraAsio - started\n", lines[0].text);
}

TEST_F(DebugOutput, NullStringWritesNothing) {
  OutputDebugStringA(nullptr);
  OutputDebugStringW(nullptr);
  EXPECT_TRUE(sim::DebugLog::Get().Lines().empty());
}

TEST_F(DebugOutput, WideLineIsConvertedToTheAsciiCodePage) {
  OutputDebugStringW(u"caf\u00e9 ok\n");
  const auto lines = sim::DebugLog::Get().Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(sim::DebugLog::Source::User, lines[0].source);
  EXPECT_EQ("caf? ok\n", lines[0].text);
}

}  // namespace
