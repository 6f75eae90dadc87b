// Files and device I/O: CreateFileA on device paths, DeviceIoControl with
// OVERLAPPED, and the completion calls.
#pragma once

#include "platform/base.h"
#include "platform/win32/sync.h"

#ifndef _WIN32

struct OVERLAPPED {
  ULONG_PTR Internal;      // the request's NTSTATUS
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;
static_assert(sizeof(OVERLAPPED) == 32);
static_assert(offsetof(OVERLAPPED, Internal) == 0);
static_assert(offsetof(OVERLAPPED, InternalHigh) == 8);
static_assert(offsetof(OVERLAPPED, Offset) == 16);
static_assert(offsetof(OVERLAPPED, hEvent) == 24);

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/devio.def"
#undef ORA_VALUE

extern "C" {
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait);
BOOL WINAPI CancelIo(HANDLE hFile);
}

#endif  // _WIN32
