// Device-interface lists, details and aliases as the KS client walks them.
#include <cstring>
#include <vector>

#include "tests/devio/fixture.h"

namespace {

SP_DEVICE_INTERFACE_DATA InterfaceData() {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  return data;
}

UniqueDevInfo AudioSet() {
  return UniqueDevInfo(
      SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
}

std::string PathOf(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data) {
  std::vector<char> buffer(528, '\x5A');
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  DWORD required = 0;
  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, data, detail, 528, &required, &info));
  EXPECT_EQ(buffer[required], '\x5A') << "byte past the path";
  return detail->DevicePath;
}

TEST_F(DevioTest, EnumeratesTheClassInRegistrationOrder) {
  auto set = AudioSet();
  ASSERT_NE(INVALID_HANDLE_VALUE, set.get());
  auto data = InterfaceData();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  EXPECT_EQ(KSCATEGORY_AUDIO, data.InterfaceClassGuid);
  EXPECT_EQ(SPINT_ACTIVE, data.Flags);
  EXPECT_EQ(kLineOutPath, PathOf(set.get(), &data));
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 1, &data));
  EXPECT_EQ(kMicInPath, PathOf(set.get(), &data));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 2, &data));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
}

TEST_F(DevioTest, DetailSizeQueryAnswersTheRequiredSize) {
  auto set = AudioSet();
  auto data = InterfaceData();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  DWORD required = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set.get(), &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(4 + kLineOutPath.size() + 1, required);

  std::vector<char> buffer(required - 1, '\x5A');
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = 8;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set.get(), &data, detail, required - 1, &required, nullptr));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
}

TEST_F(DevioTest, RecordSizesAreChecked) {
  auto set = AudioSet();
  auto data = InterfaceData();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  std::vector<char> buffer(528);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  // A 32-bit build's cbSize of 5 is wrong on 64-bit.
  for (DWORD size : {0u, 5u, 6u, 32u}) {
    SCOPED_TRACE(size);
    detail->cbSize = size;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set.get(), &data, detail, 528, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());
  }
  auto bad = InterfaceData();
  bad.cbSize = 28;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 0, &bad));
  EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());
}

TEST_F(DevioTest, AliasesOfTheSameDeviceAndReference) {
  auto set = AudioSet();
  auto data = InterfaceData();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  auto alias = InterfaceData();
  ASSERT_TRUE(SetupDiGetDeviceInterfaceAlias(set.get(), &data, &KSCATEGORY_RENDER, &alias));
  EXPECT_EQ(KSCATEGORY_RENDER, alias.InterfaceClassGuid);
  EXPECT_EQ(SPINT_ACTIVE, alias.Flags);
  EXPECT_EQ("\\\\?\\root#oradevtest#0000#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\elineoutwave",
            PathOf(set.get(), &alias));

  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set.get(), nullptr, &KSCATEGORY_AUDIO, 1, &data));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceAlias(set.get(), &data, &KSCATEGORY_RENDER, &alias));
  EXPECT_EQ(ERROR_NO_SUCH_DEVICE_INTERFACE, GetLastError());
  EXPECT_EQ(0xE0000225u, ERROR_NO_SUCH_DEVICE_INTERFACE);
}

TEST_F(DevioTest, RemovedDeviceLeavesNoPresentInterface) {
  auto before = UniqueDevInfo(SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
  ASSERT_EQ(STATUS_SUCCESS, sim::kernel::PnpRemoveDevice(pdo_));
  pdo_ = nullptr;
  auto present = AudioSet();
  auto data = InterfaceData();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(present.get(), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  // Without DIGCF_PRESENT the interface is still listed, as removed.
  auto all = UniqueDevInfo(SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all.get(), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  EXPECT_EQ(SPINT_REMOVED, data.Flags);
  // A set taken before is a snapshot: its flags are those of that moment.
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(before.get(), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  EXPECT_EQ(SPINT_ACTIVE, data.Flags);
}

TEST_F(DevioTest, BadArgumentsToTheSetCalls) {
  struct Case {
    DWORD flags;
    DWORD error;
  } const cases[] = {{DIGCF_PRESENT, ERROR_INVALID_FLAGS},
                     {DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES, ERROR_INVALID_FLAGS},
                     {0x100 | DIGCF_DEVICEINTERFACE, ERROR_INVALID_FLAGS}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, c.flags));
    EXPECT_EQ(c.error, GetLastError());
  }
  auto data = InterfaceData();
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(reinterpret_cast<HDEVINFO>(0x1234), nullptr, &KSCATEGORY_AUDIO, 0, &data));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace
