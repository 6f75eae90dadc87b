// Debug output to an attached debugger (on the simulated PC: the machine-wide log).
#pragma once

#include "platform/base.h"

#ifndef _WIN32

extern "C" {
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
}

#endif  // _WIN32
