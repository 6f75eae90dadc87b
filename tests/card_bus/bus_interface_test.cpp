// The HD Audio bus driver: the codec's PDO, its ids, the bus interface of
// both versions and the transfers it runs against the card's codec.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "card_bus_fixture.h"
#include "platform/hdaudio.h"
#include "sim/card/hda_bus.h"
#include "sim/kernel/pnp.h"

namespace {

using namespace card_bus_test;
namespace hdabus = sim::card::hdabus;

constexpr ULONG kVendorId = 0x000F0000;          // root node, Get Parameter, Vendor ID
constexpr ULONG kSubordinateNodes = 0x000F0004;  // root node, Get Parameter, Subordinate Node Count
constexpr ULONG kSetCoefficientIndex = 0x02050000;
constexpr ULONG kSetCoefficient = 0x02040000;

std::vector<std::u16string> MultiSz(const WCHAR* text) {
  std::vector<std::u16string> out;
  while (*text) {
    out.emplace_back(text);
    text += out.back().size() + 1;
  }
  return out;
}

// Device and instance ids are one string; hardware and compatible ids a list.
std::vector<std::u16string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
  const bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
  const PnpResult r =
      SendPnp(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  if (!NT_SUCCESS(r.status)) return {};
  auto* text = reinterpret_cast<WCHAR*>(r.information);
  std::vector<std::u16string> ids = multi ? MultiSz(text) : std::vector<std::u16string>{text};
  ExFreePool(text);
  return ids;
}

// A version-2 interface of the machine's codec, or a failed test.
HDAUDIO_BUS_INTERFACE_V2 InterfaceV2(sim::Machine& machine) {
  HDAUDIO_BUS_INTERFACE_V2 bus{};
  EXPECT_EQ(STATUS_SUCCESS, QueryInterface(machine.CodecPdo(), &GUID_HDAUDIO_BUS_INTERFACE_V2, sizeof bus,
                                           ORA_HDAUDIO_INTERFACE_VERSION, &bus));
  return bus;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

TEST(HdaBus, ReportsTheCodecWithTheProfilesIds) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  const auto& device = machine.card()->profile().device;
  PDEVICE_OBJECT pdo = machine.CodecPdo();
  ASSERT_NE(nullptr, pdo);
  EXPECT_EQ(pdo, sim::kernel::PnpFindDevice(Widen(device.DeviceInstanceId())));
  EXPECT_NE(0u, pdo->Flags & DO_BUS_ENUMERATED_DEVICE);

  const std::u16string full = u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1001";
  EXPECT_EQ(std::vector<std::u16string>{full}, QueryIds(pdo, BusQueryDeviceID));
  EXPECT_EQ((std::vector<std::u16string>{full, u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3"}),
            QueryIds(pdo, BusQueryHardwareIDs));
  EXPECT_EQ((std::vector<std::u16string>{u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&REV_1001",
                                         u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220", u"HDAUDIO\\FUNC_01&VEN_10EC",
                                         u"HDAUDIO\\FUNC_01"}),
            QueryIds(pdo, BusQueryCompatibleIDs));
  EXPECT_EQ(std::vector<std::u16string>{Widen(device.instanceId)}, QueryIds(pdo, BusQueryInstanceID));
  // What the bus does not know stays as the sender set it.
  EXPECT_EQ(STATUS_NOT_SUPPORTED, SendPnp(pdo, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) {
                                    s->Parameters.QueryId.IdType = BusQueryContainerID;
                                  }).status);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

struct VersionCase {
  const char* name;
  const GUID* type;
  std::size_t size;
  uint32_t version;
};

class HdaBusVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(HdaBusVersions, FillsExactlyTheRecordAndReferencesIt) {
  const VersionCase& c = GetParam();
  sim::Machine machine(WithProfile(Shipped("default.json")));
  constexpr std::size_t kGuard = 32;
  std::vector<UCHAR> buffer(c.size + kGuard, 0xCD);
  ASSERT_EQ(STATUS_SUCCESS, QueryInterface(machine.CodecPdo(), c.type, static_cast<USHORT>(c.size),
                                           ORA_HDAUDIO_INTERFACE_VERSION, buffer.data()));
  for (std::size_t i = c.size; i < buffer.size(); ++i) ASSERT_EQ(0xCD, buffer[i]) << "guard byte " << i;
  HDAUDIO_BUS_INTERFACE_V2 bus{};
  std::memcpy(&bus, buffer.data(), c.size);
  EXPECT_EQ(c.size, bus.Size);
  EXPECT_EQ(ORA_HDAUDIO_INTERFACE_VERSION, bus.Version);
  EXPECT_NE(nullptr, bus.Context);
  EXPECT_NE(nullptr, bus.TransferCodecVerbs);
  EXPECT_NE(nullptr, bus.GetResourceInformation);
  EXPECT_NE(nullptr, bus.AllocateRenderDmaEngine);
  if (c.version == 2) {
    EXPECT_NE(nullptr, bus.RegisterNotificationEvent);
  }

  hdabus::Counters counters = hdabus::GetCounters();
  EXPECT_EQ(c.version == 1 ? 1u : 0u, counters.queries_v1);
  EXPECT_EQ(c.version == 2 ? 1u : 0u, counters.queries_v2);
  EXPECT_EQ(1u, counters.references);
  EXPECT_EQ(0u, counters.dereferences);
  bus.InterfaceDereference(bus.Context);
  EXPECT_EQ(1u, hdabus::GetCounters().dereferences);
  // The DMA entries belong to the function driver's streaming: refused, not absent.
  EXPECT_EQ(STATUS_NOT_SUPPORTED, bus.FreeDmaEngine(bus.Context, nullptr));
  EXPECT_CLEAN_SHUTDOWN(machine);
}

INSTANTIATE_TEST_SUITE_P(
    Both, HdaBusVersions,
    ::testing::Values(VersionCase{"v1", &GUID_HDAUDIO_BUS_INTERFACE, sizeof(HDAUDIO_BUS_INTERFACE), 1},
                      VersionCase{"v2", &GUID_HDAUDIO_BUS_INTERFACE_V2, sizeof(HDAUDIO_BUS_INTERFACE_V2), 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HdaBus, RefusesMalformedInterfaceRequestsAndWritesNothing) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  constexpr GUID kOther = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  struct Case {
    const char* name;
    const GUID* type;
    USHORT size;
    USHORT version;
    bool null_buffer;
    NTSTATUS expected;
  } cases[] = {
      {"version 2.0", &GUID_HDAUDIO_BUS_INTERFACE, sizeof(HDAUDIO_BUS_INTERFACE), 0x0200, false, STATUS_NOT_SUPPORTED},
      {"version 0", &GUID_HDAUDIO_BUS_INTERFACE_V2, sizeof(HDAUDIO_BUS_INTERFACE_V2), 0, false, STATUS_NOT_SUPPORTED},
      {"v2 in a v1 record", &GUID_HDAUDIO_BUS_INTERFACE_V2, sizeof(HDAUDIO_BUS_INTERFACE), 0x0100, false,
       STATUS_BUFFER_TOO_SMALL},
      {"no buffer", &GUID_HDAUDIO_BUS_INTERFACE, sizeof(HDAUDIO_BUS_INTERFACE), 0x0100, true, STATUS_INVALID_PARAMETER},
      // An interface the bus does not export: the request's status is left as it came.
      {"other interface", &kOther, sizeof(HDAUDIO_BUS_INTERFACE), 0x0100, false, STATUS_NOT_SUPPORTED},
      {"no interface type", nullptr, sizeof(HDAUDIO_BUS_INTERFACE), 0x0100, false, STATUS_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> buffer(sizeof(HDAUDIO_BUS_INTERFACE_V2), 0xCD);
    EXPECT_EQ(c.expected,
              QueryInterface(machine.CodecPdo(), c.type, c.size, c.version, c.null_buffer ? nullptr : buffer.data()));
    EXPECT_EQ(std::vector<UCHAR>(buffer.size(), 0xCD), buffer);
  }
  EXPECT_EQ(0u, hdabus::GetCounters().references);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(HdaBus, RefusedVersionKnob) {
  for (uint32_t refused : {1u, 2u}) {
    SCOPED_TRACE(refused);
    sim::card::Profile profile = Shipped("default.json");
    profile.faults.refusedBusInterfaceVersions = {refused};
    sim::Machine machine(WithProfile(profile));
    HDAUDIO_BUS_INTERFACE_V2 bus{};
    EXPECT_EQ(refused == 1 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS,
              QueryInterface(machine.CodecPdo(), &GUID_HDAUDIO_BUS_INTERFACE, sizeof(HDAUDIO_BUS_INTERFACE),
                             ORA_HDAUDIO_INTERFACE_VERSION, &bus));
    EXPECT_EQ(refused == 2 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS,
              QueryInterface(machine.CodecPdo(), &GUID_HDAUDIO_BUS_INTERFACE_V2, sizeof(HDAUDIO_BUS_INTERFACE_V2),
                             ORA_HDAUDIO_INTERFACE_VERSION, &bus));
    EXPECT_EQ(1u, hdabus::GetCounters().refused);
    EXPECT_CLEAN_SHUTDOWN(machine);
  }
}

struct CallbackRecord {
  HDAUDIO_CODEC_TRANSFER* transfers = nullptr;
  int calls = 0;
};

VOID NTAPI RecordCallback(HDAUDIO_CODEC_TRANSFER* transfers, PVOID context) {
  auto* record = static_cast<CallbackRecord*>(context);
  record->transfers = transfers;
  ++record->calls;
}

TEST(HdaBus, TransfersRunAgainstTheCodecInOrder) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  HDAUDIO_BUS_INTERFACE_V2 bus = InterfaceV2(machine);
  sim::card::Codec& codec = machine.card()->codec();
  codec.ClearVerbLog();

  HDAUDIO_CODEC_TRANSFER t[5] = {};
  t[0].Output.Command = kVendorId;
  t[1].Output.Command = kSubordinateNodes;
  t[2].Output.Command = kSetCoefficientIndex | 0x15;
  t[3].Output.Command = kSetCoefficient | 0x1860;
  t[4].Output.Command = 0x30000000u | kVendorId;  // codec address 3: nobody answers
  for (auto& x : t) x.Input.CompleteResponse = 0xDEADBEEFDEADBEEFull;
  CallbackRecord record;
  ASSERT_EQ(STATUS_SUCCESS, bus.TransferCodecVerbs(bus.Context, 5, t, RecordCallback, &record));
  EXPECT_EQ(1, record.calls);
  EXPECT_EQ(t, record.transfers);

  EXPECT_EQ(0x10EC1220u, t[0].Input.Response);
  EXPECT_EQ(1u, t[0].Input.IsValid);
  EXPECT_EQ(1u, (t[1].Input.Response >> 16) & 0xFF);  // first function group node
  EXPECT_EQ(1u, t[1].Input.Response & 0xFF);          // one function group
  EXPECT_EQ(1u, t[3].Input.IsValid);
  EXPECT_EQ(0u, t[4].Input.IsValid);
  EXPECT_EQ(0u, t[4].Input.Response);
  EXPECT_EQ(0x1860, codec.Coefficient(0x20, 0x15));

  const auto log = codec.VerbLog();
  ASSERT_EQ(5u, log.size());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(t[i].Output.Command, log[i].command) << i;
  EXPECT_EQ(1u, hdabus::GetCounters().transfers);

  // Synchronous without a callback; an empty list is a successful no-op.
  HDAUDIO_CODEC_TRANSFER one{};
  one.Output.Command = kVendorId;
  EXPECT_EQ(STATUS_SUCCESS, bus.TransferCodecVerbs(bus.Context, 1, &one, nullptr, nullptr));
  EXPECT_EQ(0x10EC1220u, one.Input.Response);
  EXPECT_EQ(STATUS_SUCCESS, bus.TransferCodecVerbs(bus.Context, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, bus.TransferCodecVerbs(bus.Context, 1, nullptr, nullptr, nullptr));
  int not_a_context = 0;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, bus.TransferCodecVerbs(&not_a_context, 1, &one, nullptr, nullptr));
  EXPECT_EQ(6u, codec.VerbLog().size());
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(HdaBus, ResourceInformationGivesAddressAndStartNode) {
  sim::card::Profile profile = Shipped("default.json");
  profile.codec.address = 2;
  sim::Machine machine(WithProfile(profile));
  HDAUDIO_BUS_INTERFACE_V2 bus = InterfaceV2(machine);
  UCHAR address = 0xFF, start = 0xFF;
  bus.GetResourceInformation(bus.Context, &address, &start);
  EXPECT_EQ(2, address);
  EXPECT_EQ(1, start);
  EXPECT_EQ(2, hdabus::CodecLocation().CodecAddress);
  EXPECT_EQ(1, hdabus::CodecLocation().FunctionGroupStartNode);
  bus.GetResourceInformation(bus.Context, nullptr, &start);
  bus.GetResourceInformation(bus.Context, &address, nullptr);
  // A context that is not the bus's own answers nothing.
  int other = 0;
  address = start = 0xFF;
  bus.GetResourceInformation(&other, &address, &start);
  EXPECT_EQ(0xFF, address);
  EXPECT_EQ(0xFF, start);

  // The codec at address 2 answers only commands for address 2.
  HDAUDIO_CODEC_TRANSFER t[2] = {};
  t[0].Output.Command = kVendorId;
  t[1].Output.Command = 0x20000000u | kVendorId;
  ASSERT_EQ(STATUS_SUCCESS, bus.TransferCodecVerbs(bus.Context, 2, t, nullptr, nullptr));
  EXPECT_EQ(0u, t[0].Input.IsValid);
  EXPECT_EQ(1u, t[1].Input.IsValid);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(HdaBus, FailingTransferKnob) {
  sim::card::Profile profile = Shipped("default.json");
  profile.faults.codecTransfers.failEvery = 2;
  profile.faults.codecTransfers.fromTransfer = 1;
  sim::Machine machine(WithProfile(profile));
  HDAUDIO_BUS_INTERFACE_V2 bus = InterfaceV2(machine);
  machine.card()->codec().ClearVerbLog();
  // Calls 0 and 1 succeed, 2 fails, 3 succeeds, 4 fails.
  const bool fails[] = {false, false, true, false, true};
  for (int call = 0; call < 5; ++call) {
    SCOPED_TRACE(call);
    HDAUDIO_CODEC_TRANSFER t{};
    t.Output.Command = kVendorId;
    t.Input.CompleteResponse = ~0ull;
    const NTSTATUS status = bus.TransferCodecVerbs(bus.Context, 1, &t, nullptr, nullptr);
    EXPECT_EQ(fails[call] ? static_cast<NTSTATUS>(0xC0000185u) : STATUS_SUCCESS, status);
    EXPECT_EQ(fails[call] ? 0ull : (1ull << 63 | 0x10EC1220u), t.Input.CompleteResponse);
  }
  EXPECT_EQ(3u, machine.card()->codec().VerbLog().size());
  EXPECT_EQ(2u, hdabus::GetCounters().failed_transfers);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(HdaBus, PdoSurvivesRemovalWhileTheCodecIsPresent) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  PDEVICE_OBJECT pdo = machine.CodecPdo();
  ASSERT_EQ(STATUS_SUCCESS, machine.RemoveCodec());
  EXPECT_EQ(pdo, machine.CodecPdo());
  EXPECT_EQ(nullptr, pdo->AttachedDevice);
  // The bus still reports it, so PnP can build its stack again.
  ASSERT_EQ(STATUS_SUCCESS, sim::kernel::PnpStartDevice(pdo));
  EXPECT_NE(nullptr, pdo->AttachedDevice);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(HdaBus, SurpriseRemovalEndsTransfersAndRemovalDeletesThePdo) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  HDAUDIO_BUS_INTERFACE_V2 bus = InterfaceV2(machine);
  const std::u16string id = Widen(machine.card()->profile().device.DeviceInstanceId());
  ASSERT_EQ(STATUS_SUCCESS, machine.SurpriseRemoveCodec());
  HDAUDIO_CODEC_TRANSFER t{};
  t.Output.Command = kVendorId;
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, bus.TransferCodecVerbs(bus.Context, 1, &t, nullptr, nullptr));
  EXPECT_EQ(0u, t.Input.IsValid);
  ASSERT_EQ(STATUS_SUCCESS, machine.RemoveCodec());
  EXPECT_EQ(nullptr, machine.CodecPdo());
  EXPECT_EQ(nullptr, sim::kernel::PnpFindDevice(id));
  // The interface outlived its device: refused, not a stray access.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, bus.TransferCodecVerbs(bus.Context, 1, &t, nullptr, nullptr));
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, machine.PowerCycleCodec(false));
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(HdaBus, PowerStatesReachThePdo) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  PDEVICE_OBJECT pdo = machine.CodecPdo();
  ASSERT_EQ(STATUS_SUCCESS, sim::kernel::PnpSetDevicePowerState(pdo, PowerDeviceD3));
  EXPECT_EQ(PowerDeviceD3, sim::kernel::PnpDevicePowerState(pdo));
  ASSERT_EQ(STATUS_SUCCESS, machine.PowerCycleCodec(false));
  EXPECT_EQ(PowerDeviceD0, sim::kernel::PnpDevicePowerState(pdo));
  EXPECT_CLEAN_SHUTDOWN(machine);
}

}  // namespace
