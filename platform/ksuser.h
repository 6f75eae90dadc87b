// ksuser.dll: pin creation on an open kernel-streaming filter.
//
// Callers look KsCreatePin up at run time (LoadLibraryA("ksuser.dll") and
// GetProcAddress); the result is a Win32 error code, 0 on success.
#pragma once

#include "platform/ks.h"

#ifndef _WIN32
extern "C" {
DWORD WINAPI KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                         PHANDLE ConnectionHandle);
}
#endif

typedef DWORD(WINAPI* ORA_PFN_KSCREATEPIN)(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                                           PHANDLE ConnectionHandle);
