// Private helpers shared by the files of the simulated kernel.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdm.h"
#include "sim/kernel/kernel.h"

namespace sim::kernel::internal {

// The driver on whose behalf the current thread runs: set by the I/O manager
// around every call into a driver, so pool blocks and IRPs know their owner.
PDRIVER_OBJECT CurrentDriver();
class DriverScope {
 public:
  explicit DriverScope(PDRIVER_OBJECT driver);
  ~DriverScope();
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

 private:
  PDRIVER_OBJECT previous_;
};

// "module!symbol+0x12" for a code address, for bug-check messages.
std::string CallerName(const void* address);
#define ORA_KERNEL_CALLER() ::sim::kernel::internal::CallerName(__builtin_return_address(0))

// Strings.
std::u16string FromUnicodeString(PCUNICODE_STRING s);
std::string Narrow(std::u16string_view s);
std::u16string Widen(std::string_view s);
WCHAR Upcase(WCHAR c);
std::u16string Upcased(std::u16string_view s);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
std::string Hex(const void* p);

// Descriptions that name an object in a message.
std::string DescribeDevice(const DEVICE_OBJECT* device);
std::string DescribeDriver(const DRIVER_OBJECT* driver);
std::string DescribeIrp(const IRP* irp);

// I/O manager.
bool IsLiveDevice(const DEVICE_OBJECT* device);
// A device object that IoDeleteDevice has not deleted.
bool IsUndeletedDevice(const DEVICE_OBJECT* device);
PDEVICE_OBJECT FindDeviceByName(std::u16string_view name);
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device);
std::u16string DeviceName(const DEVICE_OBJECT* device);
PDRIVER_OBJECT CreateDriverObject(std::u16string_view service, PDRIVER_INITIALIZE init);
void DeleteDriverObject(PDRIVER_OBJECT driver);
bool IsLiveDriver(const DRIVER_OBJECT* driver);
// Sends a fresh IRP to the top of `device`'s stack and waits for it; the
// caller fills the first stack location. Returns the final status.
// PnP and power requests start as STATUS_NOT_SUPPORTED, creates as STATUS_SUCCESS.
NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT device, NTSTATUS initial_status,
                            const std::function<void(PIO_STACK_LOCATION)>& fill, PFILE_OBJECT file = nullptr,
                            ULONG_PTR* information = nullptr);
// Object references on a device (ObReferenceObject) and file-object references (ReferenceCount).
void ChangeDevicePointerReferences(PDEVICE_OBJECT device, LONG delta, LONG* result);
void AddDeviceReference(PDEVICE_OBJECT device);
void CollectIoLeaks(std::vector<Violation>& out);
void ResetIo();

void DropDeviceReference(PDEVICE_OBJECT device);

// Objects: file objects and references.
// Opens a file object on `device` (IRP_MJ_CREATE to the top of its stack), holding one reference.
NTSTATUS OpenFileObject(PDEVICE_OBJECT device, std::u16string_view file_name, PFILE_OBJECT related, PFILE_OBJECT* file);
// IRP_MJ_CLEANUP: the last handle to the file object is gone.
void CleanupFileObject(PFILE_OBJECT file);
bool IsLiveFile(const FILE_OBJECT* file);
void CollectObjectLeaks(std::vector<Violation>& out);
void ResetObjects();

// Pool.
void ReportPoolLeaksOf(PDRIVER_OBJECT driver);
void CollectPoolLeaks(std::vector<Violation>& out);
void ResetPool();

// Kernel events.
void ForgetEventsIn(const void* begin, std::size_t size);
void ResetEvents();

// Driver images, PnP and device interfaces.
void ResetLoader();
void ResetPnp();
void ResetInterfaces();
void DisableInterfacesOf(std::u16string_view instance_id);
// The PDO's instance id, or empty when `device` is no PDO.
std::u16string InstanceIdOf(const DEVICE_OBJECT* device);

}  // namespace sim::kernel::internal
