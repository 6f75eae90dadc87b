// Kernel events and waits on the machine's scheduler, and the IRQL of each thread.
//
// A KEVENT keeps its state where Windows keeps it, in Header.SignalState of
// the caller's memory; the scheduler sees it through a Waitable that reads
// that field under the scheduler lock.
#include <map>
#include <memory>
#include <mutex>

#include "sim/core/scheduler.h"
#include "sim/kernel/internal.h"

namespace sim::kernel {

namespace {

class KernelEvent final : public Waitable {
 public:
  explicit KernelEvent(PRKEVENT event) : event_(event) {}
  bool IsSignaledLocked() const override { return event_->Header.SignalState != 0; }
  void OnAcquiredLocked() override {
    if (event_->Header.Type == SynchronizationEvent) event_->Header.SignalState = 0;
  }
  std::string Describe() const override {
    return std::string(event_->Header.Type == SynchronizationEvent ? "synchronization" : "notification") + " KEVENT " +
           internal::Hex(event_);
  }

 private:
  PRKEVENT event_;
};

std::mutex g_mutex;
std::map<const void*, std::unique_ptr<KernelEvent>> g_events;

thread_local KIRQL t_irql = PASSIVE_LEVEL;

KernelEvent& Find(PRKEVENT event, const char* function, const std::string& caller) {
  std::unique_lock lock(g_mutex);
  auto it = g_events.find(event);
  if (it == g_events.end()) {
    lock.unlock();
    BugCheck(BugCheckCode::DriverVerifierDetectedViolation, std::string(function) + " on " + internal::Hex(event) +
                                                                ", which KeInitializeEvent never initialised, from " +
                                                                caller);
  }
  return *it->second;
}

LONG SetState(PRKEVENT event, LONG state, const char* function, const std::string& caller) {
  KernelEvent& waitable = Find(event, function, caller);
  auto& scheduler = Scheduler::Get();
  scheduler.Lock();
  const LONG previous = event->Header.SignalState;
  event->Header.SignalState = state;
  if (state) scheduler.NotifyLocked(waitable);
  scheduler.Unlock();
  return previous;
}

}  // namespace

namespace internal {

void ForgetEventsIn(const void* begin, std::size_t size) {
  const char* first = static_cast<const char*>(begin);
  std::lock_guard lock(g_mutex);
  g_events.erase(g_events.lower_bound(first), g_events.lower_bound(first + size));
}

void ResetEvents() {
  std::lock_guard lock(g_mutex);
  g_events.clear();
}

}  // namespace internal

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Reserved1 = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
  std::lock_guard lock(g_mutex);
  g_events[Event] = std::make_unique<KernelEvent>(Event);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  return SetState(Event, 1, "KeSetEvent", ORA_KERNEL_CALLER());
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { SetState(Event, 0, "KeClearEvent", ORA_KERNEL_CALLER()); }

LONG NTAPI KeResetEvent(PRKEVENT Event) { return SetState(Event, 0, "KeResetEvent", ORA_KERNEL_CALLER()); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  Find(Event, "KeReadStateEvent", ORA_KERNEL_CALLER());
  auto& scheduler = sim::Scheduler::Get();
  scheduler.Lock();
  const LONG state = Event->Header.SignalState;
  scheduler.Unlock();
  return state;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  const std::string caller = ORA_KERNEL_CALLER();
  const bool zero_timeout = Timeout && Timeout->QuadPart == 0;
  if (t_irql > APC_LEVEL && !zero_timeout)
    BugCheck(BugCheckCode::IrqlNotLessOrEqual, "KeWaitForSingleObject on " + sim::kernel::internal::Hex(Object) +
                                                   " at IRQL " + std::to_string(static_cast<int>(t_irql)) +
                                                   " with a non-zero time-out, from " + caller);
  KernelEvent& waitable = Find(static_cast<PRKEVENT>(Object), "KeWaitForSingleObject", caller);
  sim::Nanos timeout = sim::kInfinite;
  if (Timeout) {
    // Negative is relative; positive is an absolute time, counted here from boot.
    const LONGLONG ticks = Timeout->QuadPart;
    timeout = ticks <= 0 ? -ticks * 100 : std::max<sim::Nanos>(0, ticks * 100 - sim::Scheduler::Get().Now());
  }
  sim::Waitable* objects[] = {&waitable};
  const auto result = sim::Scheduler::Get().Wait(objects, false, timeout);
  return result.status == sim::WaitStatus::Timeout ? STATUS_TIMEOUT : STATUS_SUCCESS;
}

KIRQL NTAPI KeGetCurrentIrql() { return t_irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql < t_irql)
    BugCheck(BugCheckCode::IrqlNotGreaterOrEqual, "KeRaiseIrql to " + std::to_string(NewIrql) + " from " +
                                                      std::to_string(t_irql) + ", from " + ORA_KERNEL_CALLER());
  *OldIrql = t_irql;
  t_irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql)
    BugCheck(BugCheckCode::IrqlNotLessOrEqual, "KeLowerIrql to " + std::to_string(NewIrql) + " from " +
                                                   std::to_string(t_irql) + ", from " + ORA_KERNEL_CALLER());
  t_irql = NewIrql;
}

}  // extern "C"
