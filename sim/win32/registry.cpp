// The Win32 face of the registry: argument checks, the predefined keys, the
// 32-bit view and the HKEY_CLASSES_ROOT merge over the one store that the
// kernel calls use too. Core statuses become Win32 errors once, in ToWin32.
//
// The ANSI functions keep string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
// as UTF-16 in the store, converting through the ANSI code page (1252) on the
// way in and out, and report ANSI sizes to their callers.
#include "platform/win32/registry.h"
#include "sim/win32/codepage.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "sim/core/handles.h"
#include "sim/registry/names.h"
#include "sim/registry/store.h"
#include "sim/registry/views.h"

namespace reg = sim::registry;

static_assert(KEY_READ == reg::access::kRead && KEY_WRITE == reg::access::kWrite &&
              KEY_ALL_ACCESS == reg::access::kAllAccess && KEY_WOW64_32KEY == reg::access::kWow64_32Key &&
              KEY_WOW64_64KEY == reg::access::kWow64_64Key && DELETE == reg::access::kDelete);
static_assert(REG_SZ == reg::type::kSz && REG_MULTI_SZ == reg::type::kMultiSz && REG_QWORD == reg::type::kQword);
static_assert(REG_OPTION_VOLATILE == reg::kOptionVolatile &&
              REG_CREATED_NEW_KEY == static_cast<DWORD>(reg::Disposition::CreatedNew) &&
              REG_OPENED_EXISTING_KEY == static_cast<DWORD>(reg::Disposition::OpenedExisting));

namespace {

using sim::win32::AnsiToWide;
using sim::win32::WideToAnsi;

// An open HKEY in the process handle table.
class KeyObject final : public sim::Object {
 public:
  static constexpr sim::ObjectType kType = sim::ObjectType::Key;
  sim::ObjectType Type() const override { return kType; }
  std::string Describe() const override {
    std::u16string path;
    if (reg::Store::Get().FullPath(key, &path) != reg::Status::Success) return "(deleted key)";
    return reg::ToUtf8(path) + (merged ? " (through HKEY_CLASSES_ROOT)" : "");
  }

  reg::Key key;
  reg::View view = reg::View::Native64;
  // Opened through HKEY_CLASSES_ROOT: the path below the Classes keys.
  bool merged = false;
  std::u16string classes_path;
};

LONG ToWin32(reg::Status status) {
  struct Row {
    reg::Status status;
    DWORD error;
  };
  static constexpr std::array<Row, 12> kTable = {{
      {reg::Status::Success, ERROR_SUCCESS},
      {reg::Status::NotFound, ERROR_FILE_NOT_FOUND},
      {reg::Status::AccessDenied, ERROR_ACCESS_DENIED},
      // Windows refuses to delete a key with subkeys as an access failure.
      {reg::Status::KeyHasChildren, ERROR_ACCESS_DENIED},
      {reg::Status::CannotDelete, ERROR_ACCESS_DENIED},
      {reg::Status::BufferTooSmall, ERROR_MORE_DATA},
      {reg::Status::KeyDeleted, ERROR_KEY_DELETED},
      {reg::Status::InvalidParameter, ERROR_INVALID_PARAMETER},
      {reg::Status::InvalidName, ERROR_BAD_PATHNAME},
      {reg::Status::NoMoreEntries, ERROR_NO_MORE_ITEMS},
      {reg::Status::ChildMustBeVolatile, ERROR_CHILD_MUST_BE_VOLATILE},
      {reg::Status::BadFormat, ERROR_BADDB},
  }};
  for (const auto& row : kTable)
    if (row.status == status) return static_cast<LONG>(row.error);
  return static_cast<LONG>(ERROR_GEN_FAILURE);
}

LONG Error(DWORD error) { return static_cast<LONG>(error); }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stored UTF-16 string data as the ANSI bytes the caller sees; a trailing odd byte is dropped.
std::vector<uint8_t> ToAnsiData(const reg::Value& v) {
  if (!IsStringType(v.type)) return v.data;
  std::u16string units(v.data.size() / 2, u'\0');
  for (std::size_t k = 0; k < units.size(); ++k)
    units[k] = static_cast<char16_t>(v.data[2 * k] | (v.data[2 * k + 1] << 8));
  const std::string ansi = WideToAnsi(units);
  return std::vector<uint8_t>(ansi.begin(), ansi.end());
}

// --- Predefined keys and parents ---

std::u16string MachineClasses() { return std::u16string(reg::kMachineRoot) + u"\\SOFTWARE\\Classes"; }
std::u16string UserClasses() { return reg::CurrentUserPath() + u"\\Software\\Classes"; }

struct Predefined {
  HKEY hkey;
  std::u16string path;  // empty for HKEY_CLASSES_ROOT, which is the merge
};

const std::vector<Predefined>& PredefinedKeys() {
  static const std::vector<Predefined> kTable = {
      {HKEY_CLASSES_ROOT, u""},
      {HKEY_CURRENT_USER, reg::CurrentUserPath()},
      {HKEY_LOCAL_MACHINE, std::u16string(reg::kMachineRoot)},
      {HKEY_USERS, std::u16string(reg::kUsersRoot)},
      {HKEY_CURRENT_CONFIG,
       std::u16string(reg::kMachineRoot) + u"\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
  };
  return kTable;
}

const Predefined* FindPredefined(HKEY hkey) {
  for (const auto& p : PredefinedKeys())
    if (p.hkey == hkey) return &p;
  return nullptr;
}

// What a call's HKEY names: a native key, or a place in the merged classes.
struct Parent {
  bool predefined = false;
  bool merged = false;
  std::u16string path;  // native path (not merged)
  std::u16string classes_path;
  reg::View view = reg::View::Native64;  // the view the parent was opened in
  reg::Key key;                          // the parent key itself, for calls on hKey
};

std::u16string Join(std::u16string_view a, std::u16string_view b) {
  if (a.empty()) return std::u16string(b);
  if (b.empty()) return std::u16string(a);
  return std::u16string(a) + u"\\" + std::u16string(b);
}

// Opens the merged key at `classes_path`: the user's classes first, then the machine's.
reg::Status OpenMerged(std::u16string_view classes_path, reg::View view, REGSAM sam, reg::Key* out) {
  auto& store = reg::Store::Get();
  // The root's own values are the machine's, as an administrator sees them.
  if (!classes_path.empty()) {
    const reg::Status status =
        store.Open(nullptr, reg::RedirectPath(Join(UserClasses(), classes_path), view), sam, out);
    if (status != reg::Status::NotFound) return status;
  }
  return store.Open(nullptr, reg::RedirectPath(Join(MachineClasses(), classes_path), view), sam, out);
}

LONG ResolveParent(HKEY hkey, Parent* parent) {
  if (const Predefined* p = FindPredefined(hkey)) {
    parent->predefined = true;
    if (p->path.empty()) {
      parent->merged = true;
      return ToWin32(OpenMerged(u"", reg::View::Native64, KEY_ALL_ACCESS, &parent->key));
    }
    parent->path = p->path;
    return ToWin32(reg::Store::Get().Open(nullptr, p->path, KEY_ALL_ACCESS, &parent->key));
  }
  auto object = sim::HandleTable::Get().LookupAs<KeyObject>(hkey);
  if (!object) return Error(ERROR_INVALID_HANDLE);
  parent->key = object->key;
  parent->view = object->view;
  parent->merged = object->merged;
  parent->classes_path = object->classes_path;
  if (!object->merged) {
    const reg::Status status = reg::Store::Get().FullPath(object->key, &parent->path);
    if (status != reg::Status::Success) return ToWin32(status);
  }
  return ERROR_SUCCESS;
}

// The key a call on hKey itself works on.
LONG ResolveKey(HKEY hkey, reg::Key* key) {
  Parent parent;
  const LONG error = ResolveParent(hkey, &parent);
  if (error == ERROR_SUCCESS) *key = parent.key;
  return error;
}

LONG ViewOf(REGSAM sam, reg::View* view) {
  if ((sam & KEY_WOW64_RES) == KEY_WOW64_RES) return Error(ERROR_INVALID_PARAMETER);
  *view = (sam & KEY_WOW64_32KEY) ? reg::View::Wow32 : reg::View::Native64;
  return ERROR_SUCCESS;
}

LONG Publish(std::shared_ptr<KeyObject> object, PHKEY result) {
  *result = static_cast<HKEY>(sim::HandleTable::Get().Insert(std::move(object)));
  return ERROR_SUCCESS;
}

// Opens or creates `native_path`, one element at a time as advapi does, so
// missing parents are made too.
reg::Status CreatePath(std::u16string_view native_path, REGSAM sam, DWORD options, std::u16string_view class_name,
                       reg::Key* out, reg::Disposition* disposition) {
  auto& store = reg::Store::Get();
  std::size_t pos = reg::kRegistryRoot.size();
  while (true) {
    const auto next = native_path.find(u'\\', pos + 1);
    if (next == std::u16string_view::npos) break;
    reg::Key step;
    const reg::Status status =
        store.Create(nullptr, native_path.substr(0, next), 0, options & REG_OPTION_VOLATILE, u"", &step, nullptr);
    if (status != reg::Status::Success) return status;
    pos = next;
  }
  return store.Create(nullptr, native_path, sam, options & REG_OPTION_VOLATILE, class_name, out, disposition);
}

// Copies a name into a caller's character buffer of *size characters.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD size) {
  if (name.size() + 1 > *size) return Error(ERROR_MORE_DATA);
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Hands data to a caller the Windows way: a null buffer asks for the size, a
// small one gets ERROR_MORE_DATA with the size needed and is left alone.
LONG CopyData(const std::vector<uint8_t>& data, LPBYTE buffer, LPDWORD size) {
  if (!size) return ERROR_SUCCESS;
  const auto needed = static_cast<DWORD>(data.size());
  if (!buffer) {
    *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return Error(ERROR_MORE_DATA);
  }
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  *size = needed;
  return ERROR_SUCCESS;
}

// Subkey names of a merged key: the union of both sides, in Windows order,
// the user's spelling first.
std::vector<reg::SubkeyInfo> MergedSubkeys(const std::u16string& classes_path, reg::View view) {
  auto& store = reg::Store::Get();
  std::map<std::u16string, reg::SubkeyInfo> names;
  for (const auto& side : {UserClasses(), MachineClasses()}) {
    reg::Key key;
    if (store.Open(nullptr, reg::RedirectPath(Join(side, classes_path), view), KEY_ENUMERATE_SUB_KEYS, &key) !=
        reg::Status::Success)
      continue;
    reg::SubkeyInfo info;
    for (uint32_t i = 0; store.EnumerateKey(key, i, &info) == reg::Status::Success; ++i)
      names.emplace(reg::Upcase(info.name), info);
  }
  std::vector<reg::SubkeyInfo> out;
  for (auto& [upper, info] : names) out.push_back(std::move(info));
  return out;
}

void SetFileTime(uint64_t time, PFILETIME out) {
  if (!out) return;
  out->dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
  out->dwHighDateTime = static_cast<DWORD>(time >> 32);
}

LONG OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, bool create, DWORD options, LPCSTR lpClass,
                  PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return Error(ERROR_INVALID_PARAMETER);
  reg::View view;
  LONG error = ViewOf(samDesired, &view);
  if (error != ERROR_SUCCESS) return error;
  Parent parent;
  error = ResolveParent(hKey, &parent);
  if (error != ERROR_SUCCESS) return error;
  const std::u16string sub = AnsiToWide(lpSubKey);
  const std::u16string class_name = AnsiToWide(lpClass);
  // An empty subkey names the parent itself, in the parent's view. A merged
  // key keeps only its classes path, so it carries its 32-bit view along, as
  // the Wow6432Node key a Windows handle would name.
  if (sub.empty() || (parent.merged && parent.view == reg::View::Wow32)) view = parent.view;

  auto object = std::make_shared<KeyObject>();
  object->view = view;
  auto& store = reg::Store::Get();
  reg::Status status;
  reg::Disposition disposition = reg::Disposition::OpenedExisting;
  if (parent.merged) {
    object->merged = true;
    object->classes_path = Join(parent.classes_path, sub);
    status = OpenMerged(object->classes_path, view, samDesired, &object->key);
    if (status == reg::Status::NotFound && create) {
      // New classes go to the machine's side, unless only the user has the parent.
      const auto slash = object->classes_path.rfind(u'\\');
      const std::u16string above = slash == std::u16string::npos ? u"" : object->classes_path.substr(0, slash);
      const bool user_only = !store.Exists(reg::RedirectPath(Join(MachineClasses(), above), view)) &&
                             store.Exists(reg::RedirectPath(Join(UserClasses(), above), view));
      const std::u16string side = user_only ? UserClasses() : MachineClasses();
      status = CreatePath(reg::RedirectPath(Join(side, object->classes_path), view), samDesired, options, class_name,
                          &object->key, &disposition);
    }
  } else {
    const std::u16string target = reg::RedirectPath(Join(parent.path, sub), view);
    status = create ? CreatePath(target, samDesired, options, class_name, &object->key, &disposition)
                    : store.Open(nullptr, target, samDesired, &object->key);
  }
  if (status != reg::Status::Success) return ToWin32(status);
  if (lpdwDisposition) *lpdwDisposition = static_cast<DWORD>(disposition);
  return Publish(std::move(object), phkResult);
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  (void)ulOptions;
  if (!phkResult) return Error(ERROR_INVALID_PARAMETER);
  // A predefined key opened with no subkey is handed back as it is.
  if ((!lpSubKey || !*lpSubKey) && FindPredefined(hKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return OpenOrCreate(hKey, lpSubKey, samDesired, false, 0, nullptr, phkResult, nullptr);
}

LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return Error(ERROR_INVALID_PARAMETER);
  if (!lpSubKey || !*lpSubKey) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  (void)Reserved;
  (void)lpSecurityAttributes;
  if (!lpSubKey) return Error(ERROR_INVALID_PARAMETER);
  return OpenOrCreate(hKey, lpSubKey, samDesired, true, dwOptions, lpClass, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return Error(ERROR_INVALID_PARAMETER);
  if (!lpSubKey || !*lpSubKey) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult,
                         nullptr);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (FindPredefined(hKey)) return ERROR_SUCCESS;
  if (!sim::HandleTable::Get().LookupAs<KeyObject>(hKey)) return Error(ERROR_INVALID_HANDLE);
  sim::HandleTable::Get().Close(hKey);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return Error(ERROR_INVALID_PARAMETER);
  reg::Key key;
  LONG error = ResolveKey(hKey, &key);
  if (error != ERROR_SUCCESS) return error;
  reg::Value value;
  const reg::Status status = reg::Store::Get().QueryValue(key, AnsiToWide(lpValueName), &value);
  if (status != reg::Status::Success) return ToWin32(status);
  if (lpType) *lpType = value.type;
  return CopyData(ToAnsiData(value), lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  (void)Reserved;
  if (!lpData && cbData != 0) return Error(ERROR_NOACCESS);
  reg::Key key;
  LONG error = ResolveKey(hKey, &key);
  if (error != ERROR_SUCCESS) return error;
  std::vector<uint8_t> data(lpData, lpData + cbData);
  if (IsStringType(dwType)) {
    const std::u16string wide = AnsiToWide(reinterpret_cast<const char*>(lpData), cbData);
    data.resize(wide.size() * 2);
    for (std::size_t k = 0; k < wide.size(); ++k) {
      data[2 * k] = static_cast<uint8_t>(wide[k] & 0xFF);
      data[2 * k + 1] = static_cast<uint8_t>(wide[k] >> 8);
    }
  }
  return ToWin32(reg::Store::Get().SetValue(key, AnsiToWide(lpValueName), dwType, data.data(), data.size()));
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  reg::Key key;
  LONG error = ResolveKey(hKey, &key);
  if (error != ERROR_SUCCESS) return error;
  return ToWin32(reg::Store::Get().DeleteValue(key, AnsiToWide(lpValueName)));
}

LSTATUS WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
  (void)Reserved;
  if (!lpSubKey) return Error(ERROR_INVALID_PARAMETER);
  HKEY target = nullptr;
  LONG error = OpenOrCreate(hKey, lpSubKey, DELETE | (samDesired & KEY_WOW64_RES), false, 0, nullptr, &target, nullptr);
  if (error != ERROR_SUCCESS) return error;
  auto object = sim::HandleTable::Get().LookupAs<KeyObject>(target);
  error = ToWin32(reg::Store::Get().DeleteKey(object->key));
  RegCloseKey(target);
  return error;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return RegDeleteKeyExA(hKey, lpSubKey, 0, 0); }

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return Error(ERROR_INVALID_PARAMETER);
  Parent parent;
  LONG error = ResolveParent(hKey, &parent);
  if (error != ERROR_SUCCESS) return error;
  reg::SubkeyInfo info;
  if (parent.merged) {
    if ((parent.key.Access() & KEY_ENUMERATE_SUB_KEYS) == 0) return Error(ERROR_ACCESS_DENIED);
    const auto names = MergedSubkeys(parent.classes_path, parent.view);
    if (dwIndex >= names.size()) return Error(ERROR_NO_MORE_ITEMS);
    info = names[dwIndex];
  } else {
    const reg::Status status = reg::Store::Get().EnumerateKey(parent.key, dwIndex, &info);
    if (status != reg::Status::Success) return ToWin32(status);
  }
  error = CopyName(WideToAnsi(info.name), lpName, lpcchName);
  if (error != ERROR_SUCCESS) return error;
  if (lpClass) {
    error = CopyName(WideToAnsi(info.class_name), lpClass, lpcchClass);
    if (error != ERROR_SUCCESS) return error;
  }
  SetFileTime(info.last_write_time, lpftLastWriteTime);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return Error(ERROR_INVALID_PARAMETER);
  reg::Key key;
  LONG error = ResolveKey(hKey, &key);
  if (error != ERROR_SUCCESS) return error;
  reg::Value value;
  const reg::Status status = reg::Store::Get().EnumerateValue(key, dwIndex, &value);
  if (status != reg::Status::Success) return ToWin32(status);
  error = CopyName(WideToAnsi(value.name), lpValueName, lpcchValueName);
  if (error != ERROR_SUCCESS) return error;
  if (lpType) *lpType = value.type;
  return CopyData(ToAnsiData(value), lpData, lpcbData);
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                PFILETIME lpftLastWriteTime) {
  if (lpReserved || (lpClass && !lpcchClass)) return Error(ERROR_INVALID_PARAMETER);
  Parent parent;
  LONG error = ResolveParent(hKey, &parent);
  if (error != ERROR_SUCCESS) return error;
  reg::KeyInfo info;
  const reg::Status status = reg::Store::Get().QueryKey(parent.key, &info);
  if (status != reg::Status::Success) return ToWin32(status);
  if (parent.merged) {
    const auto names = MergedSubkeys(parent.classes_path, parent.view);
    info.subkeys = static_cast<uint32_t>(names.size());
    info.max_subkey_name = 0;
    for (const auto& n : names) info.max_subkey_name = std::max(info.max_subkey_name, uint32_t(n.name.size()));
  }
  if (lpcchClass) {
    const std::string class_name = WideToAnsi(info.class_name);
    if (lpClass) {
      error = CopyName(class_name, lpClass, lpcchClass);
      if (error != ERROR_SUCCESS) return error;
    } else {
      *lpcchClass = static_cast<DWORD>(class_name.size());
    }
  }
  if (lpcSubKeys) *lpcSubKeys = info.subkeys;
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = info.max_subkey_name;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = info.max_subkey_class;
  if (lpcValues) *lpcValues = info.values;
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = info.max_value_name;
  // The stored (UTF-16) size: an upper bound for the ANSI data, as Windows reports it.
  if (lpcbMaxValueLen) *lpcbMaxValueLen = info.max_value_data;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  SetFileTime(info.last_write_time, lpftLastWriteTime);
  return ERROR_SUCCESS;
}

}  // extern "C"
