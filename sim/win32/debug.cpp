// OutputDebugString: every line lands in the machine-wide debug log.
#include "platform/win32/debug.h"

#include <string>

#include "sim/core/debug_log.h"

extern "C" void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  sim::DebugLog::Get().Write(sim::DebugLog::Source::User, lpOutputString);
}

// Windows converts to the ANSI code page before the debugger sees the text;
// the simulated PC's code page is ASCII, with '?' for everything else.
extern "C" void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  std::string text;
  for (const WCHAR* p = lpOutputString; *p != 0; ++p) text.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  sim::DebugLog::Get().Write(sim::DebugLog::Source::User, std::move(text));
}
