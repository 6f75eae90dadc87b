#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/win32.h"
#include "sim/core/handles.h"
#include "sim/core/scheduler.h"

// A fresh virtual-time machine core; the test thread is counted, so time
// moves only while it is blocked in a simulated wait.
class VirtualTime : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Scheduler::Get().Reset(sim::ClockMode::Virtual);
    sim::Scheduler::Get().AttachCurrentThread("test");
  }
  void TearDown() override {
    sim::Scheduler::Get().DetachCurrentThread();
    EXPECT_EQ(0u, sim::HandleTable::Get().Count()) << "handles leaked by the test";
    sim::HandleTable::Get().Reset();
  }
};

struct HandleCloser {
  void operator()(HANDLE h) const noexcept {
    if (h) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;
