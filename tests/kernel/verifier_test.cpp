// The verifier catches each fault it looks for, with a message naming the object.
#include "tests/kernel/kernel_test.h"

namespace kerneltest {
namespace {

using namespace sim::kernel;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_KS, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

class VerifierTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    InstallDrivers(kInstance);
    pdo_ = CreateAndStartDevice(kInstance);
    ASSERT_NE(nullptr, pdo_);
  }

  // Sends a built request to the top of the stack.
  NTSTATUS Send(PIRP* sent = nullptr) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, top, nullptr, 0, nullptr, 0, FALSE, &event_, &iosb_);
    if (sent) *sent = irp;
    ObDereferenceObject(top);
    return IoCallDriver(top, irp);
  }

  static bool Has(const std::vector<Violation>& found, const std::string& kind, const std::string& fragment) {
    for (const auto& v : found)
      if (v.kind == kind && v.message.find(fragment) != std::string::npos) return true;
    return false;
  }

  PDEVICE_OBJECT pdo_ = nullptr;
  KEVENT event_;
  IO_STATUS_BLOCK iosb_{};
};

TEST_F(VerifierTest, CompletingTwiceIsABugCheck) {
  PIRP irp = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, Send(&irp));
  const std::string message =
      ExpectBugCheck(BugCheckCode::MultipleIrpCompleteRequests, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
  EXPECT_NE(std::string::npos, message.find("already freed")) << message;
  EXPECT_TRUE(Has(TakeViolations(), "bug check", "MULTIPLE_IRP_COMPLETE_REQUESTS"));
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
}

TEST_F(VerifierTest, CompletingWithACancelRoutineSetIsABugCheck) {
  Lower().action = LowerAction::CompleteWithCancelSet;
  const std::string message = ExpectBugCheck(BugCheckCode::CancelStateInCompletedIrp, [&] { Send(); });
  EXPECT_NE(std::string::npos, message.find("cancel routine")) << message;
  EXPECT_NE(std::string::npos, message.find("IRP_MJ_DEVICE_CONTROL")) << message;
  TakeViolations();
  ResetKernel();  // the request is stranded inside the lower driver
}

TEST_F(VerifierTest, RequestNeverCompletedIsALeak) {
  Lower().action = LowerAction::Pend;
  EXPECT_EQ(STATUS_PENDING, Send());
  Verifier::Get().CheckForLeaks();
  const auto found = TakeViolations();
  EXPECT_TRUE(Has(found, "irp leak", "never completed nor freed")) << Verifier::Format(found);
  EXPECT_TRUE(Has(found, "irp leak", "IRP_MJ_DEVICE_CONTROL")) << Verifier::Format(found);
  ASSERT_TRUE(CompletePending(STATUS_SUCCESS, 0));
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
}

TEST_F(VerifierTest, PoolNotFreedByUnloadIsReportedByTag) {
  Lower().leak_pool = true;
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
  const auto found = TakeViolations();
  ASSERT_EQ(1u, found.size()) << Verifier::Format(found);
  EXPECT_TRUE(Has(found, "pool leak", "tag \"Tst1\", allocated by \\Driver\\OraTestLower, not freed by the driver's"))
      << Verifier::Format(found);
  EXPECT_EQ(1u, PoolUsageByTag(PoolTag("Tst1")).blocks);
  ResetKernel();
}

TEST_F(VerifierTest, DeviceNeverDeletedIsALeak) {
  Filter().forget_delete = true;
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
  EXPECT_NE(nullptr, FindLoadedDriver(u"OraTestFilter"));  // a driver with a device stays loaded
  Verifier::Get().CheckForLeaks();
  const auto found = TakeViolations();
  EXPECT_TRUE(Has(found, "device leak", "of \\Driver\\OraTestFilter was never deleted")) << Verifier::Format(found);
  ResetKernel();
}

TEST_F(VerifierTest, FileObjectNeverDereferencedIsALeak) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kBusControlName);
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device));
  Verifier::Get().CheckForLeaks();
  const auto found = TakeViolations();
  EXPECT_TRUE(Has(found, "file object leak", "on device \\Device\\OraTestBus of \\Driver\\OraTestBus still has 1"))
      << Verifier::Format(found);
  ObDereferenceObject(file);
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
}

TEST_F(VerifierTest, PoolMisuseIsABugCheck) {
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, PoolTag("AF00"));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(16u, PoolUsageByTag(PoolTag("AF00")).bytes);
  const std::string wrong = ExpectBugCheck(BugCheckCode::BadPoolCaller, [&] { ExFreePoolWithTag(p, PoolTag("PcNw")); });
  EXPECT_NE(std::string::npos, wrong.find("tag \"AF00\"")) << wrong;
  ExFreePoolWithTag(p, PoolTag("AF00"));
  ExpectBugCheck(BugCheckCode::BadPoolCaller, [&] { ExFreePool(p); });
  EXPECT_EQ(2u, TakeViolations().size());
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
}

TEST_F(VerifierTest, WrongObjectTypesAreBugChecks) {
  int not_an_object = 0;
  ExpectBugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
                 [&] { IoCallDriver(reinterpret_cast<PDEVICE_OBJECT>(&not_an_object), nullptr); });
  ExpectBugCheck(BugCheckCode::ReferenceByPointer, [&] { ObDereferenceObject(&not_an_object); });
  ExpectBugCheck(BugCheckCode::DriverVerifierDetectedViolation,
                 [&] { KeSetEvent(reinterpret_cast<PKEVENT>(&not_an_object), IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(3u, TakeViolations().size());
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
}

TEST_F(VerifierTest, FailedAllocationsAreInjected) {
  FailNextIrpAllocations(1);
  EXPECT_EQ(nullptr, IoAllocateIrp(2, FALSE));
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(nullptr, irp);
  IoFreeIrp(irp);
  FailNextPoolAllocations(PoolTag("PcNw"), 1);
  EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("PcNw")));
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("PcNw"));
  ASSERT_NE(nullptr, p);
  ExFreePool(p);
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo_));
}

}  // namespace
}  // namespace kerneltest
