#include "sim/win32/codepage.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sim::win32 {

namespace {
// 0x80-0x9F of code page 1252; the rest of the page is Latin-1.
constexpr std::array<char16_t, 32> kCp1252High = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
}  // namespace

std::u16string AnsiToWide(const char* s, std::size_t n) {
  std::u16string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    out.push_back(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<char16_t>(b));
  }
  return out;
}

std::u16string AnsiToWide(const char* s) { return s ? AnsiToWide(s, std::strlen(s)) : std::u16string(); }

std::string WideToAnsi(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    auto it = std::find(kCp1252High.begin(), kCp1252High.end(), c);
    if (it != kCp1252High.end()) {
      out.push_back(static_cast<char>(0x80 + (it - kCp1252High.begin())));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
    out.push_back('?');
  }
  return out;
}

}  // namespace sim::win32
