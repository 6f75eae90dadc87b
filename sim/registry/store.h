// The simulated PC's registry: one store for user mode and kernel mode.
//
// Keys are named by their full native path, as the kernel names them:
//   \REGISTRY\MACHINE\...           (HKEY_LOCAL_MACHINE)
//   \REGISTRY\USER\<SID>\...        (HKEY_CURRENT_USER is kCurrentUserSid's key)
// Names are case-insensitive and case-preserving; subkeys enumerate sorted by
// their upper-cased names (so "_x" comes after "Z"), values in creation order.
// Values keep their type and exact byte size.
//
// The kernel has no 32-bit view: \REGISTRY\MACHINE\SOFTWARE\Wow6432Node is an
// ordinary key here. The user-mode views are applied by RedirectPath (views.h)
// before a path reaches the store.
//
// How the two faces use it:
//   - A Key is what a handle holds: a reference to one key of the store plus the
//     access granted when it was opened. Copy it freely; dropping the last copy
//     is ZwClose/RegCloseKey. A Key whose key was deleted stays valid as an
//     object, and every operation on it answers Status::KeyDeleted.
//   - Open/Create take an optional parent Key (the RootDirectory of
//     OBJECT_ATTRIBUTES, or the HKEY): without one the path must be absolute
//     ("\REGISTRY\..."); with one it must be relative (no leading backslash).
//     A trailing backslash is ignored; an empty element ("a\\b") is refused.
//   - Access is checked per operation against the Key's granted mask (the
//     Windows KEY_* rights, below). Opening with a write right under a
//     read-only subtree (SetReadOnly) is refused at the open.
//   - Name lengths are in UTF-16 code units (WCHARs), data sizes in bytes.
//
// Every call takes the store's one mutex; each call is atomic on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

namespace detail {
struct Node;
}

enum class Status {
  Success,
  NotFound,             // the key or value does not exist (STATUS_OBJECT_NAME_NOT_FOUND)
  AccessDenied,         // the Key lacks the right, or the subtree is read-only
  KeyHasChildren,       // DeleteKey on a key that has subkeys (STATUS_CANNOT_DELETE)
  CannotDelete,         // DeleteKey on a hive root or \REGISTRY itself
  BufferTooSmall,       // used by the faces; the store itself returns whole values
  KeyDeleted,           // the Key's key was deleted (STATUS_KEY_DELETED)
  InvalidParameter,     // a null or inconsistent argument
  InvalidName,          // bad path syntax: empty element, absolute/relative mismatch
  NoMoreEntries,        // enumeration index past the end (STATUS_NO_MORE_ENTRIES)
  ChildMustBeVolatile,  // a non-volatile key under a volatile one
  BadFormat,            // a .reg text that cannot be parsed (Import)
};

const char* StatusName(Status status);

// Access rights, with the Windows values (winnt.h).
namespace access {
inline constexpr uint32_t kQueryValue = 0x0001;
inline constexpr uint32_t kSetValue = 0x0002;
inline constexpr uint32_t kCreateSubKey = 0x0004;
inline constexpr uint32_t kEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kNotify = 0x0010;
inline constexpr uint32_t kCreateLink = 0x0020;
inline constexpr uint32_t kWow64_64Key = 0x0100;
inline constexpr uint32_t kWow64_32Key = 0x0200;
inline constexpr uint32_t kDelete = 0x00010000;
inline constexpr uint32_t kReadControl = 0x00020000;
inline constexpr uint32_t kWriteDac = 0x00040000;
inline constexpr uint32_t kWriteOwner = 0x00080000;
inline constexpr uint32_t kMaximumAllowed = 0x02000000;
inline constexpr uint32_t kGenericAll = 0x10000000;
inline constexpr uint32_t kGenericExecute = 0x20000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kRead = 0x20019;       // KEY_READ
inline constexpr uint32_t kWrite = 0x20006;      // KEY_WRITE
inline constexpr uint32_t kAllAccess = 0xF003F;  // KEY_ALL_ACCESS
// Rights that change the key or its values; refused under a read-only subtree.
inline constexpr uint32_t kWriteRights = kSetValue | kCreateSubKey | kCreateLink | kDelete | kWriteDac | kWriteOwner;
}  // namespace access

// Value types, with the Windows values.
namespace type {
inline constexpr uint32_t kNone = 0;
inline constexpr uint32_t kSz = 1;
inline constexpr uint32_t kExpandSz = 2;
inline constexpr uint32_t kBinary = 3;
inline constexpr uint32_t kDword = 4;
inline constexpr uint32_t kDwordBigEndian = 5;
inline constexpr uint32_t kLink = 6;
inline constexpr uint32_t kMultiSz = 7;
inline constexpr uint32_t kQword = 11;
}  // namespace type

// Create options (REG_OPTION_*).
inline constexpr uint32_t kOptionNonVolatile = 0;
inline constexpr uint32_t kOptionVolatile = 1;

enum class Disposition : uint32_t { CreatedNew = 1, OpenedExisting = 2 };  // REG_CREATED_NEW_KEY, ...

// The fixed user of the simulated PC; HKEY_CURRENT_USER is \REGISTRY\USER\<this>.
inline constexpr std::u16string_view kCurrentUserSid = u"S-1-5-21-1004336348-1177238915-682003330-1001";
inline constexpr std::u16string_view kRegistryRoot = u"\\REGISTRY";
inline constexpr std::u16string_view kMachineRoot = u"\\REGISTRY\\MACHINE";
inline constexpr std::u16string_view kUsersRoot = u"\\REGISTRY\\USER";
std::u16string CurrentUserPath();  // \REGISTRY\USER\<kCurrentUserSid>

struct Value {
  std::u16string name;  // empty: the key's default value
  uint32_t type = type::kNone;
  std::vector<uint8_t> data;
};

// What ZwQueryKey (KeyBasic/KeyFull/KeyNode) and RegQueryInfoKey report.
struct KeyInfo {
  std::u16string name;           // the key's own name (last path element)
  std::u16string class_name;     // as given at creation
  uint64_t last_write_time = 0;  // FILETIME units (100 ns since 1601)
  uint32_t subkeys = 0;
  uint32_t max_subkey_name = 0;   // longest subkey name, WCHARs
  uint32_t max_subkey_class = 0;  // longest subkey class, WCHARs
  uint32_t values = 0;
  uint32_t max_value_name = 0;  // longest value name, WCHARs
  uint32_t max_value_data = 0;  // largest value data, bytes
};

// What ZwEnumerateKey (KeyBasicInformation/KeyNodeInformation) and RegEnumKeyEx report.
struct SubkeyInfo {
  std::u16string name;
  std::u16string class_name;
  uint64_t last_write_time = 0;
};

// An open key: what a handle holds.
class Key {
 public:
  Key() = default;
  // True when this refers to a key (it may since have been deleted).
  bool IsOpen() const { return node_ != nullptr; }
  // The rights granted at the open (view flags and generic rights mapped out).
  uint32_t Access() const { return access_; }
  // True when both name the same key of the store.
  bool SameKey(const Key& other) const { return node_ == other.node_; }

 private:
  friend class Store;
  std::shared_ptr<detail::Node> node_;
  uint32_t access_ = 0;
};

// Where a .reg text could not be read.
struct ImportError {
  int line = 0;  // 1-based line number of the offending line
  std::string reason;
};

class Store {
 public:
  static Store& Get();

  // Empties the store into a fresh machine's hives: \REGISTRY\MACHINE with
  // SOFTWARE (Classes, Classes\CLSID, Classes\Wow6432Node\CLSID, Wow6432Node),
  // SYSTEM (CurrentControlSet\Services, CurrentControlSet\Enum), HARDWARE, and
  // \REGISTRY\USER with .DEFAULT and the current user (Software, Software\Classes).
  // Keys held from before answer KeyDeleted; read-only marks are cleared.
  void Reset();

  // Opens an existing key. `parent` may be null (absolute path).
  Status Open(const Key* parent, std::u16string_view path, uint32_t desired_access, Key* out);
  // Opens or creates the key; as with ZwCreateKey only the last element may
  // be missing (a missing parent answers NotFound). Rights on `parent` are not
  // needed, as on Windows; a read-only subtree refuses the new key.
  // `disposition` may be null.
  Status Create(const Key* parent, std::u16string_view path, uint32_t desired_access, uint32_t options,
                std::u16string_view class_name, Key* out, Disposition* disposition);

  Status QueryKey(const Key& key, KeyInfo* info);                             // kQueryValue
  Status EnumerateKey(const Key& key, uint32_t index, SubkeyInfo* info);      // kEnumerateSubKeys
  Status EnumerateValue(const Key& key, uint32_t index, Value* value);        // kQueryValue
  Status QueryValue(const Key& key, std::u16string_view name, Value* value);  // kQueryValue
  // Writes (or replaces) a value; an existing value keeps its name's case and its position.
  Status SetValue(const Key& key, std::u16string_view name, uint32_t type, const void* data,
                  std::size_t size);                             // kSetValue
  Status DeleteValue(const Key& key, std::u16string_view name);  // kSetValue
  // Deletes the key the Key names (ZwDeleteKey); refused while it has subkeys.
  Status DeleteKey(const Key& key);  // kDelete
  // The key's full native path with the stored case of each element.
  Status FullPath(const Key& key, std::u16string* path);

  // Machine-level helpers (no access checks): tests, setup and the faces' views.
  bool Exists(std::u16string_view absolute_path);
  // Creates the key and every missing key on its path.
  Status EnsureKey(std::u16string_view absolute_path);
  // Makes a key and everything under it read-only for writers (a protected
  // hive or key); NotFound when the key does not exist.
  Status SetReadOnly(std::u16string_view absolute_path, bool read_only);

  // Persistence in the Windows .reg text format (reg_file.cpp). Import parses
  // the whole text first and applies nothing when any line is malformed.
  // Import accepts UTF-8 or UTF-16LE with a byte-order mark; Export writes UTF-8
  // with CRLF line ends. Import is the machine's own setup path: it ignores
  // read-only marks, and refuses only to delete a hive.
  Status Import(std::string_view text, ImportError* error);
  // Exports the key at `absolute_path` and its subtree, or the whole store for
  // kRegistryRoot. Volatile keys are not exported.
  Status Export(std::u16string_view absolute_path, std::string* text);

 private:
  Store();
  std::mutex mutex_;
  std::shared_ptr<detail::Node> root_;

  struct Impl;  // private operations shared by store.cpp and reg_file.cpp
};

}  // namespace sim::registry
