// Virtual memory and the working set. Wine does not enforce the lock quota;
// Windows fails VirtualLock with ERROR_WORKING_SET_QUOTA, and so do we.
#include "platform/win32/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/win32/sync.h"
#include "sim/win32/virtual_memory.h"

namespace {

constexpr SIZE_T kPage = 4096;
constexpr DWORD kSentinel = 0xdeadbeef;

struct VirtualFreeDeleter {
  void operator()(void* base) const { VirtualFree(base, 0, MEM_RELEASE); }
};
using VirtualPtr = std::unique_ptr<void, VirtualFreeDeleter>;

class VirtualMemory : public ::testing::Test {
 protected:
  void SetUp() override { sim::VirtualMemory::Get().Reset(); }
  void TearDown() override { sim::VirtualMemory::Get().Reset(); }

  static VirtualPtr ReserveAndCommit(SIZE_T size) {
    void* base = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_READWRITE);
    EXPECT_NE(nullptr, base);
    EXPECT_EQ(base, VirtualAlloc(base, size, MEM_COMMIT, PAGE_READWRITE));
    return VirtualPtr(base);
  }
  static char* At(const VirtualPtr& p, SIZE_T offset) { return static_cast<char*>(p.get()) + offset; }
};

TEST_F(VirtualMemory, CurrentProcessIsThePseudoHandle) {
  EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)), GetCurrentProcess());
}

TEST_F(VirtualMemory, WorkingSetDefaultsAreThoseOfWindows) {
  SIZE_T minimum = 0, maximum = 0;
  ASSERT_TRUE(GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum));
  EXPECT_EQ(204800u, minimum);
  EXPECT_EQ(1413120u, maximum);
}

TEST_F(VirtualMemory, LockBeyondTheMinimumWorkingSetFailsUntilItIsRaised) {
  constexpr SIZE_T kPool = 64 * kPage;
  auto pool = ReserveAndCommit(kPool);

  // 50 pages of minimum working set, less 8 of overhead: 42 may be locked.
  SetLastError(kSentinel);
  EXPECT_FALSE(VirtualLock(pool.get(), kPool));
  EXPECT_EQ(ERROR_WORKING_SET_QUOTA, GetLastError());
  EXPECT_EQ(0u, sim::VirtualMemory::Get().LockedBytes());

  EXPECT_TRUE(VirtualLock(pool.get(), 42 * kPage));
  EXPECT_EQ(42 * kPage, sim::VirtualMemory::Get().LockedBytes());
  SetLastError(kSentinel);
  EXPECT_FALSE(VirtualLock(At(pool, 42 * kPage), 1));
  EXPECT_EQ(ERROR_WORKING_SET_QUOTA, GetLastError());

  // What the DSD driver sets for its pools.
  ASSERT_TRUE(SetProcessWorkingSetSize(GetCurrentProcess(), 1024000, 1413120));
  SIZE_T minimum = 0, maximum = 0;
  ASSERT_TRUE(GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum));
  EXPECT_EQ(1024000u, minimum);
  EXPECT_EQ(1413120u, maximum);
  EXPECT_TRUE(VirtualLock(pool.get(), kPool));
  EXPECT_EQ(kPool, sim::VirtualMemory::Get().LockedBytes());

  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(sizeof(info), VirtualQuery(pool.get(), &info, sizeof(info)));
  EXPECT_TRUE(VirtualUnlock(pool.get(), info.RegionSize));
  EXPECT_EQ(0u, sim::VirtualMemory::Get().LockedBytes());
  SetLastError(kSentinel);
  EXPECT_FALSE(VirtualUnlock(pool.get(), info.RegionSize));
  EXPECT_EQ(ERROR_NOT_LOCKED, GetLastError());
}

TEST_F(VirtualMemory, LockCountsEveryPageTheRangeTouches) {
  auto pool = ReserveAndCommit(4 * kPage);
  // Two bytes astride a page boundary lock both pages; locking again adds nothing.
  EXPECT_TRUE(VirtualLock(At(pool, kPage - 1), 2));
  EXPECT_EQ(2 * kPage, sim::VirtualMemory::Get().LockedBytes());
  EXPECT_TRUE(VirtualLock(At(pool, 0), kPage));
  EXPECT_EQ(2 * kPage, sim::VirtualMemory::Get().LockedBytes());
  // One unlocked page in the range fails it all and unlocks nothing. (Wine
  // does not track locks and answers TRUE; Windows fails with ERROR_NOT_LOCKED.)
  SetLastError(kSentinel);
  EXPECT_FALSE(VirtualUnlock(pool.get(), 3 * kPage));
  EXPECT_EQ(ERROR_NOT_LOCKED, GetLastError());
  EXPECT_EQ(2 * kPage, sim::VirtualMemory::Get().LockedBytes());
  // Releasing the allocation drops its locks.
  pool.reset();
  EXPECT_EQ(0u, sim::VirtualMemory::Get().LockedBytes());
}

TEST_F(VirtualMemory, LockNeedsCommittedPages) {
  void* base = VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(nullptr, base);
  VirtualPtr guard(base);
  // The code is Wine's; Windows documents only that the pages must be committed.
  SetLastError(kSentinel);
  EXPECT_FALSE(VirtualLock(base, kPage));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ(0u, sim::VirtualMemory::Get().LockedBytes());
  // An empty range locks nothing and succeeds, as under Wine.
  EXPECT_TRUE(VirtualLock(base, 0));
  EXPECT_EQ(0u, sim::VirtualMemory::Get().LockedBytes());
}

TEST_F(VirtualMemory, QueryDescribesReservedAndCommittedRuns) {
  void* base = VirtualAlloc(nullptr, 4 * kPage, MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(nullptr, base);
  VirtualPtr guard(base);
  char* const b = static_cast<char*>(base);
  // A commit inside the reservation answers the page-aligned start.
  EXPECT_EQ(b + kPage, VirtualAlloc(b + kPage + 10, 20, MEM_COMMIT, PAGE_READWRITE));
  std::memset(b + kPage, 0x5A, kPage);

  struct Case {
    SIZE_T offset;
    SIZE_T base_offset;
    SIZE_T region;
    DWORD state;
    DWORD protect;
  };
  const Case cases[] = {
      {0, 0, kPage, MEM_RESERVE, 0},
      {kPage + 100, kPage, kPage, MEM_COMMIT, PAGE_READWRITE},
      {2 * kPage, 2 * kPage, 2 * kPage, MEM_RESERVE, 0},
      {4 * kPage - 1, 3 * kPage, kPage, MEM_RESERVE, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    MEMORY_BASIC_INFORMATION info;
    std::memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(sizeof(info), VirtualQuery(b + c.offset, &info, sizeof(info)));
    EXPECT_EQ(b + c.base_offset, info.BaseAddress);
    EXPECT_EQ(base, info.AllocationBase);
    EXPECT_EQ(PAGE_READWRITE, info.AllocationProtect);
    EXPECT_EQ(c.region, info.RegionSize);
    EXPECT_EQ(c.state, info.State);
    EXPECT_EQ(c.protect, info.Protect);
    EXPECT_EQ(MEM_PRIVATE, info.Type);
  }

  MEMORY_BASIC_INFORMATION info{};
  SetLastError(kSentinel);
  EXPECT_EQ(0u, VirtualQuery(base, &info, sizeof(info) - 1));
  EXPECT_EQ(ERROR_BAD_LENGTH, GetLastError());

  guard.reset();
  ASSERT_EQ(sizeof(info), VirtualQuery(base, &info, sizeof(info)));
  EXPECT_EQ(MEM_FREE, info.State);
}

TEST_F(VirtualMemory, SizesRoundUpToWholePages) {
  void* base = VirtualAlloc(nullptr, 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(nullptr, base);
  VirtualPtr guard(base);
  EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(base) % kPage);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(sizeof(info), VirtualQuery(base, &info, sizeof(info)));
  EXPECT_EQ(kPage, info.RegionSize);
  EXPECT_EQ(MEM_COMMIT, info.State);
  static_cast<char*>(base)[kPage - 1] = 1;
  EXPECT_EQ(kPage, sim::VirtualMemory::Get().CommittedBytes());
}

TEST_F(VirtualMemory, AllocateRejectsBadArguments) {
  int on_stack = 0;
  struct Case {
    const char* what;
    void* address;
    SIZE_T size;
    DWORD type;
    DWORD protect;
    DWORD error;
  };
  const Case cases[] = {
      {"zero size", nullptr, 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
      {"no allocation type", nullptr, kPage, 0, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
      {"release as allocation type", nullptr, kPage, MEM_RELEASE, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
      {"no protection", nullptr, kPage, MEM_COMMIT | MEM_RESERVE, 0, ERROR_INVALID_PARAMETER},
      {"commit outside any reservation", &on_stack, kPage, MEM_COMMIT, PAGE_READWRITE, ERROR_INVALID_ADDRESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, VirtualAlloc(c.address, c.size, c.type, c.protect));
    EXPECT_EQ(c.error, GetLastError());
  }
  EXPECT_EQ(0u, sim::VirtualMemory::Get().RegionCount());
}

TEST_F(VirtualMemory, FreeRejectsWhatDoesNotNameAnAllocation) {
  void* base = VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(nullptr, base);
  char* const b = static_cast<char*>(base);
  struct Case {
    const char* what;
    void* address;
    SIZE_T size;
    DWORD type;
    DWORD error;
  };
  const Case cases[] = {
      {"release with a size", base, 2 * kPage, MEM_RELEASE, ERROR_INVALID_PARAMETER},
      {"release inside the allocation", b + kPage, 0, MEM_RELEASE, ERROR_INVALID_ADDRESS},
      {"release and decommit at once", base, 0, MEM_RELEASE | MEM_DECOMMIT, ERROR_INVALID_PARAMETER},
      {"no free type", base, 0, 0, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kSentinel);
    EXPECT_FALSE(VirtualFree(c.address, c.size, c.type));
    EXPECT_EQ(c.error, GetLastError());
    EXPECT_EQ(1u, sim::VirtualMemory::Get().RegionCount());
  }
  EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
  EXPECT_EQ(0u, sim::VirtualMemory::Get().RegionCount());
  // Released memory is free memory, not an address inside an allocation.
  SetLastError(kSentinel);
  EXPECT_FALSE(VirtualFree(base, 0, MEM_RELEASE));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(VirtualMemory, DecommitLeavesTheReservation) {
  auto pool = ReserveAndCommit(2 * kPage);
  EXPECT_TRUE(VirtualLock(At(pool, kPage), kPage));
  EXPECT_TRUE(VirtualFree(At(pool, kPage), kPage, MEM_DECOMMIT));
  EXPECT_EQ(0u, sim::VirtualMemory::Get().LockedBytes());
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(sizeof(info), VirtualQuery(At(pool, kPage), &info, sizeof(info)));
  EXPECT_EQ(MEM_RESERVE, info.State);
  EXPECT_EQ(kPage, sim::VirtualMemory::Get().CommittedBytes());
}

TEST_F(VirtualMemory, WorkingSetSizeChecksItsArguments) {
  SetLastError(kSentinel);
  EXPECT_FALSE(SetProcessWorkingSetSize(GetCurrentProcess(), 2000000, 1000000));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

  const HANDLE not_a_process = reinterpret_cast<HANDLE>(std::uintptr_t{0x1234});
  SIZE_T minimum = 0, maximum = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetProcessWorkingSetSize(not_a_process, 1024000, 1413120));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(GetProcessWorkingSetSize(not_a_process, &minimum, &maximum));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  // Both limits all ones: trim the working set, keep the limits.
  EXPECT_TRUE(SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1)));
  EXPECT_EQ(1u, sim::VirtualMemory::Get().TrimCount());
  ASSERT_TRUE(GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum));
  EXPECT_EQ(204800u, minimum);
  EXPECT_EQ(1413120u, maximum);
}

}  // namespace
