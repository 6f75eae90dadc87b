// The simulated PnP manager: configuration, driver images, the device tree
// and device interfaces.
//
// A bus driver (built in, such as the card's, or a test's) creates a PDO for
// each child with PnpCreateChildDevice; PnpStartDevice then builds the stack
// the way Windows does: the device's instance key names the function driver
// ("Service") and its filters ("LowerFilters", "UpperFilters"), each service
// key names its image ("ImagePath"); drivers are loaded once, and AddDevice
// runs in stack order (lower filters, function driver, upper filters) before
// IRP_MN_START_DEVICE goes down the new stack.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdm.h"

namespace sim::kernel {

inline constexpr std::u16string_view kEnumKeyPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kServicesKeyPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";

// The values PnP reads and writes, by key path and value name (both compared
// without case). Strings and multi-strings; a string is a list of one.
class PnpConfiguration {
 public:
  virtual ~PnpConfiguration() = default;
  virtual std::optional<std::vector<std::u16string>> Read(std::u16string_view key, std::u16string_view value) = 0;
  virtual void Write(std::u16string_view key, std::u16string_view value, std::vector<std::u16string> data) = 0;
};
PnpConfiguration& Configuration();
// Serves PnP from `configuration` (the machine's registry) instead of its own
// in-memory values; null goes back to those. The caller keeps it alive.
void SetConfiguration(PnpConfiguration* configuration);

// Services\<service>: "ImagePath".
void SetServiceImagePath(std::u16string_view service, std::u16string_view image_path);
// Enum\<instance id>: "Service", "LowerFilters", "UpperFilters".
void SetDeviceInstanceDrivers(std::u16string_view instance_id, std::u16string_view service,
                              const std::vector<std::u16string>& lower_filters,
                              const std::vector<std::u16string>& upper_filters);

// A driver built into the process: an ImagePath whose file name is
// `image_name` (compared without case, any directory) runs `entry`. Any
// other ImagePath is a shared library exporting DriverEntry.
void RegisterBuiltinDriverImage(std::u16string_view image_name, PDRIVER_INITIALIZE entry);
// Loads the service's driver once (DriverEntry), or finds it loaded.
NTSTATUS LoadDriver(std::u16string_view service, PDRIVER_OBJECT* driver);
// DriverUnload, then the verifier's check that the driver freed its pool.
// PnP unloads a driver by itself when its last device is removed.
void UnloadDriver(PDRIVER_OBJECT driver);
PDRIVER_OBJECT FindLoadedDriver(std::u16string_view service);

struct DeviceDescription {
  std::u16string instance_id;  // "HDAUDIO\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_...\4&...&0&0001"
  std::vector<std::u16string> hardware_ids;
  DEVICE_TYPE device_type = FILE_DEVICE_UNKNOWN;
  ULONG extension_size = 0;  // the bus driver's own extension of the PDO
};

// A PDO for a child the bus driver found; it belongs to `bus_driver`, whose
// dispatch routines answer its requests. The instance key gets "HardwareID".
NTSTATUS PnpCreateChildDevice(PDRIVER_OBJECT bus_driver, const DeviceDescription& description, PDEVICE_OBJECT* pdo);
// A root-enumerated device; its PDO belongs to the PnP manager, which
// succeeds its PnP and power requests.
NTSTATUS PnpCreateRootDevice(const DeviceDescription& description, PDEVICE_OBJECT* pdo);
// Builds the stack from the instance key and starts it. On failure the part
// of the stack that was built is removed again.
NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo);
// IRP_MN_SET_POWER down the whole stack.
NTSTATUS PnpSetDevicePowerState(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
NTSTATUS PnpSetSystemPowerState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// The device vanished: IRP_MN_SURPRISE_REMOVAL; its interfaces are disabled.
NTSTATUS PnpSurpriseRemoveDevice(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE (after IRP_MN_QUERY_REMOVE_DEVICE unless surprise
// removed); then every driver of the stack that has no device left is unloaded.
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo);
DEVICE_POWER_STATE PnpDevicePowerState(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT PnpFindDevice(std::u16string_view instance_id);

// Device interfaces, as the user-mode device-installation functions see them.
struct DeviceInterface {
  GUID class_guid;
  std::u16string symbolic_link;  // "\??\HDAUDIO#FUNC_01&...#4&...&0&0001#{6994ad04-...}\eLineOutWave"
  std::u16string device_path;    // the same as user mode opens it: "\\?\hdaudio#func_01&...\elineoutwave"
  std::u16string instance_id;
  std::u16string reference_string;  // without the leading backslash; empty when none
  bool enabled;
};
// In registration order.
std::vector<DeviceInterface> GetDeviceInterfaces(const GUID& class_guid, bool enabled_only = true);
// The interface of `alias_class` with the same device and reference string as
// the interface named by `path` (either form).
std::optional<DeviceInterface> GetDeviceInterfaceAlias(std::u16string_view path, const GUID& alias_class);
// Opens a file object as CreateFile does: `path` is an interface path (either
// form, anything after the interface becomes the FileName) or a device name.
// Sends IRP_MJ_CREATE; the file object holds one reference.
NTSTATUS OpenDevicePath(std::u16string_view path, PFILE_OBJECT related, PFILE_OBJECT* file);
// Closing the last handle: IRP_MJ_CLEANUP, then the handle's reference is
// dropped (IRP_MJ_CLOSE once no reference remains).
void CloseFileHandle(PFILE_OBJECT file);

}  // namespace sim::kernel
