// The kernel registry calls the filter uses (ZwOpenKey and the rest).
//
// platform/wdm_zw.h is where they belong; until it is there this file declares
// them with their WDK signatures and records itself as ORA_ZW_FALLBACK.
#pragma once

#if __has_include("platform/wdm_zw.h")
#include "platform/wdm_zw.h"
#else

#include "platform/wdm.h"

#define ORA_ZW_FALLBACK 1

inline constexpr ACCESS_MASK KEY_READ = 0x20019;
inline constexpr ACCESS_MASK KEY_WRITE = 0x20006;
inline constexpr ULONG REG_OPTION_NON_VOLATILE = 0;
inline constexpr ULONG REG_SZ = 1;

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

#endif
