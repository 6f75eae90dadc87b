// Code-page conversion of UTF-16 text.
#pragma once

#include "platform/base.h"

#ifndef _WIN32

// The ANSI code page of the process.
inline constexpr UINT CP_ACP = 0;

extern "C" {
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar);
}

#endif  // _WIN32
