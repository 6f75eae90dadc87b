// The calling thread's locale.
#pragma once

#include "platform/base.h"

#ifndef _WIN32

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/locale.def"
#undef ORA_VALUE

extern "C" {
LCID WINAPI GetThreadLocale();
BOOL WINAPI SetThreadLocale(LCID Locale);
}

#endif  // _WIN32
