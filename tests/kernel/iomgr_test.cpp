// The I/O manager through a device stack of bus PDO, lower driver and filter.
#include <cstring>
#include <thread>

#include "tests/kernel/kernel_test.h"

namespace kerneltest {
namespace {

using sim::kernel::BugCheckCode;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_KS, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

struct TopResult {
  bool called = false;
  NTSTATUS status = 0;
  BOOLEAN pending_returned = FALSE;
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
};

NTSTATUS NTAPI TopCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto result = static_cast<TopResult*>(context);
  Log().Add("top completion");
  result->called = true;
  result->status = irp->IoStatus.Status;
  result->pending_returned = irp->PendingReturned;
  result->device = device;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoManagerTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    InstallDrivers(kInstance);
    pdo_ = CreateAndStartDevice(kInstance);
    ASSERT_NE(nullptr, pdo_);
    top_ = IoGetAttachedDeviceReference(pdo_);
    Log().Clear();
  }
  void TearDown() override {
    if (top_) ObDereferenceObject(top_);
    if (pdo_) {
      EXPECT_EQ(STATUS_SUCCESS, sim::kernel::PnpRemoveDevice(pdo_));
    }
    KernelTest::TearDown();
  }

  // An IRP of the top device's stack size with the sender's completion routine.
  PIRP NewIoctl(TopResult* result, CCHAR stack_size = 0) {
    PIRP irp = IoAllocateIrp(stack_size ? stack_size : top_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, TopCompletion, result, TRUE, TRUE, TRUE);
    return irp;
  }

  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT top_ = nullptr;
};

TEST_F(IoManagerTest, StackSizesGrowByOneAtEachAttachment) {
  EXPECT_EQ(1, pdo_->StackSize);
  EXPECT_EQ(3, top_->StackSize);
  EXPECT_EQ(nullptr, top_->AttachedDevice);
  ASSERT_NE(nullptr, pdo_->AttachedDevice);
  EXPECT_EQ(top_, pdo_->AttachedDevice->AttachedDevice);
  EXPECT_NE(0u, top_->Flags & DO_BUFFERED_IO);  // taken over from the lower device
  EXPECT_EQ(0u, top_->Flags & DO_DEVICE_INITIALIZING);
}

struct InvocationCase {
  const char* name;
  NTSTATUS status;
  bool cancel;  // Irp->Cancel set before the request is sent
  bool on_success, on_error, on_cancel;
  bool invoked;
};

class CompletionRules : public IoManagerTest, public ::testing::WithParamInterface<InvocationCase> {};

TEST_P(CompletionRules, RoutineRunsOnlyForItsConditions) {
  const auto& c = GetParam();
  Lower().status = c.status;
  Filter().on_success = c.on_success;
  Filter().on_error = c.on_error;
  Filter().on_cancel = c.on_cancel;
  TopResult result;
  PIRP irp = NewIoctl(&result);
  irp->Cancel = c.cancel ? TRUE : FALSE;
  EXPECT_EQ(c.status, IoCallDriver(top_, irp));
  std::vector<std::string> expected = {"lower ioctl"};
  if (c.invoked) {
    char line[64];
    std::snprintf(line, sizeof line, "filter completion 0x%08X pending=0", static_cast<unsigned>(c.status));
    expected.push_back(line);
  }
  expected.push_back("top completion");
  EXPECT_EQ(expected, Log().Lines());
  EXPECT_TRUE(result.called);
  EXPECT_EQ(c.status, result.status);
  EXPECT_EQ(nullptr, result.device);  // the sender's own routine gets no device
  IoFreeIrp(irp);
  Filter() = FilterConfig{};
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompletionRules,
    ::testing::Values(InvocationCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                      InvocationCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
                      InvocationCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      InvocationCase{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                      // A warning is not NT_SUCCESS: it counts as an error.
                      InvocationCase{"WarningOnError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvocationCase{"WarningOnSuccessOnly", STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
                      InvocationCase{"CancelledIrpOnCancel", STATUS_SUCCESS, true, false, false, true, true},
                      InvocationCase{"CancelFlagWithoutCancel", STATUS_CANCELLED, false, false, false, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoManagerTest, PendingLowerMakesEveryLevelSeePendingReturned) {
  Lower().action = LowerAction::Pend;
  TopResult result;
  PIRP irp = NewIoctl(&result);
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(top_, irp));
  EXPECT_FALSE(result.called);
  ASSERT_EQ(1u, PendingCount());
  std::thread other([] { CompletePending(STATUS_SUCCESS, 7); });
  other.join();
  EXPECT_EQ((std::vector<std::string>{"lower ioctl", "filter completion 0x00000000 pending=1", "top completion"}),
            Log().Lines());
  EXPECT_TRUE(result.called);
  EXPECT_EQ(TRUE, result.pending_returned);
  EXPECT_EQ(7u, irp->IoStatus.Information);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, SynchronousCompletionLeavesPendingReturnedClear) {
  TopResult result;
  PIRP irp = NewIoctl(&result);
  EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(top_, irp));
  EXPECT_EQ(FALSE, result.pending_returned);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, LevelWithoutRoutineInheritsThePendingMark) {
  Filter().with_completion = false;
  Lower().action = LowerAction::Pend;
  TopResult result;
  PIRP irp = NewIoctl(&result);
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(top_, irp));
  ASSERT_TRUE(CompletePending(STATUS_SUCCESS, 0));
  EXPECT_EQ(TRUE, result.pending_returned);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, MoreProcessingRequiredStopsCompletionUntilCompletedAgain) {
  Filter().completion_result = STATUS_MORE_PROCESSING_REQUIRED;
  TopResult result;
  PIRP irp = NewIoctl(&result);
  IoCallDriver(top_, irp);
  EXPECT_FALSE(result.called);
  ASSERT_EQ(irp, Parked());
  irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
  IoCompleteRequest(irp, IO_NO_INCREMENT);  // the filter finishes its own work
  EXPECT_TRUE(result.called);
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, result.status);
  Filter().completion_result = STATUS_SUCCESS;
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, TooFewStackLocationsIsABugCheck) {
  // Every driver of the stack copies its location for a PnP request, so it needs all three.
  TopResult result;
  PIRP irp = NewIoctl(&result, static_cast<CCHAR>(top_->StackSize - 1));
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  const std::string message = ExpectBugCheck(BugCheckCode::NoMoreIrpStackLocations, [&] { IoCallDriver(top_, irp); });
  EXPECT_NE(std::string::npos, message.find("with 2 stack locations")) << message;
  EXPECT_NE(std::string::npos, message.find("OraTestBus (StackSize 1)")) << message;
  auto found = TakeViolations();
  ASSERT_EQ(1u, found.size());
  EXPECT_EQ("bug check", found[0].kind);
  // The request is stranded inside the filter, as after a crash: start over.
  sim::kernel::ResetKernel();
  pdo_ = top_ = nullptr;
}

TEST_F(IoManagerTest, CancelBeforeTheHandlerClaimsRunsTheCancelRoutine) {
  Lower().action = LowerAction::PendCancelable;
  TopResult result;
  PIRP irp = NewIoctl(&result);
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(top_, irp));
  EXPECT_EQ(TRUE, IoCancelIrp(irp));
  EXPECT_EQ(TRUE, irp->Cancel);
  EXPECT_EQ(0u, PendingCount());
  EXPECT_EQ(STATUS_CANCELLED, result.status);
  EXPECT_EQ((std::vector<std::string>{"lower ioctl", "lower cancel", "filter completion 0xC0000120 pending=1",
                                      "top completion"}),
            Log().Lines());
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, CancelAfterTheHandlerClaimsOnlyMarksTheIrp) {
  Lower().action = LowerAction::PendCancelable;
  TopResult result;
  PIRP irp = NewIoctl(&result);
  IoCallDriver(top_, irp);
  PIRP claimed = ClaimPending();
  ASSERT_EQ(irp, claimed);
  EXPECT_EQ(FALSE, IoCancelIrp(irp));
  EXPECT_EQ(TRUE, irp->Cancel);
  EXPECT_FALSE(result.called);
  CompleteClaimed(claimed, STATUS_SUCCESS, 0);
  EXPECT_EQ(STATUS_SUCCESS, result.status);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, CancelledBeforeDispatchIsFinishedByTheHandler) {
  Lower().action = LowerAction::PendCancelable;
  TopResult result;
  PIRP irp = NewIoctl(&result);
  irp->Cancel = TRUE;
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(top_, irp));
  EXPECT_EQ(STATUS_CANCELLED, result.status);
  EXPECT_EQ(0u, PendingCount());
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, BuiltRequestCopiesBufferedOutputSetsEventAndFrees) {
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT bus = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\device\\oratestBUS");
  ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &bus));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = static_cast<NTSTATUS>(0xDEADBEEFu);
  unsigned char out[12];
  std::memset(out, 0xEE, sizeof out);
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x3F3E, 0x11, METHOD_BUFFERED, FILE_ANY_ACCESS), bus, nullptr, 0,
                                           out, 8, TRUE, &event, &iosb);
  ASSERT_NE(nullptr, irp);
  EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
  EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(bus, irp));
  EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
  EXPECT_EQ(8u, iosb.Information);
  EXPECT_EQ(1, KeReadStateEvent(&event));
  ULONG64 value;
  std::memcpy(&value, out, 8);
  EXPECT_EQ(0x1122334455667788ull, value);
  EXPECT_EQ(0xEE, out[8]);  // nothing past the output length
  ObDereferenceObject(file);
  EXPECT_EQ((std::vector<std::string>{"bus control create", "bus control cleanup", "bus control close"}),
            Log().Lines());
}

TEST_F(IoManagerTest, BuiltRequestFailingAtOnceLeavesStatusBlockAndEventAlone) {
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT bus = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kBusControlName);
  ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &bus));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = static_cast<NTSTATUS>(0xDEADBEEFu);
  ULONG small = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x3F3E, 0x11, METHOD_BUFFERED, FILE_ANY_ACCESS), bus, nullptr, 0,
                                           &small, sizeof small, TRUE, &event, &iosb);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, IoCallDriver(bus, irp));
  EXPECT_EQ(static_cast<NTSTATUS>(0xDEADBEEFu), iosb.Status);
  EXPECT_EQ(0, KeReadStateEvent(&event));
  ObDereferenceObject(file);
}

TEST_F(IoManagerTest, UnknownDeviceNameIsNotFound) {
  PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
  PDEVICE_OBJECT device = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\KVLNK");
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device));
  EXPECT_EQ(reinterpret_cast<PFILE_OBJECT>(1), file);
}

TEST_F(IoManagerTest, NamedDeviceCollisionIsRefused) {
  PDRIVER_OBJECT bus = sim::kernel::FindLoadedDriver(u"OraTestBus");
  ASSERT_NE(nullptr, bus);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\DEVICE\\ORATESTBUS");
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateDevice(bus, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  EXPECT_EQ(nullptr, device);
}

}  // namespace
}  // namespace kerneltest
