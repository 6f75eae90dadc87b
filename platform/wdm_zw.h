// The kernel registry calls (Zw*) and their values.
//
// On Windows the WDK declares all of this. On Linux the simulated kernel
// implements the calls over the machine's one registry store.
#pragma once

#include "platform/wdm.h"

#ifndef _WIN32

// KEY_* rights, REG_* types, REG_OPTION_* and the create dispositions are the
// user-mode registry's values.
#ifndef ORA_REGISTRY_VALUES_DEFINED
#define ORA_REGISTRY_VALUES_DEFINED
#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/registry.def"
#undef ORA_VALUE
#endif

extern "C" {
NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize);
NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle);
NTSTATUS NTAPI ZwClose(HANDLE Handle);
}

#endif  // _WIN32
