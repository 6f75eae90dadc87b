// VirtualAlloc and friends, and the working-set limits of the process.
#include "platform/win32/memory.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

#include "platform/win32/sync.h"
#include "sim/win32/virtual_memory.h"

namespace sim {

namespace {

constexpr std::size_t kPage = VirtualMemory::kPageSize;
// The highest user-mode address of a 64-bit Windows process.
constexpr std::uintptr_t kUserSpaceEnd = 0x7FFFFFFF0000ull;

std::uintptr_t PageDown(std::uintptr_t a) { return a & ~(kPage - 1); }
std::uintptr_t PageUp(std::uintptr_t a) { return (a + kPage - 1) & ~(kPage - 1); }

bool ValidProtect(DWORD protect) {
  return protect == PAGE_READWRITE || protect == PAGE_READONLY || protect == PAGE_NOACCESS;
}

int HostProtection(DWORD protect) {
  switch (protect) {
    case PAGE_READWRITE:
      return PROT_READ | PROT_WRITE;
    case PAGE_READONLY:
      return PROT_READ;
    default:
      return PROT_NONE;
  }
}

[[noreturn]] void BugCheck(const char* what, const void* address) {
  std::fprintf(stderr, "*** sim bug check: virtual memory: %s at %p\n", what, address);
  std::abort();
}

void Protect(std::uintptr_t address, std::size_t bytes, int protection) {
  if (mprotect(reinterpret_cast<void*>(address), bytes, protection) != 0)
    BugCheck("mprotect of a reserved range failed", reinterpret_cast<void*>(address));
}

}  // namespace

VirtualMemory& VirtualMemory::Get() {
  static VirtualMemory memory;
  return memory;
}

template <typename Map>
static auto FindIn(Map& regions, std::uintptr_t first, std::size_t pages) {
  auto it = regions.upper_bound(first);
  if (it == regions.begin()) return regions.end();
  --it;
  if (first + pages * kPage > it->first + it->second.size) return regions.end();
  return it;
}

VirtualMemory::Regions::iterator VirtualMemory::FindRegion(std::uintptr_t first, std::size_t pages) {
  return FindIn(regions_, first, pages);
}

VirtualMemory::Regions::const_iterator VirtualMemory::FindRegion(std::uintptr_t first, std::size_t pages) const {
  return FindIn(regions_, first, pages);
}

std::size_t VirtualMemory::CountLockedPages() const {
  std::size_t n = 0;
  for (const auto& [base, region] : regions_)
    for (const auto& page : region.pages) n += page.locked;
  return n;
}

void VirtualMemory::Release(Regions::iterator it) {
  if (munmap(reinterpret_cast<void*>(it->first), it->second.size) != 0)
    BugCheck("munmap of an allocation failed", reinterpret_cast<void*>(it->first));
  regions_.erase(it);
}

DWORD VirtualMemory::Allocate(void* address, std::size_t size, DWORD type, DWORD protect, void** out) {
  *out = nullptr;
  if (size == 0 || (type & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || type == 0 || !ValidProtect(protect))
    return ERROR_INVALID_PARAMETER;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  if (start >= kUserSpaceEnd || size > kUserSpaceEnd - start) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);

  // Committing without an address reserves too, as on Windows.
  if ((type & MEM_RESERVE) != 0 || address == nullptr) {
    const std::size_t bytes = PageUp(start + size) - PageDown(start);
    void* hint = address ? reinterpret_cast<void*>(PageDown(start)) : nullptr;
    if (hint) {
      auto next = regions_.lower_bound(PageDown(start));
      if (next != regions_.end() && next->first < PageDown(start) + bytes) return ERROR_INVALID_ADDRESS;
      if (FindRegion(PageDown(start)) != regions_.end()) return ERROR_INVALID_ADDRESS;
    }
    void* base = mmap(hint, bytes, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (hint ? MAP_FIXED_NOREPLACE : 0), -1, 0);
    if (base == MAP_FAILED) return hint ? ERROR_INVALID_ADDRESS : ERROR_NOT_ENOUGH_MEMORY;
    if (hint && base != hint) {
      munmap(base, bytes);
      return ERROR_INVALID_ADDRESS;
    }
    Region region{bytes, protect, std::vector<Page>(bytes / kPage)};
    if (type & MEM_COMMIT) {
      for (auto& page : region.pages) page = Page{true, false, protect};
      Protect(reinterpret_cast<std::uintptr_t>(base), bytes, HostProtection(protect));
    }
    regions_.emplace(reinterpret_cast<std::uintptr_t>(base), std::move(region));
    *out = base;
    return 0;
  }

  // Commit inside an existing reservation.
  const std::uintptr_t first = PageDown(start);
  const std::size_t count = (PageUp(start + size) - first) / kPage;
  auto it = FindRegion(first, count);
  if (it == regions_.end()) return ERROR_INVALID_ADDRESS;
  const std::size_t index = (first - it->first) / kPage;
  for (std::size_t i = 0; i < count; ++i) {
    Page& page = it->second.pages[index + i];
    page.committed = true;
    page.protect = protect;
  }
  Protect(first, count * kPage, HostProtection(protect));
  *out = reinterpret_cast<void*>(first);
  return 0;
}

DWORD VirtualMemory::Free(void* address, std::size_t size, DWORD type) {
  if (type != MEM_RELEASE && type != MEM_DECOMMIT) return ERROR_INVALID_PARAMETER;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  std::lock_guard lock(mutex_);
  if (type == MEM_RELEASE) {
    // A release names the whole allocation: its base, and a size of zero.
    if (size != 0) return ERROR_INVALID_PARAMETER;
    auto it = regions_.find(start);
    if (it == regions_.end())
      return FindRegion(PageDown(start)) == regions_.end() ? ERROR_INVALID_PARAMETER : ERROR_INVALID_ADDRESS;
    Release(it);
    return 0;
  }
  auto region = FindRegion(PageDown(start));
  if (region == regions_.end()) return ERROR_INVALID_PARAMETER;
  // Size zero decommits from the address to the end of the allocation.
  const std::uintptr_t first = PageDown(start);
  const std::uintptr_t end = size == 0 ? region->first + region->second.size : PageUp(start + size);
  if (end > region->first + region->second.size) return ERROR_INVALID_ADDRESS;
  const std::size_t index = (first - region->first) / kPage;
  for (std::size_t i = 0; i < (end - first) / kPage; ++i) region->second.pages[index + i] = Page{};
  if (madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED) != 0)
    BugCheck("madvise of a decommitted range failed", reinterpret_cast<void*>(first));
  Protect(first, end - first, PROT_NONE);
  return 0;
}

DWORD VirtualMemory::Query(const void* address, Info* info) const {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (at >= kUserSpaceEnd) return ERROR_INVALID_PARAMETER;
  const std::uintptr_t page = PageDown(at);
  std::lock_guard lock(mutex_);
  auto it = FindRegion(page);
  if (it == regions_.end()) {
    // Outside every allocation of ours: free, up to the next one.
    auto next = regions_.upper_bound(page);
    const std::uintptr_t end = next == regions_.end() ? kUserSpaceEnd : next->first;
    *info = Info{reinterpret_cast<void*>(page), nullptr, 0, end - page, MEM_FREE, PAGE_NOACCESS, 0};
    return 0;
  }
  const Region& region = it->second;
  std::size_t index = (page - it->first) / kPage;
  const Page& first = region.pages[index];
  std::size_t count = 0;
  while (index + count < region.pages.size() && region.pages[index + count].committed == first.committed &&
         region.pages[index + count].protect == first.protect)
    ++count;
  *info = Info{reinterpret_cast<void*>(page),
               reinterpret_cast<void*>(it->first),
               region.allocation_protect,
               count * kPage,
               first.committed ? MEM_COMMIT : MEM_RESERVE,
               first.committed ? first.protect : 0,
               MEM_PRIVATE};
  return 0;
}

DWORD VirtualMemory::Lock(void* address, std::size_t size) {
  if (size == 0) return 0;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t first = PageDown(start);
  const std::size_t count = (PageUp(start + size) - first) / kPage;
  std::lock_guard lock(mutex_);
  // Only committed, accessible pages of one allocation can be locked; memory
  // not made by VirtualAlloc is unknown here and refused the same way.
  auto it = FindRegion(first, count);
  if (it == regions_.end()) return ERROR_ACCESS_DENIED;
  const std::size_t index = (first - it->first) / kPage;
  std::size_t added = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Page& page = it->second.pages[index + i];
    if (!page.committed || page.protect == PAGE_NOACCESS) return ERROR_ACCESS_DENIED;
    added += !page.locked;
  }
  if ((CountLockedPages() + added) * kPage > LockQuota()) return ERROR_WORKING_SET_QUOTA;
  for (std::size_t i = 0; i < count; ++i) it->second.pages[index + i].locked = true;
  return 0;
}

DWORD VirtualMemory::Unlock(void* address, std::size_t size) {
  if (size == 0) return 0;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t first = PageDown(start);
  const std::size_t count = (PageUp(start + size) - first) / kPage;
  std::lock_guard lock(mutex_);
  auto it = FindRegion(first, count);
  if (it == regions_.end()) return ERROR_NOT_LOCKED;
  const std::size_t index = (first - it->first) / kPage;
  // All or nothing: one page that is not locked fails the whole range.
  for (std::size_t i = 0; i < count; ++i)
    if (!it->second.pages[index + i].locked) return ERROR_NOT_LOCKED;
  for (std::size_t i = 0; i < count; ++i) it->second.pages[index + i].locked = false;
  return 0;
}

void VirtualMemory::GetWorkingSet(std::size_t* minimum, std::size_t* maximum) const {
  std::lock_guard lock(mutex_);
  *minimum = minimum_;
  *maximum = maximum_;
}

DWORD VirtualMemory::SetWorkingSet(std::size_t minimum, std::size_t maximum) {
  std::lock_guard lock(mutex_);
  constexpr auto kAll = static_cast<std::size_t>(-1);
  if (minimum == kAll && maximum == kAll) {
    ++trims_;
    return 0;
  }
  if (minimum > maximum) return ERROR_INVALID_PARAMETER;
  // The limits are kept in whole pages.
  minimum_ = minimum / kPage * kPage;
  maximum_ = maximum / kPage * kPage;
  return 0;
}

std::size_t VirtualMemory::LockQuota() const {
  const std::size_t pages = minimum_ / kPage;
  return pages > kLockOverheadPages ? (pages - kLockOverheadPages) * kPage : 0;
}

std::size_t VirtualMemory::LockQuotaBytes() const {
  std::lock_guard lock(mutex_);
  return LockQuota();
}

std::size_t VirtualMemory::LockedBytes() const {
  std::lock_guard lock(mutex_);
  return CountLockedPages() * kPage;
}

std::size_t VirtualMemory::CommittedBytes() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& [base, region] : regions_)
    for (const auto& page : region.pages) n += page.committed;
  return n * kPage;
}

std::size_t VirtualMemory::ReservedBytes() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& [base, region] : regions_) n += region.size;
  return n;
}

std::size_t VirtualMemory::RegionCount() const {
  std::lock_guard lock(mutex_);
  return regions_.size();
}

std::size_t VirtualMemory::MinimumWorkingSet() const {
  std::lock_guard lock(mutex_);
  return minimum_;
}

std::size_t VirtualMemory::MaximumWorkingSet() const {
  std::lock_guard lock(mutex_);
  return maximum_;
}

unsigned VirtualMemory::TrimCount() const {
  std::lock_guard lock(mutex_);
  return trims_;
}

void VirtualMemory::Reset() {
  std::lock_guard lock(mutex_);
  while (!regions_.empty()) Release(regions_.begin());
  minimum_ = kDefaultMinimumWorkingSet;
  maximum_ = kDefaultMaximumWorkingSet;
  trims_ = 0;
}

}  // namespace sim

namespace {

// The one process of the simulated PC answers to its pseudo handle only.
bool IsCurrentProcess(HANDLE process) { return process == GetCurrentProcess(); }

BOOL Result(DWORD error) {
  if (error == 0) return TRUE;
  SetLastError(error);
  return FALSE;
}

}  // namespace


extern "C" LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
  void* out = nullptr;
  const DWORD error = sim::VirtualMemory::Get().Allocate(lpAddress, dwSize, flAllocationType, flProtect, &out);
  if (error != 0) SetLastError(error);
  return out;
}

extern "C" BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
  return Result(sim::VirtualMemory::Get().Free(lpAddress, dwSize, dwFreeType));
}

extern "C" SIZE_T WINAPI VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength) {
  if (dwLength < sizeof(MEMORY_BASIC_INFORMATION)) {
    SetLastError(ERROR_BAD_LENGTH);
    return 0;
  }
  if (lpBuffer == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return 0;
  }
  sim::VirtualMemory::Info info{};
  if (const DWORD error = sim::VirtualMemory::Get().Query(lpAddress, &info); error != 0) {
    SetLastError(error);
    return 0;
  }
  *lpBuffer = MEMORY_BASIC_INFORMATION{};
  lpBuffer->BaseAddress = info.base;
  lpBuffer->AllocationBase = info.allocation_base;
  lpBuffer->AllocationProtect = info.allocation_protect;
  lpBuffer->RegionSize = info.region_size;
  lpBuffer->State = info.state;
  lpBuffer->Protect = info.protect;
  lpBuffer->Type = info.type;
  return sizeof(MEMORY_BASIC_INFORMATION);
}

extern "C" BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T dwSize) {
  return Result(sim::VirtualMemory::Get().Lock(lpAddress, dwSize));
}

extern "C" BOOL WINAPI VirtualUnlock(LPVOID lpAddress, SIZE_T dwSize) {
  return Result(sim::VirtualMemory::Get().Unlock(lpAddress, dwSize));
}

extern "C" BOOL WINAPI GetProcessWorkingSetSize(HANDLE hProcess, PSIZE_T lpMinimumWorkingSetSize,
                                                PSIZE_T lpMaximumWorkingSetSize) {
  if (!IsCurrentProcess(hProcess)) return Result(ERROR_INVALID_HANDLE);
  if (lpMinimumWorkingSetSize == nullptr || lpMaximumWorkingSetSize == nullptr) return Result(ERROR_NOACCESS);
  sim::VirtualMemory::Get().GetWorkingSet(lpMinimumWorkingSetSize, lpMaximumWorkingSetSize);
  return TRUE;
}

extern "C" BOOL WINAPI SetProcessWorkingSetSize(HANDLE hProcess, SIZE_T dwMinimumWorkingSetSize,
                                                SIZE_T dwMaximumWorkingSetSize) {
  if (!IsCurrentProcess(hProcess)) return Result(ERROR_INVALID_HANDLE);
  return Result(sim::VirtualMemory::Get().SetWorkingSet(dwMinimumWorkingSetSize, dwMaximumWorkingSetSize));
}
