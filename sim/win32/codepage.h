// The process's ANSI code page, 1252, as Windows converts it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim::win32 {

std::u16string AnsiToWide(const char* s, std::size_t n);
std::u16string AnsiToWide(const char* s);
// Characters outside the code page become '?' (a surrogate pair, one '?').
std::string WideToAnsi(std::u16string_view s);

}  // namespace sim::win32
