// The codec's device stack for the filter's tests: a fake HD Audio bus driver
// whose PDO answers the bus interface over a simulated codec, a fake function
// driver below the filter, and a fake bus component \Device\KVLNK.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filter/codec_filter.h"
#include "filter/drm_props.h"
#include "platform/kvlnk.h"
#include "platform/wdm.h"
#include "sim/card/codec.h"
#include "sim/card/profile.h"

namespace filter_test {

// The bus driver's side: which interface versions it refuses, the codec behind it.
struct BusState {
  std::unique_ptr<sim::card::Codec> codec;
  bool refuseV1 = false;
  bool refuseV2 = false;
  // Transfers fail with this status from the n-th call on (0: never).
  int failTransfersFrom = 0;
  NTSTATUS failStatus = static_cast<NTSTATUS>(0xC0000185u);
  int transferCalls = 0;
  int interfaceQueries = 0;
};

// The function driver below the filter.
struct LowerState {
  // Answers every request the filter passes down except PnP and power; null: success, Information 0.
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> handler;
  std::vector<UCHAR> majors;  // of every request that reached it
  std::deque<PIRP> pending;   // requests it keeps (PendNext)
  bool pendNext = false;
  std::vector<std::pair<UCHAR, DEVICE_POWER_STATE>> power;
  PDEVICE_OBJECT removed = nullptr;
};

// The bus component.
struct KvlnkState {
  bool present = true;
  bool failGetEntry = false;
  bool failCreateObject = false;
  bool failRegisters = false;
  bool failSharedMemory = false;
  std::vector<ULONG> registers = std::vector<ULONG>(0x40, 0);
  std::vector<std::pair<ULONG, ULONG>> writes;  // (index, value)
  std::vector<UCHAR> control = std::vector<UCHAR>(0x1000, 0);
  std::vector<UCHAR> aux = std::vector<UCHAR>(0x1000, 0);
  int opens = 0;
};

struct DrmState {
  NTSTATUS result = STATUS_SUCCESS;
  std::vector<std::pair<ULONG, DRMFORWARD>> calls;
};

BusState& Bus();
LowerState& Lower();
KvlnkState& Kvlnk();
DrmState& Drm();

// What the verifier and the pool found when a Stack was taken down, since the last call.
std::vector<std::string> TakeStackProblems();

// Builds the machine: bus driver, \Device\KVLNK (when present), the codec's
// PDO with the function driver and OraFilt above it, started.
class Stack {
 public:
  // `image`: empty uses the filter linked into the test; otherwise the path of OraFilt.sys.
  explicit Stack(sim::card::CodecProfile codec, std::u16string image = {});
  ~Stack();
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  PDEVICE_OBJECT pdo() const { return pdo_; }
  PDEVICE_OBJECT top() const;
  CCodecFilter* filter() const;
  NTSTATUS start_status() const { return start_status_; }
  // Removes the device (PnP); the destructor does it otherwise.
  NTSTATUS Remove();

 private:
  PDEVICE_OBJECT pdo_ = nullptr;
  PDRIVER_OBJECT bus_ = nullptr;
  PDRIVER_OBJECT kvlnk_ = nullptr;
  NTSTATUS start_status_ = STATUS_UNSUCCESSFUL;
  bool removed_ = false;
};

// A request sent to the top of the stack by a test, with its own completion.
class Request {
 public:
  // `stack_count` 0: the top's StackSize.
  explicit Request(PDEVICE_OBJECT top, CCHAR stack_count = 0);
  ~Request();
  PIRP irp() const { return irp_; }
  PIO_STACK_LOCATION stack() const;
  NTSTATUS Send();
  bool completed() const { return completed_; }
  NTSTATUS status() const { return irp_->IoStatus.Status; }
  ULONG_PTR information() const { return irp_->IoStatus.Information; }
  bool pending_returned() const { return pending_returned_; }

 private:
  static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context);
  PDEVICE_OBJECT top_;
  PIRP irp_;
  bool completed_ = false;
  bool pending_returned_ = false;
};

// A file object on a filter of the card, by its name ("\eLineOutWave").
struct TestFile {
  explicit TestFile(const std::u16string& name);
  std::u16string name;
  FILE_OBJECT file{};
};

// Completes a request the lower driver kept.
void CompletePending(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// The default card's codec, 10EC:1220 at address 0.
sim::card::CodecProfile DefaultCodec();
sim::card::CodecProfile Codec0899();

}  // namespace filter_test
