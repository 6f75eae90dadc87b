// A small device stack for the kernel tests: a bus driver that answers as the
// PDO, a function driver ("lower") that answers, fails or pends requests, and
// an upper filter that passes everything down, counting the requests inside it
// so that removal waits for them, as a real filter does.
#pragma once

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wdm.h"

namespace kerneltest {

// Every driver appends what it sees, in order.
class CallLog {
 public:
  void Add(std::string line);
  std::vector<std::string> Lines();
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};
CallLog& Log();

enum class LowerAction {
  Complete,               // complete at once with status and information
  Pend,                   // mark pending, queue, return STATUS_PENDING
  PendCancelable,         // the same with a cancel routine
  CompleteWithCancelSet,  // a bug: complete while the cancel routine is still set
};

struct LowerConfig {
  LowerAction action = LowerAction::Complete;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  // A fault for the verifier: pool taken in AddDevice and never freed.
  bool leak_pool = false;
};
LowerConfig& Lower();

// The lower driver's queue of pended requests.
std::size_t PendingCount();
// Claims the oldest pending request from its cancel routine and completes it;
// false when none is queued or the cancel routine owns it.
bool CompletePending(NTSTATUS status, ULONG_PTR information);
// Claims the oldest pending request (clears the cancel routine) without completing it.
PIRP ClaimPending();
void CompleteClaimed(PIRP irp, NTSTATUS status, ULONG_PTR information);

struct FilterConfig {
  bool with_completion = true;  // copy the location and set a completion routine; false: copy without one
  bool skip = false;            // skip the location instead (no completion routine)
  bool on_success = true;
  bool on_error = true;
  bool on_cancel = true;
  // Returned by the completion routine; STATUS_MORE_PROCESSING_REQUIRED parks the IRP in Parked().
  NTSTATUS completion_result = STATUS_SUCCESS;
  // A fault for the verifier: detach on removal but never delete the device.
  bool forget_delete = false;
  // Signalled when the remove handler starts waiting for outstanding requests.
  std::promise<void>* remove_waiting = nullptr;
};
FilterConfig& Filter();
PIRP& Parked();

// Installs the three drivers as built-in images and their services, and a
// device instance `instance_id` using them (the filter as upper filter).
void InstallDrivers(const std::u16string& instance_id, bool with_filter = true);
// PnpCreateChildDevice through the bus driver, then PnpStartDevice.
PDEVICE_OBJECT CreateAndStartDevice(const std::u16string& instance_id);

// The test bus driver's named control device, opened with IoGetDeviceObjectPointer.
inline constexpr const WCHAR* kBusControlName = u"\\Device\\OraTestBus";

void ResetDrivers();

}  // namespace kerneltest
