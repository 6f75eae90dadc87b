// Virtual memory and the process working set.
#pragma once

#include <cstddef>

#include "platform/base.h"

#ifndef _WIN32

typedef SIZE_T* PSIZE_T;

struct MEMORY_BASIC_INFORMATION {
  PVOID BaseAddress;
  PVOID AllocationBase;
  DWORD AllocationProtect;
  WORD PartitionId;
  SIZE_T RegionSize;
  DWORD State;
  DWORD Protect;
  DWORD Type;
};
typedef MEMORY_BASIC_INFORMATION* PMEMORY_BASIC_INFORMATION;

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/memory.def"
#undef ORA_VALUE

extern "C" {
LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
SIZE_T WINAPI VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength);
BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T dwSize);
BOOL WINAPI VirtualUnlock(LPVOID lpAddress, SIZE_T dwSize);
BOOL WINAPI GetProcessWorkingSetSize(HANDLE hProcess, PSIZE_T lpMinimumWorkingSetSize, PSIZE_T lpMaximumWorkingSetSize);
BOOL WINAPI SetProcessWorkingSetSize(HANDLE hProcess, SIZE_T dwMinimumWorkingSetSize, SIZE_T dwMaximumWorkingSetSize);
}

#endif  // _WIN32

// The 64-bit layout; the mingw layout check pins the SDK's to the same numbers.
static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 48);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, BaseAddress) == 0);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, AllocationBase) == 8);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, AllocationProtect) == 16);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, RegionSize) == 24);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, State) == 32);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, Protect) == 36);
static_assert(offsetof(MEMORY_BASIC_INFORMATION, Type) == 40);
