// The kernel registry calls over the machine's one registry store.
//
// Kernel-mode callers pass no access check on their handles (the previous
// mode is KernelMode), so a key opened for KEY_WRITE can still be deleted or
// queried; the desired access is still checked at the open, where a
// read-only subtree refuses write rights. Every handle is a kernel handle,
// with the high bits set as on 64-bit Windows.
#include "sim/kernel/zwregistry.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/wdm_zw.h"
#include "sim/kernel/internal.h"
#include "sim/registry/store.h"

namespace sim::kernel {

namespace {

using registry::Status;
using registry::Store;

std::mutex g_mutex;
std::map<std::uintptr_t, registry::Key> g_keys;
std::uintptr_t g_next = 0xFFFFFFFF80000004u;

NTSTATUS ToNtStatus(Status status) {
  switch (status) {
    case Status::Success:
      return STATUS_SUCCESS;
    case Status::NotFound:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case Status::AccessDenied:
      return STATUS_ACCESS_DENIED;
    case Status::KeyHasChildren:
    case Status::CannotDelete:
      return STATUS_CANNOT_DELETE;
    case Status::BufferTooSmall:
      return STATUS_BUFFER_TOO_SMALL;
    case Status::KeyDeleted:
      return STATUS_KEY_DELETED;
    case Status::InvalidName:
      return STATUS_OBJECT_NAME_INVALID;
    case Status::NoMoreEntries:
      return STATUS_NO_MORE_ENTRIES;
    case Status::ChildMustBeVolatile:
      return STATUS_CHILD_MUST_BE_VOLATILE;
    case Status::InvalidParameter:
    case Status::BadFormat:
      break;
  }
  return STATUS_INVALID_PARAMETER;
}

HANDLE Insert(const registry::Key& key) {
  std::lock_guard lock(g_mutex);
  const std::uintptr_t value = g_next;
  g_next += 4;
  g_keys.emplace(value, key);
  return reinterpret_cast<HANDLE>(value);
}

bool Lookup(HANDLE handle, registry::Key* key) {
  std::lock_guard lock(g_mutex);
  auto it = g_keys.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == g_keys.end()) return false;
  *key = it->second;
  return true;
}

// The key as a kernel caller holds it: every right the store grants.
registry::Key Unchecked(const registry::Key& opened) {
  registry::Key all;
  if (Store::Get().Open(&opened, u"", registry::access::kAllAccess, &all) == Status::Success) return all;
  return opened;
}

// The parent and the name of OBJECT_ATTRIBUTES; a missing name with a root
// names the root itself.
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, registry::Key* parent, bool* has_parent, std::u16string* name) {
  if (!attributes) return STATUS_INVALID_PARAMETER;
  *has_parent = attributes->RootDirectory != nullptr;
  if (*has_parent && !Lookup(attributes->RootDirectory, parent)) return STATUS_INVALID_HANDLE;
  *name = internal::FromUnicodeString(attributes->ObjectName);
  if (name->empty() && !*has_parent) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

// The answer of a query: the record is `fixed` bytes followed by `tail`
// bytes. Smaller than the fixed part: nothing is written. Between: the fixed
// part and what fits of the tail, and STATUS_BUFFER_OVERFLOW. ResultLength
// is always the whole size.
class Answer {
 public:
  Answer(PVOID buffer, ULONG length, PULONG result_length) : buffer_(buffer), length_(length), result_(result_length) {}
  NTSTATUS Write(const void* fixed, ULONG fixed_size, const std::string& tail, ULONG whole) {
    if (!result_) return STATUS_INVALID_PARAMETER;
    *result_ = whole;
    if (length_ < fixed_size) return STATUS_BUFFER_TOO_SMALL;
    if (!buffer_) return STATUS_INVALID_PARAMETER;
    auto* out = static_cast<unsigned char*>(buffer_);
    std::memcpy(out, fixed, fixed_size);
    const ULONG room = length_ - fixed_size;
    const ULONG copied = tail.size() < room ? static_cast<ULONG>(tail.size()) : room;
    std::memcpy(out + fixed_size, tail.data(), copied);
    return length_ < whole ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  }

 private:
  PVOID buffer_;
  ULONG length_;
  PULONG result_;
};

std::string Bytes(const std::u16string& s) {
  return std::string(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(char16_t));
}

LARGE_INTEGER Time(uint64_t filetime) {
  LARGE_INTEGER t;
  t.QuadPart = static_cast<LONGLONG>(filetime);
  return t;
}

NTSTATUS WriteBasic(const std::u16string& name, uint64_t last_write, Answer& answer) {
  KEY_BASIC_INFORMATION fixed{};
  fixed.LastWriteTime = Time(last_write);
  fixed.NameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  constexpr ULONG kFixed = offsetof(KEY_BASIC_INFORMATION, Name);
  return answer.Write(&fixed, kFixed, Bytes(name), kFixed + fixed.NameLength);
}

NTSTATUS WriteFull(const registry::KeyInfo& info, Answer& answer) {
  KEY_FULL_INFORMATION fixed{};
  constexpr ULONG kFixed = offsetof(KEY_FULL_INFORMATION, Class);
  fixed.LastWriteTime = Time(info.last_write_time);
  // Without a class there is no class to point at.
  fixed.ClassOffset = info.class_name.empty() ? 0xFFFFFFFFu : kFixed;
  fixed.ClassLength = static_cast<ULONG>(info.class_name.size() * sizeof(WCHAR));
  fixed.SubKeys = info.subkeys;
  fixed.MaxNameLen = info.max_subkey_name * sizeof(WCHAR);
  fixed.MaxClassLen = info.max_subkey_class * sizeof(WCHAR);
  fixed.Values = info.values;
  fixed.MaxValueNameLen = info.max_value_name * sizeof(WCHAR);
  fixed.MaxValueDataLen = info.max_value_data;
  return answer.Write(&fixed, kFixed, Bytes(info.class_name), kFixed + fixed.ClassLength);
}

NTSTATUS WriteKeyInformation(const registry::Key& key, const std::u16string& name, uint64_t last_write,
                             KEY_INFORMATION_CLASS information_class, Answer& answer) {
  switch (information_class) {
    case KeyBasicInformation:
      return WriteBasic(name, last_write, answer);
    case KeyFullInformation: {
      registry::KeyInfo info;
      const Status status = Store::Get().QueryKey(key, &info);
      if (status != Status::Success) return ToNtStatus(status);
      return WriteFull(info, answer);
    }
    case KeyNodeInformation:
    case KeyNameInformation:
      return STATUS_NOT_IMPLEMENTED;
  }
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

}  // namespace sim::kernel

using namespace sim;
using namespace sim::kernel;

extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  if (!KeyHandle) return STATUS_INVALID_PARAMETER;
  registry::Key parent;
  bool has_parent = false;
  std::u16string name;
  NTSTATUS status = Resolve(ObjectAttributes, &parent, &has_parent, &name);
  if (!NT_SUCCESS(status)) return status;
  registry::Key key;
  const Status result = Store::Get().Open(has_parent ? &parent : nullptr, name, DesiredAccess, &key);
  if (result != Status::Success) return ToNtStatus(result);
  *KeyHandle = Insert(Unchecked(key));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  if (!KeyHandle) return STATUS_INVALID_PARAMETER;
  registry::Key parent;
  bool has_parent = false;
  std::u16string name;
  NTSTATUS status = Resolve(ObjectAttributes, &parent, &has_parent, &name);
  if (!NT_SUCCESS(status)) return status;
  registry::Key key;
  registry::Disposition disposition{};
  const Status result = Store::Get().Create(has_parent ? &parent : nullptr, name, DesiredAccess, CreateOptions,
                                            internal::FromUnicodeString(Class), &key, &disposition);
  if (result != Status::Success) return ToNtStatus(result);
  if (Disposition) *Disposition = static_cast<ULONG>(disposition);
  *KeyHandle = Insert(Unchecked(key));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength) {
  registry::Key key;
  if (!Lookup(KeyHandle, &key)) return STATUS_INVALID_HANDLE;
  registry::KeyInfo info;
  const Status status = Store::Get().QueryKey(key, &info);
  if (status != Status::Success) return ToNtStatus(status);
  Answer answer(KeyInformation, Length, ResultLength);
  if (KeyInformationClass == KeyFullInformation) return WriteFull(info, answer);
  return WriteKeyInformation(key, info.name, info.last_write_time, KeyInformationClass, answer);
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  registry::Key key;
  if (!Lookup(KeyHandle, &key)) return STATUS_INVALID_HANDLE;
  registry::SubkeyInfo subkey;
  Status status = Store::Get().EnumerateKey(key, Index, &subkey);
  if (status != Status::Success) return ToNtStatus(status);
  registry::Key child;
  if (KeyInformationClass == KeyFullInformation) {
    status = Store::Get().Open(&key, subkey.name, registry::access::kQueryValue, &child);
    if (status != Status::Success) return ToNtStatus(status);
  }
  Answer answer(KeyInformation, Length, ResultLength);
  return WriteKeyInformation(child, subkey.name, subkey.last_write_time, KeyInformationClass, answer);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  registry::Key key;
  if (!Lookup(KeyHandle, &key)) return STATUS_INVALID_HANDLE;
  if (KeyValueInformationClass != KeyValueFullInformation)
    return KeyValueInformationClass == KeyValueBasicInformation ||
                   KeyValueInformationClass == KeyValuePartialInformation
               ? STATUS_NOT_IMPLEMENTED
               : STATUS_INVALID_PARAMETER;
  registry::Value value;
  const Status status = Store::Get().EnumerateValue(key, Index, &value);
  if (status != Status::Success) return ToNtStatus(status);
  KEY_VALUE_FULL_INFORMATION fixed{};
  constexpr ULONG kFixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
  fixed.Type = value.type;
  fixed.NameLength = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  // The data follows the name at the next ULONG boundary.
  fixed.DataOffset = (kFixed + fixed.NameLength + 3u) & ~3u;
  fixed.DataLength = static_cast<ULONG>(value.data.size());
  std::string tail = Bytes(value.name);
  tail.resize(fixed.DataOffset - kFixed, '\0');
  tail.append(reinterpret_cast<const char*>(value.data.data()), value.data.size());
  Answer answer(KeyValueInformation, Length, ResultLength);
  return answer.Write(&fixed, kFixed, tail, fixed.DataOffset + fixed.DataLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                             ULONG DataSize) {
  registry::Key key;
  if (!Lookup(KeyHandle, &key)) return STATUS_INVALID_HANDLE;
  if (!ValueName || (DataSize && !Data)) return STATUS_INVALID_PARAMETER;
  return ToNtStatus(Store::Get().SetValue(key, internal::FromUnicodeString(ValueName), Type, Data, DataSize));
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  registry::Key key;
  if (!Lookup(KeyHandle, &key)) return STATUS_INVALID_HANDLE;
  return ToNtStatus(Store::Get().DeleteKey(key));
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  std::lock_guard lock(g_mutex);
  return g_keys.erase(reinterpret_cast<std::uintptr_t>(Handle)) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

}  // extern "C"

namespace sim::kernel {

std::size_t OpenKernelKeyHandles() {
  std::lock_guard lock(g_mutex);
  return g_keys.size();
}

void CloseKernelKeyHandles() {
  std::lock_guard lock(g_mutex);
  g_keys.clear();
}

}  // namespace sim::kernel
