// The bus component \Device\KVLNK end to end, as a kernel driver reaches it:
// by name, one internal request for the entry point, the bus object and its
// two interfaces; and each of its fault knobs.
#include "platform/kvlnk.h"

#include <gtest/gtest.h>

#include <cstring>

#include "card_bus_fixture.h"
#include "sim/card/kvlnk_component.h"
#include "sim/kernel/pnp.h"

namespace {

using namespace card_bus_test;
namespace kvlnk = sim::card::kvlnk;
using sim::card::KvlnkStep;

NTSTATUS OpenKvlnk(PFILE_OBJECT* file, PDEVICE_OBJECT* device) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, KVLNK_DEVICE_NAME);
  *file = nullptr;
  *device = nullptr;
  return IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, file, device);
}

struct EntryResult {
  NTSTATUS status = STATUS_PENDING;
  IO_STATUS_BLOCK iosb{};
  PKVLNK_CREATE_OBJECT entry = nullptr;
  bool guard_intact = true;
};

EntryResult GetEntry(PDEVICE_OBJECT device, ULONG code = IOCTL_KVLNK_GET_ENTRY, ULONG length = 8,
                     BOOLEAN internal = TRUE) {
  EntryResult r;
  UCHAR slot[16];
  std::memset(slot, 0, 8);
  std::memset(slot + 8, 0xCD, 8);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  r.iosb.Status = STATUS_PENDING;
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, slot, length, internal, &event, &r.iosb);
  EXPECT_NE(nullptr, irp);
  if (!irp) return r;
  r.status = IoCallDriver(device, irp);
  if (r.status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    r.status = r.iosb.Status;
  }
  std::memcpy(&r.entry, slot, sizeof r.entry);
  for (int i = 8; i < 16; ++i) r.guard_intact &= slot[i] == 0xCD;
  return r;
}

TEST(Kvlnk, LinkEndToEnd) {
  for (const char* profile_name : {"default.json", "no_dsd.json"}) {
    SCOPED_TRACE(profile_name);
    sim::card::Profile profile = Shipped(profile_name);
    profile.busComponent.register1C = 0x12345678;
    sim::Machine machine(WithProfile(profile));
    ASSERT_TRUE(kvlnk::Running());
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    ASSERT_EQ(STATUS_SUCCESS, OpenKvlnk(&file, &device));
    ASSERT_NE(nullptr, file);

    const EntryResult entry = GetEntry(device);
    ASSERT_EQ(STATUS_SUCCESS, entry.status);
    EXPECT_EQ(STATUS_SUCCESS, entry.iosb.Status);
    EXPECT_EQ(8u, entry.iosb.Information);
    EXPECT_TRUE(entry.guard_intact);
    ASSERT_NE(nullptr, entry.entry);

    PVOID object = reinterpret_cast<PVOID>(1);
    ASSERT_EQ(STATUS_SUCCESS, entry.entry(&CLSID_KvlnkBus, &KVLNK_IID_IUNKNOWN, &object));
    auto* unknown = static_cast<IKvlnkUnknown*>(object);
    PVOID p = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, unknown->QueryInterface(&IID_IKvlnkRegisters, &p));
    auto* registers = static_cast<IKvlnkRegisters*>(p);
    EXPECT_EQ(0x12345678u, registers->ReadRegister(KVLNK_REGISTER_LINK_CONTROL));
    registers->WriteRegister(KVLNK_REGISTER_LINK_CONTROL, 0x12885678);
    EXPECT_EQ(0x12885678u, kvlnk::Register(KVLNK_REGISTER_LINK_CONTROL));
    EXPECT_EQ((std::vector<kvlnk::RegisterWrite>{{KVLNK_REGISTER_LINK_CONTROL, 0x12885678, true}}),
              kvlnk::RegisterWrites());

    ASSERT_EQ(STATUS_SUCCESS, unknown->QueryInterface(&IID_IKvlnkSharedMemory, &p));
    auto* memory = static_cast<IKvlnkSharedMemory*>(p);
    PVOID control = nullptr, aux = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, memory->GetControlBlock(&control));
    ASSERT_EQ(STATUS_SUCCESS, memory->GetAuxBlock(&aux));
    ASSERT_NE(nullptr, control);
    ASSERT_NE(nullptr, aux);
    EXPECT_NE(control, aux);
    ULONG caps;
    std::memcpy(&caps, static_cast<UCHAR*>(control) + KVLNK_CAPABILITY_OFFSET, sizeof caps);
    EXPECT_EQ(std::string(profile_name) == "no_dsd.json" ? KVLNK_CAPS_NO_DSD : 0u, caps);
    EXPECT_GE(kvlnk::ControlBlockSize(), KVLNK_CONTROL_BLOCK_SIZE);
    EXPECT_GE(kvlnk::AuxBlockSize(), KVLNK_AUX_BLOCK_SIZE);
    // The last ULONG of each documented size is addressable.
    static_cast<ULONG*>(aux)[KVLNK_AUX_BLOCK_SIZE / 4 - 1] = 0xA5A5A5A5;
    EXPECT_EQ(0xA5, kvlnk::AuxBlock()[KVLNK_AUX_BLOCK_SIZE - 1]);

    const kvlnk::Counters counters = kvlnk::GetCounters();
    EXPECT_EQ(1u, counters.opens);
    EXPECT_EQ(1u, counters.get_entry);
    EXPECT_EQ(1u, counters.objects_created);
    EXPECT_EQ(3u, counters.add_refs);
    ObDereferenceObject(file);
    EXPECT_CLEAN_SHUTDOWN(machine);
  }
}

// A client calls through the table by slot: QueryInterface 0, ReadRegister 5,
// WriteRegister 8, GetAuxBlock 9, GetControlBlock 10.
TEST(Kvlnk, MethodsSitAtTheirSlots) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  ASSERT_EQ(STATUS_SUCCESS, OpenKvlnk(&file, &device));
  PVOID object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, GetEntry(device).entry(&CLSID_KvlnkBus, &IID_IKvlnkSharedMemory, &object));
  void* const* table = nullptr;
  std::memcpy(&table, object, sizeof table);
  using QueryFn = NTSTATUS (*)(void*, const GUID*, PVOID*);
  using ReadFn = ULONG (*)(void*, ULONG);
  using WriteFn = void (*)(void*, ULONG, ULONG);
  using BlockFn = NTSTATUS (*)(void*, PVOID*);
  PVOID registers = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, reinterpret_cast<QueryFn>(table[0])(object, &IID_IKvlnkRegisters, &registers));
  EXPECT_EQ(object, registers);
  reinterpret_cast<WriteFn>(table[8])(object, 3, 0xCAFE0003);
  EXPECT_EQ(0xCAFE0003u, kvlnk::Register(3));
  EXPECT_EQ(0xCAFE0003u, reinterpret_cast<ReadFn>(table[5])(object, 3));
  PVOID aux = nullptr, control = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, reinterpret_cast<BlockFn>(table[9])(object, &aux));
  EXPECT_EQ(STATUS_SUCCESS, reinterpret_cast<BlockFn>(table[10])(object, &control));
  EXPECT_EQ(kvlnk::AuxBlock(), aux);
  EXPECT_EQ(kvlnk::ControlBlock(), control);
  ObDereferenceObject(file);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(Kvlnk, BadRequestsGetClearAnswers) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  ASSERT_EQ(STATUS_SUCCESS, OpenKvlnk(&file, &device));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetEntry(device, IOCTL_KVLNK_GET_ENTRY, 4).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, GetEntry(device, IOCTL_KVLNK_GET_ENTRY, 8, FALSE).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, GetEntry(device, IOCTL_KVLNK_GET_ENTRY + 4).status);
  EXPECT_EQ(0u, kvlnk::GetCounters().get_entry);

  const PKVLNK_CREATE_OBJECT entry = GetEntry(device).entry;
  ASSERT_NE(nullptr, entry);
  PVOID object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(STATUS_NOT_FOUND, entry(&IID_IKvlnkRegisters, &KVLNK_IID_IUNKNOWN, &object));
  EXPECT_EQ(nullptr, object);
  object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, entry(nullptr, &KVLNK_IID_IUNKNOWN, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, entry(&CLSID_KvlnkBus, &KVLNK_IID_IUNKNOWN, nullptr));
  EXPECT_EQ(STATUS_NOINTERFACE, entry(&CLSID_KvlnkBus, &CLSID_KvlnkBus, &object));

  ASSERT_EQ(STATUS_SUCCESS, entry(&CLSID_KvlnkBus, &IID_IKvlnkRegisters, &object));
  auto* registers = static_cast<IKvlnkRegisters*>(object);
  EXPECT_EQ(KVLNK_REVISION, registers->GetRevision());
  EXPECT_EQ(KVLNK_REGISTER_COUNT, registers->GetRegisterCount());
  EXPECT_EQ(KVLNK_REGISTER_INVALID, registers->ReadRegister(KVLNK_REGISTER_COUNT));
  registers->WriteRegister(KVLNK_REGISTER_COUNT, 7);
  EXPECT_EQ(0x00000011u, registers->SetRegisterBits(2, 0x11));
  EXPECT_EQ(0x00000001u, registers->ClearRegisterBits(2, 0x10));
  EXPECT_EQ(KVLNK_REGISTER_INVALID, registers->SetRegisterBits(0xFFFFFFFF, 1));
  EXPECT_EQ((std::vector<kvlnk::RegisterWrite>{
                {KVLNK_REGISTER_COUNT, 7, false}, {2, 0x11, true}, {2, 0x01, true}, {0xFFFFFFFF, 0, false}}),
            kvlnk::RegisterWrites());
  PVOID p = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, registers->QueryInterface(nullptr, &p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, registers->QueryInterface(&IID_IKvlnkRegisters, nullptr));
  // The object is the component's: releasing it does not end it.
  EXPECT_EQ(1u, registers->Release());
  EXPECT_EQ(1u, registers->Release());
  EXPECT_EQ(KVLNK_REVISION, registers->GetRevision());
  ObDereferenceObject(file);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

// The link as a driver walks it; each step records its status, and the walk
// stops at the first failure as a client does.
struct Walk {
  NTSTATUS open = STATUS_PENDING, get_entry = STATUS_PENDING, create = STATUS_PENDING;
  NTSTATUS registers = STATUS_PENDING, memory = STATUS_PENDING, control = STATUS_PENDING, aux = STATUS_PENDING;
  bool null_on_failure = true;
};

Walk WalkTheLink() {
  Walk w;
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  w.open = OpenKvlnk(&file, &device);
  if (!NT_SUCCESS(w.open)) return w;
  const EntryResult entry = GetEntry(device);
  w.get_entry = entry.status;
  if (NT_SUCCESS(w.get_entry)) {
    PVOID object = reinterpret_cast<PVOID>(1);
    w.create = entry.entry(&CLSID_KvlnkBus, &KVLNK_IID_IUNKNOWN, &object);
    w.null_on_failure &= NT_SUCCESS(w.create) || object == nullptr;
    if (NT_SUCCESS(w.create)) {
      auto* unknown = static_cast<IKvlnkUnknown*>(object);
      PVOID p = reinterpret_cast<PVOID>(1);
      w.registers = unknown->QueryInterface(&IID_IKvlnkRegisters, &p);
      w.null_on_failure &= NT_SUCCESS(w.registers) || p == nullptr;
      w.memory = unknown->QueryInterface(&IID_IKvlnkSharedMemory, &p);
      w.null_on_failure &= NT_SUCCESS(w.memory) || p == nullptr;
      if (NT_SUCCESS(w.memory)) {
        auto* memory = static_cast<IKvlnkSharedMemory*>(p);
        PVOID block = reinterpret_cast<PVOID>(1);
        w.control = memory->GetControlBlock(&block);
        w.null_on_failure &= NT_SUCCESS(w.control) || block == nullptr;
        block = reinterpret_cast<PVOID>(1);
        w.aux = memory->GetAuxBlock(&block);
        w.null_on_failure &= NT_SUCCESS(w.aux) || block == nullptr;
      }
    }
  } else {
    EXPECT_EQ(nullptr, entry.entry);
  }
  ObDereferenceObject(file);
  return w;
}

TEST(Kvlnk, EachFaultStepFailsOnlyItsStep) {
  constexpr NTSTATUS S = STATUS_SUCCESS, P = STATUS_PENDING;
  struct Case {
    const char* name;
    KvlnkStep step;
    Walk expected;
  } cases[] = {
      {"open", KvlnkStep::Open, {STATUS_DEVICE_NOT_READY, P, P, P, P, P, P, true}},
      {"get_entry", KvlnkStep::GetEntry, {S, STATUS_DEVICE_NOT_READY, P, P, P, P, P, true}},
      {"create_object", KvlnkStep::CreateObject, {S, S, STATUS_UNSUCCESSFUL, P, P, P, P, true}},
      {"query_registers", KvlnkStep::QueryRegisters, {S, S, S, STATUS_NOINTERFACE, S, S, S, true}},
      {"query_shared_memory", KvlnkStep::QuerySharedMemory, {S, S, S, S, STATUS_NOINTERFACE, P, P, true}},
      {"control_block", KvlnkStep::ControlBlock, {S, S, S, S, S, STATUS_UNSUCCESSFUL, S, true}},
      {"aux_block", KvlnkStep::AuxBlock, {S, S, S, S, S, S, STATUS_UNSUCCESSFUL, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::card::Profile profile = Shipped("default.json");
    profile.faults.kvlnkFailures = {c.step};
    sim::Machine machine(WithProfile(profile));
    const Walk w = WalkTheLink();
    EXPECT_EQ(c.expected.open, w.open);
    EXPECT_EQ(c.expected.get_entry, w.get_entry);
    EXPECT_EQ(c.expected.create, w.create);
    EXPECT_EQ(c.expected.registers, w.registers);
    EXPECT_EQ(c.expected.memory, w.memory);
    EXPECT_EQ(c.expected.control, w.control);
    EXPECT_EQ(c.expected.aux, w.aux);
    EXPECT_TRUE(w.null_on_failure);
    EXPECT_CLEAN_SHUTDOWN(machine);
  }
}

TEST(Kvlnk, AbsentComponentHasNoDevice) {
  sim::card::Profile profile = Shipped("default.json");
  profile.busComponent.present = false;
  sim::Machine machine(WithProfile(profile));
  EXPECT_FALSE(kvlnk::Running());
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, machine.boot().kvlnk);
  EXPECT_EQ(STATUS_SUCCESS, machine.boot().codec);
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKvlnk(&file, &device));
  EXPECT_EQ(nullptr, file);
  EXPECT_FALSE(kvlnk::SetCapabilityWord(0));
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(Kvlnk, PowerCycleFlipsTheCapabilityBit) {
  for (const char* profile_name : {"default.json", "no_dsd.json"}) {
    SCOPED_TRACE(profile_name);
    sim::Machine machine(WithProfile(Shipped(profile_name)));
    const ULONG before = kvlnk::CapabilityWord();
    ASSERT_EQ(STATUS_SUCCESS, machine.PowerCycleCodec(false));
    EXPECT_EQ(before, kvlnk::CapabilityWord());
    ASSERT_EQ(STATUS_SUCCESS, machine.PowerCycleCodec(true));
    EXPECT_EQ(before ^ KVLNK_CAPS_NO_DSD, kvlnk::CapabilityWord());
    EXPECT_EQ(PowerDeviceD0, sim::kernel::PnpDevicePowerState(machine.CodecPdo()));
    // A client reading the block sees the flipped word.
    ULONG caps;
    std::memcpy(&caps, kvlnk::ControlBlock() + KVLNK_CAPABILITY_OFFSET, sizeof caps);
    EXPECT_EQ(before ^ KVLNK_CAPS_NO_DSD, caps);
    EXPECT_CLEAN_SHUTDOWN(machine);
  }
}

}  // namespace
