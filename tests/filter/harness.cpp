#include "tests/filter/harness.h"

#include <cstring>
#include <stdexcept>

#include "platform/wdm_zw.h"
#include "sim/card/card.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"

namespace filter_test {

namespace {

BusState g_bus;
LowerState g_lower;
KvlnkState g_kvlnk;
DrmState g_drm;
std::vector<std::string> g_problems;

constexpr std::u16string_view kBusService = u"FakeHdaBus";
constexpr std::u16string_view kLowerService = u"FakeCodecKs";
constexpr std::u16string_view kKvlnkService = u"FakeKvlnk";
constexpr std::u16string_view kInstance = u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220\\TEST&0001";

// --- The HD Audio bus driver and its PDO.

NTSTATUS NTAPI TransferCodecVerbs(PVOID, ULONG count, PHDAUDIO_CODEC_TRANSFER transfers,
                                  PHDAUDIO_TRANSFER_COMPLETE_CALLBACK, PVOID) {
  ++g_bus.transferCalls;
  if (g_bus.failTransfersFrom && g_bus.transferCalls >= g_bus.failTransfersFrom) return g_bus.failStatus;
  for (ULONG i = 0; i < count; ++i) {
    const auto result = g_bus.codec->Execute(transfers[i].Output.Command);
    transfers[i].Input.CompleteResponse = 0;
    transfers[i].Input.Response = result.response;
    transfers[i].Input.IsValid = result.valid ? 1 : 0;
  }
  return STATUS_SUCCESS;
}

void NTAPI GetResourceInformation(PVOID, PUCHAR address, PUCHAR start) {
  *address = g_bus.codec->address();
  *start = 1;
}

void NTAPI NoReference(PVOID) {}

template <typename Interface>
void FillInterface(Interface* i) {
  std::memset(i, 0, sizeof(*i));
  i->Size = sizeof(*i);
  i->Version = ORA_HDAUDIO_INTERFACE_VERSION;
  i->Context = &g_bus;
  i->InterfaceReference = NoReference;
  i->InterfaceDereference = NoReference;
  i->TransferCodecVerbs = TransferCodecVerbs;
  i->GetResourceInformation = GetResourceInformation;
}

NTSTATUS NTAPI BusDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  const UCHAR minor = stack->MinorFunction;
  if (minor == IRP_MN_QUERY_INTERFACE) {
    ++g_bus.interfaceQueries;
    const GUID& type = *stack->Parameters.QueryInterface.InterfaceType;
    if (type == GUID_HDAUDIO_BUS_INTERFACE && !g_bus.refuseV1 &&
        stack->Parameters.QueryInterface.Size >= sizeof(HDAUDIO_BUS_INTERFACE)) {
      FillInterface(reinterpret_cast<HDAUDIO_BUS_INTERFACE*>(stack->Parameters.QueryInterface.Interface));
      status = STATUS_SUCCESS;
    } else if (type == GUID_HDAUDIO_BUS_INTERFACE_V2 && !g_bus.refuseV2 &&
               stack->Parameters.QueryInterface.Size >= sizeof(HDAUDIO_BUS_INTERFACE_V2)) {
      FillInterface(reinterpret_cast<HDAUDIO_BUS_INTERFACE_V2*>(stack->Parameters.QueryInterface.Interface));
      status = STATUS_SUCCESS;
    }
  } else if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
             minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_CANCEL_REMOVE_DEVICE) {
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (minor == IRP_MN_REMOVE_DEVICE) IoDeleteDevice(device);
  return status;
}

NTSTATUS NTAPI BusDispatchPower(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusDispatchOther(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = BusDispatchOther;
  driver->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
  return STATUS_SUCCESS;
}

// --- The function driver.

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension); }

NTSTATUS NTAPI LowerAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_KS, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  g_lower.majors.push_back(IRP_MJ_PNP);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = LowerOf(device);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    // The PDO is deleted by its own remove, so detach first; the filter above
    // detaches only after the remove came back up through it, so the device
    // is deleted once the whole remove has finished.
    IoDetachDevice(lower);
    g_lower.removed = device;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI LowerDispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  g_lower.majors.push_back(IRP_MJ_POWER);
  if (stack->Parameters.Power.Type == DevicePowerState)
    g_lower.power.emplace_back(stack->MinorFunction, stack->Parameters.Power.State.DeviceState);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  g_lower.majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  if (g_lower.pendNext) {
    g_lower.pendNext = false;
    IoMarkIrpPending(irp);
    g_lower.pending.push_back(irp);
    return STATUS_PENDING;
  }
  if (g_lower.handler) return g_lower.handler(device, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = LowerDispatch;
  driver->MajorFunction[IRP_MJ_PNP] = LowerDispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = LowerDispatchPower;
  driver->DriverExtension->AddDevice = LowerAddDevice;
  return STATUS_SUCCESS;
}

// --- The bus component.

// Register methods of the bus component, shared by both of its interfaces.
#define ORA_FAKE_KVLNK_REGISTERS                                                                  \
  NTSTATUS NTAPI QueryInterface(const GUID*, PVOID*) override { return STATUS_NOT_SUPPORTED; }    \
  ULONG NTAPI AddRef() override { return 1; }                                                     \
  ULONG NTAPI Release() override { return 1; }                                                    \
  ULONG NTAPI GetRevision() override { return 1; }                                                \
  ULONG NTAPI GetRegisterCount() override { return static_cast<ULONG>(g_kvlnk.registers.size()); } \
  ULONG NTAPI ReadRegister(ULONG index) override { return g_kvlnk.registers.at(index); }          \
  ULONG NTAPI SetRegisterBits(ULONG index, ULONG bits) override {                                 \
    WriteRegister(index, g_kvlnk.registers.at(index) | bits);                                     \
    return g_kvlnk.registers.at(index);                                                           \
  }                                                                                               \
  ULONG NTAPI ClearRegisterBits(ULONG index, ULONG bits) override {                               \
    WriteRegister(index, g_kvlnk.registers.at(index) & ~bits);                                    \
    return g_kvlnk.registers.at(index);                                                           \
  }                                                                                               \
  VOID NTAPI WriteRegister(ULONG index, ULONG value) override {                                   \
    g_kvlnk.registers.at(index) = value;                                                          \
    g_kvlnk.writes.emplace_back(index, value);                                                    \
  }

class FakeRegisters final : public IKvlnkRegisters {
 public:
  ORA_FAKE_KVLNK_REGISTERS
};

class FakeSharedMemory final : public IKvlnkSharedMemory {
 public:
  ORA_FAKE_KVLNK_REGISTERS
  NTSTATUS NTAPI GetAuxBlock(PVOID* block) override {
    *block = g_kvlnk.aux.data();
    return STATUS_SUCCESS;
  }
  NTSTATUS NTAPI GetControlBlock(PVOID* block) override {
    *block = g_kvlnk.control.data();
    return STATUS_SUCCESS;
  }
};
#undef ORA_FAKE_KVLNK_REGISTERS

FakeRegisters g_registers;
FakeSharedMemory g_shared;

class FakeBusObject final : public IKvlnkUnknown {
 public:
  NTSTATUS NTAPI QueryInterface(const GUID* iid, PVOID* object) override {
    *object = nullptr;
    if (*iid == IID_IKvlnkRegisters && !g_kvlnk.failRegisters) *object = static_cast<IKvlnkRegisters*>(&g_registers);
    if (*iid == IID_IKvlnkSharedMemory && !g_kvlnk.failSharedMemory)
      *object = static_cast<IKvlnkSharedMemory*>(&g_shared);
    return *object ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
  }
  ULONG NTAPI AddRef() override { return 1; }
  ULONG NTAPI Release() override { return 1; }
};
FakeBusObject g_bus_object;

NTSTATUS NTAPI KvlnkCreateObject(const GUID* clsid, const GUID*, PVOID* object) {
  *object = nullptr;
  if (g_kvlnk.failCreateObject || *clsid != CLSID_KvlnkBus) return STATUS_NOT_SUPPORTED;
  *object = static_cast<IKvlnkUnknown*>(&g_bus_object);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KvlnkDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  if (stack->MajorFunction == IRP_MJ_CREATE) ++g_kvlnk.opens;
  if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KVLNK_GET_ENTRY || g_kvlnk.failGetEntry ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(PVOID)) {
      status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
      PKVLNK_CREATE_OBJECT entry = KvlnkCreateObject;
      std::memcpy(irp->AssociatedIrp.SystemBuffer, &entry, sizeof(entry));
      irp->IoStatus.Information = sizeof(entry);
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID NTAPI KvlnkUnload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI KvlnkEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = KvlnkDispatch;
  driver->DriverUnload = KvlnkUnload;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\KVLNK");
  PDEVICE_OBJECT device = nullptr;
  const NTSTATUS status = IoCreateDevice(driver, 0, &name, 0x3F3E, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

PDRIVER_OBJECT Load(std::u16string_view service, std::u16string_view image, PDRIVER_INITIALIZE entry) {
  sim::kernel::RegisterBuiltinDriverImage(image, entry);
  sim::kernel::SetServiceImagePath(service, u"\\SystemRoot\\System32\\drivers\\" + std::u16string(image));
  PDRIVER_OBJECT driver = nullptr;
  if (!NT_SUCCESS(sim::kernel::LoadDriver(service, &driver))) throw std::runtime_error("driver did not load");
  return driver;
}

}  // namespace

BusState& Bus() { return g_bus; }
LowerState& Lower() { return g_lower; }
KvlnkState& Kvlnk() { return g_kvlnk; }
DrmState& Drm() { return g_drm; }

std::vector<std::string> TakeStackProblems() {
  std::vector<std::string> out;
  out.swap(g_problems);
  return out;
}

Stack::Stack(sim::card::CodecProfile codec, std::u16string image) {
  sim::kernel::ResetKernel();
  g_bus.codec = std::make_unique<sim::card::Codec>(codec);
  bus_ = Load(kBusService, u"FakeHdaBus.sys", BusEntry);
  Load(kLowerService, u"FakeCodecKs.sys", LowerEntry);
  if (g_kvlnk.present) kvlnk_ = Load(kKvlnkService, u"FakeKvlnk.sys", KvlnkEntry);
  if (image.empty()) {
    sim::kernel::RegisterBuiltinDriverImage(u"OraFilt.sys", DriverEntry);
    sim::kernel::SetServiceImagePath(u"OraFilt", u"\\SystemRoot\\System32\\drivers\\OraFilt.sys");
  } else {
    sim::kernel::SetServiceImagePath(u"OraFilt", image);
  }
  sim::kernel::DeviceDescription description;
  description.instance_id = std::u16string(kInstance);
  description.hardware_ids = {u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220"};
  if (!NT_SUCCESS(sim::kernel::PnpCreateChildDevice(bus_, description, &pdo_))) throw std::runtime_error("no PDO");
  sim::kernel::SetDeviceInstanceDrivers(kInstance, kLowerService, {}, {u"OraFilt"});
  start_status_ = sim::kernel::PnpStartDevice(pdo_);
}

Stack::~Stack() {
  Remove();
  if (PDRIVER_OBJECT lower = sim::kernel::FindLoadedDriver(kLowerService)) sim::kernel::UnloadDriver(lower);
  if (kvlnk_) sim::kernel::UnloadDriver(kvlnk_);
  sim::kernel::UnloadDriver(bus_);
  // Checked here: the next stack starts from a fresh kernel.
  sim::kernel::Verifier::Get().CheckForLeaks();
  const auto violations = sim::kernel::Verifier::Get().Take();
  if (!violations.empty()) g_problems.push_back(sim::kernel::Verifier::Format(violations));
  for (ULONG tag : {kTagFilter, kTagRegistry})
    if (sim::kernel::PoolUsageByTag(tag).blocks != 0)
      g_problems.push_back("pool left under tag " + std::to_string(tag));
  // Frees what the kernel keeps after use (freed requests stay mapped for a while).
  sim::kernel::ResetKernel();
  g_lower = LowerState{};
  g_kvlnk = KvlnkState{};
  g_drm = DrmState{};
  g_bus = BusState{};
}

NTSTATUS Stack::Remove() {
  if (removed_) return STATUS_SUCCESS;
  removed_ = true;
  const NTSTATUS status = sim::kernel::PnpRemoveDevice(pdo_);
  if (g_lower.removed) IoDeleteDevice(g_lower.removed);
  g_lower.removed = nullptr;
  return status;
}

PDEVICE_OBJECT Stack::top() const {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
  ObDereferenceObject(top);
  return top;
}

CCodecFilter* Stack::filter() const { return static_cast<FILTER_EXTENSION*>(top()->DeviceExtension)->Filter; }

Request::Request(PDEVICE_OBJECT top, CCHAR stack_count) : top_(top) {
  irp_ = IoAllocateIrp(stack_count ? stack_count : top->StackSize, FALSE);
  irp_->RequestorMode = KernelMode;
  IoSetCompletionRoutine(irp_, Done, this, TRUE, TRUE, TRUE);
}

Request::~Request() {
  if (completed_) IoFreeIrp(irp_);
}

PIO_STACK_LOCATION Request::stack() const { return IoGetNextIrpStackLocation(irp_); }

NTSTATUS Request::Send() { return IoCallDriver(top_, irp_); }

NTSTATUS NTAPI Request::Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* self = static_cast<Request*>(context);
  self->completed_ = true;
  self->pending_returned_ = irp->PendingReturned;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TestFile::TestFile(const std::u16string& n) : name(n) {
  file.Type = IO_TYPE_FILE;
  file.Size = sizeof(FILE_OBJECT);
  file.FileName.Buffer = name.data();
  file.FileName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  file.FileName.MaximumLength = file.FileName.Length;
}

void CompletePending(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

sim::card::CodecProfile DefaultCodec() { return sim::card::LoadShippedProfile("default.json").codec; }
sim::card::CodecProfile Codec0899() { return sim::card::LoadShippedProfile("codec_0899.json").codec; }

}  // namespace filter_test

// The DRM kernel library, as far as the filter calls it.
extern "C" NTSTATUS NTAPI DrmForwardContentToDeviceObject(ULONG ContentId, PVOID, PCDRMFORWARD DrmForward) {
  filter_test::Drm().calls.emplace_back(ContentId, *DrmForward);
  return filter_test::Drm().result;
}

#ifdef ORA_ZW_FALLBACK
// Until the kernel registry calls are part of the simulated kernel, every key
// is missing: the registration finds no ASIO key in either view.
extern "C" {
NTSTATUS NTAPI ZwOpenKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES) { return STATUS_OBJECT_NAME_NOT_FOUND; }
NTSTATUS NTAPI ZwCreateKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG, PULONG) {
  return STATUS_OBJECT_NAME_NOT_FOUND;
}
NTSTATUS NTAPI ZwQueryKey(HANDLE, KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG) { return STATUS_INVALID_HANDLE; }
NTSTATUS NTAPI ZwEnumerateKey(HANDLE, ULONG, KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG) {
  return STATUS_INVALID_HANDLE;
}
NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE, ULONG, KEY_VALUE_INFORMATION_CLASS, PVOID, ULONG, PULONG) {
  return STATUS_INVALID_HANDLE;
}
NTSTATUS NTAPI ZwSetValueKey(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG) { return STATUS_INVALID_HANDLE; }
NTSTATUS NTAPI ZwDeleteKey(HANDLE) { return STATUS_INVALID_HANDLE; }
NTSTATUS NTAPI ZwClose(HANDLE) { return STATUS_INVALID_HANDLE; }
}
#endif
