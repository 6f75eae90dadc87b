// A module for the loader tests: its entry point reports each attach and
// detach, with the path the loader gives it, to the machine's debug log.
#include <string>

#include "platform/win32/debug.h"
#include "platform/win32/loader.h"

#ifndef ORA_TESTMOD_NO_ENTRY
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(instance, path, MAX_PATH);
  const char* what = reason == DLL_PROCESS_ATTACH ? "attach" : reason == DLL_PROCESS_DETACH ? "detach" : "other";
  const std::string line = std::string(ORA_TESTMOD_NAME) + ": " + what + (reserved ? " at exit " : " ") + path + "\n";
  OutputDebugStringA(line.c_str());
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
#ifdef ORA_TESTMOD_REFUSE_ATTACH
  if (reason == DLL_PROCESS_ATTACH) return FALSE;
#endif
  return TRUE;
}
#endif

extern "C" int TestModuleAnswer() { return 42; }
