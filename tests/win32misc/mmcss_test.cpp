#include "platform/win32/mmcss.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/win32/sync.h"
#include "sim/win32/mmcss_tasks.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

class Mmcss : public ::testing::Test {
 protected:
  void SetUp() override { sim::Mmcss::Get().Reset(); }
  void TearDown() override { sim::Mmcss::Get().Reset(); }
};

TEST_F(Mmcss, StreamThreadJoinsProAudioAtCriticalPriorityAndLeaves) {
  DWORD task_index = 0;
  HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &task_index);
  ASSERT_NE(nullptr, task);
  EXPECT_NE(0u, task_index);

  auto record = sim::Mmcss::Get().ForThread(GetCurrentThreadId());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ("Pro Audio", record->task);
  EXPECT_EQ(task_index, record->task_index);
  EXPECT_EQ(AVRT_PRIORITY_NORMAL, record->priority);
  EXPECT_FALSE(record->reverted);

  EXPECT_TRUE(AvSetMmThreadPriority(task, AVRT_PRIORITY_CRITICAL));
  EXPECT_EQ(AVRT_PRIORITY_CRITICAL, sim::Mmcss::Get().ForThread(GetCurrentThreadId())->priority);
  EXPECT_EQ(1u, sim::Mmcss::Get().ActiveCount());

  EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
  EXPECT_TRUE(sim::Mmcss::Get().ForThread(GetCurrentThreadId())->reverted);
  EXPECT_EQ(0u, sim::Mmcss::Get().ActiveCount());

  // The handle is gone after the revert.
  SetLastError(kSentinel);
  EXPECT_FALSE(AvRevertMmThreadCharacteristics(task));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(Mmcss, TaskNamesAreThoseOfTheSystemProfileWithoutRegardToCase) {
  DWORD task_index = 0;
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, AvSetMmThreadCharacteristicsA("Studio", &task_index));
  EXPECT_EQ(ERROR_INVALID_TASK_NAME, GetLastError());
  EXPECT_EQ(0u, task_index);
  EXPECT_TRUE(sim::Mmcss::Get().Records().empty());

  HANDLE task = AvSetMmThreadCharacteristicsA("pro AUDIO", &task_index);
  ASSERT_NE(nullptr, task);
  EXPECT_EQ("Pro Audio", sim::Mmcss::Get().ForThread(GetCurrentThreadId())->task);
  EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
}

TEST_F(Mmcss, TaskIndexMustBeOneHandedOutBefore) {
  DWORD task_index = 999;
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, AvSetMmThreadCharacteristicsA("Pro Audio", &task_index));
  EXPECT_EQ(ERROR_INVALID_TASK_INDEX, GetLastError());

  task_index = 0;
  HANDLE first = AvSetMmThreadCharacteristicsA("Pro Audio", &task_index);
  ASSERT_NE(nullptr, first);
  ASSERT_TRUE(AvRevertMmThreadCharacteristics(first));
  DWORD resumed = task_index;
  HANDLE second = AvSetMmThreadCharacteristicsA("Pro Audio", &resumed);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(task_index, resumed);
  EXPECT_NE(first, second);
  EXPECT_TRUE(AvRevertMmThreadCharacteristics(second));
}

TEST_F(Mmcss, AThreadJoinsOneTaskAtATime) {
  DWORD task_index = 0;
  HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &task_index);
  ASSERT_NE(nullptr, task);
  DWORD other_index = 0;
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, AvSetMmThreadCharacteristicsA("Audio", &other_index));
  EXPECT_EQ(ERROR_THREAD_ALREADY_IN_TASK, GetLastError());
  EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
}

TEST_F(Mmcss, PriorityMustBeOneOfTheFiveLevels) {
  DWORD task_index = 0;
  HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &task_index);
  ASSERT_NE(nullptr, task);
  for (const AVRT_PRIORITY priority :
       {AVRT_PRIORITY_VERYLOW, AVRT_PRIORITY_LOW, AVRT_PRIORITY_NORMAL, AVRT_PRIORITY_HIGH, AVRT_PRIORITY_CRITICAL}) {
    SCOPED_TRACE(priority);
    EXPECT_TRUE(AvSetMmThreadPriority(task, priority));
    EXPECT_EQ(priority, sim::Mmcss::Get().ForThread(GetCurrentThreadId())->priority);
  }
  for (const int bad : {-3, 3}) {
    SCOPED_TRACE(bad);
    SetLastError(kSentinel);
    EXPECT_FALSE(AvSetMmThreadPriority(task, static_cast<AVRT_PRIORITY>(bad)));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  }
  EXPECT_EQ(AVRT_PRIORITY_CRITICAL, sim::Mmcss::Get().ForThread(GetCurrentThreadId())->priority);
  EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
}

TEST_F(Mmcss, RecordsAreKeptPerThread) {
  DWORD other_thread = 0;
  std::thread worker([&] {
    other_thread = GetCurrentThreadId();
    DWORD task_index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &task_index);
    ASSERT_NE(nullptr, task);
    EXPECT_TRUE(AvSetMmThreadPriority(task, AVRT_PRIORITY_CRITICAL));
  });
  worker.join();
  ASSERT_NE(GetCurrentThreadId(), other_thread);
  EXPECT_FALSE(sim::Mmcss::Get().ForThread(GetCurrentThreadId()).has_value());
  auto record = sim::Mmcss::Get().ForThread(other_thread);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(AVRT_PRIORITY_CRITICAL, record->priority);
  // It never left its task: a leak the machine can report.
  EXPECT_FALSE(record->reverted);
  EXPECT_EQ(1u, sim::Mmcss::Get().ActiveCount());
}

}  // namespace
