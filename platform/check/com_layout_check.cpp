// Compiled only in the Windows cross build: the COM values of our own seam
// must equal the SDK's, or the build fails.
// The SDK headers depend on their order.
// clang-format off
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <olectl.h>
// clang-format on

#include "platform/check/check.h"
#include "platform/values/com.def"
