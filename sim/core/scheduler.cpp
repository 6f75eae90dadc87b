#include "sim/core/scheduler.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace sim {

struct Scheduler::ThreadRecord {
  std::string name;
  bool counted = true;     // still counted by the scheduler
  bool blocked = false;    // inside a simulated wait
  bool terminated = false; // TerminateThread was called
  bool exited = false;
};

namespace {

thread_local std::shared_ptr<Scheduler::ThreadRecord> t_record;

struct Waiter {
  std::vector<Waitable*> objects;
  bool wait_all = false;
  Nanos deadline = kInfinite;
  Scheduler::ThreadRecord* thread = nullptr;  // null for an uncounted thread
  bool done = false;
  WaitResult result{WaitStatus::Timeout, 0};
  std::condition_variable cv;
};

struct Timer {
  TimerId id;
  std::function<void()> callback;
};

}  // namespace

struct Scheduler::Impl {
  mutable std::mutex mu;
  ClockMode mode = ClockMode::Virtual;
  Nanos virtual_now = 0;
  std::chrono::steady_clock::time_point real_start = std::chrono::steady_clock::now();
  int running = 0;  // counted threads not blocked in a simulated wait
  bool advancing = false;
  // A timer callback is running: threads it wakes wait until it has finished,
  // so a device event (several registers, several pins) is seen whole.
  bool in_callback = false;
  std::list<Waiter*> waiters;
  std::multimap<Nanos, Timer> timers;  // ordered by time, then by insertion
  TimerId next_timer = 1;
  std::list<std::shared_ptr<ThreadRecord>> threads;
  std::condition_variable real_timer_cv;
  std::thread real_timer_thread;
  bool real_timer_stop = false;
  std::uint64_t progress = 0;  // bumped whenever a counted thread blocks or wakes
  std::thread watchdog;

  Nanos NowLocked() const {
    if (mode == ClockMode::Virtual) return virtual_now;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - real_start).count();
  }

  std::chrono::steady_clock::time_point RealTimeOf(Nanos t) const { return real_start + std::chrono::nanoseconds(t); }

  // Satisfies the waiter if it can, taking the objects it acquires.
  bool TrySatisfyLocked(Waiter& w) {
    if (w.wait_all) {
      if (w.objects.empty()) return false;
      for (Waitable* o : w.objects)
        if (!o->IsSignaledLocked()) return false;
      for (Waitable* o : w.objects) o->OnAcquiredLocked();
      w.result = {WaitStatus::Satisfied, 0};
      return true;
    }
    for (std::size_t i = 0; i < w.objects.size(); ++i) {
      if (w.objects[i]->IsSignaledLocked()) {
        w.objects[i]->OnAcquiredLocked();
        w.result = {WaitStatus::Satisfied, static_cast<int>(i)};
        return true;
      }
    }
    return false;
  }

  // Wakes a waiter. A woken counted thread counts as running from now on,
  // so the clock waits for it to block again.
  void CompleteLocked(Waiter& w) {
    w.done = true;
    if (w.thread && w.thread->counted && !w.thread->terminated) {
      w.thread->blocked = false;
      ++running;
    }
    ++progress;
    w.cv.notify_one();
  }

  void StartRealTimerThreadLocked() {
    if (real_timer_thread.joinable()) return;
    real_timer_stop = false;
    real_timer_thread = std::thread([this] { RealTimerLoop(); });
  }

  void RealTimerLoop() {
    std::unique_lock lock(mu);
    while (!real_timer_stop) {
      if (timers.empty()) {
        real_timer_cv.wait(lock);
        continue;
      }
      auto first = timers.begin();
      if (first->first > NowLocked()) {
        real_timer_cv.wait_until(lock, RealTimeOf(first->first));
        continue;
      }
      auto callback = std::move(first->second.callback);
      timers.erase(first);
      RunCallbackLocked(lock, callback);
    }
  }

  void RunCallbackLocked(std::unique_lock<std::mutex>& lock, std::function<void()>& callback) {
    in_callback = true;
    lock.unlock();
    callback();
    lock.lock();
    in_callback = false;
    for (Waiter* w : waiters)
      if (w->done) w->cv.notify_one();
  }

  // Virtual time: while every counted thread is blocked, jump to the
  // earliest deadline, run the timers due then, and expire the waits due then.
  void AdvanceLocked(std::unique_lock<std::mutex>& lock) {
    if (mode != ClockMode::Virtual || advancing) return;
    advancing = true;
    while (running == 0) {
      Nanos next = kInfinite;
      if (!timers.empty()) next = timers.begin()->first;
      for (Waiter* w : waiters)
        if (!w->done && w->deadline != kInfinite && (next == kInfinite || w->deadline < next)) next = w->deadline;
      if (next == kInfinite) break;  // only a signal from outside can wake anyone
      if (next > virtual_now) virtual_now = next;

      if (!timers.empty() && timers.begin()->first <= virtual_now) {
        auto first = timers.begin();
        auto callback = std::move(first->second.callback);
        timers.erase(first);
        // The callback runs on this thread, which counts as running meanwhile.
        ++running;
        RunCallbackLocked(lock, callback);
        --running;
        continue;
      }
      for (Waiter* w : waiters)
        if (!w->done && w->deadline != kInfinite && w->deadline <= virtual_now) {
          w->result = {WaitStatus::Timeout, 0};
          CompleteLocked(*w);
        }
    }
    advancing = false;
  }

  void WatchdogLoop() {
    std::uint64_t last = ~0ull;
    int still = 0;
    std::unique_lock lock(mu);
    while (!real_timer_stop) {
      real_timer_cv.wait_for(lock, std::chrono::seconds(1));
      if (mode != ClockMode::Virtual || running == 0 || progress != last) {
        last = progress;
        still = 0;
        continue;
      }
      if (++still == 5) {
        std::fprintf(stderr, "sim: virtual time is stalled: these counted threads are not in a simulated wait:\n");
        for (const auto& t : threads)
          if (t->counted && !t->blocked && !t->exited) std::fprintf(stderr, "sim:   %s\n", t->name.c_str());
      }
    }
  }
};

Scheduler::Scheduler() : impl_(new Impl) {
  impl_->watchdog = std::thread([this] { impl_->WatchdogLoop(); });
  impl_->watchdog.detach();
}

Scheduler& Scheduler::Get() {
  // Never destroyed: threads parked by TerminateThread still refer to it.
  static Scheduler* scheduler = new Scheduler;
  return *scheduler;
}

void Scheduler::Reset(ClockMode mode) {
  std::unique_lock lock(impl_->mu);
  impl_->mode = mode;
  impl_->virtual_now = 0;
  impl_->real_start = std::chrono::steady_clock::now();
  impl_->timers.clear();
  impl_->threads.remove_if([](const std::shared_ptr<ThreadRecord>& t) { return t->exited || t->terminated; });
  if (mode == ClockMode::Real) {
    impl_->StartRealTimerThreadLocked();
    impl_->real_timer_cv.notify_all();
  }
}

ClockMode Scheduler::mode() const {
  std::lock_guard lock(impl_->mu);
  return impl_->mode;
}

Nanos Scheduler::Now() const {
  std::lock_guard lock(impl_->mu);
  return impl_->NowLocked();
}

void Scheduler::Lock() { impl_->mu.lock(); }
void Scheduler::Unlock() { impl_->mu.unlock(); }

void Scheduler::NotifyLocked(Waitable& object) {
  for (Waiter* w : impl_->waiters) {
    if (w->done) continue;
    bool involved = false;
    for (Waitable* o : w->objects) involved |= (o == &object);
    if (involved && impl_->TrySatisfyLocked(*w)) impl_->CompleteLocked(*w);
  }
}

WaitResult Scheduler::Wait(std::span<Waitable* const> objects, bool wait_all, Nanos timeout) {
  std::unique_lock lock(impl_->mu);
  ThreadRecord* self = t_record && t_record->counted ? t_record.get() : nullptr;
  Waiter w;
  w.objects.assign(objects.begin(), objects.end());
  w.wait_all = wait_all;
  if (!(self && self->terminated)) {
    if (impl_->TrySatisfyLocked(w)) return w.result;
    if (timeout == 0) return {WaitStatus::Timeout, 0};
  }
  w.deadline = timeout == kInfinite ? kInfinite : impl_->NowLocked() + timeout;
  w.thread = self;
  impl_->waiters.push_back(&w);
  if (self) {
    self->blocked = true;
    ++impl_->progress;
    if (!self->terminated) --impl_->running;
    impl_->AdvanceLocked(lock);
  }
  for (;;) {
    if (self && self->terminated) {
      // A terminated thread stops here for good, as it would on Windows.
      impl_->waiters.remove(&w);
      w.cv.wait(lock, [] { return false; });
    }
    if (w.done) {
      if (!impl_->in_callback) break;
      w.cv.wait(lock);
      continue;
    }
    if (impl_->mode == ClockMode::Real && w.deadline != kInfinite) {
      if (impl_->NowLocked() >= w.deadline) {
        w.result = {WaitStatus::Timeout, 0};
        impl_->CompleteLocked(w);
        break;
      }
      w.cv.wait_until(lock, impl_->RealTimeOf(w.deadline));
    } else {
      w.cv.wait(lock);
    }
  }
  impl_->waiters.remove(&w);
  return w.result;
}

TimerId Scheduler::ScheduleAt(Nanos when, std::function<void()> callback) {
  std::unique_lock lock(impl_->mu);
  const TimerId id = impl_->next_timer++;
  impl_->timers.emplace(when, Timer{id, std::move(callback)});
  impl_->real_timer_cv.notify_all();
  // A timer added while everyone is blocked (from an uncounted thread) may be due.
  impl_->AdvanceLocked(lock);
  return id;
}

bool Scheduler::Cancel(TimerId id) {
  std::lock_guard lock(impl_->mu);
  for (auto it = impl_->timers.begin(); it != impl_->timers.end(); ++it)
    if (it->second.id == id) {
      impl_->timers.erase(it);
      return true;
    }
  return false;
}

void Scheduler::AttachCurrentThread(std::string name) {
  std::lock_guard lock(impl_->mu);
  if (t_record && t_record->counted) return;
  t_record = std::make_shared<ThreadRecord>();
  t_record->name = std::move(name);
  impl_->threads.push_back(t_record);
  ++impl_->running;
}

void Scheduler::DetachCurrentThread() {
  std::unique_lock lock(impl_->mu);
  if (!t_record || !t_record->counted) return;
  t_record->counted = false;
  t_record->exited = true;
  impl_->threads.remove(t_record);
  t_record.reset();
  --impl_->running;
  impl_->AdvanceLocked(lock);
}

bool Scheduler::IsCurrentThreadCounted() const {
  std::lock_guard lock(impl_->mu);
  return t_record && t_record->counted;
}

void Scheduler::RunFor(Nanos duration) {
  if (!IsCurrentThreadCounted()) AttachCurrentThread("runner");
  Wait({}, false, duration);
}

std::shared_ptr<Scheduler::ThreadRecord> Scheduler::NewCountedThread(std::string name) {
  std::lock_guard lock(impl_->mu);
  auto record = std::make_shared<ThreadRecord>();
  record->name = std::move(name);
  impl_->threads.push_back(record);
  ++impl_->running;
  return record;
}

void Scheduler::BindCurrentThread(std::shared_ptr<ThreadRecord> record) {
  std::lock_guard lock(impl_->mu);
  t_record = std::move(record);
}

void Scheduler::ThreadExiting() {
  std::unique_lock lock(impl_->mu);
  if (!t_record) return;
  t_record->exited = true;
  if (t_record->counted && !t_record->terminated) --impl_->running;
  t_record->counted = false;
  impl_->threads.remove(t_record);
  t_record.reset();
  impl_->AdvanceLocked(lock);
}

bool Scheduler::Terminate(ThreadRecord& record) {
  std::unique_lock lock(impl_->mu);
  if (record.exited || record.terminated) return false;
  record.terminated = true;
  // A thread blocked in a wait is no longer counted as running anyway; a
  // running one stops counting now and parks at its next wait.
  if (record.counted && !record.blocked) --impl_->running;
  record.counted = false;
  for (Waiter* w : impl_->waiters)
    if (w->thread == &record) w->cv.notify_one();
  impl_->AdvanceLocked(lock);
  return true;
}

std::vector<std::string> Scheduler::RunningThreads() const {
  std::lock_guard lock(impl_->mu);
  std::vector<std::string> out;
  for (const auto& t : impl_->threads)
    if (t->counted && !t->blocked && !t->exited) out.push_back(t->name);
  return out;
}

Event::Event(bool manual_reset, bool initially_signaled, std::string name)
    : manual_reset_(manual_reset), signaled_(initially_signaled), name_(std::move(name)) {}

Event::~Event() = default;

bool Event::Set() {
  auto& s = Scheduler::Get();
  s.Lock();
  const bool previous = signaled_;
  signaled_ = true;
  s.NotifyLocked(*this);
  s.Unlock();
  return previous;
}

bool Event::Reset() {
  auto& s = Scheduler::Get();
  s.Lock();
  const bool previous = signaled_;
  signaled_ = false;
  s.Unlock();
  return previous;
}

void Event::OnAcquiredLocked() {
  if (!manual_reset_) signaled_ = false;
}

std::string Event::Describe() const {
  return std::string(manual_reset_ ? "manual-reset" : "auto-reset") + " event" + (name_.empty() ? "" : " " + name_);
}

}  // namespace sim
