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
#define ORA_VALUE(name, type, value) \
  static_assert(static_cast<type>(name) == static_cast<type>(value), "platform value differs from the SDK: " #name);
#include "platform/values/registry.def"
#undef ORA_VALUE
