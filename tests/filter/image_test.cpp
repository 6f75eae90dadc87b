// The built driver image, loaded by PnP from its ImagePath.
#include <gtest/gtest.h>

#include "filter/orafilt_props.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"
#include "tests/filter/harness.h"

using namespace filter_test;

namespace {

std::u16string ImagePath() {
  const std::string narrow = ORA_FILTER_IMAGE_PATH;
  return std::u16string(narrow.begin(), narrow.end());
}

TEST(FilterImageTest, PnpLoadsOraFiltSysAndItAttachesAndUnloads) {
  {
    Stack stack(DefaultCodec(), ImagePath());
    ASSERT_EQ(STATUS_SUCCESS, stack.start_status());
    PDRIVER_OBJECT driver = sim::kernel::FindLoadedDriver(u"OraFilt");
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(driver, stack.top()->DriverObject);
    Request r(stack.top());
    r.stack()->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(STATUS_SUCCESS, r.Send());
    EXPECT_TRUE(r.completed());
    EXPECT_EQ(STATUS_SUCCESS, stack.Remove());
    EXPECT_EQ(nullptr, sim::kernel::FindLoadedDriver(u"OraFilt"));
  }
  EXPECT_EQ(std::vector<std::string>(), TakeStackProblems());
  sim::kernel::Verifier::Get().CheckForLeaks();
  const auto violations = sim::kernel::Verifier::Get().Take();
  EXPECT_TRUE(violations.empty()) << sim::kernel::Verifier::Format(violations);
}

}  // namespace
