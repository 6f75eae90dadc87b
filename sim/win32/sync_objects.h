// Handle-table objects behind event and thread handles.
#pragma once

#include <atomic>
#include <memory>

#include "platform/win32/sync.h"
#include "sim/core/handles.h"
#include "sim/core/scheduler.h"

namespace sim::win32 {

class EventObject final : public Object {
 public:
  static constexpr ObjectType kType = ObjectType::Event;
  EventObject(bool manual_reset, bool initial, std::string name) : event(manual_reset, initial, std::move(name)) {}
  ObjectType Type() const override { return kType; }
  std::string Describe() const override { return event.Describe(); }
  Event event;
};

// A thread object is signalled when the thread ends, as on Windows.
class ThreadObject final : public Object, public Waitable {
 public:
  static constexpr ObjectType kType = ObjectType::Thread;
  ThreadObject(DWORD id, std::shared_ptr<Scheduler::ThreadRecord> record) : id_(id), record_(std::move(record)) {}
  ObjectType Type() const override { return kType; }
  std::string Describe() const override { return "thread " + std::to_string(id_); }
  bool IsSignaledLocked() const override { return ended_; }

  // Marks the thread ended with its exit code; false when it already was.
  bool End(DWORD exit_code);
  DWORD ExitCode() const;
  DWORD id() const { return id_; }
  Scheduler::ThreadRecord& record() { return *record_; }
  std::atomic<int> priority{0};

 private:
  const DWORD id_;
  std::shared_ptr<Scheduler::ThreadRecord> record_;
  bool ended_ = false;  // under the scheduler lock
  DWORD exit_code_ = 259;  // STILL_ACTIVE
};

// The waitable behind a handle, or null when the handle names nothing waitable.
Waitable* WaitableOf(Object& object);

}  // namespace sim::win32
