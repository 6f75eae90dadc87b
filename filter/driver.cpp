// OraFilt's entry points: DriverEntry, AddDevice, the one dispatch routine,
// the cancel routine, the completion routine and DriverUnload.
#include "filter/codec_filter.h"

namespace {

CCodecFilter* FilterOf(PDEVICE_OBJECT device) {
  return static_cast<FILTER_EXTENSION*>(device->DeviceExtension)->Filter;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = FilterUnload;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  for (UCHAR major = IRP_MJ_CREATE; major <= IRP_MJ_PNP; ++major) driver->MajorFunction[major] = FilterDispatch;
  return STATUS_SUCCESS;
}

VOID NTAPI FilterUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FILTER_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;

  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  extension->Filter = nullptr;
  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, pdo);
  CCodecFilter* filter = nullptr;
  if (!extension->LowerDeviceObject) {
    status = STATUS_DEVICE_REMOVED;
  } else {
    filter = new (NonPagedPoolNx, kTagFilter) CCodecFilter(pdo, device, extension->LowerDeviceObject);
    if (filter) {
      filter->Unknown()->AddRef();
      extension->Filter = filter;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  if (NT_SUCCESS(status)) {
    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    device->Characteristics = lower->Characteristics;
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
  }

  // Nothing above can throw in this build, so the clean-up runs on the failure path only.
  if (filter) {
    extension->Filter = nullptr;
    delete filter;  // detaches and deletes the device
  } else {
    if (extension->LowerDeviceObject) IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  if (device->Flags & DO_DEVICE_INITIALIZING) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->LowerDeviceObject, irp);
  }
  CCodecFilter* filter = extension->Filter;
  if (!filter->AcquireIoCount()) {
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  IoSetCancelRoutine(irp, FilterCancel);
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  return filter->Dispatch(major, irp);
}

VOID NTAPI FilterCancel(PDEVICE_OBJECT device, PIRP irp) { FilterOf(device)->OnCancel(irp); }

NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  CCodecFilter* filter = FilterOf(device);
  PIRP request = irp;
  if (context) {
    PIRP shadow = irp;
    request = static_cast<PIRP>(context);
    request->IoStatus = shadow->IoStatus;
    if (shadow->PendingReturned) IoMarkIrpPending(request);
    // The filter gives up its own location of the shadow before freeing it.
    IoSkipCurrentIrpStackLocation(shadow);
    IoFreeIrp(shadow);
  } else if (request->PendingReturned) {
    IoMarkIrpPending(request);
  }
  filter->Complete(IoGetCurrentIrpStackLocation(request)->MajorFunction, request);
  if (context) IoCompleteRequest(request, IO_NO_INCREMENT);
  filter->ReleaseIoCount();
  return context ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}
