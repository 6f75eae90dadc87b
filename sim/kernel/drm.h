// What the simulated DRM kernel library was asked to forward, for tests.
#pragma once

#include <vector>

#include "platform/drm.h"

namespace sim::kernel {

struct DrmForwardRecord {
  ULONG content_id;
  PDEVICE_OBJECT device;
  PFILE_OBJECT file;
  PVOID context;
};

// Every successful DrmForwardContentToDeviceObject, in call order.
std::vector<DrmForwardRecord> DrmForwards();
void ClearDrmForwards();

}  // namespace sim::kernel
