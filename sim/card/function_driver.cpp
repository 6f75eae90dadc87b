// The codec's kernel-streaming function driver: the device, its filter
// interfaces, and the dispatch of creates, closes and property requests.
#include "sim/card/function_driver.h"

#include <algorithm>
#include <cstring>

#include "platform/com.h"
#include "sim/card/card.h"
#include "sim/card/drivers.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"

namespace sim::card::ksdriver {

namespace {

struct NamedGuid {
  const char* name;
  GUID guid;
};

// Names the profile may use that the platform header does not define.
constexpr GUID kCategoryRealtime = {0xEB115FFC, 0x10C8, 0x4964, {0x83, 0x1D, 0x6D, 0xCB, 0x02, 0xE6, 0xF2, 0x3F}};
constexpr GUID kCategoryDataTransform = {0x2EB07EA0, 0x7E70, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

const NamedGuid kNames[] = {
    {"KSCATEGORY_AUDIO", KSCATEGORY_AUDIO},
    {"KSCATEGORY_RENDER", KSCATEGORY_RENDER},
    {"KSCATEGORY_CAPTURE", KSCATEGORY_CAPTURE},
    {"KSCATEGORY_TOPOLOGY", KSCATEGORY_TOPOLOGY},
    {"KSCATEGORY_REALTIME", kCategoryRealtime},
    {"KSCATEGORY_DATATRANSFORM", kCategoryDataTransform},
    {"KSNODETYPE_SPEAKER", KSNODETYPE_SPEAKER},
    {"KSNODETYPE_HEADPHONES", KSNODETYPE_HEADPHONES},
    {"KSNODETYPE_SPDIF_INTERFACE", KSNODETYPE_SPDIF_INTERFACE},
    {"KSNODETYPE_MICROPHONE", KSNODETYPE_MICROPHONE},
    {"KSNODETYPE_DESKTOP_MICROPHONE", KSNODETYPE_DESKTOP_MICROPHONE},
    {"KSNODETYPE_MICROPHONE_ARRAY", {0xDFF21BE5, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}},
    {"KSNODETYPE_LINE_CONNECTOR", KSNODETYPE_LINE_CONNECTOR},
    {"KSNODETYPE_ANALOG_CONNECTOR", KSNODETYPE_ANALOG_CONNECTOR},
    {"KSNODETYPE_DIGITAL_AUDIO_INTERFACE", KSNODETYPE_DIGITAL_AUDIO_INTERFACE},
    {"KSNODETYPE_HDMI_INTERFACE", {0xD1B9CC2A, 0xF519, 0x417F, {0x91, 0xC9, 0x55, 0xFA, 0x65, 0x48, 0x10, 0x01}}},
    {"KSNODETYPE_LEGACY_AUDIO_CONNECTOR",
     {0xDFF21FE4, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}},
    {"KSNODETYPE_DAC", KSNODETYPE_DAC},
    {"KSNODETYPE_ADC", KSNODETYPE_ADC},
    {"KSNODETYPE_VOLUME", KSNODETYPE_VOLUME},
    {"KSNODETYPE_MUTE", KSNODETYPE_MUTE},
    {"KSNODETYPE_SUM", KSNODETYPE_SUM},
    {"KSNODETYPE_MUX", KSNODETYPE_MUX},
    {"KSNODETYPE_DEMUX", {0xC0EB67D4, 0xE807, 0x11D0, {0x95, 0x8A, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}}},
    {"KSNODETYPE_SRC", {0x9DB7B9E0, 0xC555, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}}},
    {"KSNODETYPE_SUPERMIX", {0xE573ADC0, 0xC555, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}}},
    {"KSNODETYPE_PEAKMETER", {0xA085651E, 0x5F0D, 0x4B36, {0xA8, 0x69, 0xD1, 0x95, 0xD6, 0xAB, 0x4B, 0x9E}}},
    {"KSNODETYPE_LOUDNESS", {0x41887440, 0xC558, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}}},
    {"KSNODETYPE_TONE", {0x7607E580, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}}},
    {"KSNODETYPE_AGC", {0xE88C9BA0, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}}},
    {"KSNODETYPE_AUDIO_ENGINE", {0x35CAF6E4, 0xF3B3, 0x4168, {0xBB, 0x4B, 0x55, 0xE7, 0x7A, 0x46, 0x1C, 0x7E}}},
    {"KSDATAFORMAT_TYPE_AUDIO", KSDATAFORMAT_TYPE_AUDIO},
    {"KSDATAFORMAT_TYPE_WILDCARD", KSDATAFORMAT_TYPE_WILDCARD},
    {"KSDATAFORMAT_SUBTYPE_PCM", KSDATAFORMAT_SUBTYPE_PCM},
    {"KSDATAFORMAT_SUBTYPE_IEEE_FLOAT", KSDATAFORMAT_SUBTYPE_IEEE_FLOAT},
    {"KSDATAFORMAT_SUBTYPE_WAVEFORMATEX", KSDATAFORMAT_SUBTYPE_WAVEFORMATEX},
    {"KSDATAFORMAT_SUBTYPE_WILDCARD", KSDATAFORMAT_SUBTYPE_WILDCARD},
    {"KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL",
     {0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
    {"KSDATAFORMAT_SPECIFIER_WAVEFORMATEX", KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
    {"KSDATAFORMAT_SPECIFIER_DSOUND", KSDATAFORMAT_SPECIFIER_DSOUND},
    {"KSDATAFORMAT_SPECIFIER_NONE", KSDATAFORMAT_SPECIFIER_NONE},
    {"KSDATAFORMAT_SPECIFIER_WILDCARD", KSDATAFORMAT_SPECIFIER_WILDCARD},
    {"KSPROPSETID_Pin", KSPROPSETID_Pin},
    {"KSPROPSETID_Topology", KSPROPSETID_Topology},
    {"KSPROPSETID_Connection", KSPROPSETID_Connection},
    {"KSPROPSETID_RtAudio", KSPROPSETID_RtAudio},
    {"KSPROPSETID_General", KSPROPSETID_General},
    {"KSPROPSETID_Audio", {0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}}},
    {"KSPROPSETID_DrmAudioStream", {0x2F2C8DDD, 0x4198, 0x4FAC, {0xBA, 0x29, 0x61, 0xBB, 0x05, 0xB7, 0xDE, 0x06}}},
    {"KSPROPSETID_Jack", {0x4509F757, 0x2D46, 0x4637, {0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5, 0x7B}}},
    {"KSPROPSETID_OraFilt", {0x3F9A6C21, 0x7B4E, 0x4D05, {0xA8, 0xE2, 0x91, 0x5C, 0x0D, 0x7B, 0x6E, 0x34}}},
    {"KSPROPSETID_OraFiltCodec", {0x7E4A2C91, 0x05D3, 0x4B6F, {0x9A, 0x18, 0xC3, 0xF5, 0x2E, 0x07, 0xD4, 0xB6}}},
};


std::u16string Widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return RtlUpcaseUnicodeChar(x) == RtlUpcaseUnicodeChar(y);
         });
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(FunctionDevice& device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(device.lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS RegisterInterfaces(FunctionDevice& device) {
  for (const FilterDescription& f : device.filters) {
    std::u16string reference = Widen(f.reference);
    UNICODE_STRING ref{static_cast<USHORT>(reference.size() * sizeof(WCHAR)),
                       static_cast<USHORT>(reference.size() * sizeof(WCHAR)), reference.data()};
    for (const std::string& category : f.filter->interfaceCategories) {
      GUID guid;
      if (!GuidOfName(category, &guid)) continue;
      UNICODE_STRING link{};
      NTSTATUS status = IoRegisterDeviceInterface(device.pdo, &guid, &ref, &link);
      if (!NT_SUCCESS(status)) return status;
      device.links.push_back(link);
      device.linkReferences.push_back(f.reference);
      status = IoSetDeviceInterfaceState(&link, TRUE);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  return STATUS_SUCCESS;
}

void ReleaseInterfaces(FunctionDevice& device) {
  for (UNICODE_STRING& link : device.links) {
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
  }
  device.links.clear();
  device.linkReferences.clear();
}

// Pended requests: completed by their timer, by the cleanup of their file, or at removal.
void CompletePended(FunctionDevice& device, PIRP irp, bool cancelled) {
  {
    std::lock_guard lock(device.mutex);
    auto it = std::find_if(device.pended.begin(), device.pended.end(),
                           [irp](const FunctionDevice::Pended& p) { return p.irp == irp; });
    if (it == device.pended.end()) return;
    if (!cancelled) Scheduler::Get().Cancel(it->timer);
    device.pended.erase(it);
  }
  if (cancelled) {
    Complete(irp, STATUS_CANCELLED);
    return;
  }
  FileContext* context = ContextOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
  const NTSTATUS status = HandleProperty(device, *context, irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  (void)status;
}

void NTAPI CancelPended(PDEVICE_OBJECT device_object, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  FunctionDevice& device = *DeviceOf(device_object);
  {
    std::lock_guard lock(device.mutex);
    for (auto& p : device.pended)
      if (p.irp == irp) Scheduler::Get().Cancel(p.timer);
  }
  CompletePended(device, irp, true);
}

// Takes a pended request back from its cancel routine; false when cancellation owns it.
bool Claim(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

NTSTATUS Pend(FunctionDevice& device, PIRP irp, const RequestFault& fault) {
  IoMarkIrpPending(irp);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  std::lock_guard lock(device.mutex);
  TimerId timer = 0;
  if (fault.pendMilliseconds != 0) {
    FunctionDevice* target = &device;
    timer = Scheduler::Get().ScheduleAt(Scheduler::Get().Now() + Nanos(fault.pendMilliseconds) * kMillisecond,
                                        [target, irp] {
                                          if (Claim(irp)) CompletePended(*target, irp, false);
                                        });
  }
  device.pended.push_back({irp, file, timer});
  IoSetCancelRoutine(irp, CancelPended);
  if (irp->Cancel && Claim(irp)) {
    device.pended.pop_back();
    if (timer) Scheduler::Get().Cancel(timer);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

void CancelPendedOf(FunctionDevice& device, PFILE_OBJECT file) {
  std::vector<PIRP> mine;
  {
    std::lock_guard lock(device.mutex);
    for (auto& p : device.pended)
      if (!file || p.file == file) mine.push_back(p.irp);
  }
  for (PIRP irp : mine)
    if (Claim(irp)) CompletePended(device, irp, true);
}

std::u16string_view NameOf(PFILE_OBJECT file) {
  if (!file->FileName.Buffer) return {};
  return {file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR)};
}

// The create of a pin names the pin object type, then carries its KSPIN_CONNECT
// and data format as binary; the separating backslash is optional.
constexpr std::u16string_view kPinName = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";

NTSTATUS DispatchCreate(FunctionDevice& device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (device.removed) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  std::u16string_view name = NameOf(file);
  if (file->RelatedFileObject) {
    FileContext* parent = ContextOf(file->RelatedFileObject);
    if (!parent || parent->pin || parent->filter->device != &device) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    if (!name.empty() && name.front() == u'\\') name.remove_prefix(1);
    if (name.size() < kPinName.size() || !EqualsNoCase(name.substr(0, kPinName.size()), kPinName))
      return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    name.remove_prefix(kPinName.size());
    if (!name.empty() && name.front() == u'\\') name.remove_prefix(1);
    std::vector<uint8_t> block(name.size() * sizeof(WCHAR));
    if (!block.empty()) std::memcpy(block.data(), name.data(), block.size());
    std::shared_ptr<PinInstance> pin;
    NTSTATUS status = CreatePin(device, parent->filter, block.data(), block.size(), &pin);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    file->FsContext = new FileContext{parent->filter, std::move(pin)};
    return Complete(irp, STATUS_SUCCESS);
  }
  if (!name.empty() && name.front() == u'\\') name.remove_prefix(1);
  for (const FilterDescription& f : device.filters) {
    if (!EqualsNoCase(name, Widen(f.reference))) continue;
    auto instance = std::make_shared<FilterInstance>();
    instance->device = &device;
    instance->description = f;
    instance->openPins.assign(f.filter->pins.size(), 0);
    file->FsContext = new FileContext{std::move(instance), nullptr};
    return Complete(irp, STATUS_SUCCESS);
  }
  return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device_object, PIRP irp) {
  FunctionDevice& device = *DeviceOf(device_object);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      return DispatchCreate(device, irp);
    case IRP_MJ_CLEANUP:
      CancelPendedOf(device, stack->FileObject);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE: {
      if (FileContext* context = ContextOf(stack->FileObject)) {
        if (context->pin) ClosePin(device, *context);
        delete context;
        stack->FileObject->FsContext = nullptr;
      }
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_DEVICE_CONTROL: {
      FileContext* context = ContextOf(stack->FileObject);
      if (!context) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KS_PROPERTY)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      if (device.removed) return Complete(irp, STATUS_NO_SUCH_DEVICE);
      const auto* property = static_cast<const KSPROPERTY*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      if (property && stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(KSPROPERTY)) {
        if (const RequestFault* fault = MatchRequestFault(*context, *property)) {
          if (fault->action == RequestAction::Fail) return Complete(irp, static_cast<NTSTATUS>(fault->status));
          return Pend(device, irp, *fault);
        }
      }
      const NTSTATUS status = HandleProperty(device, *context, irp);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device_object, PIRP irp) {
  FunctionDevice& device = *DeviceOf(device_object);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(device, irp);
      if (NT_SUCCESS(status)) status = RegisterInterfaces(device);
      return Complete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      device.removed = true;
      CancelPendedOf(device, nullptr);
      for (UNICODE_STRING& link : device.links) IoSetDeviceInterfaceState(&link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(device.lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      device.removed = true;
      CancelPendedOf(device, nullptr);
      ReleaseInterfaces(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      PDEVICE_OBJECT lower = device.lower;
      IoDetachDevice(lower);
      const NTSTATUS status = IoCallDriver(lower, irp);
      delete &device;
      IoDeleteDevice(device_object);
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      [[fallthrough]];
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(device.lower, irp);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device_object, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(DeviceOf(device_object)->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Card* card = Card::Current();
  if (!card) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT self = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionDevice*), nullptr, FILE_DEVICE_KS, 0, FALSE, &self);
  if (!NT_SUCCESS(status)) return status;
  auto* device = new FunctionDevice;
  device->self = self;
  device->pdo = pdo;
  for (const WaveFilterProfile& w : card->profile().filters) {
    device->filters.push_back({&w, &w, false, w.reference});
    device->filters.push_back({&w.topology, &w, true, w.topology.reference});
  }
  *static_cast<FunctionDevice**>(self->DeviceExtension) = device;
  device->lower = IoAttachDeviceToDeviceStack(self, pdo);
  if (!device->lower) {
    delete device;
    IoDeleteDevice(self);
    return STATUS_NO_SUCH_DEVICE;
  }
  self->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

bool GuidOfName(std::string_view name, GUID* guid) {
  for (const NamedGuid& n : kNames)
    if (name == n.name) {
      *guid = n.guid;
      return true;
    }
  if (!name.empty() && name.front() == '{') return OraGuidFromStringA(std::string(name).c_str(), guid) == S_OK;
  return false;
}

FunctionDevice* DeviceOf(PDEVICE_OBJECT device) { return *static_cast<FunctionDevice**>(device->DeviceExtension); }

FileContext* ContextOf(PFILE_OBJECT file) { return file ? static_cast<FileContext*>(file->FsContext) : nullptr; }

const RequestFault* MatchRequestFault(const FileContext& context, const KSPROPERTY& property) {
  const Card* card = Card::Current();
  if (!card) return nullptr;
  for (const RequestFault& fault : card->profile().faults.requests) {
    GUID set;
    if (!GuidOfName(fault.propertySet, &set) || !SameGuid(set, property.Set)) continue;
    if (fault.id && *fault.id != property.Id) continue;
    if (!fault.filter.empty() && !EqualsNoCase(Widen(fault.filter), Widen(context.filter->description.reference)))
      continue;
    return &fault;
  }
  return nullptr;
}

}  // namespace sim::card::ksdriver

namespace sim::card {

NTSTATUS NTAPI KsFunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  using namespace ksdriver;
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace sim::card
