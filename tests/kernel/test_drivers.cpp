#include "tests/kernel/test_drivers.h"

#include <cstdio>
#include <deque>

#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"

namespace kerneltest {

namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string PowerText(PIO_STACK_LOCATION stack) {
  const auto& power = stack->Parameters.Power;
  if (power.Type == DevicePowerState) return "D" + std::to_string(power.State.DeviceState - PowerDeviceD0);
  return "S" + std::to_string(power.State.SystemState - PowerSystemWorking);
}

// ---- bus driver: answers as the PDO, and owns a named control device.

PDEVICE_OBJECT g_bus_control = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (device == g_bus_control) {
    switch (stack->MajorFunction) {
      case IRP_MJ_CREATE:
        Log().Add("bus control create");
        return Complete(irp, STATUS_SUCCESS);
      case IRP_MJ_CLEANUP:
        Log().Add("bus control cleanup");
        return Complete(irp, STATUS_SUCCESS);
      case IRP_MJ_CLOSE:
        Log().Add("bus control close");
        return Complete(irp, STATUS_SUCCESS);
      case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG64))
          return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        *static_cast<ULONG64*>(irp->AssociatedIrp.SystemBuffer) = 0x1122334455667788ull;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG64));
      }
      default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
  }
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP: {
      const UCHAR minor = stack->MinorFunction;
      Log().Add("bus pnp " + std::to_string(minor));
      NTSTATUS status = irp->IoStatus.Status;
      if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
          minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)
        status = STATUS_SUCCESS;
      Complete(irp, status, irp->IoStatus.Information);
      if (minor == IRP_MN_REMOVE_DEVICE) IoDeleteDevice(device);
      return status;
    }
    case IRP_MJ_POWER:
      Log().Add("bus power " + PowerText(stack));
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

VOID NTAPI BusUnload(PDRIVER_OBJECT) {
  Log().Add("bus unload");
  IoDeleteDevice(g_bus_control);
  g_bus_control = nullptr;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = BusDispatch;
  driver->DriverUnload = BusUnload;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kBusControlName);
  const NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_bus_control);
  if (NT_SUCCESS(status)) g_bus_control->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

// ---- lower (function) driver.

struct LowerExtension {
  PDEVICE_OBJECT lower;
  PVOID pool;
};

LowerConfig g_lower_config;
std::mutex g_pending_mutex;
std::deque<PIRP> g_pending;

VOID NTAPI LowerCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard lock(g_pending_mutex);
    for (auto it = g_pending.begin(); it != g_pending.end(); ++it)
      if (*it == irp) {
        g_pending.erase(it);
        break;
      }
  }
  Log().Add("lower cancel");
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS LowerDeviceControl(PIRP irp) {
  switch (g_lower_config.action) {
    case LowerAction::Complete:
      return Complete(irp, g_lower_config.status, g_lower_config.information);
    case LowerAction::CompleteWithCancelSet:
      IoSetCancelRoutine(irp, LowerCancel);
      return Complete(irp, g_lower_config.status);
    case LowerAction::Pend:
      IoMarkIrpPending(irp);
      {
        std::lock_guard lock(g_pending_mutex);
        g_pending.push_back(irp);
      }
      return STATUS_PENDING;
    case LowerAction::PendCancelable:
      IoMarkIrpPending(irp);
      {
        std::lock_guard lock(g_pending_mutex);
        g_pending.push_back(irp);
      }
      IoSetCancelRoutine(irp, LowerCancel);
      // Cancelled before the routine was in place: take it back and finish here.
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        {
          std::lock_guard lock(g_pending_mutex);
          g_pending.pop_back();
        }
        Complete(irp, STATUS_CANCELLED);
      }
      return STATUS_PENDING;
  }
  return STATUS_PENDING;
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto ext = static_cast<LowerExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      Log().Add("lower ioctl");
      return LowerDeviceControl(irp);
    case IRP_MJ_POWER:
      Log().Add("lower power " + PowerText(stack));
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(ext->lower, irp);
    case IRP_MJ_PNP: {
      Log().Add("lower pnp " + std::to_string(stack->MinorFunction));
      const UCHAR minor = stack->MinorFunction;
      IoCopyCurrentIrpStackLocationToNext(irp);
      const NTSTATUS status = IoCallDriver(ext->lower, irp);
      if (minor == IRP_MN_REMOVE_DEVICE) {
        if (ext->pool && !g_lower_config.leak_pool) ExFreePoolWithTag(ext->pool, sim::kernel::PoolTag("Tst1"));
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
      }
      return status;
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI LowerAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Log().Add("lower add");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(LowerExtension), nullptr, FILE_DEVICE_KS, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto ext = static_cast<LowerExtension*>(device->DeviceExtension);
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  ext->pool = ExAllocatePoolWithTag(NonPagedPoolNx, 64, sim::kernel::PoolTag("Tst1"));
  device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI LowerUnload(PDRIVER_OBJECT) { Log().Add("lower unload"); }

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = LowerDispatch;
  driver->DriverExtension->AddDevice = LowerAddDevice;
  driver->DriverUnload = LowerUnload;
  return STATUS_SUCCESS;
}

// ---- upper filter.

struct FilterExtension {
  PDEVICE_OBJECT lower;
  LONG io_count;
  BOOLEAN removed;
  KEVENT remove_event;
};

FilterConfig g_filter_config;
PIRP g_parked = nullptr;

void ReleaseIoCount(FilterExtension* ext) {
  if (InterlockedDecrement(&ext->io_count) == 0) KeSetEvent(&ext->remove_event, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID counted) {
  auto ext = static_cast<FilterExtension*>(device->DeviceExtension);
  Log().Add("filter completion " + StatusText(irp->IoStatus.Status) +
            " pending=" + std::to_string(irp->PendingReturned ? 1 : 0));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (counted) ReleaseIoCount(ext);
  if (g_filter_config.completion_result == STATUS_MORE_PROCESSING_REQUIRED) g_parked = irp;
  return g_filter_config.completion_result;
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto ext = static_cast<FilterExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  InterlockedIncrement(&ext->io_count);
  if (ext->removed) {
    ReleaseIoCount(ext);
    return Complete(irp, STATUS_DELETE_PENDING);
  }
  if (stack->MajorFunction == IRP_MJ_POWER) Log().Add("filter power " + PowerText(stack));
  if (stack->MajorFunction == IRP_MJ_PNP) Log().Add("filter pnp " + std::to_string(stack->MinorFunction));
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(ext->lower, irp);
    ext->removed = TRUE;
    ReleaseIoCount(ext);  // the request's own count
    ReleaseIoCount(ext);  // the device's hold
    if (g_filter_config.remove_waiting) g_filter_config.remove_waiting->set_value();
    KeWaitForSingleObject(&ext->remove_event, Executive, KernelMode, FALSE, nullptr);
    Log().Add("filter removed");
    IoDetachDevice(ext->lower);
    if (!g_filter_config.forget_delete) IoDeleteDevice(device);
    return status;
  }
  if (g_filter_config.skip || !g_filter_config.with_completion) {
    if (g_filter_config.skip)
      IoSkipCurrentIrpStackLocation(irp);
    else
      IoCopyCurrentIrpStackLocationToNext(irp);
    const NTSTATUS status = IoCallDriver(ext->lower, irp);
    ReleaseIoCount(ext);
    return status;
  }
  // A routine that may not run cannot give the count back; the dispatch does.
  const bool always = g_filter_config.on_success && g_filter_config.on_error && g_filter_config.on_cancel;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, FilterCompletion, always ? ext : nullptr, g_filter_config.on_success,
                         g_filter_config.on_error, g_filter_config.on_cancel);
  const NTSTATUS status = IoCallDriver(ext->lower, irp);
  if (!always) ReleaseIoCount(ext);
  return status;
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Log().Add("filter add");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto ext = static_cast<FilterExtension*>(device->DeviceExtension);
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  ext->io_count = 1;
  ext->removed = FALSE;
  KeInitializeEvent(&ext->remove_event, NotificationEvent, FALSE);
  device->Characteristics = ext->lower->Characteristics;
  device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI FilterUnload(PDRIVER_OBJECT) { Log().Add("filter unload"); }

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = FilterDispatch;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  driver->DriverUnload = FilterUnload;
  return STATUS_SUCCESS;
}

}  // namespace

void CallLog::Add(std::string line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::move(line));
}
std::vector<std::string> CallLog::Lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}
void CallLog::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}
CallLog& Log() {
  static CallLog log;
  return log;
}

LowerConfig& Lower() { return g_lower_config; }
FilterConfig& Filter() { return g_filter_config; }
PIRP& Parked() { return g_parked; }

std::size_t PendingCount() {
  std::lock_guard lock(g_pending_mutex);
  return g_pending.size();
}

PIRP ClaimPending() {
  PIRP irp = nullptr;
  {
    std::lock_guard lock(g_pending_mutex);
    if (g_pending.empty()) return nullptr;
    irp = g_pending.front();
  }
  // Whoever takes the cancel routine owns the request.
  if (g_lower_config.action == LowerAction::PendCancelable && !IoSetCancelRoutine(irp, nullptr)) return nullptr;
  std::lock_guard lock(g_pending_mutex);
  g_pending.pop_front();
  return irp;
}

void CompleteClaimed(PIRP irp, NTSTATUS status, ULONG_PTR information) { Complete(irp, status, information); }

bool CompletePending(NTSTATUS status, ULONG_PTR information) {
  PIRP irp = ClaimPending();
  if (!irp) return false;
  CompleteClaimed(irp, status, information);
  return true;
}

void InstallDrivers(const std::u16string& instance_id, bool with_filter) {
  sim::kernel::RegisterBuiltinDriverImage(u"oratestbus.sys", BusEntry);
  sim::kernel::RegisterBuiltinDriverImage(u"oratestlower.sys", LowerEntry);
  sim::kernel::RegisterBuiltinDriverImage(u"oratestfilter.sys", FilterEntry);
  sim::kernel::SetServiceImagePath(u"OraTestBus", u"\\SystemRoot\\System32\\drivers\\OraTestBus.sys");
  sim::kernel::SetServiceImagePath(u"OraTestLower", u"\\SystemRoot\\System32\\drivers\\OraTestLower.sys");
  sim::kernel::SetServiceImagePath(u"OraTestFilter", u"\\SystemRoot\\System32\\drivers\\OraTestFilter.sys");
  sim::kernel::SetDeviceInstanceDrivers(
      instance_id, u"OraTestLower", {},
      with_filter ? std::vector<std::u16string>{u"OraTestFilter"} : std::vector<std::u16string>{});
}

PDEVICE_OBJECT CreateAndStartDevice(const std::u16string& instance_id) {
  PDRIVER_OBJECT bus = nullptr;
  if (!NT_SUCCESS(sim::kernel::LoadDriver(u"OraTestBus", &bus))) return nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  sim::kernel::DeviceDescription description{instance_id, {u"ORATEST\\DEVICE"}, FILE_DEVICE_UNKNOWN, 0};
  if (!NT_SUCCESS(sim::kernel::PnpCreateChildDevice(bus, description, &pdo))) return nullptr;
  if (!NT_SUCCESS(sim::kernel::PnpStartDevice(pdo))) return nullptr;
  return pdo;
}

void ResetDrivers() {
  g_lower_config = LowerConfig{};
  g_filter_config = FilterConfig{};
  g_parked = nullptr;
  g_bus_control = nullptr;
  {
    std::lock_guard lock(g_pending_mutex);
    g_pending.clear();
  }
  Log().Clear();
}

}  // namespace kerneltest
