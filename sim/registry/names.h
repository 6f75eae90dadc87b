// Registry name rules shared by the store, its views and both faces.
//
// Windows compares key and value names upper-cased, one UTF-16 unit at a
// time. The table here covers ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic, which is every name this system uses and then some.
#pragma once

#include <string>
#include <string_view>

namespace sim::registry {

char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view s);
bool NamesEqual(std::u16string_view a, std::u16string_view b);
// True when `path` is `prefix` or continues it with a backslash.
bool PathStartsWith(std::u16string_view path, std::u16string_view prefix);

// UTF-8 <-> UTF-16 for .reg files and diagnostics. Invalid input becomes U+FFFD.
std::u16string FromUtf8(std::string_view s);
std::string ToUtf8(std::u16string_view s);

}  // namespace sim::registry
