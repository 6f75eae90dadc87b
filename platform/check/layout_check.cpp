// Compiled only in the Windows cross build: every value of our own seam must
// equal the SDK's, or the build fails.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#define ORA_VALUE(name, type, value) \
  static_assert(static_cast<type>(name) == static_cast<type>(value), "platform value differs from the SDK: " #name);
#include "platform/values/base.def"
#undef ORA_VALUE
#define ORA_VALUE(name, type, value) \
  static_assert(static_cast<type>(name) == static_cast<type>(value), "platform value differs from the SDK: " #name);
#include "platform/values/sync.def"
#undef ORA_VALUE

#include <avrt.h>
#include <cstddef>

#define ORA_VALUE(name, type, value) \
  static_assert(static_cast<type>(name) == static_cast<type>(value), "platform value differs from the SDK: " #name);
#include "platform/values/memory.def"
#include "platform/values/loader.def"
#include "platform/values/avrt_priority.def"
#undef ORA_VALUE

static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 48);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, BaseAddress) == 0);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, AllocationBase) == 8);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, AllocationProtect) == 16);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, RegionSize) == 24);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, State) == 32);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, Protect) == 36);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, Type) == 40);
