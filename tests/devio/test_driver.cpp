#include "tests/devio/test_driver.h"

#include <cstring>
#include <deque>

#include "platform/ks.h"
#include "sim/kernel/pnp.h"

namespace devio_test {

namespace {

struct Extension {
  PDEVICE_OBJECT lower;
  UNICODE_STRING links[3];
};

std::mutex g_mutex;
Reply g_reply;
Log g_log;
std::deque<PIRP> g_pending;

bool EndsWith(const std::u16string& s, std::u16string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void WriteOutput(PIRP irp, const std::vector<uint8_t>& output) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG method = METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode);
  void* target = method == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
  const std::size_t n = output.size() < length ? output.size() : length;
  if (target && n) std::memcpy(target, output.data(), n);
}

VOID NTAPI CancelPending(PDEVICE_OBJECT, PIRP irp) {
  {
    std::lock_guard lock(g_mutex);
    std::erase(g_pending, irp);
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  std::u16string name(file->FileName.Buffer ? file->FileName.Buffer : u"", file->FileName.Length / sizeof(WCHAR));
  {
    std::lock_guard lock(g_mutex);
    g_log.creates.push_back({name, file, file->RelatedFileObject});
  }
  if (EndsWith(name, u"\\denied")) return Complete(irp, STATUS_ACCESS_DENIED);
  // A pin create for pin 99 finds no matching pin.
  constexpr std::size_t kPinText = 39;  // "\{146F1A80-4791-11D0-A5D6-28DB04C10000}"
  if (file->RelatedFileObject && name.size() >= kPinText + sizeof(KSPIN_CONNECT) / 2) {
    KSPIN_CONNECT connect;
    std::memcpy(&connect, name.data() + kPinText, sizeof connect);
    if (connect.PinId == 99) return Complete(irp, STATUS_NO_MATCH);
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  std::vector<PIRP> mine;
  {
    std::lock_guard lock(g_mutex);
    ++g_log.cleanups;
    for (PIRP p : g_pending)
      if (IoGetCurrentIrpStackLocation(p)->FileObject == file) mine.push_back(p);
  }
  for (PIRP p : mine) {
    if (!IoSetCancelRoutine(p, nullptr)) continue;
    {
      std::lock_guard lock(g_mutex);
      std::erase(g_pending, p);
    }
    Complete(p, STATUS_CANCELLED);
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT, PIRP irp) {
  {
    std::lock_guard lock(g_mutex);
    ++g_log.closes;
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto& p = stack->Parameters.DeviceIoControl;
  Reply reply;
  {
    std::lock_guard lock(g_mutex);
    Control c{p.IoControlCode,
              p.InputBufferLength,
              p.OutputBufferLength,
              p.Type3InputBuffer,
              irp->UserBuffer,
              irp->AssociatedIrp.SystemBuffer,
              {},
              irp->Flags,
              irp->RequestorMode,
              stack->FileObject};
    if (irp->AssociatedIrp.SystemBuffer && p.InputBufferLength) {
      auto* in = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
      c.system_input.assign(in, in + p.InputBufferLength);
    }
    g_log.controls.push_back(std::move(c));
    reply = g_reply;
  }
  if (reply.pend) {
    IoMarkIrpPending(irp);
    {
      std::lock_guard lock(g_mutex);
      g_pending.push_back(irp);
    }
    IoSetCancelRoutine(irp, CancelPending);
    return STATUS_PENDING;
  }
  if (reply.size_query && p.OutputBufferLength < reply.output.size())
    return Complete(irp, STATUS_BUFFER_OVERFLOW, reply.output.size());
  WriteOutput(irp, reply.output);
  return Complete(irp, reply.status, reply.information);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_START_DEVICE)
    for (auto& link : ext->links) IoSetDeviceInterfaceState(&link, TRUE);
  if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)
    for (auto& link : ext->links) IoSetDeviceInterfaceState(&link, FALSE);
  PDEVICE_OBJECT lower = ext->lower;
  IoSkipCurrentIrpStackLocation(irp);
  if (minor != IRP_MN_REMOVE_DEVICE) return IoCallDriver(lower, irp);
  // The PnP manager's root PDO deletes itself on removal, so detach first.
  for (auto& link : ext->links) RtlFreeUnicodeString(&link);
  IoDetachDevice(lower);
  const NTSTATUS status = IoCallDriver(lower, irp);
  IoDeleteDevice(device);
  return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Extension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<Extension*>(fdo->DeviceExtension);
  std::memset(ext, 0, sizeof *ext);
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  struct {
    const GUID* guid;
    const WCHAR* reference;
  } const interfaces[] = {
      {&KSCATEGORY_AUDIO, u"eLineOutWave"}, {&KSCATEGORY_RENDER, u"eLineOutWave"}, {&KSCATEGORY_AUDIO, u"eMicIn"}};
  for (int i = 0; i < 3; ++i) {
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, interfaces[i].reference);
    IoRegisterDeviceInterface(pdo, interfaces[i].guid, &reference, &ext->links[i]);
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

}  // namespace

PDEVICE_OBJECT StartTestDevice() {
  {
    std::lock_guard lock(g_mutex);
    g_reply = {};
    g_log = {};
    g_pending.clear();
  }
  sim::kernel::RegisterBuiltinDriverImage(u"oradevtest.sys", DriverEntry);
  sim::kernel::SetServiceImagePath(u"OraDevTest", u"\\SystemRoot\\System32\\drivers\\oradevtest.sys");
  sim::kernel::SetDeviceInstanceDrivers(kInstanceId, u"OraDevTest", {}, {});
  sim::kernel::DeviceDescription description;
  description.instance_id = std::u16string(kInstanceId);
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(sim::kernel::PnpCreateRootDevice(description, &pdo))) return nullptr;
  if (!NT_SUCCESS(sim::kernel::PnpStartDevice(pdo))) return nullptr;
  return pdo;
}

void SetReply(Reply reply) {
  std::lock_guard lock(g_mutex);
  g_reply = std::move(reply);
}

Log TakeLog() {
  std::lock_guard lock(g_mutex);
  Log out = std::move(g_log);
  g_log = {};
  return out;
}

std::size_t PendingCount() {
  std::lock_guard lock(g_mutex);
  return g_pending.size();
}

void CompletePending(NTSTATUS status, ULONG_PTR information, const std::vector<uint8_t>& output) {
  PIRP irp;
  {
    std::lock_guard lock(g_mutex);
    if (g_pending.empty()) return;
    irp = g_pending.front();
    g_pending.pop_front();
  }
  if (!IoSetCancelRoutine(irp, nullptr)) return;  // being cancelled
  WriteOutput(irp, output);
  Complete(irp, status, information);
}

}  // namespace devio_test
