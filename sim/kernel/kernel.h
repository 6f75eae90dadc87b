// The simulated kernel's own interface: bug checks, the verifier, fault
// injection and the reset between machines. The Windows calls themselves are
// declared in platform/wdm.h.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/wdm.h"

namespace sim::kernel {

// Bug-check codes the simulated kernel raises, with their Windows values.
enum class BugCheckCode : ULONG {
  SpinLockNotOwned = 0x10,
  ReferenceByPointer = 0x18,
  NoMoreIrpStackLocations = 0x35,
  MultipleIrpCompleteRequests = 0x44,
  CancelStateInCompletedIrp = 0x48,
  IrqlNotGreaterOrEqual = 0x09,
  IrqlNotLessOrEqual = 0x0A,
  BadPoolCaller = 0xC2,
  DriverVerifierDetectedViolation = 0xC4,
  DriverVerifierIoManagerViolation = 0xC9,
};
const char* BugCheckName(BugCheckCode code);

struct BugCheckInfo {
  BugCheckCode code;
  // Names the object, what was wrong with it and the caller.
  std::string message;
};

// What a bug check throws unless a handler ends the process first.
class BugCheckError : public std::runtime_error {
 public:
  explicit BugCheckError(BugCheckInfo info);
  const BugCheckInfo& info() const { return info_; }

 private:
  BugCheckInfo info_;
};

// Called on every bug check before BugCheckError is thrown; a handler may
// abort instead (a host that wants a crash dump). Null restores the default.
using BugCheckHandler = std::function<void(const BugCheckInfo&)>;
void SetBugCheckHandler(BugCheckHandler handler);

// Stops the simulated kernel: records the violation and throws BugCheckError.
[[noreturn]] void BugCheck(BugCheckCode code, std::string message);

// The verifier, always on. Bug checks are recorded here as they happen;
// leaks are found by CheckForLeaks and at each driver's unload.
struct Violation {
  std::string kind;  // "bug check", "irp leak", "pool leak", "device leak", "file object leak"
  std::string message;
};

class Verifier {
 public:
  static Verifier& Get();

  void Report(std::string kind, std::string message);
  std::vector<Violation> Violations() const;
  // Returns the violations found so far and forgets them.
  std::vector<Violation> Take();
  // Reports every IRP never completed nor freed, every pool block, device
  // object and file object still alive.
  void CheckForLeaks();
  // One line per violation, for test failure messages.
  static std::string Format(const std::vector<Violation>& violations);

 private:
  Verifier() = default;
};

// Low-resource simulation: the next `count` calls fail.
void FailNextPoolAllocations(ULONG tag, int count);
void FailNextIrpAllocations(int count);

// Outstanding pool, for tests: bytes and blocks held under a tag.
struct PoolUsage {
  std::size_t blocks = 0;
  std::size_t bytes = 0;
};
PoolUsage PoolUsageByTag(ULONG tag);

// Builds a pool tag from its four characters as they read in a dump ("PcNw").
constexpr ULONG PoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// Frees every kernel object, driver and pool block without calling any
// driver (a new machine). Run CheckForLeaks first to hear about them.
void ResetKernel();

}  // namespace sim::kernel
