// The PnP manager: device nodes, building and starting device stacks, power
// transitions and removal.
#include "sim/kernel/pnp.h"

#include <atomic>
#include <map>
#include <mutex>

#include "sim/kernel/internal.h"

namespace sim::kernel {

namespace {

using internal::Upcased;

// Until the machine's registry serves PnP, its values live here, keyed the
// same way the registry would key them.
class MemoryConfiguration final : public PnpConfiguration {
 public:
  std::optional<std::vector<std::u16string>> Read(std::u16string_view key, std::u16string_view value) override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(Key(key, value));
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void Write(std::u16string_view key, std::u16string_view value, std::vector<std::u16string> data) override {
    std::lock_guard lock(mutex_);
    values_[Key(key, value)] = std::move(data);
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    values_.clear();
  }

 private:
  static std::u16string Key(std::u16string_view key, std::u16string_view value) {
    return Upcased(key) + u'\0' + Upcased(value);
  }
  std::mutex mutex_;
  std::map<std::u16string, std::vector<std::u16string>> values_;
};

MemoryConfiguration& Memory() {
  static MemoryConfiguration configuration;
  return configuration;
}

enum class NodeState { Created, Started, SurpriseRemoved, Removed };

struct DevNode {
  std::u16string instance_id;
  NodeState state = NodeState::Created;
  DEVICE_POWER_STATE power = PowerDeviceUnspecified;
  std::vector<PDRIVER_OBJECT> drivers;  // the stack's drivers, loaded for it
};

std::mutex g_mutex;
std::map<const DEVICE_OBJECT*, DevNode> g_nodes;
PDRIVER_OBJECT g_root_driver = nullptr;

std::u16string EnumKey(std::u16string_view instance_id) {
  return std::u16string(kEnumKeyPath) + u"\\" + std::u16string(instance_id);
}

DevNode* FindNode(const DEVICE_OBJECT* pdo) {
  auto it = g_nodes.find(pdo);
  return it == g_nodes.end() ? nullptr : &it->second;
}

DevNode& NodeOf(PDEVICE_OBJECT pdo, const char* function) {
  std::unique_lock lock(g_mutex);
  if (DevNode* node = FindNode(pdo)) return *node;
  lock.unlock();
  BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
           std::string(function) + " on " + internal::DescribeDevice(pdo) + ", which is not a PDO");
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
  return internal::SendSynchronousIrp(pdo, STATUS_NOT_SUPPORTED, [minor](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
  });
}

NTSTATUS SendSetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state) {
  return internal::SendSynchronousIrp(pdo, STATUS_NOT_SUPPORTED, [type, state](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = IRP_MN_SET_POWER;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType = PowerActionNone;
  });
}

// Every driver of the stack that has no device left is unloaded.
void UnloadIdleDrivers(std::vector<PDRIVER_OBJECT> drivers) {
  for (PDRIVER_OBJECT driver : drivers)
    if (internal::IsLiveDriver(driver) && !driver->DeviceObject) UnloadDriver(driver);
}

NTSTATUS RemoveStack(PDEVICE_OBJECT pdo, DevNode& node) {
  internal::DisableInterfacesOf(node.instance_id);
  const NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  std::vector<PDRIVER_OBJECT> drivers;
  {
    std::lock_guard lock(g_mutex);
    node.state = NodeState::Removed;
    node.power = PowerDeviceUnspecified;
    drivers.swap(node.drivers);
    if (!internal::IsUndeletedDevice(pdo)) g_nodes.erase(pdo);
  }
  UnloadIdleDrivers(drivers);
  return status;
}

// The PnP manager's own PDOs (root-enumerated devices) succeed what they are asked.
NTSTATUS NTAPI RootDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  NTSTATUS status = Irp->IoStatus.Status;
  if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
      minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_STOP_DEVICE ||
      minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE)
    status = STATUS_SUCCESS;
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (minor == IRP_MN_REMOVE_DEVICE) IoDeleteDevice(DeviceObject);
  return status;
}

NTSTATUS NTAPI RootDispatchPower(PDEVICE_OBJECT, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT RootDriver() {
  std::lock_guard lock(g_mutex);
  if (!g_root_driver) {
    g_root_driver = internal::CreateDriverObject(u"PnpManager", nullptr);
    g_root_driver->MajorFunction[IRP_MJ_PNP] = RootDispatchPnp;
    g_root_driver->MajorFunction[IRP_MJ_POWER] = RootDispatchPower;
  }
  return g_root_driver;
}

}  // namespace

namespace {
std::atomic<PnpConfiguration*> g_configuration{nullptr};
}  // namespace

PnpConfiguration& Configuration() {
  PnpConfiguration* configuration = g_configuration.load();
  return configuration ? *configuration : Memory();
}

void SetConfiguration(PnpConfiguration* configuration) { g_configuration.store(configuration); }

void SetServiceImagePath(std::u16string_view service, std::u16string_view image_path) {
  Configuration().Write(std::u16string(kServicesKeyPath) + u"\\" + std::u16string(service), u"ImagePath",
                        {std::u16string(image_path)});
}

void SetDeviceInstanceDrivers(std::u16string_view instance_id, std::u16string_view service,
                              const std::vector<std::u16string>& lower_filters,
                              const std::vector<std::u16string>& upper_filters) {
  const std::u16string key = EnumKey(instance_id);
  Configuration().Write(key, u"Service", {std::u16string(service)});
  Configuration().Write(key, u"LowerFilters", lower_filters);
  Configuration().Write(key, u"UpperFilters", upper_filters);
}

NTSTATUS PnpCreateChildDevice(PDRIVER_OBJECT bus_driver, const DeviceDescription& description, PDEVICE_OBJECT* pdo) {
  if (description.instance_id.empty()) return STATUS_INVALID_PARAMETER;
  if (PnpFindDevice(description.instance_id)) return STATUS_OBJECT_NAME_COLLISION;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status;
  {
    internal::DriverScope scope(bus_driver);
    status = IoCreateDevice(bus_driver, description.extension_size, nullptr, description.device_type,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
  }
  if (!NT_SUCCESS(status)) return status;
  device->Flags = (device->Flags | DO_BUS_ENUMERATED_DEVICE) & ~DO_DEVICE_INITIALIZING;
  Configuration().Write(EnumKey(description.instance_id), u"HardwareID", description.hardware_ids);
  {
    std::lock_guard lock(g_mutex);
    g_nodes[device].instance_id = description.instance_id;
  }
  *pdo = device;
  return STATUS_SUCCESS;
}

NTSTATUS PnpCreateRootDevice(const DeviceDescription& description, PDEVICE_OBJECT* pdo) {
  return PnpCreateChildDevice(RootDriver(), description, pdo);
}

NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo) {
  DevNode& node = NodeOf(pdo, "PnpStartDevice");
  if (node.state == NodeState::Started || node.state == NodeState::SurpriseRemoved) return STATUS_INVALID_DEVICE_STATE;
  const std::u16string key = EnumKey(node.instance_id);
  const auto service = Configuration().Read(key, u"Service");
  if (!service || service->empty() || service->front().empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::vector<std::u16string> order =
      Configuration().Read(key, u"LowerFilters").value_or(std::vector<std::u16string>{});
  order.push_back(service->front());
  for (auto& upper : Configuration().Read(key, u"UpperFilters").value_or(std::vector<std::u16string>{}))
    order.push_back(upper);

  NTSTATUS status = STATUS_SUCCESS;
  for (const auto& name : order) {
    if (name.empty()) continue;
    PDRIVER_OBJECT driver = nullptr;
    status = LoadDriver(name, &driver);
    if (!NT_SUCCESS(status)) break;
    {
      std::lock_guard lock(g_mutex);
      bool known = false;
      for (PDRIVER_OBJECT d : node.drivers) known |= d == driver;
      if (!known) node.drivers.push_back(driver);
    }
    if (!driver->DriverExtension->AddDevice) {
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    }
    PDEVICE_OBJECT before = internal::AttachedTop(pdo);
    {
      internal::DriverScope scope(driver);
      status = driver->DriverExtension->AddDevice(driver, pdo);
    }
    if (!NT_SUCCESS(status)) break;
    PDEVICE_OBJECT added = internal::AttachedTop(pdo);
    if (added != before && (added->Flags & DO_DEVICE_INITIALIZING))
      Verifier::Get().Report("device initializing",
                             internal::DescribeDevice(added) + " still has DO_DEVICE_INITIALIZING set after AddDevice");
  }
  if (NT_SUCCESS(status)) status = SendPnp(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    RemoveStack(pdo, node);
    return status;
  }
  std::lock_guard lock(g_mutex);
  node.state = NodeState::Started;
  node.power = PowerDeviceD0;
  return STATUS_SUCCESS;
}

NTSTATUS PnpSetDevicePowerState(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  DevNode& node = NodeOf(pdo, "PnpSetDevicePowerState");
  POWER_STATE power;
  power.DeviceState = state;
  const NTSTATUS status = SendSetPower(pdo, DevicePowerState, power);
  if (NT_SUCCESS(status)) {
    std::lock_guard lock(g_mutex);
    node.power = state;
  }
  return status;
}

NTSTATUS PnpSetSystemPowerState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  NodeOf(pdo, "PnpSetSystemPowerState");
  POWER_STATE power;
  power.SystemState = state;
  return SendSetPower(pdo, SystemPowerState, power);
}

NTSTATUS PnpSurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
  DevNode& node = NodeOf(pdo, "PnpSurpriseRemoveDevice");
  if (node.state != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
  internal::DisableInterfacesOf(node.instance_id);
  const NTSTATUS status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
  std::lock_guard lock(g_mutex);
  node.state = NodeState::SurpriseRemoved;
  return status;
}

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo) {
  DevNode& node = NodeOf(pdo, "PnpRemoveDevice");
  if (node.state == NodeState::Started) {
    const NTSTATUS query = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query)) {
      SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      return query;
    }
  }
  return RemoveStack(pdo, node);
}

DEVICE_POWER_STATE PnpDevicePowerState(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(g_mutex);
  const DevNode* node = FindNode(pdo);
  return node ? node->power : PowerDeviceUnspecified;
}

PDEVICE_OBJECT PnpFindDevice(std::u16string_view instance_id) {
  std::lock_guard lock(g_mutex);
  for (auto& [pdo, node] : g_nodes)
    if (internal::EqualsNoCase(node.instance_id, instance_id)) return const_cast<PDEVICE_OBJECT>(pdo);
  return nullptr;
}

namespace internal {

std::u16string InstanceIdOf(const DEVICE_OBJECT* device) {
  std::lock_guard lock(g_mutex);
  const DevNode* node = FindNode(device);
  return node ? node->instance_id : std::u16string();
}

void ResetPnp() {
  std::lock_guard lock(g_mutex);
  g_nodes.clear();
  g_root_driver = nullptr;
  Memory().Clear();
}

}  // namespace internal

}  // namespace sim::kernel
