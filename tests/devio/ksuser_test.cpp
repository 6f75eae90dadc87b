// ksuser.dll's KsCreatePin, found the way the KS client finds it.
#include "platform/ksuser.h"

#include <cstring>
#include <vector>

#include "tests/devio/fixture.h"

namespace {

struct PinRequest {
  KSPIN_CONNECT connect;
  KSDATAFORMAT_WAVEFORMATEX format;
};

PinRequest MakeRequest(ULONG pin_id) {
  PinRequest r{};
  r.connect.Interface = {KSINTERFACESETID_Standard, 1, 0};
  r.connect.Medium = {KSMEDIUMSETID_Standard, 0, 0};
  r.connect.PinId = pin_id;
  r.connect.Priority = {0x40000000, 1};
  r.format.DataFormat.FormatSize = sizeof(KSDATAFORMAT) + 18;
  r.format.DataFormat.SampleSize = 4;
  r.format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.format.WaveFormatEx = {1, 2, 48000, 192000, 4, 16, 0};
  return r;
}

ORA_PFN_KSCREATEPIN LoadKsCreatePin(HMODULE* module) {
  *module = LoadLibraryA("ksuser.dll");
  if (!*module) return nullptr;
  return reinterpret_cast<ORA_PFN_KSCREATEPIN>(reinterpret_cast<void*>(GetProcAddress(*module, "KsCreatePin")));
}

TEST_F(DevioTest, KsCreatePinReachesTheFilterByteForByte) {
  HMODULE module = nullptr;
  ORA_PFN_KSCREATEPIN create_pin = LoadKsCreatePin(&module);
  ASSERT_NE(nullptr, create_pin);
  UniqueHandle filter(Open(kLineOutPath));
  ASSERT_NE(INVALID_HANDLE_VALUE, filter.get());
  PinRequest request = MakeRequest(1);
  HANDLE pin = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            create_pin(filter.get(), &request.connect, GENERIC_READ | GENERIC_WRITE, &pin));
  UniqueHandle pin_handle(pin);
  ASSERT_NE(nullptr, pin);

  auto log = devio_test::TakeLog();
  ASSERT_EQ(2u, log.creates.size());
  const auto create = log.creates[1];
  EXPECT_EQ(log.creates[0].file, create.related);
  const std::u16string text = u"\\{146F1A80-4791-11D0-A5D6-28DB04C10000}";
  ASSERT_EQ(text.size() * 2 + 72 + 82, create.file_name.size() * 2);
  EXPECT_EQ(text, create.file_name.substr(0, text.size()));
  EXPECT_EQ(0, std::memcmp(create.file_name.data() + text.size(), &request, 72 + 82));

  // The pin handle carries requests to the pin's own file object.
  EXPECT_TRUE(DeviceIoControl(pin, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, nullptr, nullptr));
  log = devio_test::TakeLog();
  ASSERT_EQ(1u, log.controls.size());
  EXPECT_EQ(create.file, log.controls[0].file);
  pin_handle.reset();
  filter.reset();
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(DevioTest, KsCreatePinReturnsTheWin32ErrorOfTheCreate) {
  HMODULE module = nullptr;
  ORA_PFN_KSCREATEPIN create_pin = LoadKsCreatePin(&module);
  ASSERT_NE(nullptr, create_pin);
  UniqueHandle filter(Open(kLineOutPath));
  PinRequest request = MakeRequest(99);
  HANDLE pin = reinterpret_cast<HANDLE>(0x5A5A);
  EXPECT_EQ(ERROR_NO_MATCH, create_pin(filter.get(), &request.connect, GENERIC_READ, &pin));
  EXPECT_EQ(reinterpret_cast<HANDLE>(0x5A5A), pin);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
            create_pin(reinterpret_cast<HANDLE>(0x4444), &request.connect, GENERIC_READ, &pin));
  filter.reset();
  EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
