// Compiled only in the Windows cross build: every value of our own seam must
// equal the SDK's, or the build fails.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/check/check.h"

#include "platform/values/base.def"
#include "platform/values/sync.def"
#include "platform/values/registry.def"
