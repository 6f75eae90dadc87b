// Executive pool: every block is tracked by tag and by the driver that took it.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/kernel/internal.h"

namespace sim::kernel {

namespace {

struct Block {
  std::size_t size;
  ULONG tag;
  POOL_TYPE type;
  PDRIVER_OBJECT driver;
  std::string driver_name;
};

std::mutex g_mutex;
std::map<const void*, Block> g_blocks;
std::map<ULONG, int> g_fail_by_tag;

std::string TagText(ULONG tag) {
  std::string out;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    out += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return out;
}

std::string Describe(const void* p, const Block& b) {
  return "pool block " + internal::Hex(p) + " of " + std::to_string(b.size) + " bytes, tag \"" + TagText(b.tag) +
         "\", allocated by " + b.driver_name;
}

void Free(PVOID p, const ULONG* tag, const std::string& caller) {
  if (!p) BugCheck(BugCheckCode::BadPoolCaller, "freeing a null pool pointer, from " + caller);
  std::size_t size = 0;
  {
    std::unique_lock lock(g_mutex);
    auto it = g_blocks.find(p);
    if (it == g_blocks.end()) {
      lock.unlock();
      BugCheck(BugCheckCode::BadPoolCaller,
               "freeing " + internal::Hex(p) + ", which is not an allocated pool block (freed twice?), from " + caller);
    }
    if (tag && *tag != it->second.tag) {
      const std::string what = Describe(p, it->second);
      lock.unlock();
      BugCheck(BugCheckCode::BadPoolCaller, "freeing " + what + " with tag \"" + TagText(*tag) + "\", from " + caller);
    }
    size = it->second.size;
    g_blocks.erase(it);
  }
  internal::ForgetEventsIn(p, size);
  std::free(p);
}

}  // namespace

void FailNextPoolAllocations(ULONG tag, int count) {
  std::lock_guard lock(g_mutex);
  g_fail_by_tag[tag] = count;
}

PoolUsage PoolUsageByTag(ULONG tag) {
  std::lock_guard lock(g_mutex);
  PoolUsage usage;
  for (const auto& [p, b] : g_blocks) {
    if (b.tag != tag) continue;
    ++usage.blocks;
    usage.bytes += b.size;
  }
  return usage;
}

namespace internal {

void ReportPoolLeaksOf(PDRIVER_OBJECT driver) {
  std::vector<std::string> leaks;
  {
    std::lock_guard lock(g_mutex);
    for (auto& [p, b] : g_blocks) {
      if (b.driver != driver) continue;
      leaks.push_back(Describe(p, b) + ", not freed by the driver's unload");
      // The driver object goes away; the block stays reported under its name.
      b.driver = nullptr;
    }
  }
  for (auto& leak : leaks) Verifier::Get().Report("pool leak", std::move(leak));
}

void CollectPoolLeaks(std::vector<Violation>& out) {
  std::lock_guard lock(g_mutex);
  for (const auto& [p, b] : g_blocks) out.push_back({"pool leak", Describe(p, b) + ", still allocated"});
}

void ResetPool() {
  std::map<const void*, Block> blocks;
  {
    std::lock_guard lock(g_mutex);
    blocks.swap(g_blocks);
    g_fail_by_tag.clear();
  }
  for (auto& [p, b] : blocks) std::free(const_cast<void*>(p));
}

}  // namespace internal

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  PDRIVER_OBJECT driver = internal::CurrentDriver();
  {
    std::lock_guard lock(g_mutex);
    if (auto it = g_fail_by_tag.find(Tag); it != g_fail_by_tag.end() && it->second > 0) {
      --it->second;
      return nullptr;
    }
  }
  // Pool memory is not zeroed on Windows; a fill pattern shows who relies on it.
  void* p = std::aligned_alloc(16, (NumberOfBytes + 15) / 16 * 16 + 16);
  if (!p) return nullptr;
  std::memset(p, 0xA5, NumberOfBytes);
  std::lock_guard lock(g_mutex);
  g_blocks[p] = Block{NumberOfBytes, Tag, PoolType, driver, driver ? internal::DescribeDriver(driver) : "the system"};
  return p;
}

VOID NTAPI ExFreePool(PVOID P) { Free(P, nullptr, ORA_KERNEL_CALLER()); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, &Tag, ORA_KERNEL_CALLER()); }

}  // extern "C"
