// CreateFileA and DeviceIoControl as the I/O manager delivers them.
#include <cstring>
#include <vector>

#include "sim/core/scheduler.h"
#include "sim/win32/device_io.h"
#include "tests/devio/fixture.h"

namespace {

using devio_test::Reply;

constexpr DWORD kBufferedCode = CTL_CODE(FILE_DEVICE_KS, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

HANDLE Tagged(HANDLE event) { return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1); }

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST_F(DevioTest, OpensAnInterfacePathInAnyCase) {
  UniqueHandle file(Open(Upper(kLineOutPath)));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  auto log = devio_test::TakeLog();
  ASSERT_EQ(1u, log.creates.size());
  EXPECT_EQ(u"\\ELINEOUTWAVE", log.creates[0].file_name);
  EXPECT_EQ(nullptr, log.creates[0].related);
  file.reset();
  log = devio_test::TakeLog();
  EXPECT_EQ(1, log.cleanups);
  EXPECT_EQ(1, log.closes);
}

TEST_F(DevioTest, OpenFailuresMapToWin32Errors) {
  struct Case {
    std::string path;
    DWORD error;
  } const cases[] = {
      {"\\\\?\\root#oradevtest#0000#{00000000-93ef-11d0-a3cc-00a0c9223196}\\elineoutwave", ERROR_FILE_NOT_FOUND},
      {"\\\\?\\root#nothing#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}", ERROR_FILE_NOT_FOUND},
      {kLineOutPath + "\\denied", ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(c.path));
    EXPECT_EQ(c.error, GetLastError());
  }
}

TEST_F(DevioTest, MethodNeitherPassesTheCallersBuffers) {
  UniqueHandle file(Open(kLineOutPath));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  KSPROPERTY property{KSPROPSETID_Pin, 1, KSPROPERTY_TYPE_GET};
  ULONG count = 0xdeadbeef;
  devio_test::SetReply(devio_test::Answer(STATUS_SUCCESS, 4, {3, 0, 0, 0}));
  DWORD bytes = 0xdeadbeef;
  ASSERT_TRUE(DeviceIoControl(file.get(), IOCTL_KS_PROPERTY, &property, sizeof property, &count, sizeof count, &bytes,
                              nullptr));
  EXPECT_EQ(4u, bytes);
  EXPECT_EQ(3u, count);
  auto log = devio_test::TakeLog();
  ASSERT_EQ(1u, log.controls.size());
  const auto& c = log.controls[0];
  EXPECT_EQ(IOCTL_KS_PROPERTY, c.code);
  EXPECT_EQ(&property, c.type3_input);
  EXPECT_EQ(&count, c.user_buffer);
  EXPECT_EQ(nullptr, c.system_buffer);
  EXPECT_EQ(sizeof property, c.input_length);
  EXPECT_EQ(sizeof count, c.output_length);
  EXPECT_EQ(UserMode, c.requestor_mode);
  EXPECT_EQ(log.creates.size(), 1u);
  EXPECT_EQ(log.creates[0].file, c.file);
}

TEST_F(DevioTest, MethodBufferedCopiesInAndInformationBytesBack) {
  UniqueHandle file(Open(kLineOutPath, 0));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  uint8_t input[6] = {1, 2, 3, 4, 5, 6};
  uint8_t output[12];
  std::memset(output, 0xEE, sizeof output);
  // The driver writes eight bytes but reports four: only four come back.
  devio_test::SetReply(devio_test::Answer(STATUS_SUCCESS, 4, {9, 8, 7, 6, 5, 4, 3, 2}));
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(file.get(), kBufferedCode, input, sizeof input, output, 8, &bytes, nullptr));
  EXPECT_EQ(4u, bytes);
  EXPECT_EQ(std::vector<uint8_t>({9, 8, 7, 6, 0xEE, 0xEE}), std::vector<uint8_t>(output, output + 6));
  auto log = devio_test::TakeLog();
  ASSERT_EQ(1u, log.controls.size());
  const auto& c = log.controls[0];
  EXPECT_NE(nullptr, c.system_buffer);
  EXPECT_NE(static_cast<void*>(input), c.system_buffer);
  EXPECT_EQ(std::vector<uint8_t>(input, input + 6), c.system_input);
  EXPECT_EQ(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION, c.flags);
}

TEST_F(DevioTest, SizeQueriesAndFailuresGiveWindowsResults) {
  UniqueHandle file(Open(kLineOutPath));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  KSPROPERTY property{KSPROPSETID_Pin, 3, KSPROPERTY_TYPE_GET};
  // A size query answered with STATUS_BUFFER_OVERFLOW reports the size needed.
  devio_test::SetReply(devio_test::Answer(STATUS_SUCCESS, 40, std::vector<uint8_t>(40, 1), true));
  DWORD bytes = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(file.get(), IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(40u, bytes);

  struct Case {
    NTSTATUS status;
    DWORD error;
  } const cases[] = {
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
      {STATUS_NO_MATCH, ERROR_NO_MATCH},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    devio_test::SetReply(devio_test::Answer(c.status, 16));
    bytes = 0xdeadbeef;
    ULONG out = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        DeviceIoControl(file.get(), IOCTL_KS_PROPERTY, &property, sizeof property, &out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(c.error, GetLastError());
    // An error completed at once reports no byte count.
    EXPECT_EQ(0xdeadbeefu, bytes);
  }
}

TEST_F(DevioTest, PendingRequestCompletesIntoTheOverlapped) {
  UniqueHandle file(Open(kLineOutPath));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = Tagged(event.get());
  KSPROPERTY property{KSPROPSETID_Pin, 0, KSPROPERTY_TYPE_GET};
  KSPIN_CINSTANCES answer{};
  Reply reply;
  reply.pend = true;
  devio_test::SetReply(reply);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(file.get(), IOCTL_KS_PROPERTY, &property, sizeof property, &answer, sizeof answer,
                               nullptr, &overlapped));
  EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
  EXPECT_EQ(static_cast<ULONG_PTR>(STATUS_PENDING), overlapped.Internal);
  DWORD bytes = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(GetOverlappedResult(file.get(), &overlapped, &bytes, FALSE));
  EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());

  UniqueHandle completer(CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        devio_test::CompletePending(STATUS_SUCCESS, 8, {2, 0, 0, 0, 1, 0, 0, 0});
        return 0;
      },
      nullptr, 0, nullptr));
  // The tagged value is the handle for waits and closing.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, INFINITE));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(completer.get(), INFINITE));
  EXPECT_EQ(0u, overlapped.Internal);
  EXPECT_EQ(8u, overlapped.InternalHigh);
  EXPECT_EQ(2u, answer.PossibleCount);
  EXPECT_EQ(1u, answer.CurrentCount);
  EXPECT_TRUE(GetOverlappedResult(file.get(), &overlapped, &bytes, TRUE));
  EXPECT_EQ(8u, bytes);
  EXPECT_TRUE(CloseHandle(overlapped.hEvent));
  event.release();
}

TEST_F(DevioTest, SynchronousHandleWaitsForAPendingRequest) {
  UniqueHandle file(Open(kLineOutPath, 0));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  Reply reply;
  reply.pend = true;
  devio_test::SetReply(reply);
  auto& scheduler = sim::Scheduler::Get();
  scheduler.ScheduleAt(scheduler.Now() + sim::kMillisecond, [] {
    devio_test::CompletePending(STATUS_BUFFER_OVERFLOW, 2, {7, 7});
  });
  uint8_t out[4] = {0, 0, 0, 0};
  DWORD bytes = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(file.get(), kBufferedCode, nullptr, 0, out, sizeof out, &bytes, nullptr));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(2u, bytes);
  EXPECT_EQ(7, out[1]);
  EXPECT_EQ(0, out[2]);
  EXPECT_EQ(sim::kMillisecond, scheduler.Now());
}

TEST_F(DevioTest, CancelIoCancelsTheThreadsRequests) {
  UniqueHandle file(Open(kLineOutPath));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  Reply reply;
  reply.pend = true;
  devio_test::SetReply(reply);
  ULONG value = 0;
  EXPECT_FALSE(DeviceIoControl(file.get(), IOCTL_KS_PROPERTY, nullptr, 0, &value, sizeof value, nullptr, &overlapped));
  EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
  EXPECT_TRUE(CancelIo(file.get()));
  DWORD bytes = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(GetOverlappedResult(file.get(), &overlapped, &bytes, TRUE));
  EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
  EXPECT_EQ(0u, bytes);
}

TEST_F(DevioTest, ClosingWithARequestPendingCleansItUp) {
  UniqueHandle file(Open(kLineOutPath));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  OVERLAPPED overlapped{};
  Reply reply;
  reply.pend = true;
  devio_test::SetReply(reply);
  EXPECT_FALSE(DeviceIoControl(file.get(), IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, nullptr, &overlapped));
  EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
  file.reset();
  EXPECT_EQ(static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_CANCELLED)), overlapped.Internal);
  const auto log = devio_test::TakeLog();
  EXPECT_EQ(1, log.cleanups);
  EXPECT_EQ(1, log.closes);
}

TEST_F(DevioTest, NullBuffersAreProbedOnlyWhenTheManagerCopiesThem) {
  UniqueHandle file(Open(kLineOutPath));
  ASSERT_NE(INVALID_HANDLE_VALUE, file.get());
  DWORD bytes = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(file.get(), kBufferedCode, nullptr, 8, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(ERROR_NOACCESS, GetLastError());
  EXPECT_TRUE(devio_test::TakeLog().controls.empty());
  EXPECT_TRUE(DeviceIoControl(file.get(), IOCTL_KS_PROPERTY, nullptr, 8, nullptr, 4, &bytes, nullptr));
  auto log = devio_test::TakeLog();
  ASSERT_EQ(1u, log.controls.size());
  EXPECT_EQ(8u, log.controls[0].input_length);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(
      DeviceIoControl(reinterpret_cast<HANDLE>(0x7777000), IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST(NtStatusMap, AsWindowsMapsThem) {
  struct Case {
    NTSTATUS status;
    DWORD error;
  } const cases[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_PENDING, ERROR_IO_PENDING},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_NO_MATCH, ERROR_NO_MATCH},
      {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
      {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
      {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {STATUS_PROPSET_NOT_FOUND, ERROR_SET_NOT_FOUND},
      {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
      {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
      {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
      {static_cast<NTSTATUS>(0xC007000Eu), ERROR_OUTOFMEMORY},  // a Win32 error carried as a status
      {static_cast<NTSTATUS>(0xC0FF0001u), ERROR_MR_MID_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(c.error, sim::win32::NtStatusToWin32Error(c.status));
  }
}

}  // namespace
