// GetThreadLocale and SetThreadLocale.
#include "sim/win32/thread_locale.h"

#include "platform/win32/sync.h"

namespace sim {

ThreadLocales& ThreadLocales::Get() {
  static ThreadLocales locales;
  return locales;
}

std::vector<ThreadLocales::Change> ThreadLocales::Changes() const {
  std::lock_guard lock(mutex_);
  return changes_;
}

LCID ThreadLocales::Current() const {
  std::lock_guard lock(mutex_);
  auto it = locales_.find(std::this_thread::get_id());
  return it == locales_.end() ? kDefaultLocale : it->second;
}

void ThreadLocales::Set(LCID requested, LCID locale) {
  std::lock_guard lock(mutex_);
  auto [it, inserted] = locales_.try_emplace(std::this_thread::get_id(), kDefaultLocale);
  changes_.push_back({std::this_thread::get_id(), it->second, requested, locale});
  it->second = locale;
}

void ThreadLocales::Reset() {
  std::lock_guard lock(mutex_);
  locales_.clear();
  changes_.clear();
}

}  // namespace sim

extern "C" LCID WINAPI GetThreadLocale() { return sim::ThreadLocales::Get().Current(); }

// The two pseudo locales stand for the defaults they name; other values must
// carry a language.
extern "C" BOOL WINAPI SetThreadLocale(LCID Locale) {
  LCID locale = Locale;
  if (locale == LOCALE_SYSTEM_DEFAULT || locale == LOCALE_USER_DEFAULT) locale = sim::ThreadLocales::kDefaultLocale;
  if ((locale & 0x3FF) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  sim::ThreadLocales::Get().Set(Locale, locale);
  return TRUE;
}
