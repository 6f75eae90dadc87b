// The process's virtual memory and working set, as the Win32 calls see them.
//
// Only memory made by VirtualAlloc is known here: it is reserved with mmap
// and committed pages become readable and writable, so a touch of a
// reserved page faults as on Windows. Locked pages are counted, not pinned
// in host memory. VirtualLock takes committed pages of one allocation only.
//
// Lock quota: the pages a process may lock are its minimum working set less
// kLockOverheadPages, the "small overhead" Windows keeps for itself. With the
// default minimum of 50 pages, 42 pages (172032 bytes) can be locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/win32/memory.h"

namespace sim {

class VirtualMemory {
 public:
  static constexpr std::size_t kPageSize = 4096;
  static constexpr std::size_t kDefaultMinimumWorkingSet = 50 * kPageSize;   // 204800
  static constexpr std::size_t kDefaultMaximumWorkingSet = 345 * kPageSize;  // 1413120
  static constexpr std::size_t kLockOverheadPages = 8;

  static VirtualMemory& Get();

  std::size_t LockedBytes() const;
  std::size_t CommittedBytes() const;
  std::size_t ReservedBytes() const;  // every allocation, committed or not
  std::size_t RegionCount() const;
  // The most that VirtualLock may hold with the current minimum.
  std::size_t LockQuotaBytes() const;
  std::size_t MinimumWorkingSet() const;
  std::size_t MaximumWorkingSet() const;
  // SetProcessWorkingSetSize(-1, -1) calls so far.
  unsigned TrimCount() const;

  // A new machine: releases every allocation and restores the default limits.
  void Reset();

  // The Win32 calls, each returning a Win32 error (0 on success).
  DWORD Allocate(void* address, std::size_t size, DWORD type, DWORD protect, void** out);
  DWORD Free(void* address, std::size_t size, DWORD type);
  struct Info {
    void* base;
    void* allocation_base;
    DWORD allocation_protect;
    std::size_t region_size;
    DWORD state;
    DWORD protect;
    DWORD type;
  };
  DWORD Query(const void* address, Info* info) const;
  DWORD Lock(void* address, std::size_t size);
  DWORD Unlock(void* address, std::size_t size);
  void GetWorkingSet(std::size_t* minimum, std::size_t* maximum) const;
  DWORD SetWorkingSet(std::size_t minimum, std::size_t maximum);

 private:
  struct Page {
    bool committed = false;
    bool locked = false;
    DWORD protect = 0;
  };
  struct Region {
    std::size_t size;
    DWORD allocation_protect;
    std::vector<Page> pages;
  };
  using Regions = std::map<std::uintptr_t, Region>;

  // The helpers below expect mutex_ held.
  // The allocation holding the pages [first, first + pages × kPageSize), or end.
  Regions::iterator FindRegion(std::uintptr_t first, std::size_t pages = 1);
  Regions::const_iterator FindRegion(std::uintptr_t first, std::size_t pages = 1) const;
  std::size_t CountLockedPages() const;
  std::size_t LockQuota() const;
  void Release(Regions::iterator it);

  mutable std::mutex mutex_;
  Regions regions_;
  std::size_t minimum_ = kDefaultMinimumWorkingSet;
  std::size_t maximum_ = kDefaultMaximumWorkingSet;
  unsigned trims_ = 0;
};

}  // namespace sim
