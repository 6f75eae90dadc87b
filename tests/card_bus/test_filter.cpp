// A pass-through upper filter for the machine tests: one device above the
// function driver, every request sent down unchanged.
#include "platform/wdm.h"

namespace {

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension); }

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = LowerOf(device);
  const bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_KS, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (!lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) = lower;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = PassDown;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
