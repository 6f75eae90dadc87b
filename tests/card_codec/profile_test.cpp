#include "sim/card/profile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "profiles.h"

namespace {

using sim::card::BufferPolicy;
using sim::card::Communication;
using sim::card::DataFlow;
using sim::card::FilterFlow;
using sim::card::kFilterNode;
using sim::card::KvlnkStep;
using sim::card::Profile;
using sim::card::ProfileError;
using sim::card::WaveRtProfile;

const char* const kShipped[] = {"default", "no_dsd", "codec_0899", "vendor_5a3c", "unanswered"};

TEST(ProfileTest, EveryShippedProfileLoads) {
  for (const char* name : kShipped) {
    SCOPED_TRACE(name);
    Profile p;
    EXPECT_NO_THROW(p = card_test::Shipped(name));
    EXPECT_EQ(name, p.name);
    EXPECT_FALSE(p.description.empty());
    EXPECT_GE(p.filters.size(), 5u);
  }
}

TEST(ProfileTest, DefaultCard) {
  const Profile p = card_test::Shipped("default");
  EXPECT_EQ(0x10EC, p.codec.vendorId);
  EXPECT_EQ(0x1220, p.codec.deviceId);
  EXPECT_EQ(0, p.codec.address);
  ASSERT_EQ(1u, p.codec.functionGroups.size());
  EXPECT_EQ(1, p.codec.functionGroups[0].type);
  EXPECT_TRUE(p.upperFilterInstalled);

  const char* const kReferences[] = {"eLineOutWave", "eSlavedHpLineOutWave", "espdifoutwave", "eMixedCaptureWave",
                                     "eLineInWave"};
  ASSERT_EQ(std::size(kReferences), p.filters.size());
  for (size_t i = 0; i < p.filters.size(); ++i) EXPECT_EQ(kReferences[i], p.filters[i].reference);

  const sim::card::WaveFilterProfile* out = p.FindWaveFilter("eLineOutWave");
  ASSERT_NE(nullptr, out);
  EXPECT_EQ("\\eLineOutWave", out->FileName());
  EXPECT_EQ(FilterFlow::Render, out->flow);
  const std::vector<std::string> kRenderCategories = {"KSCATEGORY_AUDIO", "KSCATEGORY_RENDER", "KSCATEGORY_REALTIME"};
  EXPECT_EQ(kRenderCategories, out->interfaceCategories);
  ASSERT_EQ(2u, out->pins.size());
  EXPECT_EQ(DataFlow::In, out->pins[0].dataFlow);
  EXPECT_EQ(Communication::Sink, out->pins[0].communication);
  ASSERT_EQ(1u, out->pins[0].ranges.size());
  EXPECT_EQ(8u, out->pins[0].ranges[0].maxChannels);
  EXPECT_EQ(32u, out->pins[0].ranges[0].maxBits);
  EXPECT_EQ(192000u, out->pins[0].ranges[0].maxRate);
  EXPECT_EQ("KSDATAFORMAT_SUBTYPE_PCM", out->pins[0].ranges[0].subFormat);
  EXPECT_EQ(Communication::Bridge, out->pins[1].communication);
  EXPECT_EQ(0u, out->pins[1].physicalConnection.value());
  ASSERT_EQ(2u, out->connections.size());
  EXPECT_EQ(kFilterNode, out->connections[0].fromNode);
  EXPECT_EQ(0u, out->connections[0].toNode);
  EXPECT_EQ(1u, out->connections[0].toPin);
  EXPECT_EQ("eTopoLineOut", out->topology.reference);
  EXPECT_EQ("KSNODETYPE_SPEAKER", out->topology.pins[1].category);
  EXPECT_EQ(DataFlow::Out, out->topology.pins[1].dataFlow);
  EXPECT_EQ(BufferPolicy::Exact, out->waveRt.policy);
  EXPECT_EQ(24000000u, out->waveRt.clockNumerator);

  const char* const kJacks[][2] = {{"eSlavedHpLineOutWave", "KSNODETYPE_HEADPHONES"},
                                   {"espdifoutwave", "KSNODETYPE_SPDIF_INTERFACE"},
                                   {"eMixedCaptureWave", "KSNODETYPE_MICROPHONE"},
                                   {"eLineInWave", "KSNODETYPE_LINE_CONNECTOR"}};
  for (const auto& [reference, jack] : kJacks) {
    SCOPED_TRACE(reference);
    const sim::card::WaveFilterProfile* f = p.FindWaveFilter(reference);
    ASSERT_NE(nullptr, f);
    bool found = false;
    for (const sim::card::PinProfile& pin : f->topology.pins) found |= pin.category == jack;
    EXPECT_TRUE(found);
  }

  EXPECT_EQ("HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1001", p.device.HardwareId());
  EXPECT_EQ("HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1001\\4&1D5B9C07&0&0001",
            p.device.DeviceInstanceId());
  EXPECT_TRUE(p.busComponent.present);
  EXPECT_TRUE(p.busComponent.DsdCapable());
  EXPECT_EQ(0x00801234u, p.busComponent.register1C);
  EXPECT_EQ(0x1000u, p.busComponent.controlBlockBytes);
}

struct Override {
  const char* profile;
  const char* what;
  std::function<bool(const Profile&)> holds;
};

const Override kOverrides[] = {
    {"no_dsd", "capability bit 4 set", [](const Profile& p) { return p.busComponent.capabilityWord == 0x10; }},
    {"no_dsd", "no DSD", [](const Profile& p) { return !p.busComponent.DsdCapable(); }},
    {"no_dsd", "everything else inherited",
     [](const Profile& p) { return p.codec.deviceId == 0x1220 && p.filters.size() == 5; }},
    {"codec_0899", "device id", [](const Profile& p) { return p.codec.deviceId == 0x0899; }},
    {"codec_0899", "device path follows the codec",
     [](const Profile& p) {
       return p.device.HardwareId() == "HDAUDIO\\FUNC_01&VEN_10EC&DEV_0899&SUBSYS_1458A002&REV_1001";
     }},
    {"codec_0899", "added filter after the inherited ones",
     [](const Profile& p) {
       return p.filters.size() == 6 && p.filters[5].reference == "eDuplicatedHpLineOutWave" &&
              p.filters[5].topology.pins[1].category == "KSNODETYPE_HEADPHONES";
     }},
    {"codec_0899", "widgets kept", [](const Profile& p) { return p.codec.functionGroups[0].widgets.size() == 19; }},
    {"vendor_5a3c", "device path vendor",
     [](const Profile& p) {
       return p.device.HardwareId() == "HDAUDIO\\FUNC_01&VEN_5A3C&DEV_1220&SUBSYS_1458A0C3&REV_1001";
     }},
    {"vendor_5a3c", "codec keeps its vendor", [](const Profile& p) { return p.codec.vendorId == 0x10EC; }},
    {"unanswered", "no upper filter", [](const Profile& p) { return !p.upperFilterInstalled; }},
    {"unanswered", "unknown codec",
     [](const Profile& p) { return p.codec.vendorId == 0x1AF0 && p.codec.deviceId == 0x0042; }},
};

TEST(ProfileTest, ExtendsOverridesOnlyWhatItNames) {
  for (const Override& o : kOverrides) {
    SCOPED_TRACE(std::string(o.profile) + ": " + o.what);
    EXPECT_TRUE(o.holds(card_test::Shipped(o.profile)));
  }
}

TEST(ProfileTest, NullRemovesAnEntry) {
  const Profile p = card_test::Inline(R"({"extends": "default.json", "filters": {"espdifoutwave": null}})");
  EXPECT_EQ(4u, p.filters.size());
  EXPECT_EQ(nullptr, p.FindWaveFilter("espdifoutwave"));
  EXPECT_EQ("<inline>", p.name);
}

TEST(ProfileTest, FilterWaveRtPatchesTheCards) {
  const Profile p = card_test::Inline(R"({"extends": "default.json", "filters": {"eLineOutWave": {"wavert":
      {"buffer": {"policy": "round_up", "granularity": 128}, "clock_register": false}}}})");
  const WaveRtProfile& out = p.FindWaveFilter("eLineOutWave")->waveRt;
  EXPECT_EQ(BufferPolicy::RoundUp, out.policy);
  EXPECT_FALSE(out.clockRegister);
  EXPECT_EQ(256u, out.fifoSize);
  const WaveRtProfile& hp = p.FindWaveFilter("eSlavedHpLineOutWave")->waveRt;
  EXPECT_EQ(BufferPolicy::Exact, hp.policy);
  EXPECT_TRUE(hp.clockRegister);
}

TEST(ProfileTest, GrantedBufferSizes) {
  struct Case {
    BufferPolicy policy;
    uint32_t parameter, requested, granted;
  };
  const Case kCases[] = {
      {BufferPolicy::Exact, 0, 4096, 4096},
      {BufferPolicy::RoundUp, 128, 4096, 4096},
      {BufferPolicy::RoundUp, 4608, 4096, 4608},
      {BufferPolicy::RoundUp, 128, 1, 128},
      {BufferPolicy::RoundUp, 0x1000, 0xFFFFFFFF, 0xFFFFF000},
      {BufferPolicy::Cap, 2048, 4096, 2048},
      {BufferPolicy::Cap, 8192, 4096, 4096},
      {BufferPolicy::Fixed, 4608, 4096, 4608},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.policy) << " " << c.parameter << " " << c.requested);
    WaveRtProfile w;
    w.policy = c.policy;
    w.granularity = w.maxBytes = w.fixedBytes = c.parameter;
    EXPECT_EQ(c.granted, w.GrantedBytes(c.requested));
  }
}

TEST(ProfileTest, FaultKnobs) {
  const Profile p = card_test::Inline(R"({"extends": "default.json", "faults": {
      "notifications": {"drop_every": 3, "delay_every": 5, "delay_us": 2000, "from_period": 10},
      "pin_states": [{"filter": "eLineOutWave", "pin": 0, "state": "run", "status": "0xC0000010"}],
      "buffer": {"refuse": true, "resize_to": 4608},
      "requests": [{"set": "KSPROPSETID_RtAudio", "id": 5, "action": "pend", "pend_ms": 20},
                   {"set": "{A855A48C-2F78-4729-9051-1968746B9EEF}", "filter": "eTopoLineOut"}],
      "remove_at_ms": 1500, "power_cycle": {"at_ms": 100, "off_ms": 50}, "flip_dsd_at_ms": 200,
      "refuse_bus_interface_versions": [1], "codec_transfers": {"fail_every": 2, "from": 4},
      "kvlnk_fail": ["get_entry", "query_shared_memory"]}})");
  const sim::card::FaultProfile& f = p.faults;
  EXPECT_EQ(3u, f.notifications.dropEvery);
  EXPECT_EQ(2000u, f.notifications.delayMicroseconds);
  ASSERT_EQ(1u, f.pinStates.size());
  EXPECT_EQ(3u, f.pinStates[0].state);
  EXPECT_EQ(0xC0000010u, f.pinStates[0].status);
  EXPECT_TRUE(f.buffer.refuse);
  EXPECT_EQ(4608u, f.buffer.resizeTo);
  ASSERT_EQ(2u, f.requests.size());
  EXPECT_EQ(sim::card::RequestAction::Pend, f.requests[0].action);
  EXPECT_EQ(5u, f.requests[0].id.value());
  EXPECT_FALSE(f.requests[1].id.has_value());
  EXPECT_EQ(0xC0000001u, f.requests[1].status);
  EXPECT_EQ(1500u, f.removeAtMilliseconds.value());
  EXPECT_EQ(50u, f.powerCycle->offMilliseconds);
  EXPECT_EQ(200u, f.flipDsdAtMilliseconds.value());
  EXPECT_EQ(std::vector<uint32_t>{1}, f.refusedBusInterfaceVersions);
  EXPECT_EQ(2u, f.codecTransfers.failEvery);
  EXPECT_EQ((std::vector<KvlnkStep>{KvlnkStep::GetEntry, KvlnkStep::QuerySharedMemory}), f.kvlnkFailures);
}

struct Malformed {
  const char* json;
  const char* field;
  const char* message;  // a part of the message
};

// Each derives from the default card and breaks one thing.
const Malformed kMalformed[] = {
    {R"({)", "", "not valid JSON"},
    {R"([])", "", "a profile is a JSON object"},
    {R"({})", "codec", "is required"},
    {R"({"extends": 7})", "extends", "must be a file name"},
    {R"({"extends": "missing.json"})", "extends", "cannot read"},
    {R"({"extends": "default.json", "codecs": {}})", "codecs", "is not a known field"},
    {R"({"extends": "default.json", "codec": {"vendor_id": "0x1G"}})", "codec.vendor_id", "is not a number"},
    {R"({"extends": "default.json", "codec": {"vendor_id": "0x10000"}})", "codec.vendor_id", "out of range"},
    {R"({"extends": "default.json", "codec": {"vendor_id": -1}})", "codec.vendor_id", "must not be negative"},
    {R"({"extends": "default.json", "codec": {"vendor_id": true}})", "codec.vendor_id", "must be a number"},
    {R"({"extends": "default.json", "codec": {"address": 15}})", "codec.address", "out of range"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x00": {"type": 1}}}})",
     "codec.function_groups.0x00", "root node"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"type": "video"}}}})",
     "codec.function_groups.0x01.type", "not one of"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x02": {"type": "dac"}}}}}})",
     "codec.function_groups.0x01.widgets.0x02.type", "\"dac\" is not one of"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x01": {"type": "output"}}}}}})",
     "codec.function_groups.0x01.widgets.0x01", "used twice"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x02": {"connections": ["0x40"]}}}}}})",
     "codec.function_groups.0x01.widgets.0x02.connections[0]", "not a widget"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x02": {"pin": {}}}}}}})",
     "codec.function_groups.0x01.widgets.0x02.pin", "only for widgets of type \"pin\""},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x14": {"pin": {"caps": ["loud"]}}}}}}})",
     "codec.function_groups.0x01.widgets.0x14.pin.caps[0]", "not one of"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x20": {"coefficients": {"0x15": "0x10000"}}}}}}})",
     "codec.function_groups.0x01.widgets.0x20.coefficients.0x15", "out of range"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x20": {"coefficient_count": 16}}}}}})",
     "codec.function_groups.0x01.widgets.0x20.coefficient_count", "smaller than"},
    {R"({"extends": "default.json", "codec": {"function_groups": {"0x01": {"widgets": {"0x08": {"in_amp": {"mute": false, "initial_mute": true}}}}}}})",
     "codec.function_groups.0x01.widgets.0x08.in_amp.initial_mute", "mute-capable"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"flow": "sideways"}}})", "filters.eLineOutWave.flow",
     "not one of"},
    {R"({"extends": "default.json", "filters": {"e\\Bad": {"flow": "render"}}})", "filters.e\\Bad",
     "not a reference string"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"topology": {"pins": {"1": {"category": "KSNODETYPE_SPEAKERS"}}}}}})",
     "filters.eLineOutWave.topology.pins.1.category", "not a known name"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"pins": {"0": {"ranges": [{"max_channels": 2, "min_bits": 32, "max_bits": 16, "min_rate": 1, "max_rate": 2}]}}}}})",
     "filters.eLineOutWave.pins.0.ranges[0].min_bits", "greater than max_bits"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"pins": {"0": {"ranges": [{"max_channels": 2}]}}}}})",
     "filters.eLineOutWave.pins.0.ranges[0].min_bits", "is required"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"pins": {"0": {"ranges": [{"max_channels": 2, "min_bits": 16, "max_bits": 16, "min_rate": 1, "max_rate": 2, "sub": "PCM"}]}}}}})",
     "filters.eLineOutWave.pins.0.ranges[0].sub", "not a known name"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"pins": {"3": {"data_flow": "in", "communication": "sink"}}}}})",
     "filters.eLineOutWave.pins.3", "without gaps"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"pins": {"0": {"connects_to": 0}}}}})",
     "filters.eLineOutWave.pins.0.connects_to", "only a bridge pin"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"pins": {"1": {"connects_to": 5}}}}})",
     "filters.eLineOutWave.pins.1.connects_to", "has no pin 5"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"connections": [{"from": {"pin": 0}, "to": {"node": 4, "pin": 1}}]}}})",
     "filters.eLineOutWave.connections[0].to.node", "does not exist"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"connections": [{"from": {"pin": 9}, "to": {"pin": 1}}]}}})",
     "filters.eLineOutWave.connections[0].from.pin", "does not exist"},
    {R"({"extends": "default.json", "filters": {"eLineInWave": {"topology": {"reference": "eTopoLineOut"}}}})",
     "filters.eLineInWave.topology.reference", "used twice"},
    {R"({"extends": "default.json", "filters": {"eLineOutWave": {"topology": null}}})", "filters.eLineOutWave.topology",
     "is required"},
    {R"({"extends": "default.json", "wavert": {"buffer": {"policy": "round_up"}}})", "wavert.buffer.granularity",
     "above 0"},
    {R"({"extends": "default.json", "filters": {"eLineInWave": {"wavert": {"buffer": {"policy": "fixed"}}}}})",
     "filters.eLineInWave.wavert.buffer.fixed_bytes", "above 0"},
    {R"({"extends": "default.json", "wavert": {"clock_denominator": 0}})", "wavert.clock_denominator", "above 0"},
    {R"({"extends": "default.json", "bus_component": {"control_block_bytes": "0x100"}})",
     "bus_component.control_block_bytes", "capability word"},
    {R"({"extends": "default.json", "device": {"instance_id": "a\\b"}})", "device.instance_id", "no backslash"},
    {R"({"extends": "default.json", "faults": {"pin_states": [{"filter": "eNoSuchWave"}]}})",
     "faults.pin_states[0].filter", "not a filter of this card"},
    {R"({"extends": "default.json", "faults": {"pin_states": [{"filter": "eLineOutWave", "state": "running"}]}})",
     "faults.pin_states[0].state", "not one of"},
    {R"({"extends": "default.json", "faults": {"requests": [{"set": "KSPROPSETID_Pins"}]}})", "faults.requests[0].set",
     "not a known name or a {GUID}"},
    {R"({"extends": "default.json", "faults": {"kvlnk_fail": ["open", "close"]}})", "faults.kvlnk_fail[1]",
     "not one of"},
    {R"({"extends": "default.json", "faults": {"refuse_bus_interface_versions": [3]}})",
     "faults.refuse_bus_interface_versions[0]", "out of range"},
    {R"({"extends": "default.json", "faults": {"notifications": {"delay_every": 2}}})", "faults.notifications.delay_us",
     "above 0"},
    {R"({"extends": "default.json", "faults": {"power_cycle": {"off_ms": 2}}})", "faults.power_cycle.at_ms",
     "is required"},
};

TEST(ProfileTest, RefusesMalformedProfilesNamingTheField) {
  for (const Malformed& m : kMalformed) {
    SCOPED_TRACE(m.json);
    try {
      card_test::Inline(m.json);
      ADD_FAILURE() << "accepted";
    } catch (const ProfileError& e) {
      EXPECT_EQ(m.field, e.field());
      EXPECT_NE(std::string::npos, std::string(e.what()).find(m.message)) << e.what();
      if (*m.field != '\0') {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(m.field)) << e.what();
      }
    }
  }
}

class ProfileFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("card_profiles_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
    ASSERT_TRUE(std::filesystem::create_directories(dir_));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream out(dir_ / name);
    out << text;
    ASSERT_TRUE(out.good());
  }
  std::filesystem::path dir_;
};

TEST_F(ProfileFileTest, ExtendsCycleIsRefused) {
  Write("a.json", R"({"extends": "b.json"})");
  Write("b.json", R"({"extends": "a.json"})");
  try {
    sim::card::LoadProfile(dir_ / "a.json");
    ADD_FAILURE() << "accepted";
  } catch (const ProfileError& e) {
    EXPECT_EQ("extends", e.field());
    EXPECT_NE(std::string::npos, std::string(e.what()).find("extends itself")) << e.what();
  }
}

TEST_F(ProfileFileTest, ExtendsResolvesAgainstEachFilesFolder) {
  const std::string base = (card_test::ProfileDir() / "no_dsd.json").string();
  Write("card.json", R"({"extends": ")" + base + R"(", "codec": {"subsystem_id": "0x12345678"}})");
  const Profile p = sim::card::LoadProfile(dir_ / "card.json");
  EXPECT_EQ("card", p.name);
  EXPECT_EQ(0x12345678u, p.codec.subsystemId);
  EXPECT_FALSE(p.busComponent.DsdCapable());
  EXPECT_EQ(5u, p.filters.size());
}

TEST_F(ProfileFileTest, ErrorsNameTheFileThatIsWrong) {
  Write("broken.json", R"({"extends": "default_typo.json"})");
  try {
    sim::card::LoadProfile(dir_ / "broken.json");
    ADD_FAILURE() << "accepted";
  } catch (const ProfileError& e) {
    EXPECT_EQ((dir_ / "broken.json").string(), e.source());
    EXPECT_EQ("extends", e.field());
  }
  EXPECT_THROW(sim::card::LoadProfile(dir_ / "absent.json"), ProfileError);
}

}  // namespace
