// The module loader: load a library by path or name, find its exports, free it.
#pragma once

#include "platform/base.h"

#ifndef _WIN32

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/loader.def"
#undef ORA_VALUE

extern "C" {
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
}

#endif  // _WIN32
