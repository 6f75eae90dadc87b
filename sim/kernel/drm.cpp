// The DRM kernel library's forwarding call. The simulated PC protects no
// content: a valid forward is recorded and succeeds.
#include "sim/kernel/drm.h"

#include <mutex>

namespace sim::kernel {

namespace {
std::mutex g_mutex;
std::vector<DrmForwardRecord> g_forwards;
}  // namespace

std::vector<DrmForwardRecord> DrmForwards() {
  std::lock_guard lock(g_mutex);
  return g_forwards;
}

void ClearDrmForwards() {
  std::lock_guard lock(g_mutex);
  g_forwards.clear();
}

}  // namespace sim::kernel

extern "C" NTSTATUS NTAPI DrmForwardContentToDeviceObject(ULONG ContentId, PVOID, PCDRMFORWARD DrmForward) {
  // DRMFORWARD has no size field; Flags 0 is its only valid layout, and the
  // content needs a device to go to.
  if (!DrmForward || DrmForward->Flags != 0 || !DrmForward->DeviceObject) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(sim::kernel::g_mutex);
  sim::kernel::g_forwards.push_back({ContentId, DrmForward->DeviceObject, DrmForward->FileObject, DrmForward->Context});
  return STATUS_SUCCESS;
}
