// Compiled only in the Windows cross build: every value of our own seam must
// equal the SDK's, or the build fails.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <avrt.h>
#include <winver.h>

#include "platform/check/check.h"

#include "platform/values/base.def"
#include "platform/values/sync.def"
#include "platform/values/registry.def"
#include "platform/values/memory.def"
#include "platform/values/loader.def"
#include "platform/values/avrt_priority.def"
#include "platform/values/dialog.def"
#include "platform/values/resource.def"
#include "platform/values/locale.def"

static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 48);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, BaseAddress) == 0);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, AllocationBase) == 8);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, AllocationProtect) == 16);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, RegionSize) == 24);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, State) == 32);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, Protect) == 36);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, Type) == 40);

static_assert(sizeof(BITMAP) == 32);
static_assert(offsetof(BITMAP, bmWidth) == 4 && offsetof(BITMAP, bmHeight) == 8 && offsetof(BITMAP, bmWidthBytes) == 12);
static_assert(offsetof(BITMAP, bmPlanes) == 16 && offsetof(BITMAP, bmBitsPixel) == 18 && offsetof(BITMAP, bmBits) == 24);
