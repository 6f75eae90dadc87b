#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/ks.h"
#include "platform/wdm.h"
#include "platform/win32.h"
#include "sim/core/handles.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"
#include "sim/machine.h"
#include "tests/devio/test_driver.h"

struct HandleCloser {
  void operator()(HANDLE h) const noexcept {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct DevInfoCloser {
  void operator()(HDEVINFO h) const noexcept {
    if (h && h != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(h);
  }
};
using UniqueDevInfo = std::unique_ptr<void, DevInfoCloser>;

// The test device's interface paths as user mode sees them.
inline const std::string kLineOutPath =
    "\\\\?\\root#oradevtest#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\elineoutwave";
inline const std::string kMicInPath = "\\\\?\\root#oradevtest#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\emicin";

// A machine with the test device started; at the end the device is removed
// and nothing may be left: no handle, no IRP, no pool, no file object.
class DevioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::kernel::ResetKernel();
    pdo_ = devio_test::StartTestDevice();
    ASSERT_NE(nullptr, pdo_) << "the test device did not start";
  }
  void TearDown() override {
    for (const auto& leak : machine_.Leaks()) ADD_FAILURE() << "left open: " << leak;
    EXPECT_EQ(0u, devio_test::PendingCount());
    if (pdo_) {
      EXPECT_EQ(STATUS_SUCCESS, sim::kernel::PnpRemoveDevice(pdo_));
    }
    sim::kernel::Verifier::Get().CheckForLeaks();
    const auto violations = sim::kernel::Verifier::Get().Take();
    EXPECT_TRUE(violations.empty()) << sim::kernel::Verifier::Format(violations);
    sim::kernel::ResetKernel();
  }

  HANDLE Open(const std::string& path, DWORD flags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }

  sim::Machine machine_;
  PDEVICE_OBJECT pdo_ = nullptr;
};
