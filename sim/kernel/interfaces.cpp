// Device interfaces: registration by PDO, class and reference string, their
// symbolic links, and opening a device by interface path or name.
#include <cstdio>
#include <mutex>

#include "sim/kernel/internal.h"
#include "sim/kernel/pnp.h"

namespace sim::kernel {

namespace {

using internal::EqualsNoCase;

std::mutex g_mutex;
std::vector<DeviceInterface> g_interfaces;

std::u16string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return internal::Widen(text);
}

// "HDAUDIO\FUNC_01&...\4&...&0&0001" with class {c} -> "HDAUDIO#FUNC_01&...#4&...&0&0001#{c}"
std::u16string InterfaceBase(std::u16string_view instance_id, const GUID& class_guid) {
  std::u16string base(instance_id);
  for (auto& c : base)
    if (c == u'\\') c = u'#';
  return base + u"#" + GuidText(class_guid);
}

// User mode sees the link lower-cased behind "\\?\".
std::u16string UserPath(std::u16string_view body) {
  std::u16string out = u"\\\\?\\";
  for (char16_t c : body) out += (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
  return out;
}

bool StripPrefix(std::u16string_view& path) {
  for (std::u16string_view prefix : {std::u16string_view(u"\\??\\"), std::u16string_view(u"\\\\?\\")}) {
    if (path.substr(0, prefix.size()) == prefix) {
      path.remove_prefix(prefix.size());
      return true;
    }
  }
  return false;
}

// The interface whose base the path starts with, and the rest of the path.
const DeviceInterface* MatchLocked(std::u16string_view body, std::u16string_view* rest) {
  for (const auto& i : g_interfaces) {
    const std::u16string base = InterfaceBase(i.instance_id, i.class_guid);
    if (body.size() < base.size() || !EqualsNoCase(body.substr(0, base.size()), base)) continue;
    if (body.size() > base.size() && body[base.size()] != u'\\') continue;
    *rest = body.substr(base.size());
    return &i;
  }
  return nullptr;
}

}  // namespace

std::vector<DeviceInterface> GetDeviceInterfaces(const GUID& class_guid, bool enabled_only) {
  std::lock_guard lock(g_mutex);
  std::vector<DeviceInterface> out;
  for (const auto& i : g_interfaces)
    if (i.class_guid == class_guid && (i.enabled || !enabled_only)) out.push_back(i);
  return out;
}

std::optional<DeviceInterface> GetDeviceInterfaceAlias(std::u16string_view path, const GUID& alias_class) {
  if (!StripPrefix(path)) return std::nullopt;
  std::lock_guard lock(g_mutex);
  std::u16string_view rest;
  const DeviceInterface* named = MatchLocked(path, &rest);
  if (!named) return std::nullopt;
  // One device has an interface per reference string; the path names which.
  if (!rest.empty() && rest.front() == u'\\') rest.remove_prefix(1);
  for (const auto& i : g_interfaces)
    if (i.class_guid == alias_class && EqualsNoCase(i.instance_id, named->instance_id) &&
        EqualsNoCase(i.reference_string, rest))
      return i;
  return std::nullopt;
}

NTSTATUS OpenDevicePath(std::u16string_view path, PFILE_OBJECT related, PFILE_OBJECT* file) {
  std::u16string_view body = path;
  if (StripPrefix(body)) {
    std::u16string instance_id;
    std::u16string_view rest;
    {
      std::lock_guard lock(g_mutex);
      const DeviceInterface* i = MatchLocked(body, &rest);
      if (!i || !i->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
      instance_id = i->instance_id;
    }
    PDEVICE_OBJECT pdo = PnpFindDevice(instance_id);
    if (!pdo) return STATUS_OBJECT_NAME_NOT_FOUND;
    return internal::OpenFileObject(pdo, rest, related, file);
  }
  // Relative to an open file (a pin under its filter): the same device, the name as given.
  if (related) return internal::OpenFileObject(related->DeviceObject, path, related, file);
  PDEVICE_OBJECT device = internal::FindDeviceByName(path);
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  return internal::OpenFileObject(device, u"", nullptr, file);
}

void CloseFileHandle(PFILE_OBJECT file) {
  internal::CleanupFileObject(file);
  ObDereferenceObject(file);
}

namespace internal {

void DisableInterfacesOf(std::u16string_view instance_id) {
  std::lock_guard lock(g_mutex);
  for (auto& i : g_interfaces)
    if (EqualsNoCase(i.instance_id, instance_id)) i.enabled = false;
}

void ResetInterfaces() {
  std::lock_guard lock(g_mutex);
  g_interfaces.clear();
}

}  // namespace internal

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  const std::u16string instance_id = internal::InstanceIdOf(PhysicalDeviceObject);
  if (instance_id.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string reference = internal::FromUnicodeString(ReferenceString);
  if (!reference.empty() && reference.front() == u'\\') reference.erase(0, 1);
  std::u16string link;
  {
    std::lock_guard lock(g_mutex);
    for (const auto& i : g_interfaces)
      if (i.class_guid == *InterfaceClassGuid && EqualsNoCase(i.instance_id, instance_id) &&
          EqualsNoCase(i.reference_string, reference))
        link = i.symbolic_link;
    if (link.empty()) {
      const std::u16string body =
          InterfaceBase(instance_id, *InterfaceClassGuid) + (reference.empty() ? u"" : u"\\" + reference);
      link = u"\\??\\" + body;
      g_interfaces.push_back({*InterfaceClassGuid, link, UserPath(body), instance_id, reference, false});
    }
  }
  // The caller owns the name and frees it with RtlFreeUnicodeString.
  const std::size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, PoolTag("Strg")));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  for (std::size_t k = 0; k <= link.size(); ++k) buffer[k] = k < link.size() ? link[k] : 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  const std::u16string link = internal::FromUnicodeString(SymbolicLinkName);
  std::lock_guard lock(g_mutex);
  for (auto& i : g_interfaces) {
    if (!EqualsNoCase(i.symbolic_link, link)) continue;
    if (Enable && i.enabled) return STATUS_OBJECT_NAME_EXISTS;
    i.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
