// The DRM forwarding call: valid forwards are recorded, bad ones refused.
#include "sim/kernel/drm.h"

#include <gtest/gtest.h>

namespace {

TEST(DrmForward, RecordsAValidForwardAndRefusesBadOnes) {
  sim::kernel::ClearDrmForwards();
  alignas(16) static unsigned char device[sizeof(DEVICE_OBJECT)];
  alignas(16) static unsigned char file[sizeof(FILE_OBJECT)];
  auto* d = reinterpret_cast<PDEVICE_OBJECT>(device);
  auto* f = reinterpret_cast<PFILE_OBJECT>(file);
  const DRMFORWARD good{0, d, f, f};
  const DRMFORWARD flagged{1, d, f, f};
  const DRMFORWARD deviceless{0, nullptr, f, f};
  EXPECT_EQ(STATUS_INVALID_PARAMETER, DrmForwardContentToDeviceObject(7, nullptr, nullptr));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, DrmForwardContentToDeviceObject(7, nullptr, &flagged));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, DrmForwardContentToDeviceObject(7, nullptr, &deviceless));
  EXPECT_EQ(STATUS_SUCCESS, DrmForwardContentToDeviceObject(7, nullptr, &good));
  const auto forwards = sim::kernel::DrmForwards();
  ASSERT_EQ(1u, forwards.size());
  EXPECT_EQ(7u, forwards[0].content_id);
  EXPECT_EQ(d, forwards[0].device);
  EXPECT_EQ(f, forwards[0].file);
  EXPECT_EQ(f, forwards[0].context);
  sim::kernel::ClearDrmForwards();
}

}  // namespace
