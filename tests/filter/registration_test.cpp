// The DSD ASIO driver's entry, kept in step with the bus component's
// capability bit in both registry views. These run once the kernel registry
// calls are part of the simulated kernel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wdm_zw.h"
#include "sim/kernel/kernel.h"
#include "sim/registry/store.h"
#include "tests/filter/harness.h"

using namespace filter_test;
namespace reg = sim::registry;

namespace {

const std::u16string kNative = u"\\REGISTRY\\MACHINE\\SOFTWARE\\ASIO";
const std::u16string kWow = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\ASIO";
const std::u16string kEntry = u"\\Calvex VN ORA DSD ASIO Device";
constexpr char16_t kDsdClsid[] = u"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}";

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef ORA_ZW_FALLBACK
    GTEST_SKIP() << "the simulated kernel has no registry calls yet";
#endif
    reg::Store::Get().Reset();
  }
  void Import(const std::string& body) {
    reg::ImportError error;
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n" + body;
    ASSERT_EQ(reg::Status::Success, reg::Store::Get().Import(text, &error)) << error.line << ": " << error.reason;
  }
  static bool Exists(const std::u16string& path) { return reg::Store::Get().Exists(path); }
  static std::vector<uint8_t> Value(const std::u16string& path, std::u16string_view name) {
    reg::Key key;
    reg::Value value;
    EXPECT_EQ(reg::Status::Success, reg::Store::Get().Open(nullptr, path, reg::access::kRead, &key));
    EXPECT_EQ(reg::Status::Success, reg::Store::Get().QueryValue(key, name, &value));
    return value.data;
  }
  static std::vector<uint8_t> Utf16z(std::u16string_view s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
      out.push_back(static_cast<uint8_t>(c & 0xFF));
      out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
  }
  // The first create runs the synchronisation.
  ULONG Sync(sim::card::CodecProfile codec = DefaultCodec()) {
    stack_ = std::make_unique<Stack>(std::move(codec));
    EXPECT_EQ(STATUS_SUCCESS, stack_->start_status());
    TestFile file(u"\\eLineOutWave");
    Request r(stack_->top());
    r.stack()->MajorFunction = IRP_MJ_CREATE;
    r.stack()->FileObject = &file.file;
    r.Send();
    return stack_->filter()->DsdCapable();
  }
  void TearDown() override {
    stack_.reset();
    EXPECT_EQ(std::vector<std::string>(), TakeStackProblems());
  }
  std::unique_ptr<Stack> stack_;
};

TEST_F(RegistrationTest, CapabilityAddsTheEntryInBothViews) {
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\ASIO]\n");
  EXPECT_EQ(1u, Sync());
  for (const auto& view : {kNative, kWow}) {
    const auto clsid = Value(view + kEntry, u"CLSID");
    EXPECT_EQ(78u, clsid.size());
    EXPECT_EQ(Utf16z(kDsdClsid), clsid);
    EXPECT_EQ(Utf16z(u"Calvex VN ORA DSD ASIO"), Value(view + kEntry, u"Description"));
  }
}

TEST_F(RegistrationTest, AViewWithoutAnAsioKeyGetsNone) {
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO]\n");
  EXPECT_EQ(1u, Sync());
  EXPECT_TRUE(Exists(kNative + kEntry));
  EXPECT_FALSE(Exists(kWow));
}

TEST_F(RegistrationTest, AnExistingEntryIsLeftAsItIs) {
  Import(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\Calvex VN ORA DSD ASIO Device]\n"
      "\"Description\"=\"Something else\"\n");
  EXPECT_EQ(1u, Sync());
  EXPECT_EQ(Utf16z(u"Something else"), Value(kNative + kEntry, u"Description"));
}

TEST_F(RegistrationTest, WithoutCapabilityEveryEntryOfTheDsdClassGoesInOneRun) {
  const std::string view_body =
      "\\A]\n\"CLSID\"=\"{a3c86e14-72d9-4b05-8e3f-1d64c2b9f078}\"\n\n"
      "[@\\B]\n\"CLSID\"=\"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}\"\n\n"
      "[@\\C]\n\"CLSID\"=\"{5E1A7C20-4D3B-4F86-9C21-3A7B90D4E615}\"\n\n"
      "[@\\D]\n\"CLSID\"=\"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}x\"\n\n"
      "[@\\E]\n\"CLSID\"=\"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}\"\n\n"
      "[@\\E\\Child]\n\n";
  std::string text;
  for (const char* root : {"HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\ASIO"}) {
    std::string body = "[@" + view_body;
    for (std::size_t at; (at = body.find('@')) != std::string::npos;) body.replace(at, 1, root);
    text += body;
  }
  Import(text);
  Kvlnk().control[0x300] = 0x10;
  EXPECT_EQ(0u, Sync());
  for (const auto& view : {kNative, kWow}) {
    EXPECT_FALSE(Exists(view + u"\\A"));
    EXPECT_FALSE(Exists(view + u"\\B"));
    EXPECT_TRUE(Exists(view + u"\\C"));
    EXPECT_TRUE(Exists(view + u"\\D"));
    EXPECT_TRUE(Exists(view + u"\\E"));  // it has a subkey of its own
  }
}

TEST_F(RegistrationTest, AnUnreachableBusComponentCountsAsNoCapability) {
  Import(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\Calvex VN ORA DSD ASIO Device]\n"
      "\"CLSID\"=\"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}\"\n");
  Kvlnk().present = false;
  EXPECT_EQ(0u, Sync());
  EXPECT_FALSE(Exists(kNative + kEntry));
}

TEST_F(RegistrationTest, OtherCodecsLeaveTheRegistryAlone) {
  Import(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\Calvex VN ORA DSD ASIO Device]\n"
      "\"CLSID\"=\"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}\"\n");
  Kvlnk().control[0x300] = 0x10;
  EXPECT_EQ(0u, Sync(Codec0899()));
  EXPECT_TRUE(Exists(kNative + kEntry));
}

}  // namespace
