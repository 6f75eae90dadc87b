// Device installation: a device-information set is a snapshot of the device
// interfaces of one class, taken by SetupDiGetClassDevsA, in registration order.
#include "platform/win32/setupapi.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/devio.h"
#include "platform/win32/sync.h"
#include "sim/core/handles.h"
#include "sim/kernel/pnp.h"

namespace sim::win32 {

namespace {

class DeviceInfoSet final : public Object {
 public:
  static constexpr ObjectType kType = ObjectType::DeviceInfoSet;
  ObjectType Type() const override { return kType; }
  std::string Describe() const override { return std::to_string(interfaces.size()) + " device interface(s)"; }

  // The enumerated class's interfaces, then any alias asked for since.
  std::vector<kernel::DeviceInterface> interfaces;
  // Distinct device instances, in order of appearance; DevInst is the index + 1.
  std::vector<std::u16string> instances;

  DWORD DevInstOf(const std::u16string& instance_id) {
    for (std::size_t i = 0; i < instances.size(); ++i)
      if (instances[i] == instance_id) return static_cast<DWORD>(i + 1);
    instances.push_back(instance_id);
    return static_cast<DWORD>(instances.size());
  }
  // The entry an SP_DEVICE_INTERFACE_DATA of this set names, or null.
  const kernel::DeviceInterface* EntryOf(const SP_DEVICE_INTERFACE_DATA& data) const {
    if (data.Reserved == 0 || data.Reserved > interfaces.size()) return nullptr;
    const auto& entry = interfaces[data.Reserved - 1];
    return entry.class_guid == data.InterfaceClassGuid ? &entry : nullptr;
  }
};

constexpr DWORD kInterfaceDataSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD kDevInfoDataSize = sizeof(SP_DEVINFO_DATA);
constexpr DWORD kDetailDataSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // 8 on 64-bit
constexpr DWORD kDetailPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x100 ? static_cast<char>(c) : '?';
  return out;
}

char16_t Up(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

bool StartsWithNoCase(const std::u16string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Up(s[i]) != Up(static_cast<unsigned char>(prefix[i]))) return false;
  }
  return true;
}

// An interface is active while enabled, and removed once its device is gone.
DWORD FlagsOf(const kernel::DeviceInterface& i) {
  if (i.enabled) return SPINT_ACTIVE;
  return kernel::PnpFindDevice(i.instance_id) ? 0 : SPINT_REMOVED;
}

void Describe(DeviceInfoSet& set, std::size_t index, PSP_DEVICE_INTERFACE_DATA data) {
  data->InterfaceClassGuid = set.interfaces[index].class_guid;
  data->Flags = FlagsOf(set.interfaces[index]);
  data->Reserved = index + 1;
}

}  // namespace

}  // namespace sim::win32

using namespace sim;
using namespace sim::win32;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  // Only interface lists of one class: the system asks for nothing else.
  constexpr DWORD kKnown = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
  if ((Flags & ~kKnown) || !(Flags & DIGCF_DEVICEINTERFACE) || (Flags & (DIGCF_ALLCLASSES | DIGCF_DEFAULT))) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (!ClassGuid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<DeviceInfoSet>();
  for (auto& i : kernel::GetDeviceInterfaces(*ClassGuid, (Flags & DIGCF_PRESENT) != 0)) {
    // An enumerator narrows the set to the devices below it ("HDAUDIO") or to one instance.
    if (Enumerator && *Enumerator) {
      const std::string e = Enumerator;
      if (!StartsWithNoCase(i.instance_id, e) || (i.instance_id.size() > e.size() && i.instance_id[e.size()] != u'\\'))
        continue;
    }
    set->interfaces.push_back(std::move(i));
  }
  SetLastError(ERROR_SUCCESS);
  return HandleTable::Get().Insert(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto set = HandleTable::Get().LookupAs<sim::win32::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return FailWith(ERROR_INVALID_HANDLE);
  if (!InterfaceClassGuid || !DeviceInterfaceData) return FailWith(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != kInterfaceDataSize) return FailWith(ERROR_INVALID_USER_BUFFER);
  if (DeviceInfoData && DeviceInfoData->cbSize != kDevInfoDataSize) return FailWith(ERROR_INVALID_USER_BUFFER);
  DWORD seen = 0;
  for (std::size_t k = 0; k < set->interfaces.size(); ++k) {
    const auto& i = set->interfaces[k];
    if (!(i.class_guid == *InterfaceClassGuid)) continue;
    if (DeviceInfoData && set->DevInstOf(i.instance_id) != DeviceInfoData->DevInst) continue;
    if (seen++ != MemberIndex) continue;
    Describe(*set, k, DeviceInterfaceData);
    return TRUE;
  }
  return FailWith(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = HandleTable::Get().LookupAs<sim::win32::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return FailWith(ERROR_INVALID_HANDLE);
  if (!DeviceInterfaceData) return FailWith(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != kInterfaceDataSize) return FailWith(ERROR_INVALID_USER_BUFFER);
  if (DeviceInterfaceDetailData) {
    // The detail record's cbSize is the structure's size with its padding
    // (8 on 64-bit), and the buffer must hold at least one path character.
    if (DeviceInterfaceDetailDataSize < kDetailPathOffset + 1 || DeviceInterfaceDetailData->cbSize != kDetailDataSize)
      return FailWith(ERROR_INVALID_USER_BUFFER);
  } else if (DeviceInterfaceDetailDataSize != 0) {
    return FailWith(ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInfoData && DeviceInfoData->cbSize != kDevInfoDataSize) return FailWith(ERROR_INVALID_USER_BUFFER);
  const kernel::DeviceInterface* entry = set->EntryOf(*DeviceInterfaceData);
  if (!entry) return FailWith(ERROR_INVALID_PARAMETER);

  const std::string path = Narrow(entry->device_path);
  const DWORD required = kDetailPathOffset + static_cast<DWORD>(path.size()) + 1;
  if (RequiredSize) *RequiredSize = required;
  if (DeviceInfoData) {
    DeviceInfoData->ClassGuid = GUID{};
    DeviceInfoData->DevInst = set->DevInstOf(entry->instance_id);
    DeviceInfoData->Reserved = 0;
  }
  if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < required)
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceAlias(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                           const GUID* AliasInterfaceClassGuid,
                                           PSP_DEVICE_INTERFACE_DATA AliasDeviceInterfaceData) {
  auto set = HandleTable::Get().LookupAs<sim::win32::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return FailWith(ERROR_INVALID_HANDLE);
  if (!DeviceInterfaceData || !AliasInterfaceClassGuid || !AliasDeviceInterfaceData)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != kInterfaceDataSize || AliasDeviceInterfaceData->cbSize != kInterfaceDataSize)
    return FailWith(ERROR_INVALID_USER_BUFFER);
  const kernel::DeviceInterface* entry = set->EntryOf(*DeviceInterfaceData);
  if (!entry) return FailWith(ERROR_INVALID_PARAMETER);
  std::optional<kernel::DeviceInterface> alias =
      kernel::GetDeviceInterfaceAlias(entry->symbolic_link, *AliasInterfaceClassGuid);
  if (!alias) return FailWith(ERROR_NO_SUCH_DEVICE_INTERFACE);
  // The alias joins the set (once), so its data names an entry of the set.
  std::size_t index = 0;
  while (index < set->interfaces.size() && set->interfaces[index].symbolic_link != alias->symbolic_link) ++index;
  if (index == set->interfaces.size()) set->interfaces.push_back(std::move(*alias));
  Describe(*set, index, AliasDeviceInterfaceData);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (!HandleTable::Get().LookupAs<sim::win32::DeviceInfoSet>(DeviceInfoSet) ||
      !HandleTable::Get().Close(DeviceInfoSet))
    return FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

}  // extern "C"
