// Device-control codes: the CTL_CODE layout shared by user mode and the kernel.
//
// Both the user-mode kernel-streaming header and the kernel header include
// this one, so the macros are defined once on either side of the seam.
#pragma once

#ifdef _WIN32

#if defined(_WDMDDK_) || defined(_NTDDK_)
// The WDK headers already define the codes.
#else
#include <winioctl.h>

#include "platform/base.h"
#endif

#else

#include "platform/base.h"

// Device type in bits 31-16, access in 15-14, function in 13-2, method in 1-0.
#define CTL_CODE(DeviceType, Function, Method, Access) \
  ((static_cast<ULONG>(DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) ((static_cast<ULONG>(ctrlCode) & 0xffff0000u) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) (static_cast<ULONG>(ctrlCode) & 3u)

typedef ULONG DEVICE_TYPE;

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/ioctl.def"
#undef ORA_VALUE

#endif  // _WIN32
