// Device-control codes: CTL_CODE and its pieces.
#pragma once

#include "platform/base.h"

#ifdef _WIN32

#include <winioctl.h>

#else

// Device type in bits 31-16, access in 15-14, function in 13-2, method in 1-0.
constexpr DWORD CTL_CODE(DWORD DeviceType, DWORD Function, DWORD Method, DWORD Access) {
  return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}
constexpr DWORD DEVICE_TYPE_FROM_CTL_CODE(DWORD ctrlCode) { return (ctrlCode & 0xFFFF0000u) >> 16; }
constexpr DWORD METHOD_FROM_CTL_CODE(DWORD ctrlCode) { return ctrlCode & 3u; }

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/ioctl.def"
#undef ORA_VALUE

#endif  // _WIN32
