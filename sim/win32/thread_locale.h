// Each thread's locale, and a record of every change, so tests can see a
// caller set a locale for a while and restore it.
#pragma once

#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32/locale.h"

namespace sim {

class ThreadLocales {
 public:
  // A thread starts in the user's default locale, US English here.
  static constexpr LCID kDefaultLocale = 0x0409;

  static ThreadLocales& Get();

  struct Change {
    std::thread::id thread;
    LCID from;
    LCID requested;  // as the caller passed it (LOCALE_SYSTEM_DEFAULT, ...)
    LCID to;
  };
  std::vector<Change> Changes() const;

  LCID Current() const;
  void Set(LCID requested, LCID locale);
  void Reset();

 private:
  mutable std::mutex mutex_;
  std::map<std::thread::id, LCID> locales_;
  std::vector<Change> changes_;
};

}  // namespace sim
