// The multimedia class scheduler (MMCSS): a thread joins a task such as
// "Pro Audio" and is scheduled at that task's priority.
#pragma once

#include "platform/base.h"

#ifdef _WIN32

#include <avrt.h>

// Not every SDK spells these out.
#ifndef ERROR_INVALID_TASK_NAME
#define ERROR_INVALID_TASK_NAME 1550L
#endif
#ifndef ERROR_INVALID_TASK_INDEX
#define ERROR_INVALID_TASK_INDEX 1551L
#endif
#ifndef ERROR_THREAD_ALREADY_IN_TASK
#define ERROR_THREAD_ALREADY_IN_TASK 1552L
#endif

#else

#define ORA_VALUE(name, type, value) name = value,
enum AVRT_PRIORITY : int {
#include "platform/values/avrt_priority.def"
};
#undef ORA_VALUE
typedef AVRT_PRIORITY* PAVRT_PRIORITY;

inline constexpr DWORD ERROR_INVALID_TASK_NAME = 1550;
inline constexpr DWORD ERROR_INVALID_TASK_INDEX = 1551;
inline constexpr DWORD ERROR_THREAD_ALREADY_IN_TASK = 1552;

extern "C" {
HANDLE WINAPI AvSetMmThreadCharacteristicsA(LPCSTR TaskName, LPDWORD TaskIndex);
BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority);
BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle);
}

#endif  // _WIN32
