// Resources of loaded modules and the GDI bitmaps made from them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/resource.h"
#include "sim/win32/resource_table.h"

namespace sim {

class Resources {
 public:
  static Resources& Get();

  // The entry of a module's resource, chosen as FindResourceExA chooses it
  // (language 0: neutral first, then US English, then the first found).
  // Returns a Win32 error, 0 on success.
  DWORD Find(HMODULE module, LPCSTR type, LPCSTR name, WORD language, const OraResourceEntry** out) const;
  // The entry behind an HRSRC of that module, or null.
  const OraResourceEntry* Entry(HMODULE module, HRSRC resource) const;

  struct Bitmap {
    LONG width;
    LONG height;
  };
  HBITMAP AddBitmap(Bitmap bitmap);
  bool GetBitmap(HGDIOBJ object, Bitmap* out) const;
  bool DeleteBitmap(HGDIOBJ object);
  // Bitmaps not deleted, for leak reports.
  std::vector<std::string> OpenObjects() const;

  void Reset();

 private:
  mutable std::mutex mutex_;
  std::map<std::uintptr_t, Bitmap> bitmaps_;
  std::uintptr_t next_bitmap_ = 0x0505'0010;
};

// Copies UTF-16 text as ANSI (code page 1252; other
// characters become '?').
std::string AnsiFromUtf16(const char16_t* text, size_t length);

}  // namespace sim
