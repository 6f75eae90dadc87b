#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/win32.h"
#include "sim/core/handles.h"
#include "sim/core/scheduler.h"
#include "sim/machine.h"

// A fresh virtual-time machine core; the test thread is counted, so time
// moves only while it is blocked in a simulated wait.
class VirtualTime : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& leak : machine_.Leaks()) ADD_FAILURE() << "left open: " << leak;
  }
  sim::Machine machine_;
};

struct HandleCloser {
  void operator()(HANDLE h) const noexcept {
    if (h) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;
