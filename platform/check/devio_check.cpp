// Compiled only in the Windows cross build: device I/O and device
// installation values and layouts of our own seam against the SDK's.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <setupapi.h>

#include <cstddef>

#define ORA_VALUE(name, type, value) \
  static_assert(static_cast<type>(name) == static_cast<type>(value), "platform value differs from the SDK: " #name);
#include "platform/values/devio.def"
#include "platform/values/setupapi.def"
#undef ORA_VALUE

static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, hEvent) == 24);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
static_assert(sizeof(SP_DEVINFO_DATA) == 32);
