// The scheduler's timers, as the card's DMA engines use them.
#include <vector>

#include "fixture.h"

namespace {

using SchedulerTest = VirtualTime;

TEST_F(SchedulerTest, TimersFireInOrderAtTheirInstantBeforeTimeOuts) {
  auto& s = sim::Scheduler::Get();
  std::vector<std::pair<int, sim::Nanos>> fired;
  s.ScheduleAt(30 * sim::kMillisecond, [&] { fired.push_back({3, s.Now()}); });
  s.ScheduleAt(10 * sim::kMillisecond, [&] { fired.push_back({1, s.Now()}); });
  s.ScheduleAt(10 * sim::kMillisecond, [&] { fired.push_back({2, s.Now()}); });
  const sim::TimerId cancelled = s.ScheduleAt(20 * sim::kMillisecond, [&] { fired.push_back({99, s.Now()}); });
  EXPECT_TRUE(s.Cancel(cancelled));
  EXPECT_FALSE(s.Cancel(cancelled));
  s.RunFor(30 * sim::kMillisecond);
  const std::vector<std::pair<int, sim::Nanos>> expected = {
      {1, 10 * sim::kMillisecond}, {2, 10 * sim::kMillisecond}, {3, 30 * sim::kMillisecond}};
  EXPECT_EQ(expected, fired);
  EXPECT_EQ(30 * sim::kMillisecond, s.Now());
}

TEST_F(SchedulerTest, PeriodicTimerSignalsAWaitingThread) {
  auto& s = sim::Scheduler::Get();
  sim::Event tick(false, false, "tick");
  int ticks = 0;
  std::function<void()> fire = [&] {
    tick.Set();
    if (++ticks < 5) s.ScheduleAt(s.Now() + 5 * sim::kMillisecond, fire);
  };
  s.ScheduleAt(5 * sim::kMillisecond, fire);
  std::vector<sim::Nanos> seen;
  sim::Waitable* objects[] = {&tick};
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(sim::WaitStatus::Satisfied, s.Wait(objects, false, sim::kInfinite).status);
    seen.push_back(s.Now() / sim::kMillisecond);
  }
  EXPECT_EQ((std::vector<sim::Nanos>{5, 10, 15, 20, 25}), seen);
}

TEST(RealTime, WaitsFollowTheMonotonicClock) {
  sim::Machine machine({sim::ClockMode::Real, false});
  auto& s = sim::Scheduler::Get();
  sim::Event e(false, false);
  sim::Waitable* objects[] = {&e};
  const sim::Nanos t0 = s.Now();
  EXPECT_EQ(sim::WaitStatus::Timeout, s.Wait(objects, false, 2 * sim::kMillisecond).status);
  EXPECT_GE(s.Now() - t0, 2 * sim::kMillisecond);
}

}  // namespace
