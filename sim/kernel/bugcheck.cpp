// Bug checks, the verifier's record of violations, and the kernel's reset.
#include <dlfcn.h>

#include <cstdio>
#include <mutex>

#include "sim/kernel/internal.h"

namespace sim::kernel {

namespace {

std::mutex g_mutex;
BugCheckHandler g_handler;
std::vector<Violation> g_violations;

thread_local PDRIVER_OBJECT t_current_driver = nullptr;

}  // namespace

const char* BugCheckName(BugCheckCode code) {
  switch (code) {
    case BugCheckCode::SpinLockNotOwned:
      return "SPIN_LOCK_NOT_OWNED";
    case BugCheckCode::ReferenceByPointer:
      return "REFERENCE_BY_POINTER";
    case BugCheckCode::NoMoreIrpStackLocations:
      return "NO_MORE_IRP_STACK_LOCATIONS";
    case BugCheckCode::MultipleIrpCompleteRequests:
      return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case BugCheckCode::CancelStateInCompletedIrp:
      return "CANCEL_STATE_IN_COMPLETED_IRP";
    case BugCheckCode::IrqlNotGreaterOrEqual:
      return "IRQL_NOT_GREATER_OR_EQUAL";
    case BugCheckCode::IrqlNotLessOrEqual:
      return "IRQL_NOT_LESS_OR_EQUAL";
    case BugCheckCode::BadPoolCaller:
      return "BAD_POOL_CALLER";
    case BugCheckCode::DriverVerifierDetectedViolation:
      return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case BugCheckCode::DriverVerifierIoManagerViolation:
      return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
  }
  return "BUG_CHECK";
}

BugCheckError::BugCheckError(BugCheckInfo info)
    : std::runtime_error(std::string(BugCheckName(info.code)) + ": " + info.message), info_(std::move(info)) {}

void SetBugCheckHandler(BugCheckHandler handler) {
  std::lock_guard lock(g_mutex);
  g_handler = std::move(handler);
}

void BugCheck(BugCheckCode code, std::string message) {
  BugCheckInfo info{code, std::move(message)};
  char text[32];
  std::snprintf(text, sizeof text, "0x%02X ", static_cast<unsigned>(code));
  Verifier::Get().Report("bug check", text + std::string(BugCheckName(code)) + ": " + info.message);
  BugCheckHandler handler;
  {
    std::lock_guard lock(g_mutex);
    handler = g_handler;
  }
  if (handler) handler(info);
  throw BugCheckError(std::move(info));
}

Verifier& Verifier::Get() {
  static Verifier verifier;
  return verifier;
}

void Verifier::Report(std::string kind, std::string message) {
  std::lock_guard lock(g_mutex);
  g_violations.push_back({std::move(kind), std::move(message)});
}

std::vector<Violation> Verifier::Violations() const {
  std::lock_guard lock(g_mutex);
  return g_violations;
}

std::vector<Violation> Verifier::Take() {
  std::lock_guard lock(g_mutex);
  std::vector<Violation> out;
  out.swap(g_violations);
  return out;
}

void Verifier::CheckForLeaks() {
  std::vector<Violation> found;
  internal::CollectIoLeaks(found);
  internal::CollectObjectLeaks(found);
  internal::CollectPoolLeaks(found);
  std::lock_guard lock(g_mutex);
  g_violations.insert(g_violations.end(), found.begin(), found.end());
}

std::string Verifier::Format(const std::vector<Violation>& violations) {
  std::string out;
  for (const auto& v : violations) out += v.kind + ": " + v.message + "\n";
  return out;
}

void ResetKernel() {
  internal::ResetPnp();
  internal::ResetInterfaces();
  internal::ResetLoader();
  internal::ResetObjects();
  internal::ResetIo();
  internal::ResetPool();
  internal::ResetEvents();
  std::lock_guard lock(g_mutex);
  g_violations.clear();
}

namespace internal {

PDRIVER_OBJECT CurrentDriver() { return t_current_driver; }

DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(t_current_driver) { t_current_driver = driver; }
DriverScope::~DriverScope() { t_current_driver = previous_; }

std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string CallerName(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return Hex(address);
  std::string module = info.dli_fname ? info.dli_fname : "?";
  if (auto slash = module.rfind('/'); slash != std::string::npos) module.erase(0, slash + 1);
  if (!info.dli_sname) return module + "+" + Hex(address);
  char offset[32];
  std::snprintf(offset, sizeof offset, "+0x%zx",
                static_cast<std::size_t>(static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr)));
  return module + "!" + info.dli_sname + offset;
}

}  // namespace internal

}  // namespace sim::kernel
