// WideCharToMultiByte over the ANSI code page (1252).
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"

namespace {

TEST(Nls, ConvertsThroughCodePage1252) {
  const WCHAR text[] = {u'A', 0x20AC, 0x00E9, 0x4E2D, 0};
  char out[8];
  std::memset(out, 0x5A, sizeof out);
  BOOL usedDefault = FALSE;
  EXPECT_EQ(5, WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, &usedDefault));
  EXPECT_EQ(0, std::memcmp("A\x80\xE9?", out, 5));
  EXPECT_EQ(0x5A, out[5]) << "wrote past the converted text";
  EXPECT_TRUE(usedDefault);
}

TEST(Nls, SizeQueryAndShortBuffer) {
  const WCHAR text[] = u"abc";
  EXPECT_EQ(4, WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(3, WideCharToMultiByte(CP_ACP, 0, text, 3, nullptr, 0, nullptr, nullptr));
  char out[2];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, nullptr, -1, out, sizeof out, nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

}  // namespace
