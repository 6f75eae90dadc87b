// The card's bus component: the named device \Device\KVLNK, its entry point,
// and the bus object with a register file and two shared-memory blocks.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "sim/card/card.h"
#include "sim/card/drivers.h"
#include "sim/card/kvlnk_component.h"
#include "sim/kernel/kernel.h"

namespace sim::card {

namespace {

constexpr ULONG kPoolTag = sim::kernel::PoolTag("KvLk");

bool Fails(KvlnkStep step) {
  Card* card = Card::Current();
  if (!card) return false;
  const auto& steps = card->profile().faults.kvlnkFailures;
  return std::find(steps.begin(), steps.end(), step) != steps.end();
}

class CKvlnkBus;

struct Component {
  std::mutex mutex;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  std::unique_ptr<CKvlnkBus> bus;
  ULONG registers[KVLNK_REGISTER_COUNT] = {};
  UCHAR* control = nullptr;  // pool blocks of the driver
  UCHAR* aux = nullptr;
  ULONG control_size = 0;
  ULONG aux_size = 0;
  std::vector<kvlnk::RegisterWrite> writes;
  kvlnk::Counters counters;
};

Component& State() {
  static Component component;
  return component;
}

// One object per component; its lifetime is the device's, whatever the count.
class CKvlnkBus final : public IKvlnkSharedMemory {
 public:
  NTSTATUS NTAPI QueryInterface(const GUID* iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (!iid) return STATUS_INVALID_PARAMETER;
    if (*iid == IID_IKvlnkRegisters && Fails(KvlnkStep::QueryRegisters)) return STATUS_NOINTERFACE;
    if (*iid == IID_IKvlnkSharedMemory && Fails(KvlnkStep::QuerySharedMemory)) return STATUS_NOINTERFACE;
    if (*iid == KVLNK_IID_IUNKNOWN || *iid == IID_IKvlnkRegisters || *iid == IID_IKvlnkSharedMemory) {
      // One table serves all three: each interface is a prefix of the next.
      *object = static_cast<IKvlnkSharedMemory*>(this);
      AddRef();
      return STATUS_SUCCESS;
    }
    return STATUS_NOINTERFACE;
  }
  ULONG NTAPI AddRef() override {
    std::lock_guard lock(State().mutex);
    ++State().counters.add_refs;
    return ++references_;
  }
  ULONG NTAPI Release() override {
    std::lock_guard lock(State().mutex);
    ++State().counters.releases;
    // The component owns the object: the count never ends its life.
    return references_ > 1 ? --references_ : 1;
  }

  ULONG NTAPI GetRevision() override { return KVLNK_REVISION; }
  ULONG NTAPI GetRegisterCount() override { return KVLNK_REGISTER_COUNT; }
  ULONG NTAPI ReadRegister(ULONG index) override {
    Component& s = State();
    std::lock_guard lock(s.mutex);
    ++s.counters.register_reads;
    return index < KVLNK_REGISTER_COUNT ? s.registers[index] : KVLNK_REGISTER_INVALID;
  }
  ULONG NTAPI SetRegisterBits(ULONG index, ULONG bits) override {
    return Modify(index, [bits](ULONG v) { return v | bits; });
  }
  ULONG NTAPI ClearRegisterBits(ULONG index, ULONG bits) override {
    return Modify(index, [bits](ULONG v) { return v & ~bits; });
  }
  VOID NTAPI WriteRegister(ULONG index, ULONG value) override {
    Modify(
        index, [value](ULONG) { return value; }, value);
  }

  NTSTATUS NTAPI GetAuxBlock(PVOID* block) override {
    return Block(block, KvlnkStep::AuxBlock, [](Component& s) { return s.aux; });
  }
  NTSTATUS NTAPI GetControlBlock(PVOID* block) override {
    return Block(block, KvlnkStep::ControlBlock, [](Component& s) { return s.control; });
  }

 private:
  template <typename Change>
  ULONG Modify(ULONG index, Change change, ULONG logged_if_ignored = 0) {
    Component& s = State();
    std::lock_guard lock(s.mutex);
    if (index >= KVLNK_REGISTER_COUNT) {
      s.writes.push_back({index, logged_if_ignored, false});
      return KVLNK_REGISTER_INVALID;
    }
    s.registers[index] = change(s.registers[index]);
    s.writes.push_back({index, s.registers[index], true});
    return s.registers[index];
  }

  template <typename Which>
  NTSTATUS Block(PVOID* block, KvlnkStep step, Which which) {
    if (!block) return STATUS_INVALID_PARAMETER;
    *block = nullptr;
    if (Fails(step)) return STATUS_UNSUCCESSFUL;
    Component& s = State();
    std::lock_guard lock(s.mutex);
    *block = which(s);
    return *block ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
  }

  ULONG references_ = 0;
};

// The entry point IOCTL_KVLNK_GET_ENTRY hands out.
NTSTATUS NTAPI KvlnkCreateObject(const GUID* class_id, const GUID* iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  if (!class_id || !iid) return STATUS_INVALID_PARAMETER;
  CKvlnkBus* bus;
  {
    Component& s = State();
    std::lock_guard lock(s.mutex);
    bus = s.bus.get();
  }
  if (!bus) return STATUS_NO_SUCH_DEVICE;
  if (*class_id != CLSID_KvlnkBus) return STATUS_NOT_FOUND;
  if (Fails(KvlnkStep::CreateObject)) return STATUS_UNSUCCESSFUL;
  const NTSTATUS status = bus->QueryInterface(iid, object);
  if (NT_SUCCESS(status)) {
    std::lock_guard lock(State().mutex);
    ++State().counters.objects_created;
  }
  return status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  if (Fails(KvlnkStep::Open)) return Complete(irp, STATUS_DEVICE_NOT_READY);
  {
    std::lock_guard lock(State().mutex);
    ++State().counters.opens;
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCloseCleanup(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
  if (p.IoControlCode != IOCTL_KVLNK_GET_ENTRY) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (Fails(KvlnkStep::GetEntry)) return Complete(irp, STATUS_DEVICE_NOT_READY);
  if (p.OutputBufferLength < KVLNK_GET_ENTRY_OUTPUT_SIZE) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  if (!irp->AssociatedIrp.SystemBuffer) return Complete(irp, STATUS_INVALID_PARAMETER);
  const PKVLNK_CREATE_OBJECT entry = KvlnkCreateObject;
  std::memcpy(irp->AssociatedIrp.SystemBuffer, &entry, sizeof entry);
  {
    std::lock_guard lock(State().mutex);
    ++State().counters.get_entry;
  }
  return Complete(irp, STATUS_SUCCESS, KVLNK_GET_ENTRY_OUTPUT_SIZE);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_INVALID_DEVICE_REQUEST); }

void FreeComponent() {
  UCHAR* control;
  UCHAR* aux;
  std::unique_ptr<CKvlnkBus> bus;
  {
    Component& s = State();
    std::lock_guard lock(s.mutex);
    control = s.control;
    aux = s.aux;
    bus = std::move(s.bus);
    s.control = s.aux = nullptr;
    s.control_size = s.aux_size = 0;
    s.device = s.lower = nullptr;
  }
  if (control) ExFreePoolWithTag(control, kPoolTag);
  if (aux) ExFreePoolWithTag(aux, kPoolTag);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower;
  {
    std::lock_guard lock(State().mutex);
    lower = State().lower;
  }
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE)
    irp->IoStatus.Status = STATUS_SUCCESS;
  if (minor == IRP_MN_REMOVE_DEVICE) FreeComponent();
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT, PIRP irp) {
  PDEVICE_OBJECT lower;
  {
    std::lock_guard lock(State().mutex);
    lower = State().lower;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(lower, irp);
}

UCHAR* AllocateBlock(ULONG size) {
  auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kPoolTag));
  if (block) std::memset(block, 0, size);
  return block;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Card* card = Card::Current();
  if (!card) return STATUS_NO_SUCH_DEVICE;
  {
    std::lock_guard lock(State().mutex);
    if (State().device) return STATUS_OBJECT_NAME_COLLISION;
  }
  const BusComponentProfile& profile = card->profile().busComponent;
  const ULONG control_size = std::max<ULONG>(KVLNK_CONTROL_BLOCK_SIZE, profile.controlBlockBytes);
  const ULONG aux_size = std::max<ULONG>(KVLNK_AUX_BLOCK_SIZE, profile.auxBlockBytes);
  UCHAR* control = AllocateBlock(control_size);
  UCHAR* aux = AllocateBlock(aux_size);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, KVLNK_DEVICE_NAME);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = control && aux ? IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device)
                                   : STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT lower = NT_SUCCESS(status) ? IoAttachDeviceToDeviceStack(device, pdo) : nullptr;
  if (NT_SUCCESS(status) && !lower) {
    IoDeleteDevice(device);
    status = STATUS_NO_SUCH_DEVICE;
  }
  if (!NT_SUCCESS(status)) {
    if (control) ExFreePoolWithTag(control, kPoolTag);
    if (aux) ExFreePoolWithTag(aux, kPoolTag);
    return status;
  }
  std::memcpy(control + KVLNK_CAPABILITY_OFFSET, &profile.capabilityWord, sizeof(ULONG));
  {
    Component& s = State();
    std::lock_guard lock(s.mutex);
    s.device = device;
    s.lower = lower;
    s.bus = std::make_unique<CKvlnkBus>();
    std::fill(std::begin(s.registers), std::end(s.registers), 0u);
    s.registers[KVLNK_REGISTER_LINK_CONTROL] = profile.register1C;
    s.control = control;
    s.aux = aux;
    s.control_size = control_size;
    s.aux_size = aux_size;
  }
  device->Flags = (device->Flags | DO_POWER_PAGABLE) & ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS NTAPI KvlnkDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = DispatchOther;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCloseCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCloseCleanup;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

namespace kvlnk {

bool Running() {
  std::lock_guard lock(State().mutex);
  return State().device != nullptr;
}

Counters GetCounters() {
  std::lock_guard lock(State().mutex);
  return State().counters;
}

std::vector<RegisterWrite> RegisterWrites() {
  std::lock_guard lock(State().mutex);
  return State().writes;
}

void ClearRegisterWrites() {
  std::lock_guard lock(State().mutex);
  State().writes.clear();
}

bool SetRegister(ULONG index, ULONG value) {
  std::lock_guard lock(State().mutex);
  if (!State().device || index >= KVLNK_REGISTER_COUNT) return false;
  State().registers[index] = value;
  return true;
}

ULONG Register(ULONG index) {
  std::lock_guard lock(State().mutex);
  return State().device && index < KVLNK_REGISTER_COUNT ? State().registers[index] : 0;
}

ULONG CapabilityWord() {
  std::lock_guard lock(State().mutex);
  ULONG word = 0;
  if (State().control) std::memcpy(&word, State().control + KVLNK_CAPABILITY_OFFSET, sizeof word);
  return word;
}

bool SetCapabilityWord(ULONG word) {
  std::lock_guard lock(State().mutex);
  if (!State().control) return false;
  std::memcpy(State().control + KVLNK_CAPABILITY_OFFSET, &word, sizeof word);
  return true;
}

UCHAR* ControlBlock() {
  std::lock_guard lock(State().mutex);
  return State().control;
}

UCHAR* AuxBlock() {
  std::lock_guard lock(State().mutex);
  return State().aux;
}

ULONG ControlBlockSize() {
  std::lock_guard lock(State().mutex);
  return State().control_size;
}

ULONG AuxBlockSize() {
  std::lock_guard lock(State().mutex);
  return State().aux_size;
}

void Reset() {
  Component& s = State();
  std::lock_guard lock(s.mutex);
  // The kernel's reset freed the pool blocks already.
  s.control = s.aux = nullptr;
  s.control_size = s.aux_size = 0;
  s.device = s.lower = nullptr;
  s.bus.reset();
  std::fill(std::begin(s.registers), std::end(s.registers), 0u);
  s.writes.clear();
  s.counters = Counters{};
}

}  // namespace kvlnk

}  // namespace sim::card
