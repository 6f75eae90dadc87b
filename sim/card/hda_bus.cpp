// The HD Audio bus driver: the controller's FDO reports the card's codec as
// a child PDO, and the PDO hands out the HD Audio bus interface.
#include "sim/card/hda_bus.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/card/drivers.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"

namespace sim::card {

namespace {

constexpr ULONG kPoolTag = sim::kernel::PoolTag("HdaB");

// Which of the driver's devices an extension belongs to.
enum class DeviceKind : ULONG { Controller = 0x43616448, Codec = 0x50616448 };

struct Extension {
  DeviceKind kind;
  PDEVICE_OBJECT lower;  // the controller's: the device it is attached to
};

struct CodecChild {
  PDEVICE_OBJECT pdo = nullptr;
  ORA_HDAUDIO_CODEC_LOCATION location{};
  std::u16string device_id;    // the first hardware id
  std::u16string instance_id;  // the bus-relative part
  std::vector<std::u16string> hardware_ids;
  std::vector<std::u16string> compatible_ids;
  bool present = true;
  bool removed = false;
  DEVICE_POWER_STATE power = PowerDeviceD0;
};

struct BusState {
  std::mutex mutex;
  PDEVICE_OBJECT controller = nullptr;
  std::unique_ptr<CodecChild> codec;
  hdabus::Counters counters;
};

BusState& State() {
  static BusState state;
  return state;
}

Extension* ExtensionOf(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0, unsigned e = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c, d, e);
  return text;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The context the interface carries is the child; anything else is refused.
CodecChild* ChildOf(PVOID context) {
  BusState& s = State();
  std::lock_guard lock(s.mutex);
  return s.codec && s.codec.get() == context ? s.codec.get() : nullptr;
}

// ---------------------------------------------------------------------------
// The bus interface.

VOID NTAPI InterfaceReference(PVOID context) {
  if (!ChildOf(context)) return;
  std::lock_guard lock(State().mutex);
  ++State().counters.references;
}

VOID NTAPI InterfaceDereference(PVOID context) {
  if (!ChildOf(context)) return;
  std::lock_guard lock(State().mutex);
  ++State().counters.dereferences;
}

bool TransferFails(const CodecTransferFault& fault, uint32_t call) {
  return fault.failEvery != 0 && call >= fault.fromTransfer && (call - fault.fromTransfer + 1) % fault.failEvery == 0;
}

NTSTATUS NTAPI TransferCodecVerbs(PVOID context, ULONG count, PHDAUDIO_CODEC_TRANSFER transfers,
                                  PHDAUDIO_TRANSFER_COMPLETE_CALLBACK callback, PVOID callback_context) {
  CodecChild* child = ChildOf(context);
  if (!child || (count != 0 && !transfers)) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) transfers[i].Input.CompleteResponse = 0;
  Card* card = Card::Current();
  NTSTATUS status = STATUS_SUCCESS;
  {
    BusState& s = State();
    std::lock_guard lock(s.mutex);
    const uint32_t call = s.counters.transfers++;
    if (!child->present || !card)
      status = STATUS_NO_SUCH_DEVICE;
    else if (TransferFails(card->profile().faults.codecTransfers, call))
      status = static_cast<NTSTATUS>(card->profile().faults.codecTransfers.status);
    if (!NT_SUCCESS(status)) ++s.counters.failed_transfers;
  }
  if (!NT_SUCCESS(status)) return status;
  constexpr ULONGLONG kValid = 1ull << 63;
  for (ULONG i = 0; i < count; ++i) {
    const VerbResult result = card->codec().Execute(transfers[i].Output.Command);
    transfers[i].Input.CompleteResponse = result.response | (result.valid ? kValid : 0);
  }
  if (callback) callback(transfers, callback_context);
  return STATUS_SUCCESS;
}

VOID NTAPI GetResourceInformation(PVOID context, PUCHAR codec_address, PUCHAR function_group_start_node) {
  CodecChild* child = ChildOf(context);
  if (!child) return;
  if (codec_address) *codec_address = child->location.CodecAddress;
  if (function_group_start_node) *function_group_start_node = child->location.FunctionGroupStartNode;
}

NTSTATUS NTAPI GetDeviceInformation(PVOID context, PHDAUDIO_DEVICE_INFORMATION information) {
  if (!ChildOf(context) || !information) return STATUS_INVALID_PARAMETER;
  information->Size = sizeof(HDAUDIO_DEVICE_INFORMATION);
  information->DeviceVersion = 0x0100;
  information->DriverVersion = 0x0100;
  information->CodecsDetected = 1;
  information->IsStripingSupported = FALSE;
  return STATUS_SUCCESS;
}

// Entries the card's function driver does not need from the bus.
template <typename Record>
void FillInterface(Record* record, CodecChild* child) {
  std::memset(record, 0, sizeof(Record));
  record->Size = sizeof(Record);
  record->Version = ORA_HDAUDIO_INTERFACE_VERSION;
  record->Context = child;
  record->InterfaceReference = InterfaceReference;
  record->InterfaceDereference = InterfaceDereference;
  record->TransferCodecVerbs = TransferCodecVerbs;
  const auto unsupported = [](auto...) -> NTSTATUS { return STATUS_NOT_SUPPORTED; };
  record->AllocateCaptureDmaEngine = unsupported;
  record->AllocateRenderDmaEngine = unsupported;
  record->ChangeBandwidthAllocation = unsupported;
  record->AllocateDmaBuffer = unsupported;
  record->FreeDmaBuffer = unsupported;
  record->FreeDmaEngine = unsupported;
  record->SetDmaEngineState = unsupported;
  record->GetWallClockRegister = [](PVOID, PULONG* wallclock) {
    if (wallclock) *wallclock = nullptr;
  };
  record->GetLinkPositionRegister = unsupported;
  record->RegisterEventCallback = unsupported;
  record->UnregisterEventCallback = unsupported;
  record->GetDeviceInformation = GetDeviceInformation;
  record->GetResourceInformation = GetResourceInformation;
  if constexpr (sizeof(Record) == sizeof(HDAUDIO_BUS_INTERFACE_V2)) {
    record->AllocateDmaBufferWithNotification = unsupported;
    record->FreeDmaBufferWithNotification = unsupported;
    record->RegisterNotificationEvent = unsupported;
    record->UnregisterNotificationEvent = unsupported;
  }
}

bool VersionRefused(uint32_t version) {
  Card* card = Card::Current();
  if (!card) return false;
  for (uint32_t refused : card->profile().faults.refusedBusInterfaceVersions)
    if (refused == version) return true;
  return false;
}

template <typename Record>
NTSTATUS AnswerInterface(PIO_STACK_LOCATION stack, CodecChild* child, uint32_t version) {
  const auto& q = stack->Parameters.QueryInterface;
  NTSTATUS status = STATUS_SUCCESS;
  if (VersionRefused(version) || q.Version != ORA_HDAUDIO_INTERFACE_VERSION)
    status = STATUS_NOT_SUPPORTED;
  else if (q.Size < sizeof(Record))
    status = STATUS_BUFFER_TOO_SMALL;
  else if (!q.Interface)
    status = STATUS_INVALID_PARAMETER;
  BusState& s = State();
  if (!NT_SUCCESS(status)) {
    std::lock_guard lock(s.mutex);
    ++s.counters.refused;
    return status;
  }
  auto* record = reinterpret_cast<Record*>(q.Interface);
  FillInterface(record, child);
  {
    std::lock_guard lock(s.mutex);
    ++(version == 1 ? s.counters.queries_v1 : s.counters.queries_v2);
  }
  // The provider hands the interface out referenced; the taker dereferences it.
  record->InterfaceReference(record->Context);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The codec's PDO.

// A REG_MULTI_SZ-style list (or one string) in paged pool, as PnP frees it.
NTSTATUS AnswerIds(const std::vector<std::u16string>& ids, bool multi, ULONG_PTR* information) {
  std::u16string text;
  for (const auto& id : ids) {
    text += id;
    text += u'\0';
  }
  if (multi) text += u'\0';
  auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, text.size() * sizeof(WCHAR), kPoolTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  *information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS CodecPnp(PDEVICE_OBJECT device, PIRP irp, CodecChild* child) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      std::lock_guard lock(State().mutex);
      child->removed = false;
      child->power = PowerDeviceD0;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_INTERFACE: {
      const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
      if (type && *type == GUID_HDAUDIO_BUS_INTERFACE)
        status = AnswerInterface<HDAUDIO_BUS_INTERFACE>(stack, child, 1);
      else if (type && *type == GUID_HDAUDIO_BUS_INTERFACE_V2)
        status = AnswerInterface<HDAUDIO_BUS_INTERFACE_V2>(stack, child, 2);
      break;
    }
    case IRP_MN_QUERY_ID:
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          status = AnswerIds({child->device_id}, false, &information);
          break;
        case BusQueryHardwareIDs:
          status = AnswerIds(child->hardware_ids, true, &information);
          break;
        case BusQueryCompatibleIDs:
          status = AnswerIds(child->compatible_ids, true, &information);
          break;
        case BusQueryInstanceID:
          status = AnswerIds({child->instance_id}, false, &information);
          break;
        default:
          break;
      }
      break;
    case IRP_MN_REMOVE_DEVICE: {
      bool gone;
      {
        std::lock_guard lock(State().mutex);
        child->removed = true;
        gone = !child->present;
      }
      Complete(irp, STATUS_SUCCESS);
      // A codec still on the link keeps its PDO: the bus reports it again.
      if (gone) {
        std::unique_ptr<CodecChild> record;
        {
          std::lock_guard lock(State().mutex);
          record = std::move(State().codec);
        }
        IoDeleteDevice(device);
      }
      return STATUS_SUCCESS;
    }
    default:
      break;
  }
  return Complete(irp, status, information);
}

NTSTATUS CodecPower(PIRP irp, CodecChild* child) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == DevicePowerState) {
      std::lock_guard lock(State().mutex);
      child->power = stack->Parameters.Power.State.DeviceState;
    }
    status = STATUS_SUCCESS;
  } else if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
    status = STATUS_SUCCESS;
  }
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

// ---------------------------------------------------------------------------
// The controller's FDO.

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

std::unique_ptr<CodecChild> DescribeCodec(const Profile& profile) {
  auto child = std::make_unique<CodecChild>();
  const DeviceProfile& d = profile.device;
  child->location.CodecAddress = profile.codec.address;
  child->location.FunctionGroupStartNode =
      profile.codec.functionGroups.empty() ? 0 : profile.codec.functionGroups.front().node;
  const std::string function = Format("HDAUDIO\\FUNC_%02X", d.function);
  const std::string vendor = function + Format("&VEN_%04X", d.vendorId);
  const std::string device = vendor + Format("&DEV_%04X", d.deviceId);
  const std::string subsystem = device + Format("&SUBSYS_%08X", d.subsystemId);
  const std::string revision = Format("&REV_%04X", d.revision);
  child->device_id = Widen(d.HardwareId());
  child->hardware_ids = {Widen(subsystem + revision), Widen(subsystem)};
  child->compatible_ids = {Widen(device + revision), Widen(device), Widen(vendor), Widen(function)};
  child->instance_id = Widen(d.instanceId);
  return child;
}

// Reports the card's codec once the controller runs.
NTSTATUS EnumerateCodec(PDRIVER_OBJECT driver) {
  Card* card = Card::Current();
  BusState& s = State();
  {
    std::lock_guard lock(s.mutex);
    if (!card || s.codec) return STATUS_SUCCESS;
  }
  std::unique_ptr<CodecChild> child = DescribeCodec(card->profile());
  sim::kernel::DeviceDescription description;
  description.instance_id = Widen(card->profile().device.DeviceInstanceId());
  description.hardware_ids = child->hardware_ids;
  description.device_type = FILE_DEVICE_SOUND;
  description.extension_size = sizeof(Extension);
  PDEVICE_OBJECT pdo = nullptr;
  const NTSTATUS status = sim::kernel::PnpCreateChildDevice(driver, description, &pdo);
  if (!NT_SUCCESS(status)) return status;
  *ExtensionOf(pdo) = Extension{DeviceKind::Codec, nullptr};
  pdo->Flags |= DO_POWER_PAGABLE;
  child->pdo = pdo;
  std::lock_guard lock(s.mutex);
  s.codec = std::move(child);
  return STATUS_SUCCESS;
}

// Children go with their parent; PnP has removed their stacks first.
void DeleteChildren() {
  std::unique_ptr<CodecChild> child;
  {
    std::lock_guard lock(State().mutex);
    child = std::move(State().codec);
  }
  if (!child) return;
  if (child->pdo->AttachedDevice)
    sim::kernel::BugCheck(sim::kernel::BugCheckCode::DriverVerifierIoManagerViolation,
                          "the HD Audio controller was removed while its codec's PDO still has a device stack");
  IoDeleteDevice(child->pdo);
}

NTSTATUS ControllerPnp(PDEVICE_OBJECT device, PIRP irp) {
  Extension* extension = ExtensionOf(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(extension->lower, irp);
      if (NT_SUCCESS(status)) status = EnumerateCodec(device->DriverObject);
      return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_REMOVE_DEVICE: {
      DeleteChildren();
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(extension->lower, irp);
      IoDetachDevice(extension->lower);
      {
        std::lock_guard lock(State().mutex);
        State().controller = nullptr;
      }
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

// ---------------------------------------------------------------------------
// Dispatch.

CodecChild* ChildOfPdo(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(State().mutex);
  return State().codec && State().codec->pdo == pdo ? State().codec.get() : nullptr;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  if (ExtensionOf(device)->kind == DeviceKind::Controller) return ControllerPnp(device, irp);
  CodecChild* child = ChildOfPdo(device);
  if (!child) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  return CodecPnp(device, irp, child);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  if (ExtensionOf(device)->kind == DeviceKind::Controller) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ExtensionOf(device)->lower, irp);
  }
  CodecChild* child = ChildOfPdo(device);
  if (!child) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_NO_SUCH_DEVICE);
  }
  return CodecPower(irp, child);
}

// Opens of the codec reach its PDO through the function driver: they succeed.
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  if (ExtensionOf(device)->kind == DeviceKind::Controller) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  *ExtensionOf(fdo) = Extension{DeviceKind::Controller, lower};
  fdo->Flags = (fdo->Flags | DO_POWER_PAGABLE) & ~DO_DEVICE_INITIALIZING;
  std::lock_guard lock(State().mutex);
  State().controller = fdo;
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS NTAPI HdaBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  hdabus::Reset();
  for (auto& entry : driver->MajorFunction) entry = DispatchOther;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

namespace hdabus {

PDEVICE_OBJECT CodecPdo() {
  std::lock_guard lock(State().mutex);
  return State().codec ? State().codec->pdo : nullptr;
}

Counters GetCounters() {
  std::lock_guard lock(State().mutex);
  return State().counters;
}

ORA_HDAUDIO_CODEC_LOCATION CodecLocation() {
  std::lock_guard lock(State().mutex);
  return State().codec ? State().codec->location : ORA_HDAUDIO_CODEC_LOCATION{};
}

void ReportCodecGone() {
  std::lock_guard lock(State().mutex);
  if (State().codec) State().codec->present = false;
}

void Reset() {
  BusState& s = State();
  std::lock_guard lock(s.mutex);
  s.controller = nullptr;
  s.codec.reset();
  s.counters = Counters{};
}

}  // namespace hdabus

}  // namespace sim::card
