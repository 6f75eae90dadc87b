#include "sim/machine.h"

#include <cstdio>
#include <cstdlib>

#include "sim/core/debug_log.h"
#include "sim/core/handles.h"
#include "sim/registry/store.h"
#include "sim/win32/device_io.h"
#include "sim/win32/mmcss_tasks.h"
#include "sim/win32/modules.h"
#include "sim/win32/paths.h"
#include "sim/win32/virtual_memory.h"

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
  registry::Store::Get().Reset();
  VirtualMemory::Get().Reset();
  Mmcss::Get().Reset();
  FileSystem::Get().Reset();
  win32::RegisterKsUserModule();
  if (options.attach_creator) Scheduler::Get().AttachCurrentThread("machine owner");
}

Machine::~Machine() {
  if (options_.attach_creator) Scheduler::Get().DetachCurrentThread();
  // Modules detach first: their DllMain may still close handles.
  Modules::Get().Reset();
  HandleTable::Get().Reset();
  g_current = nullptr;
}

Machine* Machine::Current() { return g_current; }

void Machine::RunFor(Nanos duration) { Scheduler::Get().RunFor(duration); }

Nanos Machine::Now() const { return Scheduler::Get().Now(); }

std::vector<std::string> Machine::Leaks() const { return HandleTable::Get().OpenHandles(); }

}  // namespace sim
