// Per-thread last-error value.
#include "platform/win32/sync.h"

namespace {
thread_local DWORD t_last_error = 0;
}

extern "C" DWORD WINAPI GetLastError() { return t_last_error; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
