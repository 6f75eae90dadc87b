// PnP: building stacks from the configuration, start, power, removal,
// driver loading and unloading, device interfaces.
#include <algorithm>
#include <future>
#include <thread>

#include "sim/core/debug_log.h"
#include "tests/kernel/kernel_test.h"

namespace kerneltest {
namespace {

using namespace sim::kernel;

// KSCATEGORY_AUDIO and KSCATEGORY_RENDER.
constexpr GUID kAudio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kRender = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

using PnpTest = KernelTest;

TEST_F(PnpTest, StackIsBuiltInOrderAndStartedThenRemovedAndUnloaded) {
  InstallDrivers(kInstance);
  PDEVICE_OBJECT pdo = CreateAndStartDevice(kInstance);
  ASSERT_NE(nullptr, pdo);
  EXPECT_EQ(pdo, PnpFindDevice(u"oratest\\device\\1&2345&0&0001"));
  EXPECT_EQ(PowerDeviceD0, PnpDevicePowerState(pdo));
  EXPECT_EQ((std::vector<std::string>{"lower add", "filter add", "filter pnp 0", "lower pnp 0", "bus pnp 0",
                                      "filter completion 0x00000000 pending=0"}),
            Log().Lines());
  Log().Clear();
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo));
  EXPECT_EQ((std::vector<std::string>{"filter pnp 1", "lower pnp 1", "bus pnp 1",
                                      "filter completion 0x00000000 pending=0", "filter pnp 2", "lower pnp 2",
                                      "bus pnp 2", "filter removed", "lower unload", "filter unload"}),
            Log().Lines());
  EXPECT_EQ(nullptr, FindLoadedDriver(u"OraTestLower"));
  EXPECT_EQ(nullptr, FindLoadedDriver(u"OraTestFilter"));
  EXPECT_EQ(nullptr, PnpFindDevice(kInstance));
}

TEST_F(PnpTest, LowerFiltersComeBeforeTheFunctionDriver) {
  InstallDrivers(kInstance);
  SetDeviceInstanceDrivers(kInstance, u"OraTestLower", {u"OraTestFilter"}, {});
  PDEVICE_OBJECT pdo = CreateAndStartDevice(kInstance);
  ASSERT_NE(nullptr, pdo);
  EXPECT_EQ("filter add", Log().Lines().at(0));
  EXPECT_EQ("lower add", Log().Lines().at(1));
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo));
}

TEST_F(PnpTest, PowerRequestsGoDownTheWholeStack) {
  InstallDrivers(kInstance);
  PDEVICE_OBJECT pdo = CreateAndStartDevice(kInstance);
  ASSERT_NE(nullptr, pdo);
  struct Case {
    const char* name;
    bool device;
    int state;
    std::string shown;
  };
  const Case cases[] = {{"to D3", true, PowerDeviceD3, "D3"},
                        {"to D0", true, PowerDeviceD0, "D0"},
                        {"system sleep", false, PowerSystemSleeping3, "S3"},
                        {"system working", false, PowerSystemWorking, "S0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Log().Clear();
    const NTSTATUS status = c.device ? PnpSetDevicePowerState(pdo, static_cast<DEVICE_POWER_STATE>(c.state))
                                     : PnpSetSystemPowerState(pdo, static_cast<SYSTEM_POWER_STATE>(c.state));
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ((std::vector<std::string>{"filter power " + c.shown, "lower power " + c.shown, "bus power " + c.shown,
                                        "filter completion 0x00000000 pending=0"}),
              Log().Lines());
    if (c.device) {
      EXPECT_EQ(c.state, PnpDevicePowerState(pdo));
    }
  }
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo));
}

TEST_F(PnpTest, RemoveWaitsForOutstandingRequests) {
  InstallDrivers(kInstance);
  PDEVICE_OBJECT pdo = CreateAndStartDevice(kInstance);
  ASSERT_NE(nullptr, pdo);
  Lower().action = LowerAction::Pend;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_KS, 0, METHOD_NEITHER, FILE_ANY_ACCESS), top, nullptr,
                                           0, nullptr, 0, FALSE, &event, &iosb);
  ObDereferenceObject(top);
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(top, irp));

  std::promise<void> waiting;
  Filter().remove_waiting = &waiting;
  std::promise<NTSTATUS> removed;
  std::thread pnp([&] { removed.set_value(PnpRemoveDevice(pdo)); });
  waiting.get_future().wait();
  auto result = removed.get_future();
  EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::seconds(0)));
  Log().Add("completing");
  ASSERT_TRUE(CompletePending(STATUS_SUCCESS, 0));
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
  EXPECT_EQ(STATUS_SUCCESS, result.get());
  pnp.join();
  const auto lines = Log().Lines();
  const auto completing = std::find(lines.begin(), lines.end(), "completing");
  const auto done = std::find(lines.begin(), lines.end(), "filter removed");
  ASSERT_NE(lines.end(), done);
  EXPECT_LT(completing, done);
}

TEST_F(PnpTest, RequestAfterRemovalIsDeletePending) {
  InstallDrivers(kInstance);
  // The filter stays loaded while a second device keeps using it.
  const std::u16string second = u"ORATEST\\DEVICE\\1&2345&0&0002";
  SetDeviceInstanceDrivers(second, u"OraTestLower", {}, {u"OraTestFilter"});
  PDEVICE_OBJECT pdo = CreateAndStartDevice(kInstance);
  PDEVICE_OBJECT other = CreateAndStartDevice(second);
  ASSERT_NE(nullptr, pdo);
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(STATUS_SUCCESS, PnpSurpriseRemoveDevice(pdo));
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo));
  EXPECT_NE(nullptr, FindLoadedDriver(u"OraTestFilter"));
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(other));
  EXPECT_EQ(nullptr, FindLoadedDriver(u"OraTestFilter"));
}

TEST_F(PnpTest, MissingServiceOrImageFailsTheStart) {
  struct Case {
    const char* name;
    std::u16string image;
    NTSTATUS status;
  };
  const Case cases[] = {{"no service key", u"", STATUS_OBJECT_NAME_NOT_FOUND},
                        {"no such file", u"/nonexistent/OraMissing.so", STATUS_DLL_NOT_FOUND}};
  InstallDrivers(kInstance);
  PDRIVER_OBJECT bus = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, LoadDriver(u"OraTestBus", &bus));
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string id = u"ORATEST\\MISSING\\" + std::u16string(1, static_cast<char16_t>(u'0' + n++));
    SetDeviceInstanceDrivers(id, u"OraMissing", {}, {});
    if (!c.image.empty()) SetServiceImagePath(u"OraMissing", c.image);
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PnpCreateChildDevice(bus, {id, {}, FILE_DEVICE_UNKNOWN, 0}, &pdo));
    EXPECT_EQ(c.status, PnpStartDevice(pdo));
    // The bus driver removes its child; the PDO is gone.
    EXPECT_EQ(nullptr, PnpFindDevice(id));
  }
}

TEST_F(PnpTest, DriverImageIsLoadedFromItsFile) {
  SetServiceImagePath(u"OraImage", u"" ORA_TEST_KERNEL_IMAGE);
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, LoadDriver(u"OraImage", &driver));
  EXPECT_TRUE(sim::DebugLog::Get().Contains("image driver loaded, 60 characters of registry path"))
      << sim::DebugLog::Get().Text();
  EXPECT_EQ(u"\\Driver\\OraImage", std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2));
  UnloadDriver(driver);
  EXPECT_TRUE(sim::DebugLog::Get().Contains("image driver unloaded"));
}

class InterfaceTest : public KernelTest {
 protected:
  static constexpr const char16_t* kId =
      u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1000\\4&2C5A9E3&0&0001";

  void RegisterBoth(PDEVICE_OBJECT pdo, const char16_t* reference, UNICODE_STRING* audio, UNICODE_STRING* render) {
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, reference);
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kAudio, &ref, audio));
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kRender, &ref, render));
  }
};

TEST_F(InterfaceTest, SymbolicLinksHaveTheWindowsFormAndAliasesShareTheReference) {
  InstallDrivers(kId);
  PDEVICE_OBJECT pdo = CreateAndStartDevice(kId);
  ASSERT_NE(nullptr, pdo);
  UNICODE_STRING audio, render;
  RegisterBoth(pdo, u"eLineOutWave", &audio, &render);
  const std::u16string link(audio.Buffer, audio.Length / 2);
  EXPECT_EQ(
      u"\\??\\HDAUDIO#FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1000#4&2C5A9E3&0&0001#"
      u"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\eLineOutWave",
      link);
  EXPECT_EQ(0, audio.Buffer[audio.Length / 2]);
  EXPECT_TRUE(GetDeviceInterfaces(kAudio).empty());  // registered, not yet enabled
  EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&audio, TRUE));
  EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&audio, TRUE));
  EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&render, TRUE));

  const auto list = GetDeviceInterfaces(kAudio);
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(
      u"\\\\?\\hdaudio#func_01&ven_10ec&dev_1220&subsys_1458a0c3&rev_1000#4&2c5a9e3&0&0001#"
      u"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\elineoutwave",
      list[0].device_path);
  EXPECT_EQ(u"eLineOutWave", list[0].reference_string);
  const auto alias = GetDeviceInterfaceAlias(list[0].device_path, kRender);
  ASSERT_TRUE(alias.has_value());
  EXPECT_EQ(std::u16string(render.Buffer, render.Length / 2), alias->symbolic_link);

  // Opening the interface path gives the driver the reference string as FileName.
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, OpenDevicePath(list[0].device_path, nullptr, &file));
  EXPECT_EQ(u"\\elineoutwave", std::u16string(file->FileName.Buffer, file->FileName.Length / 2));
  EXPECT_EQ(pdo, file->DeviceObject);
  CloseFileHandle(file);

  RtlFreeUnicodeString(&audio);
  RtlFreeUnicodeString(&render);
  EXPECT_EQ(STATUS_SUCCESS, PnpRemoveDevice(pdo));
  EXPECT_TRUE(GetDeviceInterfaces(kAudio).empty());
  EXPECT_EQ(1u, GetDeviceInterfaces(kAudio, false).size());
}

TEST_F(InterfaceTest, UnknownLinkAndNonPdoAreRefused) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\??\\NOPE#1#{6994ad04-93ef-11d0-a3cc-00a0c9223196}");
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&link, TRUE));
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            OpenDevicePath(u"\\\\?\\nope#1#{6994ad04-93ef-11d0-a3cc-00a0c9223196}", nullptr, &file));
  EXPECT_EQ(nullptr, file);
}

}  // namespace
}  // namespace kerneltest
