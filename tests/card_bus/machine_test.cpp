// The machine with a card: every shipped profile boots, the drivers are
// installed in the registry the way Windows keeps them, the upper filter is
// loaded from its service key, and teardown leaves nothing behind.
#include <gtest/gtest.h>

#include <cstring>

#include "card_bus_fixture.h"
#include "platform/kvlnk.h"
#include "sim/card/drivers.h"
#include "sim/card/kvlnk_component.h"
#include "sim/kernel/kernel.h"
#include "sim/registry/store.h"

namespace {

using namespace card_bus_test;
namespace registry = sim::registry;

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

struct StoredValue {
  bool exists = false;
  uint32_t type = 0;
  std::u16string text;  // the data as UTF-16 units, terminators included
};

StoredValue Read(const std::u16string& key, std::u16string_view name) {
  StoredValue out;
  registry::Key k;
  if (registry::Store::Get().Open(nullptr, key, registry::access::kRead, &k) != registry::Status::Success) return out;
  registry::Value v;
  if (registry::Store::Get().QueryValue(k, name, &v) != registry::Status::Success) return out;
  out.exists = true;
  out.type = v.type;
  out.text.resize(v.data.size() / 2);
  std::memcpy(out.text.data(), v.data.data(), out.text.size() * 2);
  return out;
}

std::u16string Services(std::u16string_view service) {
  return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(service);
}
std::u16string Enum(const std::u16string& instance) {
  return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instance;
}

std::u16string DriverName(PDEVICE_OBJECT device) {
  const UNICODE_STRING& name = device->DriverObject->DriverName;
  return std::u16string(name.Buffer, name.Length / sizeof(WCHAR));
}

// The driver names of the codec's stack, bottom first.
std::vector<std::u16string> Stack(PDEVICE_OBJECT pdo) {
  std::vector<std::u16string> names;
  for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) names.push_back(DriverName(d));
  return names;
}

class ShippedProfiles : public ::testing::TestWithParam<const char*> {};

TEST_P(ShippedProfiles, BootsAndShutsDownClean) {
  sim::Machine machine(WithProfile(Shipped(GetParam())));
  ASSERT_NE(nullptr, machine.card());
  EXPECT_EQ(STATUS_SUCCESS, machine.boot().kvlnk);
  EXPECT_EQ(STATUS_SUCCESS, machine.boot().controller);
  EXPECT_EQ(STATUS_SUCCESS, machine.boot().codec);
  ASSERT_NE(nullptr, machine.CodecPdo());
  EXPECT_EQ((std::vector<std::u16string>{u"\\Driver\\HDAudBus", u"\\Driver\\CvHdAud"}), Stack(machine.CodecPdo()));
  EXPECT_TRUE(sim::card::kvlnk::Running());

  const struct {
    std::u16string_view service;
    std::u16string_view image;
  } services[] = {{sim::card::kBusService, sim::card::kBusImage},
                  {sim::card::kFunctionService, sim::card::kFunctionImage},
                  {sim::card::kKvlnkService, sim::card::kKvlnkImage}};
  for (const auto& s : services) {
    const StoredValue image = Read(Services(s.service), u"ImagePath");
    EXPECT_EQ(registry::type::kExpandSz, image.type);
    EXPECT_EQ(u"\\SystemRoot\\System32\\drivers\\" + std::u16string(s.image) + u'\0', image.text);
    EXPECT_EQ(registry::type::kDword, Read(Services(s.service), u"Type").type);
  }
  const std::u16string codec_key = Enum(Widen(machine.card()->profile().device.DeviceInstanceId()));
  const StoredValue service = Read(codec_key, u"Service");
  EXPECT_EQ(registry::type::kSz, service.type);
  EXPECT_EQ(std::u16string(u"CvHdAud") + u'\0', service.text);
  EXPECT_FALSE(Read(codec_key, u"UpperFilters").exists);
  EXPECT_FALSE(Read(codec_key, u"LowerFilters").exists);
  const StoredValue ids = Read(codec_key, u"HardwareID");
  EXPECT_EQ(registry::type::kMultiSz, ids.type);
  EXPECT_EQ(Widen(machine.card()->profile().device.HardwareId()) + u'\0', ids.text.substr(0, ids.text.find(u'\0') + 1));
  EXPECT_EQ(std::u16string(u"\0\0", 2), ids.text.substr(ids.text.size() - 2));
  EXPECT_EQ(std::u16string(u"HDAudBus") + u'\0',
            Read(Enum(std::u16string(sim::kControllerInstanceId)), u"Service").text);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

INSTANTIATE_TEST_SUITE_P(All, ShippedProfiles,
                         ::testing::Values("default.json", "no_dsd.json", "codec_0899.json", "vendor_5a3c.json",
                                           "unanswered.json"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(Machine, ShippedProfileByFileName) {
  sim::MachineOptions options;
  options.card_profile = "codec_0899.json";
  sim::Machine machine(options);
  ASSERT_NE(nullptr, machine.card());
  EXPECT_EQ(0x0899, machine.card()->profile().codec.deviceId);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(Machine, InstalledFilterIsLoadedIntoTheCodecsStack) {
  sim::MachineOptions options = WithProfile(Shipped("default.json"));
  options.install_filter = true;
  options.filter_image = ORA_TEST_FILTER_IMAGE;
  sim::Machine machine(options);
  EXPECT_TRUE(machine.FilterInstalled());
  ASSERT_EQ(STATUS_SUCCESS, machine.boot().codec);
  EXPECT_EQ((std::vector<std::u16string>{u"\\Driver\\HDAudBus", u"\\Driver\\CvHdAud", u"\\Driver\\OraFilt"}),
            Stack(machine.CodecPdo()));
  const std::u16string codec_key = Enum(Widen(machine.card()->profile().device.DeviceInstanceId()));
  const StoredValue filters = Read(codec_key, u"UpperFilters");
  EXPECT_EQ(registry::type::kMultiSz, filters.type);
  EXPECT_EQ(std::u16string(u"OraFilt\0\0", 9), filters.text);
  EXPECT_EQ(Widen(ORA_TEST_FILTER_IMAGE) + u'\0', Read(Services(u"OraFilt"), u"ImagePath").text);
  // Power requests travel the whole stack, the filter's included.
  EXPECT_EQ(STATUS_SUCCESS, machine.PowerCycleCodec(true));
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(Machine, ProfileWithoutUpperFilterLeavesItOut) {
  sim::MachineOptions options = WithProfile(Shipped("unanswered.json"));
  options.install_filter = true;
  options.filter_image = ORA_TEST_FILTER_IMAGE;
  sim::Machine machine(options);
  EXPECT_FALSE(machine.FilterInstalled());
  EXPECT_EQ(2u, Stack(machine.CodecPdo()).size());
  EXPECT_FALSE(Read(Services(u"OraFilt"), u"ImagePath").exists);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(Machine, MissingFilterImageFailsTheCodecsStart) {
  sim::MachineOptions options = WithProfile(Shipped("default.json"));
  options.install_filter = true;
  options.filter_image = "/nonexistent/OraFilt.so";
  sim::Machine machine(options);
  EXPECT_EQ(STATUS_DLL_NOT_FOUND, machine.boot().codec);
  // The part of the stack that was built is gone again; the PDO stays reported.
  ASSERT_NE(nullptr, machine.CodecPdo());
  EXPECT_EQ(nullptr, machine.CodecPdo()->AttachedDevice);
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(Machine, ShutdownReportsWhatADriverLeft) {
  sim::Machine machine(WithProfile(Shipped("default.json")));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, KVLNK_DEVICE_NAME);
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device));
  // The reference is never dropped: the verifier finds the file object.
  machine.Shutdown();
  const auto leaks = machine.Leaks();
  ASSERT_FALSE(leaks.empty());
  EXPECT_NE(std::string::npos, LeakText(leaks).find("file object leak")) << LeakText(leaks);
}

TEST(Machine, WithoutACardThereAreNoDevices) {
  sim::Machine machine;
  EXPECT_EQ(nullptr, machine.card());
  EXPECT_EQ(nullptr, machine.CodecPdo());
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, machine.PowerCycleCodec(true));
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, machine.SurpriseRemoveCodec());
  EXPECT_CLEAN_SHUTDOWN(machine);
}

TEST(Machine, BadProfileNameThrowsAndLeavesNoMachine) {
  sim::MachineOptions options;
  options.card_profile = "no_such_profile.json";
  EXPECT_THROW(sim::Machine machine(options), sim::card::ProfileError);
  EXPECT_EQ(nullptr, sim::Machine::Current());
}

}  // namespace
