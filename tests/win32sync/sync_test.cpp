// Events, waits and threads behave as on Windows, in virtual time.
#include <atomic>
#include <vector>

#include "fixture.h"

namespace {

using SyncTest = VirtualTime;

UniqueHandle MakeEvent(bool manual, bool initial) { return UniqueHandle(CreateEventA(nullptr, manual, initial, nullptr)); }

TEST_F(SyncTest, AutoResetEventReleasesOneWaitManualResetStays) {
  auto autoEvent = MakeEvent(false, true);
  auto manualEvent = MakeEvent(true, true);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoEvent.get(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoEvent.get(), 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manualEvent.get(), 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manualEvent.get(), 0));
  ASSERT_TRUE(ResetEvent(manualEvent.get()));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manualEvent.get(), 0));
}

TEST_F(SyncTest, WaitAnyTakesOnlyTheLowestSignalledIndex) {
  auto a = MakeEvent(false, false), b = MakeEvent(false, true), c = MakeEvent(false, true);
  HANDLE handles[] = {a.get(), b.get(), c.get()};
  EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, handles, FALSE, 0));
  // c was not consumed by the first wait.
  EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, handles, FALSE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, handles, FALSE, 0));
}

TEST_F(SyncTest, WaitAllNeedsEveryObjectAndTakesThemAll) {
  auto a = MakeEvent(false, true), b = MakeEvent(false, false);
  HANDLE handles[] = {a.get(), b.get()};
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, handles, TRUE, 0));
  // A failed wait-all takes nothing.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a.get(), 0));
  SetEvent(a.get());
  SetEvent(b.get());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, handles, TRUE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(a.get(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(b.get(), 0));
}

TEST_F(SyncTest, BadWaitsFailWithTheWindowsErrors) {
  auto a = MakeEvent(false, true);
  HANDLE dup[] = {a.get(), a.get()};
  HANDLE bad[] = {a.get(), reinterpret_cast<HANDLE>(0x7770)};
  struct Case {
    const char* what;
    DWORD count;
    const HANDLE* handles;
    BOOL all;
    DWORD error;
  } cases[] = {
      {"duplicate in wait-all (Wine accepts it; Windows refuses)", 2, dup, TRUE, ERROR_INVALID_PARAMETER},
      {"bad handle", 2, bad, FALSE, ERROR_INVALID_HANDLE},
      {"no handles", 0, dup, FALSE, ERROR_INVALID_PARAMETER},
      {"too many handles", MAXIMUM_WAIT_OBJECTS + 1, dup, FALSE, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(c.count, c.handles, c.all, 0));
    EXPECT_EQ(c.error, GetLastError());
  }
  // Duplicates are fine in a wait-any.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, dup, FALSE, 0));

  SetLastError(0xdeadbeef);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x7770)));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  HANDLE stale = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(stale));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(stale));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(SyncTest, TimeOutsTakeVirtualTimeOnly) {
  auto event = MakeEvent(false, false);
  const DWORD t0 = timeGetTime();
  LARGE_INTEGER q0, q1, f;
  ASSERT_TRUE(QueryPerformanceCounter(&q0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 1000));
  ASSERT_TRUE(QueryPerformanceCounter(&q1));
  ASSERT_TRUE(QueryPerformanceFrequency(&f));
  EXPECT_EQ(1000u, timeGetTime() - t0);
  EXPECT_EQ(f.QuadPart, q1.QuadPart - q0.QuadPart);
  Sleep(250);
  EXPECT_EQ(1250u, timeGetTime() - t0);
}

struct WakeProbe {
  HANDLE event;
  DWORD result = 0;
  DWORD wokeAt = 0;
};

DWORD WINAPI WaitThenRecord(LPVOID p) {
  auto* probe = static_cast<WakeProbe*>(p);
  probe->result = WaitForSingleObject(probe->event, 100);
  probe->wokeAt = timeGetTime();
  return 7;
}

TEST_F(SyncTest, ThreadWakesAtTheSignalAndItsHandleSignalsOnExit) {
  auto event = MakeEvent(false, false);
  WakeProbe probe{event.get()};
  DWORD id = 0;
  UniqueHandle thread(CreateThread(nullptr, 0, WaitThenRecord, &probe, 0, &id));
  ASSERT_NE(nullptr, thread.get());
  EXPECT_NE(0u, id);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(STILL_ACTIVE, code);

  Sleep(40);
  SetEvent(event.get());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), INFINITE));
  EXPECT_EQ(WAIT_OBJECT_0, probe.result);
  EXPECT_EQ(40u, probe.wokeAt);
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(7u, code);
  // A thread handle stays signalled.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 0));
}

TEST_F(SyncTest, ThreadTimesOutAtItsDeadline) {
  auto event = MakeEvent(false, false);
  WakeProbe probe{event.get()};
  UniqueHandle thread(CreateThread(nullptr, 0, WaitThenRecord, &probe, 0, nullptr));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread.get(), 50));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), INFINITE));
  EXPECT_EQ(WAIT_TIMEOUT, probe.result);
  EXPECT_EQ(100u, probe.wokeAt);
}

DWORD WINAPI BlockForever(LPVOID p) {
  WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
  return 0;
}

TEST_F(SyncTest, TerminateThreadEndsABlockedThread) {
  auto never = MakeEvent(true, false);
  UniqueHandle thread(CreateThread(nullptr, 0, BlockForever, never.get(), 0, nullptr));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread.get(), 1000));
  ASSERT_TRUE(TerminateThread(thread.get(), 0xDEAD));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 0));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(0xDEADu, code);
  // The parked thread no longer holds the clock back.
  Sleep(10);
  EXPECT_EQ(1010u, timeGetTime());
}

TEST_F(SyncTest, ThreadPriorities) {
  EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(GetCurrentThread()));
  ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
  EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, GetThreadPriority(GetCurrentThread()));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 7));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
}

struct PingPong {
  HANDLE ping, pong;
  std::vector<DWORD> times;
};

DWORD WINAPI Ponger(LPVOID p) {
  auto* pp = static_cast<PingPong*>(p);
  for (int i = 0; i < 3; ++i) {
    WaitForSingleObject(pp->ping, INFINITE);
    pp->times.push_back(timeGetTime());
    SetEvent(pp->pong);
  }
  return 0;
}

TEST(Sync, HandOverThroughAutoResetEventsRepeatsExactly) {
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    sim::Machine machine;
    auto ping = MakeEvent(false, false), pong = MakeEvent(false, false);
    PingPong pp{ping.get(), pong.get(), {}};
    UniqueHandle thread(CreateThread(nullptr, 0, Ponger, &pp, 0, nullptr));
    for (int i = 0; i < 3; ++i) {
      Sleep(10);
      SetEvent(ping.get());
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pong.get(), INFINITE));
    }
    WaitForSingleObject(thread.get(), INFINITE);
    EXPECT_EQ((std::vector<DWORD>{10, 20, 30}), pp.times);
    thread.reset();
    ping.reset();
    pong.reset();
    EXPECT_TRUE(machine.Leaks().empty());
  }
}

}  // namespace
