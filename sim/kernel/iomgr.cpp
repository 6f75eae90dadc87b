// The I/O manager: device and driver objects, IRPs and their stack
// locations, the call down and the completion up, and cancellation.
//
// IofCallDriver is the call through the target's MajorFunction entry; the
// tables here only let the verifier name objects and catch misuse.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/kernel/internal.h"

namespace sim::kernel {

namespace {

using internal::DriverScope;
using internal::Hex;

struct DeviceRecord {
  void* block;
  std::u16string name;
  bool deleted = false;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  LONG pointer_references = 0;
  std::string driver_name;
};

struct DriverRecord {
  std::u16string name;
  std::u16string service;
  std::string narrow_name;
};

enum class IrpKind { Allocated, Built };

struct IrpRecord {
  IrpKind kind = IrpKind::Allocated;
  PDRIVER_OBJECT owner = nullptr;
  std::string owner_name;
  // Runs when the IRP's completion reaches the top (built requests).
  std::function<void(PIRP)> finish;
  // Completion has run to the top; another completion is a second one.
  bool completed = false;
};

std::mutex g_mutex;
std::map<const DEVICE_OBJECT*, DeviceRecord> g_devices;
std::map<const DRIVER_OBJECT*, std::unique_ptr<DriverRecord>> g_drivers;
std::map<const IRP*, IrpRecord> g_irps;
// Freed IRPs stay mapped for a while, so a late completion is a bug check, not a stray write.
std::deque<PIRP> g_freed_irps;
constexpr std::size_t kIrpQuarantine = 256;
int g_fail_irp_allocations = 0;
ULONG g_next_device_number = 1;

std::mutex g_cancel_lock;
std::atomic<std::thread::id> g_cancel_owner{};

const char* MajorName(UCHAR major) {
  static const char* const names[] = {"IRP_MJ_CREATE",
                                      "IRP_MJ_CREATE_NAMED_PIPE",
                                      "IRP_MJ_CLOSE",
                                      "IRP_MJ_READ",
                                      "IRP_MJ_WRITE",
                                      "IRP_MJ_QUERY_INFORMATION",
                                      "IRP_MJ_SET_INFORMATION",
                                      "IRP_MJ_QUERY_EA",
                                      "IRP_MJ_SET_EA",
                                      "IRP_MJ_FLUSH_BUFFERS",
                                      "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                      "IRP_MJ_SET_VOLUME_INFORMATION",
                                      "IRP_MJ_DIRECTORY_CONTROL",
                                      "IRP_MJ_FILE_SYSTEM_CONTROL",
                                      "IRP_MJ_DEVICE_CONTROL",
                                      "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                      "IRP_MJ_SHUTDOWN",
                                      "IRP_MJ_LOCK_CONTROL",
                                      "IRP_MJ_CLEANUP",
                                      "IRP_MJ_CREATE_MAILSLOT",
                                      "IRP_MJ_QUERY_SECURITY",
                                      "IRP_MJ_SET_SECURITY",
                                      "IRP_MJ_POWER",
                                      "IRP_MJ_SYSTEM_CONTROL",
                                      "IRP_MJ_DEVICE_CHANGE",
                                      "IRP_MJ_QUERY_QUOTA",
                                      "IRP_MJ_SET_QUOTA",
                                      "IRP_MJ_PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "an unknown major function";
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Bug-checks unless `irp` is a live IRP.
void CheckIrp(const IRP* irp, const char* function, const std::string& caller) {
  std::unique_lock lock(g_mutex);
  auto it = g_irps.find(irp);
  if (it != g_irps.end() && irp->Type == IO_TYPE_IRP) return;
  const bool freed = it != g_irps.end();
  lock.unlock();
  if (freed)
    BugCheck(BugCheckCode::MultipleIrpCompleteRequests,
             std::string(function) + " on IRP " + Hex(irp) + ", which was already freed, from " + caller);
  BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
           std::string(function) + " on " + Hex(irp) + ", which is not an IRP, from " + caller);
}

void CheckDevice(const DEVICE_OBJECT* device, const char* function, const std::string& caller) {
  if (internal::IsLiveDevice(device)) return;
  BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
           std::string(function) + " on " + Hex(device) + ", which is not a device object, from " + caller);
}

void InitializeIrp(PIRP irp, USHORT size, CCHAR stack_size) {
  std::memset(irp, 0, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
}

PIRP AllocateIrp(CCHAR stack_size, IrpKind kind, bool for_system = false) {
  if (!for_system) {
    std::lock_guard lock(g_mutex);
    if (g_fail_irp_allocations > 0) {
      --g_fail_irp_allocations;
      return nullptr;
    }
  }
  if (stack_size < 1) stack_size = 1;
  const std::size_t size = sizeof(IRP) + stack_size * sizeof(IO_STACK_LOCATION);
  auto irp = static_cast<PIRP>(std::aligned_alloc(16, (size + 15) / 16 * 16));
  InitializeIrp(irp, static_cast<USHORT>(size), stack_size);
  PDRIVER_OBJECT owner = for_system ? nullptr : internal::CurrentDriver();
  std::lock_guard lock(g_mutex);
  g_irps[irp] = IrpRecord{kind, owner, owner ? g_drivers[owner]->narrow_name : "the system", {}};
  return irp;
}

void FreeIrp(PIRP irp) {
  std::vector<PIRP> released;
  {
    std::lock_guard lock(g_mutex);
    irp->Type = 0;
    g_freed_irps.push_back(irp);
    while (g_freed_irps.size() > kIrpQuarantine) {
      released.push_back(g_freed_irps.front());
      g_irps.erase(g_freed_irps.front());
      g_freed_irps.pop_front();
    }
  }
  for (PIRP p : released) std::free(p);
}

bool IsFreed(const IRP* irp) {
  std::lock_guard lock(g_mutex);
  return irp->Type != IO_TYPE_IRP;
}

NTSTATUS NTAPI SignalSynchronousDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void FreeDeviceIfUnused(const DEVICE_OBJECT* device) {
  void* block = nullptr;
  {
    std::lock_guard lock(g_mutex);
    auto it = g_devices.find(device);
    if (it == g_devices.end() || !it->second.deleted) return;
    if (device->ReferenceCount > 0 || it->second.pointer_references > 0 || device->AttachedDevice) return;
    block = it->second.block;
    g_devices.erase(it);
  }
  internal::ForgetEventsIn(block, sizeof(DEVICE_OBJECT));
  std::free(block);
}

}  // namespace

void FailNextIrpAllocations(int count) {
  std::lock_guard lock(g_mutex);
  g_fail_irp_allocations = count;
}

namespace internal {

bool IsLiveDevice(const DEVICE_OBJECT* device) {
  std::lock_guard lock(g_mutex);
  return g_devices.count(device) != 0 && device->Type == IO_TYPE_DEVICE;
}

bool IsUndeletedDevice(const DEVICE_OBJECT* device) {
  std::lock_guard lock(g_mutex);
  auto it = g_devices.find(device);
  return it != g_devices.end() && !it->second.deleted;
}

PDEVICE_OBJECT FindDeviceByName(std::u16string_view name) {
  std::lock_guard lock(g_mutex);
  for (auto& [device, record] : g_devices)
    if (!record.deleted && !record.name.empty() && EqualsNoCase(record.name, name))
      return const_cast<PDEVICE_OBJECT>(device);
  return nullptr;
}

PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) {
  std::lock_guard lock(g_mutex);
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

std::u16string DeviceName(const DEVICE_OBJECT* device) {
  std::lock_guard lock(g_mutex);
  auto it = g_devices.find(device);
  return it == g_devices.end() ? std::u16string() : it->second.name;
}

std::string DescribeDevice(const DEVICE_OBJECT* device) {
  std::lock_guard lock(g_mutex);
  auto it = g_devices.find(device);
  if (it == g_devices.end()) return "device " + Hex(device);
  const auto& r = it->second;
  return (r.name.empty() ? "unnamed device " + Hex(device) : "device " + Narrow(r.name)) + " of " + r.driver_name;
}

std::string DescribeDriver(const DRIVER_OBJECT* driver) {
  std::lock_guard lock(g_mutex);
  auto it = g_drivers.find(driver);
  return it == g_drivers.end() ? "driver " + Hex(driver) : it->second->narrow_name;
}

std::string DescribeIrp(const IRP* irp) {
  std::string out = "IRP " + Hex(irp);
  if (irp->Type != IO_TYPE_IRP) return out;
  const int location = irp->CurrentLocation;
  const PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  if (location >= 1 && location <= irp->StackCount) {
    out += std::string(" (") + MajorName(stack->MajorFunction) + ", stack location " + std::to_string(location) +
           " of " + std::to_string(irp->StackCount);
    if (stack->DeviceObject) out += ", at " + DescribeDevice(stack->DeviceObject);
    out += ")";
  } else if (location == irp->StackCount + 1) {
    out += std::string(" (") + MajorName((stack - 1)->MajorFunction) + " prepared, " + std::to_string(irp->StackCount) +
           " stack locations, not sent)";
  }
  return out;
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view service, PDRIVER_INITIALIZE init) {
  auto record = std::make_unique<DriverRecord>();
  record->service = std::u16string(service);
  record->name = u"\\Driver\\" + record->service;
  record->narrow_name = Narrow(record->name);
  const std::size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
  auto driver = static_cast<PDRIVER_OBJECT>(std::aligned_alloc(16, (size + 15) / 16 * 16));
  std::memset(driver, 0, size);
  auto extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  driver->DriverInit = init;
  driver->DriverName.Buffer = record->name.data();
  driver->DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  extension->DriverObject = driver;
  extension->ServiceKeyName.Buffer = record->service.data();
  extension->ServiceKeyName.Length = static_cast<USHORT>(record->service.size() * sizeof(WCHAR));
  extension->ServiceKeyName.MaximumLength = extension->ServiceKeyName.Length;
  for (auto& entry : driver->MajorFunction) entry = InvalidDeviceRequest;
  std::lock_guard lock(g_mutex);
  g_drivers[driver] = std::move(record);
  return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  {
    std::lock_guard lock(g_mutex);
    g_drivers.erase(driver);
  }
  std::free(driver);
}

bool IsLiveDriver(const DRIVER_OBJECT* driver) {
  std::lock_guard lock(g_mutex);
  return g_drivers.count(driver) != 0;
}

NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT device, NTSTATUS initial_status,
                            const std::function<void(PIO_STACK_LOCATION)>& fill, PFILE_OBJECT file,
                            ULONG_PTR* information) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = AllocateIrp(top->StackSize, IrpKind::Allocated, true);
  irp->IoStatus.Status = initial_status;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->FileObject = file;
  fill(next);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalSynchronousDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  } else if (KeReadStateEvent(&done) == 0) {
    const std::string what = DescribeDevice(top);
    ForgetEventsIn(&done, sizeof done);
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation, "the dispatch routine of " + what + " returned status " +
                                                                 StatusText(status) + " for " + DescribeIrp(irp) +
                                                                 " without completing it or returning STATUS_PENDING");
  }
  ForgetEventsIn(&done, sizeof done);
  status = irp->IoStatus.Status;
  if (information) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return status;
}

void AddDeviceReference(PDEVICE_OBJECT device) {
  std::lock_guard lock(g_mutex);
  ++device->ReferenceCount;
}

void DropDeviceReference(PDEVICE_OBJECT device) {
  {
    std::lock_guard lock(g_mutex);
    --device->ReferenceCount;
  }
  FreeDeviceIfUnused(device);
}

void ChangeDevicePointerReferences(PDEVICE_OBJECT device, LONG delta, LONG* result) {
  {
    std::lock_guard lock(g_mutex);
    auto& record = g_devices.at(device);
    record.pointer_references += delta;
    *result = record.pointer_references;
  }
  if (*result == 0) FreeDeviceIfUnused(device);
}

void CollectIoLeaks(std::vector<Violation>& out) {
  std::vector<const IRP*> irps;
  std::vector<const DEVICE_OBJECT*> devices;
  {
    std::lock_guard lock(g_mutex);
    for (const auto& [irp, record] : g_irps)
      if (irp->Type == IO_TYPE_IRP) irps.push_back(irp);
    for (const auto& [device, record] : g_devices)
      if (!record.deleted) devices.push_back(device);
  }
  for (const IRP* irp : irps) {
    std::string owner;
    {
      std::lock_guard lock(g_mutex);
      owner = g_irps[irp].owner_name;
    }
    out.push_back({"irp leak", DescribeIrp(irp) + ", allocated by " + owner + ", never completed nor freed"});
  }
  for (const DEVICE_OBJECT* device : devices)
    out.push_back({"device leak", DescribeDevice(device) + " was never deleted"});
}

void ResetIo() {
  std::lock_guard lock(g_mutex);
  for (auto& [device, record] : g_devices) std::free(record.block);
  g_devices.clear();
  for (auto& [irp, record] : g_irps) std::free(const_cast<IRP*>(irp));
  g_irps.clear();
  g_freed_irps.clear();
  for (auto& [driver, record] : g_drivers) std::free(const_cast<DRIVER_OBJECT*>(driver));
  g_drivers.clear();
  g_fail_irp_allocations = 0;
  g_next_device_number = 1;
}

}  // namespace internal

}  // namespace sim::kernel

using namespace sim::kernel;
using sim::kernel::internal::DescribeDevice;
using sim::kernel::internal::DescribeIrp;
using sim::kernel::internal::DriverScope;
using sim::kernel::internal::Hex;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  const std::string caller = ORA_KERNEL_CALLER();
  if (!internal::IsLiveDriver(DriverObject))
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             "IoCreateDevice with " + Hex(DriverObject) + ", which is not a driver object, from " + caller);
  std::u16string name = internal::FromUnicodeString(DeviceName);
  {
    std::lock_guard lock(g_mutex);
    if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
      char text[32];
      std::snprintf(text, sizeof text, "\\Device\\%08X", static_cast<unsigned>(g_next_device_number++));
      name = internal::Widen(text);
    }
  }
  if (!name.empty() && internal::FindDeviceByName(name)) return STATUS_OBJECT_NAME_COLLISION;

  const std::size_t extension = (static_cast<std::size_t>(DeviceExtensionSize) + 15) / 16 * 16;
  void* block = std::aligned_alloc(16, sizeof(DEVICE_OBJECT) + extension);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(block, 0, sizeof(DEVICE_OBJECT) + extension);
  auto device = static_cast<PDEVICE_OBJECT>(block);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize ? device + 1 : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->StackSize = 1;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  {
    std::lock_guard lock(g_mutex);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    g_devices[device] = DeviceRecord{block, name, false, nullptr, 0, g_drivers[DriverObject]->narrow_name};
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckDevice(DeviceObject, "IoDeleteDevice", caller);
  std::string problem;
  {
    std::lock_guard lock(g_mutex);
    auto& record = g_devices.at(DeviceObject);
    if (record.deleted) {
      problem = "was already deleted";
    } else if (record.lower) {
      problem = "is still attached to " + Hex(record.lower) + " (IoDetachDevice comes first)";
    } else {
      // A device may still have devices attached above it: a bus driver
      // deletes its PDO while completing IRP_MN_REMOVE_DEVICE, before the
      // drivers above detach on the way back up. The object stays until then.
      record.deleted = true;
      PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
      while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
      if (*link) *link = DeviceObject->NextDevice;
      DeviceObject->NextDevice = nullptr;
      record.name.clear();
    }
  }
  if (!problem.empty())
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             "IoDeleteDevice: " + DescribeDevice(DeviceObject) + " " + problem + ", from " + caller);
  FreeDeviceIfUnused(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckDevice(SourceDevice, "IoAttachDeviceToDeviceStack", caller);
  CheckDevice(TargetDevice, "IoAttachDeviceToDeviceStack", caller);
  std::lock_guard lock(g_mutex);
  auto& source = g_devices.at(SourceDevice);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  if (g_devices.at(top).deleted || source.lower) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  source.lower = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckDevice(TargetDevice, "IoDetachDevice", caller);
  bool detached = false;
  {
    std::lock_guard lock(g_mutex);
    if (PDEVICE_OBJECT attached = TargetDevice->AttachedDevice) {
      g_devices.at(attached).lower = nullptr;
      TargetDevice->AttachedDevice = nullptr;
      detached = true;
    }
  }
  if (detached) {
    // A lower device deleted while this one was attached goes now.
    FreeDeviceIfUnused(TargetDevice);
    return;
  }
  BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
           "IoDetachDevice on " + DescribeDevice(TargetDevice) + ", which has nothing attached, from " + caller);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  CheckDevice(DeviceObject, "IoGetAttachedDeviceReference", ORA_KERNEL_CALLER());
  PDEVICE_OBJECT top = internal::AttachedTop(DeviceObject);
  ObReferenceObject(top);
  return top;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) { return AllocateIrp(StackSize, IrpKind::Allocated); }

VOID NTAPI IoFreeIrp(PIRP Irp) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckIrp(Irp, "IoFreeIrp", caller);
  if (Irp->CurrentLocation <= Irp->StackCount)
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             "IoFreeIrp on " + DescribeIrp(Irp) + ", which a driver below still owns, from " + caller);
  FreeIrp(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckIrp(Irp, "IoReuseIrp", caller);
  if (Irp->CurrentLocation <= Irp->StackCount)
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             "IoReuseIrp on " + DescribeIrp(Irp) + ", which a driver below still owns, from " + caller);
  InitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->IoStatus.Status = Iostatus;
  std::lock_guard lock(g_mutex);
  g_irps[Irp].completed = false;
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckIrp(Irp, "IofCallDriver", caller);
  CheckDevice(DeviceObject, "IofCallDriver", caller);
  if (Irp->CurrentLocation <= 1)
    // Not DescribeIrp: a driver that copied its location to a next one that
    // does not exist has already overwritten the IRP's tail.
    BugCheck(BugCheckCode::NoMoreIrpStackLocations, "IRP " + Hex(Irp) + " with " + std::to_string(Irp->StackCount) +
                                                        " stack locations was sent to " + DescribeDevice(DeviceObject) +
                                                        " (StackSize " + std::to_string(DeviceObject->StackSize) +
                                                        ") with no stack location left, from " + caller);
  if (Irp->CurrentLocation == Irp->StackCount + 1) {
    std::lock_guard lock(g_mutex);
    g_irps[Irp].completed = false;
  }
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             DescribeIrp(Irp) + " has major function " + std::to_string(stack->MajorFunction) + ", from " + caller);
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  DriverScope scope(driver);
  return driver->MajorFunction[stack->MajorFunction](DeviceObject, Irp);
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckIrp(Irp, "IofCompleteRequest", caller);
  bool completed;
  {
    std::lock_guard lock(g_mutex);
    completed = g_irps[Irp].completed;
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1 || (completed && Irp->CurrentLocation == Irp->StackCount + 1))
    BugCheck(BugCheckCode::MultipleIrpCompleteRequests,
             DescribeIrp(Irp) + " was completed again after its completion had finished, from " + caller);
  if (Irp->CancelRoutine)
    BugCheck(BugCheckCode::CancelStateInCompletedIrp,
             DescribeIrp(Irp) + " was completed with its cancel routine " +
                 internal::CallerName(reinterpret_cast<const void*>(Irp->CancelRoutine)) + " still set, from " +
                 caller);
  if (Irp->IoStatus.Status == STATUS_PENDING)
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             DescribeIrp(Irp) + " was completed with STATUS_PENDING, from " + caller);

  PDRIVER_OBJECT owner;
  {
    std::lock_guard lock(g_mutex);
    owner = g_irps[Irp].owner;
  }
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR control = stack->Control;
    const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    IoSkipCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;

    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                    (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                    (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      // The routine runs for the driver one location up: the one that set it.
      const bool top = Irp->CurrentLocation == Irp->StackCount + 1;
      if (top) {
        std::lock_guard lock(g_mutex);
        g_irps[Irp].completed = true;
      }
      PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      NTSTATUS result;
      {
        DriverScope scope(device ? device->DriverObject : owner);
        result = routine(device, Irp, context);
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      if (IsFreed(Irp))
        BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
                 "completion routine " + internal::CallerName(reinterpret_cast<const void*>(routine)) + " freed IRP " +
                     Hex(Irp) + " but did not return STATUS_MORE_PROCESSING_REQUIRED");
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      // Without a routine of its own, the driver above inherits the pending mark.
      IoMarkIrpPending(Irp);
    }
  }

  std::function<void(PIRP)> finish;
  IrpKind kind;
  std::string owner_name;
  {
    std::lock_guard lock(g_mutex);
    auto& record = g_irps[Irp];
    record.completed = true;
    finish = std::move(record.finish);
    kind = record.kind;
    owner_name = record.owner_name;
  }
  if (kind == IrpKind::Allocated)
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             "IRP " + Hex(Irp) + " allocated by " + owner_name +
                 " with IoAllocateIrp completed to the top without a completion routine returning "
                 "STATUS_MORE_PROCESSING_REQUIRED; no thread owns it, from " +
                 caller);
  finish(Irp);
  FreeIrp(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  CheckDevice(DeviceObject, "IoBuildDeviceIoControlRequest", ORA_KERNEL_CALLER());
  PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpKind::Built);
  if (!irp) return nullptr;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  void* system_buffer = nullptr;
  if (method == METHOD_NEITHER) {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  } else {
    // Buffered: one system buffer carries the input down and the output up.
    // The direct methods buffer their input the same way; their output is
    // passed in place, as the simulated kernel has no MDLs.
    const ULONG length =
        method == METHOD_BUFFERED && OutputBufferLength > InputBufferLength ? OutputBufferLength : InputBufferLength;
    if (length) {
      system_buffer = std::malloc(length);
      std::memset(system_buffer, 0, length);
      if (InputBuffer && InputBufferLength) std::memcpy(system_buffer, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = system_buffer;
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (method == METHOD_BUFFERED && OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
    }
    irp->UserBuffer = OutputBuffer;
  }
  std::lock_guard lock(g_mutex);
  g_irps[irp].finish = [system_buffer, OutputBuffer, OutputBufferLength](PIRP done) {
    // An error completed without pending leaves the status block and the
    // event alone: the sender has the status from IoCallDriver.
    const bool report = !NT_ERROR(done->IoStatus.Status) || done->PendingReturned;
    if (report && (done->Flags & IRP_INPUT_OPERATION) && OutputBuffer) {
      std::size_t n = done->IoStatus.Information;
      if (n > OutputBufferLength) n = OutputBufferLength;
      std::memcpy(OutputBuffer, system_buffer, n);
    }
    std::free(system_buffer);
    if (!report) return;
    if (done->UserIosb) *done->UserIosb = done->IoStatus;
    if (done->UserEvent) KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
  };
  return irp;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  if (g_cancel_owner.load() == std::this_thread::get_id())
    BugCheck(BugCheckCode::DriverVerifierDetectedViolation,
             "IoAcquireCancelSpinLock by the thread that already holds it, from " + ORA_KERNEL_CALLER());
  KeRaiseIrql(DISPATCH_LEVEL, Irql);
  g_cancel_lock.lock();
  g_cancel_owner.store(std::this_thread::get_id());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  if (g_cancel_owner.load() != std::this_thread::get_id())
    BugCheck(BugCheckCode::SpinLockNotOwned,
             "IoReleaseCancelSpinLock by a thread that does not hold it, from " + ORA_KERNEL_CALLER());
  g_cancel_owner.store(std::thread::id());
  g_cancel_lock.unlock();
  KeLowerIrql(Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  const std::string caller = ORA_KERNEL_CALLER();
  CheckIrp(Irp, "IoCancelIrp", caller);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    IoReleaseCancelSpinLock(irql);
    BugCheck(BugCheckCode::DriverVerifierIoManagerViolation,
             DescribeIrp(Irp) + " has a cancel routine but no driver owns it, from " + caller);
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  {
    DriverScope scope(device->DriverObject);
    routine(device, Irp);
  }
  if (g_cancel_owner.load() == std::this_thread::get_id()) {
    IoReleaseCancelSpinLock(irql);
    BugCheck(BugCheckCode::DriverVerifierDetectedViolation,
             "cancel routine " + internal::CallerName(reinterpret_cast<const void*>(routine)) +
                 " returned without releasing the cancel spin lock");
  }
  return TRUE;
}

// Since Windows Vista power requests need no serialising; the call remains.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp) { CheckIrp(Irp, "PoStartNextPowerIrp", ORA_KERNEL_CALLER()); }

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

}  // extern "C"
