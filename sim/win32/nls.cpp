// Code-page conversion over the process's ANSI code page.
#include <cstring>

#include "platform/win32/nls.h"
#include "platform/win32/sync.h"
#include "sim/win32/codepage.h"

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                          BOOL* lpUsedDefaultChar) {
  constexpr UINT kCodePage1252 = 1252;
  if ((CodePage != CP_ACP && CodePage != kCodePage1252) || dwFlags != 0 || !lpWideCharStr || cchWideChar == 0 ||
      cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr) || lpDefaultChar) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::size_t length = 0;
  if (cchWideChar == -1) {
    // The terminating zero is converted and counted too.
    while (lpWideCharStr[length]) ++length;
    ++length;
  } else {
    length = static_cast<std::size_t>(cchWideChar);
  }
  const std::u16string_view wide(lpWideCharStr, length);
  const std::string ansi = sim::win32::WideToAnsi(wide);
  if (lpUsedDefaultChar) {
    // '?' that does not come from a '?' of the input is the default character.
    std::size_t questions = 0;
    for (char16_t c : wide) questions += (c == u'?');
    std::size_t marks = 0;
    for (char c : ansi) marks += (c == '?');
    *lpUsedDefaultChar = marks > questions ? TRUE : FALSE;
  }
  if (cbMultiByte == 0) return static_cast<int>(ansi.size());
  if (ansi.size() > static_cast<std::size_t>(cbMultiByte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpMultiByteStr, ansi.data(), ansi.size());
  return static_cast<int>(ansi.size());
}
