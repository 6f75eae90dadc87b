// Compiled only in the Windows cross build: every kernel value, size and
// offset of our own seam must equal the WDK's, or the build fails.
#include <cstddef>

// MinGW's wdm.h redefines two intrinsics that intrin.h already provides.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>

#define ORA_VALUE(name, type, value) \
  static_assert(static_cast<type>(name) == static_cast<type>(value), "platform value differs from the WDK: " #name);
#include "platform/values/ioctl.def"
#include "platform/values/ntstatus.def"
#include "platform/values/wdm.def"
#undef ORA_VALUE

namespace {
constexpr std::size_t RoundUp(std::size_t size, std::size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}
}  // namespace

#define ORA_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), "size differs from the WDK: " #type);
// MinGW's headers leave out MEMORY_ALLOCATION_ALIGNMENT on these types; the
// WDK's size is the field layout rounded up to that alignment.
#define ORA_SIZE_ALIGNED(type, bytes, alignment) \
  static_assert(RoundUp(sizeof(type), alignment) == (bytes), "size differs from the WDK: " #type);
#define ORA_OFFSET(type, field, offset) \
  static_assert(offsetof(type, field) == (offset), "offset differs from the WDK: " #type "." #field);
#include "platform/values/wdm_layout.def"
#undef ORA_SIZE
#undef ORA_SIZE_ALIGNED
#undef ORA_OFFSET

// Enumerators, which the Linux header declares as enums of its own.
#define ORA_ENUM(name, value) static_assert(static_cast<long long>(name) == (value), "enumerator differs: " #name);
ORA_ENUM(KernelMode, 0)
ORA_ENUM(UserMode, 1)
ORA_ENUM(NotificationEvent, 0)
ORA_ENUM(SynchronizationEvent, 1)
ORA_ENUM(Executive, 0)
ORA_ENUM(NonPagedPool, 0)
ORA_ENUM(PagedPool, 1)
ORA_ENUM(NonPagedPoolNx, 512)
ORA_ENUM(PowerDeviceUnspecified, 0)
ORA_ENUM(PowerDeviceD0, 1)
ORA_ENUM(PowerDeviceD1, 2)
ORA_ENUM(PowerDeviceD2, 3)
ORA_ENUM(PowerDeviceD3, 4)
ORA_ENUM(PowerSystemWorking, 1)
ORA_ENUM(PowerSystemSleeping3, 4)
ORA_ENUM(PowerSystemHibernate, 5)
ORA_ENUM(PowerSystemShutdown, 6)
ORA_ENUM(SystemPowerState, 0)
ORA_ENUM(DevicePowerState, 1)
ORA_ENUM(PowerActionNone, 0)
ORA_ENUM(PowerActionShutdownOff, 6)
ORA_ENUM(BusRelations, 0)
ORA_ENUM(TargetDeviceRelation, 4)
ORA_ENUM(BusQueryDeviceID, 0)
ORA_ENUM(BusQueryHardwareIDs, 1)
ORA_ENUM(BusQueryInstanceID, 3)
ORA_ENUM(KeyBasicInformation, 0)
ORA_ENUM(KeyFullInformation, 2)
ORA_ENUM(KeyValueFullInformation, 1)
ORA_ENUM(KeyValuePartialInformation, 2)
#undef ORA_ENUM

static_assert(CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS) == 0x002F0003);
static_assert(CTL_CODE(0x3F3E, 0x11, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x3F3E0044);
