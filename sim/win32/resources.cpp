// Resources of a module: FindResourceA and friends over the table the
// resource build step links into each module, the string table, and bitmaps
// as device-dependent GDI objects.
#include "sim/win32/resources.h"
#include "sim/win32/codepage.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/win32/sync.h"
#include "sim/win32/modules.h"
#include "sim/win32/paths.h"

namespace sim {

namespace {

// A resource type or name as the caller gave it: an ordinal, or a string
// ("#118" is the ordinal 118, as on Windows).
struct Id {
  bool is_ordinal = false;
  WORD ordinal = 0;
  std::string_view text;
};

Id ParseId(LPCSTR value) {
  Id id;
  if (IS_INTRESOURCE(value)) {
    id.is_ordinal = true;
    id.ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(value));
    return id;
  }
  if (value[0] == '#') {
    unsigned number = 0;
    for (const char* c = value + 1; *c >= '0' && *c <= '9'; ++c) number = number * 10 + static_cast<unsigned>(*c - '0');
    id.is_ordinal = true;
    id.ordinal = static_cast<WORD>(number);
    return id;
  }
  id.text = value;
  return id;
}

bool Matches(const Id& id, const char* name, uint16_t ordinal) {
  if (id.is_ordinal) return name == nullptr && ordinal == id.ordinal;
  return name != nullptr && FileSystem::EqualsIgnoreCase(id.text, name);
}

const OraResourceTable* TableOf(HMODULE module) {
  if (module == nullptr) return nullptr;
  return static_cast<const OraResourceTable*>(Modules::Get().Symbol(module, kOraResourceTableSymbol));
}

// The display's depth: LoadBitmapA makes bitmaps compatible with it.
constexpr WORD kDisplayBitsPerPixel = 32;

}  // namespace

Resources& Resources::Get() {
  static Resources resources;
  return resources;
}

DWORD Resources::Find(HMODULE module, LPCSTR type, LPCSTR name, WORD language, const OraResourceEntry** out) const {
  *out = nullptr;
  if (type == nullptr || name == nullptr) return ERROR_INVALID_PARAMETER;
  const OraResourceTable* table = TableOf(module);
  if (table == nullptr) return ERROR_RESOURCE_DATA_NOT_FOUND;
  const Id type_id = ParseId(type);
  const Id name_id = ParseId(name);
  bool type_found = false;
  const OraResourceEntry* first = nullptr;
  const OraResourceEntry* neutral = nullptr;
  const OraResourceEntry* english = nullptr;
  for (uint32_t i = 0; i < table->count; ++i) {
    const OraResourceEntry& entry = table->entries[i];
    if (!Matches(type_id, entry.type_name, entry.type_id)) continue;
    type_found = true;
    if (!Matches(name_id, entry.name, entry.name_id)) continue;
    if (language != 0) {
      if (entry.language == language) {
        *out = &entry;
        return 0;
      }
      continue;
    }
    if (first == nullptr) first = &entry;
    if (entry.language == 0 && neutral == nullptr) neutral = &entry;
    if (entry.language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US) && english == nullptr) english = &entry;
  }
  if (!type_found) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  *out = neutral ? neutral : english ? english : first;
  if (*out != nullptr) return 0;
  return language != 0 && first == nullptr ? ERROR_RESOURCE_LANG_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND;
}

const OraResourceEntry* Resources::Entry(HMODULE module, HRSRC resource) const {
  const OraResourceTable* table = TableOf(module);
  if (table == nullptr || resource == nullptr) return nullptr;
  for (uint32_t i = 0; i < table->count; ++i)
    if (reinterpret_cast<HRSRC>(const_cast<OraResourceEntry*>(&table->entries[i])) == resource)
      return &table->entries[i];
  return nullptr;
}

HBITMAP Resources::AddBitmap(Bitmap bitmap) {
  std::lock_guard lock(mutex_);
  const std::uintptr_t handle = next_bitmap_;
  next_bitmap_ += 4;
  bitmaps_[handle] = bitmap;
  return reinterpret_cast<HBITMAP>(handle);
}

bool Resources::GetBitmap(HGDIOBJ object, Bitmap* out) const {
  std::lock_guard lock(mutex_);
  auto it = bitmaps_.find(reinterpret_cast<std::uintptr_t>(object));
  if (it == bitmaps_.end()) return false;
  *out = it->second;
  return true;
}

bool Resources::DeleteBitmap(HGDIOBJ object) {
  std::lock_guard lock(mutex_);
  return bitmaps_.erase(reinterpret_cast<std::uintptr_t>(object)) == 1;
}

std::vector<std::string> Resources::OpenObjects() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> open;
  for (const auto& [handle, bitmap] : bitmaps_)
    open.push_back("bitmap " + std::to_string(bitmap.width) + "x" + std::to_string(bitmap.height));
  return open;
}

void Resources::Reset() {
  std::lock_guard lock(mutex_);
  bitmaps_.clear();
}

std::string AnsiFromUtf16(const char16_t* text, size_t length) { return win32::WideToAnsi({text, length}); }

}  // namespace sim

namespace {

HRSRC Found(DWORD error, const OraResourceEntry* entry) {
  if (error != 0) {
    SetLastError(error);
    return nullptr;
  }
  return reinterpret_cast<HRSRC>(const_cast<OraResourceEntry*>(entry));
}

}  // namespace

extern "C" HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  return FindResourceExA(hModule, lpType, lpName, 0);
}

extern "C" HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage) {
  const OraResourceEntry* entry = nullptr;
  const DWORD error = sim::Resources::Get().Find(hModule, lpType, lpName, wLanguage, &entry);
  return Found(error, entry);
}

extern "C" HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
  const OraResourceEntry* entry = sim::Resources::Get().Entry(hModule, hResInfo);
  if (entry == nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  // Resource data is read-only, as in a mapped image.
  return const_cast<unsigned char*>(entry->data);
}

extern "C" LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

extern "C" DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  const OraResourceEntry* entry = sim::Resources::Get().Entry(hModule, hResInfo);
  if (entry == nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return 0;
  }
  return entry->size;
}

// Resources live as long as their module; freeing is a no-op, as on Windows.
extern "C" BOOL WINAPI FreeResource(HGLOBAL hResData) {
  (void)hResData;
  return FALSE;
}

// Strings live in blocks of 16 (block id / 16 + 1), each a length-counted
// UTF-16 string.
extern "C" int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  lpBuffer[0] = 0;
  const OraResourceEntry* entry = nullptr;
  const DWORD error = sim::Resources::Get().Find(hInstance, RT_STRING, MAKEINTRESOURCEA((uID >> 4) + 1), 0, &entry);
  if (error != 0) {
    SetLastError(error);
    return 0;
  }
  size_t at = 0;
  const size_t units = entry->size / 2;
  auto unit = [&](size_t i) { return static_cast<char16_t>(entry->data[2 * i] | (entry->data[2 * i + 1] << 8)); };
  for (UINT index = 0; index < (uID & 15) && at < units; ++index) at += 1 + unit(at);
  if (at >= units || unit(at) == 0) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  const size_t length = std::min<size_t>(unit(at), units - at - 1);
  std::u16string text;
  for (size_t i = 0; i < length; ++i) text.push_back(unit(at + 1 + i));
  const std::string ansi = sim::AnsiFromUtf16(text.data(), text.size());
  // Too small a buffer gets the start of the string, terminated.
  const size_t copied = std::min(ansi.size(), static_cast<size_t>(cchBufferMax - 1));
  std::memcpy(lpBuffer, ansi.data(), copied);
  lpBuffer[copied] = 0;
  return static_cast<int>(copied);
}

extern "C" HBITMAP WINAPI LoadBitmapA(HINSTANCE hInstance, LPCSTR lpBitmapName) {
  const OraResourceEntry* entry = nullptr;
  if (const DWORD error = sim::Resources::Get().Find(hInstance, RT_BITMAP, lpBitmapName, 0, &entry); error != 0) {
    SetLastError(error);
    return nullptr;
  }
  // A packed DIB: BITMAPINFOHEADER (40 bytes), then colours and bits.
  auto dword = [&](size_t at) {
    return static_cast<uint32_t>(entry->data[at] | (entry->data[at + 1] << 8) | (entry->data[at + 2] << 16) |
                                 (static_cast<uint32_t>(entry->data[at + 3]) << 24));
  };
  if (entry->size < 40 || dword(0) < 40) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  const auto width = static_cast<LONG>(dword(4));
  const auto height = static_cast<LONG>(dword(8));
  return sim::Resources::Get().AddBitmap({width, height < 0 ? -height : height});
}

extern "C" int WINAPI GetObjectA(HGDIOBJ h, int c, LPVOID pv) {
  sim::Resources::Bitmap bitmap{};
  if (!sim::Resources::Get().GetBitmap(h, &bitmap)) return 0;
  if (pv == nullptr) return sizeof(BITMAP);
  if (c < static_cast<int>(sizeof(BITMAP))) return 0;
  BITMAP info{};
  info.bmType = 0;
  info.bmWidth = bitmap.width;
  info.bmHeight = bitmap.height;
  info.bmWidthBytes = bitmap.width * (sim::kDisplayBitsPerPixel / 8);
  info.bmPlanes = 1;
  info.bmBitsPixel = sim::kDisplayBitsPerPixel;
  info.bmBits = nullptr;
  std::memcpy(pv, &info, sizeof(info));
  return sizeof(BITMAP);
}

extern "C" BOOL WINAPI DeleteObject(HGDIOBJ ho) { return sim::Resources::Get().DeleteBitmap(ho) ? TRUE : FALSE; }
