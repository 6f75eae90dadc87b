// The library's leveled debug trace. Levels: 1 errors, 3 pin-property read
// failures, 4 enumeration and topology failures, 5 information. Nothing is
// written unless the process-wide threshold (0 at start) is raised.
#pragma once

#include <atomic>

#include "platform/base.h"

inline constexpr int KS_TRACE_ERROR = 1;
inline constexpr int KS_TRACE_PIN = 3;
inline constexpr int KS_TRACE_ENUM = 4;
inline constexpr int KS_TRACE_INFO = 5;

// Characters of one message, including its terminating zero; the rest is cut.
inline constexpr int KS_TRACE_BUFFER = 260;

#if defined(__GNUC__)
#define KS_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KS_PRINTF_FORMAT(fmt, args)
#endif

void KsTrace(int level, const char* format, ...) KS_PRINTF_FORMAT(2, 3);

void KsSetTraceLevel(int level);
int KsGetTraceLevel();
