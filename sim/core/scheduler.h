// The machine's clock and the scheduler of simulated waits.
//
// Every waitable object of the simulated PC (a user-mode event or thread, a
// kernel event) is a Waitable. All their state changes happen under one
// scheduler lock, so a wait sees a consistent picture and results repeat.
//
// Virtual time: time moves only while every counted thread is blocked in a
// simulated wait. It then jumps to the earliest deadline (a wait's time-out,
// a scheduled timer, the end of a run_for). A thread woken by a signal counts
// as running from the moment it is signalled, so it runs to its next block
// before time moves again.
//
// Real time: waits and timers follow the monotonic clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sim {

enum class ClockMode { Virtual, Real };

// Nanoseconds since the machine booted.
using Nanos = std::int64_t;
inline constexpr Nanos kInfinite = -1;
inline constexpr Nanos kMillisecond = 1'000'000;
inline constexpr Nanos kSecond = 1'000'000'000;

class Scheduler;

// Base of every object a simulated wait can wait on.
class Waitable {
 public:
  virtual ~Waitable() = default;
  // Both are called with the scheduler lock held.
  virtual bool IsSignaledLocked() const = 0;
  // A wait was satisfied by this object: an auto-reset event resets here.
  virtual void OnAcquiredLocked() {}
  // Name for diagnostics (stall reports, bug checks).
  virtual std::string Describe() const = 0;
};

// Auto- or manual-reset event; also backs a kernel KEVENT
// (SynchronizationEvent = auto-reset, NotificationEvent = manual).
class Event final : public Waitable {
 public:
  Event(bool manual_reset, bool initially_signaled, std::string name = {});
  ~Event() override;
  // Each returns the previous state.
  bool Set();
  bool Reset();
  bool IsSignaledLocked() const override { return signaled_; }
  void OnAcquiredLocked() override;
  std::string Describe() const override;
  bool manual_reset() const { return manual_reset_; }

 private:
  const bool manual_reset_;
  bool signaled_;
  std::string name_;
};

enum class WaitStatus { Satisfied, Timeout, Abandoned };
struct WaitResult {
  WaitStatus status;
  int index;  // the satisfied object (lowest signalled index for wait-any); 0 for wait-all
};

using TimerId = std::uint64_t;

class Scheduler {
 public:
  // The scheduler of the running machine (lives for the whole process).
  static Scheduler& Get();

  // A new machine: the clock restarts at zero in the given mode. Every
  // counted thread must have ended or detached.
  void Reset(ClockMode mode);

  ClockMode mode() const;
  Nanos Now() const;

  // Blocks the calling thread until one (wait_all false) or all of the
  // objects are signalled, or the time-out passes (kInfinite: never).
  // Satisfying a wait calls OnAcquiredLocked on the object(s) it takes.
  WaitResult Wait(std::span<Waitable* const> objects, bool wait_all, Nanos timeout);

  // Re-examines the waiters of a Waitable whose state changed; call after a
  // change made under Lock().
  void NotifyLocked(Waitable& object);

  // The single lock that guards every Waitable's state.
  void Lock();
  void Unlock();

  // Runs `callback` (without the lock held) when the clock reaches `when`.
  // In virtual time callbacks run on the thread that advances the clock,
  // before any waiter whose time-out falls at the same instant is woken.
  TimerId ScheduleAt(Nanos when, std::function<void()> callback);
  bool Cancel(TimerId id);

  // Counted threads: threads made by CreateThread are counted from birth;
  // a host or test thread attaches itself.
  void AttachCurrentThread(std::string name);
  void DetachCurrentThread();
  bool IsCurrentThreadCounted() const;

  // Blocks the calling thread while the clock moves on by `duration`; a
  // thread that is not counted yet attaches itself.
  void RunFor(Nanos duration);

  // Threads made by CreateThread are counted from the moment of creation, so
  // the clock cannot move between creation and the thread's first step.
  struct ThreadRecord;
  std::shared_ptr<ThreadRecord> NewCountedThread(std::string name);
  // Called on the new thread before its start routine runs.
  void BindCurrentThread(std::shared_ptr<ThreadRecord> record);
  // Called on the thread after its start routine returned.
  void ThreadExiting();
  // TerminateThread: the thread's current or next simulated wait never
  // returns, and it stops being counted. False when it has already exited.
  bool Terminate(ThreadRecord& record);

  // Counted threads that are not blocked in a simulated wait (stall reports).
  std::vector<std::string> RunningThreads() const;

 private:
  Scheduler();
  struct Impl;
  Impl* impl_;
};

}  // namespace sim
