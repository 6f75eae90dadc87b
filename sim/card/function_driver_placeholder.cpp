// TEMPORARY, until the codec's kernel-streaming function driver lands: a
// pass-through function driver, so the codec's stack builds and starts. It
// attaches one FDO over the PDO and sends every request down unchanged.
// Delete this file when KsFunctionDriverEntry has its real implementation.
#include "sim/card/drivers.h"

namespace sim::card {

namespace {

struct PlaceholderExtension {
  PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) {
  return static_cast<PlaceholderExtension*>(device->DeviceExtension)->lower;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = LowerOf(device);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE)
    irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
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
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PlaceholderExtension), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  static_cast<PlaceholderExtension*>(fdo->DeviceExtension)->lower = lower;
  fdo->Flags = (fdo->Flags | DO_POWER_PAGABLE) & ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS NTAPI KsFunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = PassDown;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

}  // namespace sim::card
