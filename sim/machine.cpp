#include "sim/machine.h"

#include <cstdio>
#include <cstdlib>

#include "sim/core/debug_log.h"
#include "sim/core/handles.h"

namespace sim {

namespace {
Machine* g_current = nullptr;
}

Machine::Machine(MachineOptions options) : options_(options) {
  if (g_current) {
    std::fprintf(stderr, "sim: a second Machine was created while one exists\n");
    std::abort();
  }
  g_current = this;
  Scheduler::Get().Reset(options.clock);
  HandleTable::Get().Reset();
  DebugLog::Get().Clear();
  if (options.attach_creator) Scheduler::Get().AttachCurrentThread("machine owner");
}

Machine::~Machine() {
  if (options_.attach_creator) Scheduler::Get().DetachCurrentThread();
  HandleTable::Get().Reset();
  g_current = nullptr;
}

Machine* Machine::Current() { return g_current; }

void Machine::RunFor(Nanos duration) { Scheduler::Get().RunFor(duration); }

Nanos Machine::Now() const { return Scheduler::Get().Now(); }

std::vector<std::string> Machine::Leaks() const { return HandleTable::Get().OpenHandles(); }

}  // namespace sim
