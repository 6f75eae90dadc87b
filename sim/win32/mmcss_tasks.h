// What the multimedia class scheduler knows: which thread joined which task,
// at which priority, and whether it left again.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/mmcss.h"

namespace sim {

class Mmcss {
 public:
  struct Record {
    HANDLE handle;
    DWORD thread_id;
    std::string task;  // as the system's task table spells it ("Pro Audio")
    DWORD task_index;
    AVRT_PRIORITY priority;
    bool reverted;
  };

  static Mmcss& Get();

  // The tasks a thread may join (the system profile's task keys).
  static const std::vector<std::string>& Tasks();

  // Every join so far, in order.
  std::vector<Record> Records() const;
  // The latest join of a thread.
  std::optional<Record> ForThread(DWORD thread_id) const;
  // Joins not reverted yet (a thread that never left is a leak).
  std::size_t ActiveCount() const;
  void Reset();

  // The Win32 calls, each returning a Win32 error (0 on success).
  DWORD Join(const char* task, DWORD* task_index, DWORD thread_id, HANDLE* out);
  DWORD SetPriority(HANDLE handle, AVRT_PRIORITY priority);
  DWORD Revert(HANDLE handle);

 private:
  Record* FindActive(HANDLE handle);

  mutable std::mutex mutex_;
  std::vector<Record> records_;
  DWORD next_task_index_ = 1;
  std::uintptr_t next_handle_ = 0;
};

}  // namespace sim
