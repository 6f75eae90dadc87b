// The fixture every kernel test uses: a fresh machine and kernel, and the
// verifier's verdict at the end.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"
#include "sim/machine.h"
#include "tests/kernel/test_drivers.h"

namespace kerneltest {

inline const std::u16string kInstance = u"ORATEST\\DEVICE\\1&2345&0&0001";

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::kernel::ResetKernel();
    ResetDrivers();
    machine_ = std::make_unique<sim::Machine>();
  }

  void TearDown() override {
    if (PDRIVER_OBJECT bus = sim::kernel::FindLoadedDriver(u"OraTestBus")) sim::kernel::UnloadDriver(bus);
    auto& verifier = sim::kernel::Verifier::Get();
    verifier.CheckForLeaks();
    const auto found = verifier.Take();
    EXPECT_TRUE(found.empty()) << sim::kernel::Verifier::Format(found);
    sim::kernel::ResetKernel();
    machine_.reset();
  }

  // The verifier's findings so far, forgotten once returned.
  static std::vector<sim::kernel::Violation> TakeViolations() { return sim::kernel::Verifier::Get().Take(); }

  std::unique_ptr<sim::Machine> machine_;
};

// Runs `body`, expecting one bug check with `code`; returns its message.
template <typename Body>
std::string ExpectBugCheck(sim::kernel::BugCheckCode code, Body body) {
  try {
    body();
  } catch (const sim::kernel::BugCheckError& e) {
    EXPECT_EQ(static_cast<ULONG>(code), static_cast<ULONG>(e.info().code)) << e.what();
    return e.info().message;
  }
  ADD_FAILURE() << "no bug check " << sim::kernel::BugCheckName(code);
  return {};
}

}  // namespace kerneltest
