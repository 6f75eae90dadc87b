// The DSD ASIO driver's entry under HKLM\Software\ASIO, kept in step with the
// capability bit of the card's bus component, in both registry views.
#include <cstring>

#include "filter/codec_filter.h"
#include "platform/kvlnk.h"
#include "platform/wdm_zw.h"

namespace {

constexpr WCHAR kNativeAsioKey[] = u"\\REGISTRY\\Machine\\SOFTWARE\\ASIO";
constexpr WCHAR kWowAsioKey[] = u"\\REGISTRY\\Machine\\SOFTWARE\\Wow6432Node\\ASIO";
constexpr WCHAR kDsdEntry[] = u"\\Calvex VN ORA DSD ASIO Device";
constexpr WCHAR kSeparator[] = u"\\";
constexpr WCHAR kClsidValue[] = u"CLSID";
constexpr WCHAR kDsdClsid[] = u"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}";
constexpr WCHAR kDescriptionValue[] = u"Description";
constexpr WCHAR kDsdDescription[] = u"Calvex VN ORA DSD ASIO";
static_assert(sizeof(kDsdClsid) == 78);

constexpr ULONG kObjectAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

ULONG Length(const WCHAR* s) {
  ULONG n = 0;
  while (s[n]) ++n;
  return n;
}

// A NUL-terminated path of the given parts, in a "PcNw" buffer.
PWCHAR BuildPath(const WCHAR* a, const WCHAR* b, const WCHAR* c = u"") {
  const ULONG la = Length(a), lb = Length(b), lc = Length(c);
  auto* path =
      static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, (la + lb + lc + 1) * sizeof(WCHAR), kTagFilter));
  if (!path) return nullptr;
  std::memcpy(path, a, la * sizeof(WCHAR));
  std::memcpy(path + la, b, lb * sizeof(WCHAR));
  std::memcpy(path + la + lb, c, lc * sizeof(WCHAR));
  path[la + lb + lc] = 0;
  return path;
}

// Equal lengths, and a-z equal to A-Z; everything else exactly.
bool EqualAsciiNoCase(const WCHAR* a, ULONG la, const WCHAR* b, ULONG lb) {
  if (la != lb) return false;
  for (ULONG i = 0; i < la; ++i) {
    WCHAR x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<WCHAR>(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z') y = static_cast<WCHAR>(y - u'a' + u'A');
    if (x != y) return false;
  }
  return true;
}

PVOID AllocateZeroed(SIZE_T bytes) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagRegistry);
  if (p) std::memset(p, 0, bytes);
  return p;
}

// An opened key with what its full information says and the buffers sized from it.
struct OpenedKey {
  HANDLE handle = nullptr;
  ULONG subKeys = 0;
  ULONG values = 0;
  ULONG nameBytes = 0;  // sizes of the three buffers below
  ULONG valueNameBytes = 0;
  ULONG valueDataBytes = 0;
  PKEY_FULL_INFORMATION info = nullptr;
  PWCHAR name = nullptr;
  PWCHAR valueName = nullptr;
  PUCHAR valueData = nullptr;

  ~OpenedKey() { Close(); }

  void Close() {
    if (info) ExFreePool(info);
    if (name) ExFreePool(name);
    if (valueName) ExFreePool(valueName);
    if (valueData) ExFreePool(valueData);
    if (handle) ZwClose(handle);
    handle = nullptr;
    info = nullptr;
    name = valueName = nullptr;
    valueData = nullptr;
    subKeys = values = nameBytes = valueNameBytes = valueDataBytes = 0;
  }
  OpenedKey() = default;
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;

  // Opened counts only when both the open and the full query succeed.
  NTSTATUS Open(PWCHAR path, ACCESS_MASK access) {
    if (!path) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name_string;
    RtlInitUnicodeString(&name_string, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name_string, kObjectAttributes, nullptr, nullptr);
    NTSTATUS status = ZwOpenKey(&handle, access, &attributes);
    if (!NT_SUCCESS(status)) {
      handle = nullptr;
      return status;
    }
    status = Query();
    if (!NT_SUCCESS(status)) Close();
    return status;
  }

  NTSTATUS Query() {
    ULONG size = 0;
    ZwQueryKey(handle, KeyFullInformation, nullptr, 0, &size);
    if (size == 0) return STATUS_UNSUCCESSFUL;
    info = static_cast<PKEY_FULL_INFORMATION>(AllocateZeroed(size));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ZwQueryKey(handle, KeyFullInformation, info, size, &size);
    if (!NT_SUCCESS(status)) return status;
    subKeys = info->SubKeys;
    values = info->Values;
    nameBytes = info->MaxNameLen + 2;
    valueNameBytes = info->MaxValueNameLen + 2;
    valueDataBytes = info->MaxValueDataLen + 2;
    name = static_cast<PWCHAR>(AllocateZeroed(nameBytes));
    valueName = static_cast<PWCHAR>(AllocateZeroed(valueNameBytes));
    valueData = static_cast<PUCHAR>(AllocateZeroed(valueDataBytes));
    if (!name || !valueName || !valueData) return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
  }
};

NTSTATUS CreateKeyPath(const WCHAR* path, HANDLE* key);

// Creates the parent of `path` (everything up to and including its last
// backslash, without a trailing one), then `path`'s last element under it.
NTSTATUS CreateUnderParent(const WCHAR* path, HANDLE* key) {
  ULONG length = Length(path);
  if (length > 0 && path[length - 1] == u'\\') --length;
  ULONG last = length;
  while (last > 0 && path[last - 1] != u'\\') --last;
  if (last <= 1) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* parent = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, (last + 1) * sizeof(WCHAR), kTagFilter));
  auto* leaf =
      static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, (length - last + 1) * sizeof(WCHAR), kTagFilter));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (parent && leaf) {
    std::memcpy(parent, path, last * sizeof(WCHAR));
    parent[last] = 0;
    std::memcpy(leaf, path + last, (length - last) * sizeof(WCHAR));
    leaf[length - last] = 0;
    HANDLE parentKey = nullptr;
    status = CreateKeyPath(parent, &parentKey);
    if (NT_SUCCESS(status)) {
      UNICODE_STRING leafName;
      RtlInitUnicodeString(&leafName, leaf);
      OBJECT_ATTRIBUTES attributes;
      InitializeObjectAttributes(&attributes, &leafName, kObjectAttributes, parentKey, nullptr);
      status = ZwCreateKey(key, KEY_WRITE, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
      ZwClose(parentKey);
    }
  }
  if (parent) ExFreePool(parent);
  if (leaf) ExFreePool(leaf);
  return status;
}

NTSTATUS CreateKeyPath(const WCHAR* path, HANDLE* key) {
  *key = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, kObjectAttributes, nullptr, nullptr);
  NTSTATUS status = ZwCreateKey(key, KEY_WRITE, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = CreateUnderParent(path, key);
  if (!NT_SUCCESS(status)) *key = nullptr;
  return status;
}

VOID SetString(HANDLE key, const WCHAR* name, const WCHAR* text) {
  UNICODE_STRING value;
  RtlInitUnicodeString(&value, name);
  ZwSetValueKey(key, &value, 0, REG_SZ, const_cast<PWCHAR>(text), (Length(text) + 1) * sizeof(WCHAR));
}

VOID AddEntry(const WCHAR* asioKey) {
  OpenedKey asio;
  PWCHAR asioPath = BuildPath(asioKey, u"");
  const NTSTATUS opened = asio.Open(asioPath, KEY_WRITE);
  if (asioPath) ExFreePool(asioPath);
  // The ASIO key itself is never created: a view without one has no ASIO drivers.
  if (!NT_SUCCESS(opened)) return;

  PWCHAR entryPath = BuildPath(asioKey, kDsdEntry);
  if (!entryPath) return;
  OpenedKey existing;
  if (!NT_SUCCESS(existing.Open(entryPath, KEY_READ))) {
    HANDLE entry = nullptr;
    if (NT_SUCCESS(CreateKeyPath(entryPath, &entry))) {
      SetString(entry, kClsidValue, kDsdClsid);
      SetString(entry, kDescriptionValue, kDsdDescription);
      ZwClose(entry);
    }
  }
  ExFreePool(entryPath);
}

// TRUE when one of the key's values is "CLSID" naming the DSD driver's class.
bool NamesDsdClass(OpenedKey& key) {
  for (ULONG index = 0; index < key.values; ++index) {
    ULONG size = 0;
    ZwEnumerateValueKey(key.handle, index, KeyValueFullInformation, nullptr, 0, &size);
    if (size < offsetof(KEY_VALUE_FULL_INFORMATION, Name)) continue;
    auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(AllocateZeroed(size));
    if (!info) continue;
    bool match = false;
    if (NT_SUCCESS(ZwEnumerateValueKey(key.handle, index, KeyValueFullInformation, info, size, &size))) {
      // Both copies stay inside the record and leave the buffers' last WCHAR a NUL.
      std::memset(key.valueName, 0, key.valueNameBytes);
      std::memset(key.valueData, 0, key.valueDataBytes);
      const ULONG nameRoom = size - static_cast<ULONG>(offsetof(KEY_VALUE_FULL_INFORMATION, Name));
      ULONG nameBytes = info->NameLength < nameRoom ? info->NameLength : nameRoom;
      if (nameBytes > key.valueNameBytes - 2) nameBytes = key.valueNameBytes - 2;
      std::memcpy(key.valueName, info->Name, nameBytes & ~1u);
      ULONG dataBytes = 0;
      if (info->DataOffset <= size) {
        dataBytes = size - info->DataOffset < info->DataLength ? size - info->DataOffset : info->DataLength;
        if (dataBytes > key.valueDataBytes - 2) dataBytes = key.valueDataBytes - 2;
        std::memcpy(key.valueData, reinterpret_cast<PUCHAR>(info) + info->DataOffset, dataBytes);
      }
      const ULONG nameLength = nameBytes / sizeof(WCHAR);
      ULONG dataLength = 0;
      const WCHAR* data = reinterpret_cast<const WCHAR*>(key.valueData);
      while (dataLength < dataBytes / sizeof(WCHAR) && data[dataLength]) ++dataLength;
      match = EqualAsciiNoCase(key.valueName, nameLength, kClsidValue, Length(kClsidValue)) &&
              EqualAsciiNoCase(data, dataLength, kDsdClsid, Length(kDsdClsid));
    }
    ExFreePool(info);
    if (match) return true;
  }
  return false;
}

VOID RemoveEntries(const WCHAR* asioKey) {
  OpenedKey asio;
  PWCHAR asioPath = BuildPath(asioKey, u"");
  const NTSTATUS opened = asio.Open(asioPath, KEY_WRITE);
  if (asioPath) ExFreePool(asioPath);
  if (!NT_SUCCESS(opened)) return;

  // A deleted subkey moves the ones after it down by one: the index advances
  // only past subkeys that stay, so none is skipped.
  ULONG index = 0;
  for (;;) {
    ULONG size = 0;
    NTSTATUS status = ZwEnumerateKey(asio.handle, index, KeyBasicInformation, nullptr, 0, &size);
    if (status == STATUS_NO_MORE_ENTRIES || size < offsetof(KEY_BASIC_INFORMATION, Name)) break;
    auto* info = static_cast<PKEY_BASIC_INFORMATION>(AllocateZeroed(size));
    if (!info) break;
    status = ZwEnumerateKey(asio.handle, index, KeyBasicInformation, info, size, &size);
    bool deleted = false;
    if (NT_SUCCESS(status)) {
      const ULONG room = size - static_cast<ULONG>(offsetof(KEY_BASIC_INFORMATION, Name));
      ULONG nameBytes = info->NameLength < room ? info->NameLength : room;
      if (nameBytes > asio.nameBytes - 2) nameBytes = asio.nameBytes - 2;
      std::memset(asio.name, 0, asio.nameBytes);
      std::memcpy(asio.name, info->Name, nameBytes & ~1u);
      PWCHAR subkeyPath = BuildPath(asioKey, kSeparator, asio.name);
      OpenedKey subkey;
      if (NT_SUCCESS(subkey.Open(subkeyPath, KEY_WRITE)) && NamesDsdClass(subkey))
        deleted = NT_SUCCESS(ZwDeleteKey(subkey.handle));
      if (subkeyPath) ExFreePool(subkeyPath);
    }
    ExFreePool(info);
    if (!NT_SUCCESS(status)) break;
    if (!deleted) ++index;
  }
}

}  // namespace

ULONG CCodecFilter::SyncDsdAsioRegistration() {
  if (!IsCodec1220()) return 0;

  ULONG capable = 0;
  PVOID object = nullptr;
  PFILE_OBJECT file = nullptr;
  if (OpenKvlnk(IID_IKvlnkSharedMemory, &object, &file)) {
    auto* memory = static_cast<IKvlnkSharedMemory*>(object);
    PVOID block = nullptr;
    // The control block holds the capability word (KVLNK_CONTROL_BLOCK_SIZE covers it).
    if (NT_SUCCESS(memory->GetControlBlock(&block)) && block) {
      ULONG word = 0;
      std::memcpy(&word, static_cast<PUCHAR>(block) + KVLNK_CAPABILITY_OFFSET, sizeof(word));
      capable = (word & KVLNK_CAPS_NO_DSD) == 0 ? 1 : 0;
    }
  }
  if (file) ObDereferenceObject(file);

  const WCHAR* const views[] = {kNativeAsioKey, kWowAsioKey};
  for (const WCHAR* asioKey : views) {
    if (capable)
      AddEntry(asioKey);
    else
      RemoveEntries(asioKey);
  }
  return capable;
}
