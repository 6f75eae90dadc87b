// Events, waits and threads over the machine's scheduler.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/win32/sync.h"
#include "sim/win32/sync_objects.h"

namespace sim::win32 {

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

std::atomic<DWORD> g_next_thread_id{0x1000};

struct CurrentThread {
  DWORD id = g_next_thread_id.fetch_add(4);
  std::weak_ptr<ThreadObject> object;  // set for threads made by CreateThread
  int priority = 0;                    // for threads that were not
};
thread_local CurrentThread t_current;

Nanos TimeoutOf(DWORD milliseconds) {
  return milliseconds == INFINITE ? kInfinite : static_cast<Nanos>(milliseconds) * kMillisecond;
}

std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle) {
  if (handle == kCurrentThread) return t_current.object.lock();
  return HandleTable::Get().LookupAs<ThreadObject>(handle);
}

bool IsValidPriority(int priority) {
  return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
         (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

}  // namespace

bool ThreadObject::End(DWORD exit_code) {
  auto& s = Scheduler::Get();
  s.Lock();
  const bool first = !ended_;
  if (first) {
    ended_ = true;
    exit_code_ = exit_code;
    s.NotifyLocked(*this);
  }
  s.Unlock();
  return first;
}

DWORD ThreadObject::ExitCode() const {
  auto& s = Scheduler::Get();
  s.Lock();
  const DWORD code = exit_code_;
  s.Unlock();
  return code;
}

Waitable* WaitableOf(Object& object) {
  switch (object.Type()) {
    case ObjectType::Event: return &static_cast<EventObject&>(object).event;
    case ObjectType::Thread: return static_cast<ThreadObject*>(&object);
    default: return nullptr;
  }
}

}  // namespace sim::win32

using namespace sim;
using namespace sim::win32;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  auto event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE, lpName ? lpName : "");
  SetLastError(ERROR_SUCCESS);
  return HandleTable::Get().Insert(std::move(event));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = HandleTable::Get().LookupAs<EventObject>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->event.Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = HandleTable::Get().LookupAs<EventObject>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->event.Reset();
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (!HandleTable::Get().Close(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (!lpHandles) {
    SetLastError(ERROR_NOACCESS);
    return WAIT_FAILED;
  }
  // Keep every object alive for the whole wait.
  std::vector<std::shared_ptr<Object>> objects;
  std::vector<Waitable*> waitables;
  for (DWORD i = 0; i < nCount; ++i) {
    std::shared_ptr<Object> object;
    if (lpHandles[i] == kCurrentThread)
      object = t_current.object.lock();
    else
      for (ObjectType type : {ObjectType::Event, ObjectType::Thread})
        if (!object) object = HandleTable::Get().Lookup(lpHandles[i], type);
    Waitable* waitable = object ? WaitableOf(*object) : nullptr;
    if (!waitable) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // Windows refuses the same object twice in a wait-all.
    if (bWaitAll && std::find(waitables.begin(), waitables.end(), waitable) != waitables.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
    waitables.push_back(waitable);
  }
  const WaitResult result = Scheduler::Get().Wait(waitables, bWaitAll != FALSE, TimeoutOf(dwMilliseconds));
  switch (result.status) {
    case WaitStatus::Satisfied: return WAIT_OBJECT_0 + static_cast<DWORD>(result.index);
    case WaitStatus::Abandoned: return WAIT_ABANDONED_0 + static_cast<DWORD>(result.index);
    case WaitStatus::Timeout: break;
  }
  return WAIT_TIMEOUT;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  constexpr DWORD kStackSizeIsReservation = 0x00010000;
  if (!lpStartAddress || (dwCreationFlags & ~kStackSizeIsReservation) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const DWORD id = g_next_thread_id.fetch_add(4);
  auto record = Scheduler::Get().NewCountedThread("thread " + std::to_string(id));
  auto object = std::make_shared<ThreadObject>(id, record);
  HANDLE handle = HandleTable::Get().Insert(object);
  std::thread([object, record, lpStartAddress, lpParameter] {
    Scheduler::Get().BindCurrentThread(record);
    t_current.id = object->id();
    t_current.object = object;
    const DWORD code = lpStartAddress(lpParameter);
    // Waiters on the thread wake before it stops counting, so the clock
    // cannot move between its end and their waking.
    object->End(code);
    Scheduler::Get().ThreadExiting();
  }).detach();
  if (lpThreadId) *lpThreadId = id;
  return handle;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  if (!IsValidPriority(nPriority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (auto thread = ThreadOf(hThread)) {
    thread->priority = nPriority;
    return TRUE;
  }
  if (hThread == kCurrentThread) {
    t_current.priority = nPriority;
    return TRUE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
  constexpr int kThreadPriorityErrorReturn = 0x7FFFFFFF;
  if (auto thread = ThreadOf(hThread)) return thread->priority;
  if (hThread == kCurrentThread) return t_current.priority;
  SetLastError(ERROR_INVALID_HANDLE);
  return kThreadPriorityErrorReturn;
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  auto thread = ThreadOf(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // An ended thread can still be "terminated"; Windows reports success.
  if (thread->End(dwExitCode)) Scheduler::Get().Terminate(thread->record());
  return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = ThreadOf(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpExitCode) *lpExitCode = thread->ExitCode();
  return TRUE;
}

HANDLE WINAPI GetCurrentThread() { return kCurrentThread; }
DWORD WINAPI GetCurrentThreadId() { return t_current.id; }
HANDLE WINAPI GetCurrentProcess() { return kCurrentProcess; }
DWORD WINAPI GetCurrentProcessId() { return 0x1234; }

void WINAPI Sleep(DWORD dwMilliseconds) { Scheduler::Get().Wait({}, false, TimeoutOf(dwMilliseconds)); }

DWORD WINAPI timeGetTime() { return static_cast<DWORD>(Scheduler::Get().Now() / kMillisecond); }

ULONGLONG WINAPI GetTickCount64() { return static_cast<ULONGLONG>(Scheduler::Get().Now() / kMillisecond); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  if (!lpPerformanceCount) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  // A 10 MHz counter, as on current Windows.
  lpPerformanceCount->QuadPart = Scheduler::Get().Now() / 100;
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  if (!lpFrequency) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  lpFrequency->QuadPart = 10'000'000;
  return TRUE;
}

LONG WINAPI InterlockedIncrement(LONG volatile* Addend) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_add(1) + 1;
}
LONG WINAPI InterlockedDecrement(LONG volatile* Addend) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_sub(1) - 1;
}
LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(Target)).exchange(Value);
}
LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
  std::atomic_ref<LONG>(*const_cast<LONG*>(Destination)).compare_exchange_strong(Comperand, Exchange);
  return Comperand;
}
PVOID WINAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return std::atomic_ref<PVOID>(*const_cast<PVOID*>(Target)).exchange(Value);
}

}  // extern "C"
