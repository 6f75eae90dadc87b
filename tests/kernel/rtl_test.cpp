// Strings, debug print and kernel events.
#include <thread>

#include "sim/core/debug_log.h"
#include "tests/kernel/kernel_test.h"

namespace kerneltest {
namespace {

using RtlTest = KernelTest;

UNICODE_STRING U(const char16_t* s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

TEST_F(RtlTest, InitCountsBytesWithoutTheTerminator) {
  UNICODE_STRING s = U(u"\\eLineOutWave");
  EXPECT_EQ(26, s.Length);
  EXPECT_EQ(28, s.MaximumLength);
  UNICODE_STRING none;
  none.Length = 0xBEEF;
  RtlInitUnicodeString(&none, nullptr);
  EXPECT_EQ(0, none.Length);
  EXPECT_EQ(0, none.MaximumLength);
  EXPECT_EQ(nullptr, none.Buffer);
}

TEST_F(RtlTest, CompareFollowsTheUpcaseTable) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    bool insensitive;
    int sign;
  };
  const Case cases[] = {
      {u"\\eMixedCaptureWave", u"\\EMIXEDCAPTUREWAVE", true, 0},
      {u"\\eMixedCaptureWave", u"\\emixedcapturewave", false, -1},  // 'M' < 'm'
      {u"abc", u"abcd", true, -1},
      {u"abd", u"abc", true, 1},
      {u"_x", u"Z", true, 1},                         // compared upper-cased: '_' (0x5F) sorts after 'Z'
      {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0},  // Latin-1 letters have capitals
      {u"stra\u00dfe", u"STRASSE", true, 1},          // no multi-letter mappings
      {u"\u0434\u0430", u"\u0414\u0410", true, 0},    // Cyrillic
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto& c = cases[i];
    UNICODE_STRING a = U(c.a), b = U(c.b);
    const LONG r = RtlCompareUnicodeString(&a, &b, c.insensitive);
    EXPECT_EQ(c.sign, (r > 0) - (r < 0));
    EXPECT_EQ(c.sign == 0 ? TRUE : FALSE, RtlEqualUnicodeString(&a, &b, c.insensitive));
  }
}

TEST_F(RtlTest, CopyTruncatesToTheDestinationAndTerminatesWhenThereIsRoom) {
  WCHAR buffer[8];
  for (auto& c : buffer) c = u'#';
  UNICODE_STRING dest{0, 6 * sizeof(WCHAR), buffer};
  UNICODE_STRING src = U(u"ABCDEFGH");
  RtlCopyUnicodeString(&dest, &src);
  EXPECT_EQ(12, dest.Length);
  EXPECT_EQ(u'F', buffer[5]);
  EXPECT_EQ(u'#', buffer[6]);  // no room for a terminator
  UNICODE_STRING shorter = U(u"XY");
  RtlCopyUnicodeString(&dest, &shorter);
  EXPECT_EQ(4, dest.Length);
  EXPECT_EQ(0, buffer[2]);
  RtlCopyUnicodeString(&dest, nullptr);
  EXPECT_EQ(0, dest.Length);
}

TEST_F(RtlTest, DbgPrintFormatsIntoTheKernelLog) {
  DbgPrint("Coefficient Index 0x%2X: Default=0x%04X, Curr=0x%04X\n", 0x15, 0x0660, 0x1860);
  const auto lines = sim::DebugLog::Get().Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(sim::DebugLog::Source::Kernel, lines[0].source);
  EXPECT_EQ("Coefficient Index 0x15: Default=0x0660, Curr=0x1860\n", lines[0].text);
  const std::string long_text(600, 'x');
  DbgPrint("%s", long_text.c_str());
  EXPECT_EQ(511u, sim::DebugLog::Get().Lines().back().text.size());
}

TEST_F(RtlTest, EventsKeepTheirStateInTheHeader) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_EQ(SynchronizationEvent, event.Header.Type);
  EXPECT_EQ(6, event.Header.Size);
  EXPECT_EQ(1, event.Header.SignalState);
  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
  EXPECT_EQ(0, KeReadStateEvent(&event));  // a synchronization event resets as it satisfies a wait
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
  EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
  EXPECT_EQ(1, KeResetEvent(&event));

  KEVENT notification;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  LARGE_INTEGER ten_ms;
  ten_ms.QuadPart = -10 * 10000;
  const sim::Nanos before = machine_->Now();
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &ten_ms));
  EXPECT_EQ(10 * sim::kMillisecond, machine_->Now() - before);
  std::thread setter([&] { KeSetEvent(&notification, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr));
  setter.join();
  EXPECT_EQ(1, KeReadStateEvent(&notification));  // a notification event stays set
}

TEST_F(RtlTest, WaitingAtDispatchLevelIsABugCheck) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  ExpectBugCheck(sim::kernel::BugCheckCode::IrqlNotLessOrEqual,
                 [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
  IoReleaseCancelSpinLock(old);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  EXPECT_EQ(1u, TakeViolations().size());
}

}  // namespace
}  // namespace kerneltest
