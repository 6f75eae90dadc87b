// Device installation: device-interface enumeration and aliases.
#pragma once

#include "platform/base.h"

#ifdef _WIN32
#include <setupapi.h>
#else

typedef PVOID HDEVINFO;

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid) == 4);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Reserved) == 24);

// On 64-bit Windows cbSize must be 8 (the structure's size with its padding),
// not the 5 bytes of a 32-bit build.
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 32);

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/setupapi.def"
#undef ORA_VALUE

extern "C" {
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceInterfaceAlias(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                           const GUID* AliasInterfaceClassGuid,
                                           PSP_DEVICE_INTERFACE_DATA AliasDeviceInterfaceData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
}

#endif  // _WIN32
