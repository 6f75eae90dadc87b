#include "sim/machine.h"

#include <cstdio>
#include <cstdlib>

#include "sim/core/debug_log.h"
#include "sim/core/handles.h"
#include "sim/registry/store.h"
#include "sim/win32/com_runtime.h"
#include "sim/win32/dialog_script.h"
#include "sim/win32/mmcss_tasks.h"
#include "sim/win32/modules.h"
#include "sim/win32/paths.h"
#include "sim/win32/resources.h"
#include "sim/win32/thread_locale.h"
#include "sim/win32/virtual_memory.h"
#include "sim/win32/window_manager.h"

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
  ComRuntime::Get().Reset();
  Resources::Get().Reset();
  ThreadLocales::Get().Reset();
  WindowManager::Get().Reset();
  SetDialogInput(nullptr);
  if (options.attach_creator) Scheduler::Get().AttachCurrentThread("machine owner");
}

Machine::~Machine() {
  if (options_.attach_creator) Scheduler::Get().DetachCurrentThread();
  // COM lets go of its servers before the loader detaches what is left.
  ComRuntime::Get().Reset();
  WindowManager::Get().Reset();
  SetDialogInput(nullptr);
  // Modules detach first: their DllMain may still close handles.
  Modules::Get().Reset();
  HandleTable::Get().Reset();
  g_current = nullptr;
}

Machine* Machine::Current() { return g_current; }

void Machine::RunFor(Nanos duration) { Scheduler::Get().RunFor(duration); }

Nanos Machine::Now() const { return Scheduler::Get().Now(); }

std::vector<std::string> Machine::Leaks() const {
  std::vector<std::string> leaks = HandleTable::Get().OpenHandles();
  for (auto& window : WindowManager::Get().OpenWindows()) leaks.push_back(std::move(window));
  for (auto& object : Resources::Get().OpenObjects()) leaks.push_back(std::move(object));
  return leaks;
}

}  // namespace sim
