// AvSetMmThreadCharacteristicsA and friends over a record of joins.
#include "platform/win32/mmcss.h"

#include <strings.h>

#include <atomic>

#include "platform/win32/sync.h"
#include "sim/win32/mmcss_tasks.h"

namespace sim {

namespace {
// MMCSS handles are not kernel handles; they get their own value range so
// that no event or file handle is ever mistaken for one.
constexpr std::uintptr_t kHandleBase = 0x7A000000;
}  // namespace

Mmcss& Mmcss::Get() {
  static Mmcss mmcss;
  return mmcss;
}

const std::vector<std::string>& Mmcss::Tasks() {
  static const std::vector<std::string> tasks = {
      "Audio", "Capture", "DisplayPostProcessing", "Distribution", "Games", "Playback", "Pro Audio", "Window Manager"};
  return tasks;
}

std::vector<Mmcss::Record> Mmcss::Records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::optional<Mmcss::Record> Mmcss::ForThread(DWORD thread_id) const {
  std::lock_guard lock(mutex_);
  for (auto it = records_.rbegin(); it != records_.rend(); ++it)
    if (it->thread_id == thread_id) return *it;
  return std::nullopt;
}

std::size_t Mmcss::ActiveCount() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& record : records_) n += !record.reverted;
  return n;
}

void Mmcss::Reset() {
  std::lock_guard lock(mutex_);
  records_.clear();
  next_task_index_ = 1;
  next_handle_ = 0;
}

Mmcss::Record* Mmcss::FindActive(HANDLE handle) {
  for (auto& record : records_)
    if (record.handle == handle && !record.reverted) return &record;
  return nullptr;
}

DWORD Mmcss::Join(const char* task, DWORD* task_index, DWORD thread_id, HANDLE* out) {
  *out = nullptr;
  if (task == nullptr || task_index == nullptr) return ERROR_INVALID_PARAMETER;
  // Task names are registry key names: compared without regard to case.
  const std::string* known = nullptr;
  for (const auto& name : Tasks())
    if (strcasecmp(name.c_str(), task) == 0) known = &name;
  if (known == nullptr) return ERROR_INVALID_TASK_NAME;
  std::lock_guard lock(mutex_);
  for (const auto& record : records_)
    if (record.thread_id == thread_id && !record.reverted) return ERROR_THREAD_ALREADY_IN_TASK;
  // A nonzero index resumes a task index handed out before.
  DWORD index = *task_index;
  if (index == 0) {
    index = next_task_index_++;
  } else if (index >= next_task_index_) {
    return ERROR_INVALID_TASK_INDEX;
  }
  next_handle_ += 4;
  HANDLE handle = reinterpret_cast<HANDLE>(kHandleBase + next_handle_);
  records_.push_back(Record{handle, thread_id, *known, index, AVRT_PRIORITY_NORMAL, false});
  *task_index = index;
  *out = handle;
  return 0;
}

DWORD Mmcss::SetPriority(HANDLE handle, AVRT_PRIORITY priority) {
  std::lock_guard lock(mutex_);
  Record* record = FindActive(handle);
  if (record == nullptr) return ERROR_INVALID_HANDLE;
  if (priority < AVRT_PRIORITY_VERYLOW || priority > AVRT_PRIORITY_CRITICAL) return ERROR_INVALID_PARAMETER;
  record->priority = priority;
  return 0;
}

DWORD Mmcss::Revert(HANDLE handle) {
  std::lock_guard lock(mutex_);
  Record* record = FindActive(handle);
  if (record == nullptr) return ERROR_INVALID_HANDLE;
  record->reverted = true;
  return 0;
}

}  // namespace sim

extern "C" HANDLE WINAPI AvSetMmThreadCharacteristicsA(LPCSTR TaskName, LPDWORD TaskIndex) {
  HANDLE handle = nullptr;
  if (const DWORD error = sim::Mmcss::Get().Join(TaskName, TaskIndex, GetCurrentThreadId(), &handle); error != 0)
    SetLastError(error);
  return handle;
}

extern "C" BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority) {
  const DWORD error = sim::Mmcss::Get().SetPriority(AvrtHandle, Priority);
  if (error == 0) return TRUE;
  SetLastError(error);
  return FALSE;
}

extern "C" BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle) {
  const DWORD error = sim::Mmcss::Get().Revert(AvrtHandle);
  if (error == 0) return TRUE;
  SetLastError(error);
  return FALSE;
}

