#include "ks/ks_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/win32.h"

namespace {
std::atomic<int> g_traceThreshold{0};
}

void KsSetTraceLevel(int level) { g_traceThreshold.store(level, std::memory_order_relaxed); }
int KsGetTraceLevel() { return g_traceThreshold.load(std::memory_order_relaxed); }

void KsTrace(int level, const char* format, ...) {
  if (level > g_traceThreshold.load(std::memory_order_relaxed)) return;
  char text[KS_TRACE_BUFFER + 1];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(text, KS_TRACE_BUFFER, format, args);
  va_end(args);
  if (written < 0) return;
  size_t length = std::strlen(text);
  text[length] = '\n';
  text[length + 1] = '\0';
  OutputDebugStringA(text);
}
