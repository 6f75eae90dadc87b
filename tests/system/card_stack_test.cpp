// The default card with OraFilt in its stack, seen from user mode: every
// filter of the card answers the filter's presence property.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/orafilt_props.h"
#include "platform/ks.h"
#include "platform/win32.h"
#include "sim/machine.h"

namespace {

struct DevInfoCloser {
  void operator()(HDEVINFO set) const noexcept { SetupDiDestroyDeviceInfoList(set); }
};
struct HandleCloser {
  void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};

std::vector<std::string> InterfacePaths(const GUID& category) {
  std::unique_ptr<void, DevInfoCloser> set(
      SetupDiGetClassDevsA(&category, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  std::vector<std::string> paths;
  if (set.get() == INVALID_HANDLE_VALUE) return paths;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &category, i, &data)) break;
    std::vector<char> buffer(1024);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set.get(), &data, detail, static_cast<DWORD>(buffer.size()), nullptr,
                                         nullptr))
      paths.emplace_back(detail->DevicePath);
  }
  return paths;
}

// A GET of the presence property on an open filter: the value, or -1 when the request fails.
LONG QueryPresence(HANDLE filter) {
  KSPROPERTY property{};
  property.Set = KSPROPSETID_OraFilt;
  property.Id = KSPROPERTY_ORAFILT_PRESENT;
  property.Flags = KSPROPERTY_TYPE_GET;
  ULONG value = 0;
  DWORD returned = 0;
  if (!DeviceIoControl(filter, IOCTL_KS_PROPERTY, &property, sizeof property, &value, sizeof value, &returned,
                       nullptr))
    return -1;
  return returned == sizeof value ? static_cast<LONG>(value) : -1;
}

struct Case {
  const char* profile;
  bool filter;
  LONG expected;
};

class CardStack : public ::testing::TestWithParam<Case> {};

TEST_P(CardStack, EveryAudioFilterAnswersPresenceOnlyWithTheFilterInStack) {
  const Case& c = GetParam();
  sim::MachineOptions options;
  options.card_profile = c.profile;
  options.install_filter = c.filter;
  options.filter_image = ORA_FILTER_IMAGE_PATH;
  sim::Machine machine(options);
  ASSERT_EQ(STATUS_SUCCESS, machine.boot().codec) << "the codec's stack did not start";
  ASSERT_EQ(c.filter, machine.FilterInstalled());

  const std::vector<std::string> paths = InterfacePaths(KSCATEGORY_AUDIO);
  ASSERT_FALSE(paths.empty());
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    std::unique_ptr<void, HandleCloser> filter(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, filter.get());
    EXPECT_EQ(c.expected, QueryPresence(filter.get()));
  }
  machine.Shutdown();
  for (const auto& leak : machine.Leaks()) ADD_FAILURE() << leak;
}

INSTANTIATE_TEST_SUITE_P(Profiles, CardStack,
                         ::testing::Values(Case{"default.json", true, 1}, Case{"codec_0899.json", true, 1},
                                           Case{"default.json", false, -1}),
                         [](const auto& info) {
                           std::string name = std::string(info.param.profile).substr(0, 6) +
                                              (info.param.filter ? "_filtered" : "_bare");
                           for (char& ch : name)
                             if (ch == '.' || ch == '_') ch = '_';
                           return name;
                         });

}  // namespace
