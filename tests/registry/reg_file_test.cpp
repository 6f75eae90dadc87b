// .reg import and export: every value type round-trips byte for byte, and a
// malformed file is refused with its line and reason, changing nothing.
#include "tests/registry/registry_fixture.h"

namespace regtest {
namespace {

using reg::Status;

class RegFileTest : public RegistryTest {
 protected:
  reg::Store& store = reg::Store::Get();

  void Set(std::u16string_view path, std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
    ASSERT_EQ(Status::Success, store.EnsureKey(path));
    reg::Key key;
    ASSERT_EQ(Status::Success, store.Open(nullptr, path, reg::access::kAllAccess, &key));
    ASSERT_EQ(Status::Success, store.SetValue(key, name, type, data.data(), data.size()));
  }

  std::vector<reg::Value> Values(std::u16string_view path) {
    reg::Key key;
    EXPECT_EQ(Status::Success, store.Open(nullptr, path, reg::access::kRead, &key)) << reg::ToUtf8(path);
    std::vector<reg::Value> out;
    reg::Value v;
    for (uint32_t i = 0; store.EnumerateValue(key, i, &v) == Status::Success; ++i) out.push_back(v);
    return out;
  }

  std::string ExportAll() {
    std::string text;
    EXPECT_EQ(Status::Success, store.Export(reg::kRegistryRoot, &text));
    return text;
  }

  void ExpectSameValues(const std::vector<reg::Value>& expected, const std::vector<reg::Value>& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE(reg::ToUtf8(expected[i].name));
      EXPECT_EQ(expected[i].name, actual[i].name);
      EXPECT_EQ(expected[i].type, actual[i].type);
      EXPECT_EQ(expected[i].data, actual[i].data);
    }
  }
};

TEST_F(RegFileTest, EveryValueTypeRoundTripsByteForByte) {
  const std::u16string key = Machine(u"SOFTWARE\\ASIO\\Calvex VN ORA ASIO Device");
  std::vector<uint8_t> long_binary;
  for (int i = 0; i < 300; ++i) long_binary.push_back(static_cast<uint8_t>(i * 7));
  auto clsid = Utf16Bytes(u"{5E1A7C20-4D3B-4F86-9C21-3A7B90D4E615}");  // no NUL: 76 bytes
  auto with_nul = Utf16Bytes(std::u16string(u"Calvex VN ORA ASIO") + u'\0');
  auto quoted = Utf16Bytes(std::u16string(u"C:\\Path \"quoted\" \u00e9\u4e2d") + u'\0');
  auto inner_nul = Utf16Bytes(std::u16string(u"a\0b\0", 4));
  auto multi = Utf16Bytes(std::u16string(u"one\0two\0\0", 9));
  auto expand = Utf16Bytes(std::u16string(u"%SystemRoot%\\x") + u'\0');
  Set(key, u"CLSID", reg::type::kSz, clsid);
  Set(key, u"Description", reg::type::kSz, with_nul);
  Set(key, u"", reg::type::kSz, quoted);
  Set(key, u"Inner\\\"Nul", reg::type::kSz, inner_nul);
  Set(key, u"Odd string", reg::type::kSz, {0x41, 0x00, 0x42});
  Set(key, u"Empty string", reg::type::kSz, {});
  Set(key, u"Multi", reg::type::kMultiSz, multi);
  Set(key, u"Expand", reg::type::kExpandSz, expand);
  Set(key, u"Binary", reg::type::kBinary, long_binary);
  Set(key, u"Empty binary", reg::type::kBinary, {});
  Set(key, u"Latency", reg::type::kDword, {0x2a, 0, 0, 0});
  Set(key, u"Short dword", reg::type::kDword, {1, 2, 3});
  Set(key, u"SampleRate", reg::type::kQword, {0, 0, 0, 0, 0, 0x70, 0xE7, 0x40});
  Set(key, u"None", reg::type::kNone, {9});
  Set(key, u"Custom", 0x1234, {1, 2});
  Set(User(u"Software\\Calvex Tech\\OraAsio"), u"Latency", reg::type::kDword, {50, 0, 0, 0});
  const auto expected = Values(key);
  const auto expected_user = Values(User(u"Software\\Calvex Tech\\OraAsio"));
  const std::string text = ExportAll();

  store.Reset();
  ASSERT_FALSE(store.Exists(key));
  reg::ImportError error;
  ASSERT_EQ(Status::Success, store.Import(text, &error)) << error.line << ": " << error.reason;
  ExpectSameValues(expected, Values(key));
  ExpectSameValues(expected_user, Values(User(u"Software\\Calvex Tech\\OraAsio")));
  EXPECT_EQ(text, ExportAll());
}

TEST_F(RegFileTest, ExportWritesRegeditForms) {
  const std::u16string key = Machine(u"SOFTWARE\\ASIO\\Dev");
  Set(key, u"CLSID", reg::type::kSz, Utf16Bytes(u"{AB}"));
  Set(key, u"Description", reg::type::kSz, Utf16Bytes(std::u16string(u"D \"q\" \\", 7) + u'\0'));
  Set(key, u"", reg::type::kDword, {0x2a, 0, 0, 0});
  Set(key, u"Q", reg::type::kQword, {1, 2, 3, 4, 5, 6, 7, 8});
  std::string text;
  ASSERT_EQ(Status::Success, store.Export(Machine(u"software\\asio"), &text));
  EXPECT_EQ(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\Dev]\r\n"
      "\"CLSID\"=hex(1):7b,00,41,00,42,00,7d,00\r\n"
      "\"Description\"=\"D \\\"q\\\" \\\\\"\r\n"
      "@=dword:0000002a\r\n"
      "\"Q\"=hex(b):01,02,03,04,05,06,07,08\r\n\r\n",
      text);
}

TEST_F(RegFileTest, LongHexListsWrapAtEightyColumns) {
  Set(Machine(u"SOFTWARE\\Wide"), u"Blob", reg::type::kBinary, std::vector<uint8_t>(100, 0xAB));
  std::string text;
  ASSERT_EQ(Status::Success, store.Export(Machine(u"SOFTWARE\\Wide"), &text));
  std::size_t start = 0, lines = 0;
  while (start < text.size()) {
    const auto end = text.find("\r\n", start);
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    start = end + 2;
    ++lines;
  }
  EXPECT_GT(lines, 5u);
}

TEST_F(RegFileTest, ImportReadsEveryForm) {
  const char* text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\n"
      "[HKEY_CURRENT_USER\\Software\\Calvex Tech\\CvDsd]\n"
      "\"LatencyMs\"=dword:32\n"
      "\"SampleRate\"=hex(b):00,00,00,00,00,70,e7,\\\n"
      "  40\n"
      "\"Path\"=\"C:\\\\Dsd\\\\\"\n"
      "@=\"default\"\n"
      "\"Gone\"=\"x\"\n"
      "\"Gone\"=-\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Doomed\\Child]\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Doomed]\n"
      "[HKEY_CLASSES_ROOT\\OraAsio.CAsio]\n"
      "@=\"CAsio Class\"\n";
  reg::ImportError error;
  ASSERT_EQ(Status::Success, store.Import(text, &error)) << error.line << ": " << error.reason;
  const auto values = Values(User(u"Software\\Calvex Tech\\CvDsd"));
  ASSERT_EQ(4u, values.size());
  EXPECT_EQ((std::vector<uint8_t>{0x32, 0, 0, 0}), values[0].data);
  EXPECT_EQ(reg::type::kQword, values[1].type);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 0x70, 0xE7, 0x40}), values[1].data);
  EXPECT_EQ(Utf16Bytes(std::u16string(u"C:\\Dsd\\") + u'\0'), values[2].data);
  EXPECT_EQ(u"", values[3].name);
  EXPECT_FALSE(store.Exists(Machine(u"SOFTWARE\\Doomed")));
  EXPECT_EQ(Utf16Bytes(std::u16string(u"CAsio Class") + u'\0'),
            Native(Machine(u"SOFTWARE\\Classes\\OraAsio.CAsio"), u"").data);
}

TEST_F(RegFileTest, ImportReadsUtf16WithByteOrderMark) {
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\W]\r\n\"N\"=\"\u00e9\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  reg::ImportError error;
  ASSERT_EQ(Status::Success, store.Import(bytes, &error)) << error.reason;
  EXPECT_EQ(Utf16Bytes(std::u16string(u"\u00e9") + u'\0'), Native(Machine(u"SOFTWARE\\W"), u"N").data);
}

TEST_F(RegFileTest, MalformedFileIsRefusedWithLineAndReasonAndNothingApplied) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string good = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Applied]\n\"V\"=dword:00000001\n";
  struct Case {
    std::string text;
    int line;
    const char* reason;
  };
  const Case cases[] = {
      {"REGEDIT4\n" + good, 1, "Windows Registry Editor Version 5.00"},
      {"", 1, "Windows Registry Editor Version 5.00"},
      {header + "\"V\"=dword:1\n", 2, "before the first key"},
      {header + good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\n", 4, "does not end with ']'"},
      {header + good + "[HKEY_NOWHERE\\X]\n", 4, "unknown root key"},
      {header + good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\X]\n", 4, "empty key name"},
      {header + good + "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n", 4, "hive"},
      {header + good + "\"V\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {header + good + "\"V\"=dword:xyz\n", 4, "1 to 8 hex digits"},
      {header + good + "\"V\"=hex:01,zz\n", 4, "bad byte"},
      {header + good + "\"V\"=hex:01,\n", 4, "ends with a comma"},
      {header + good + "\"V\"=hex(q):01\n", 4, "bad value type"},
      {header + good + "\"V\"=hex:01,\\\n", 4, "ends inside a continued line"},
      {header + good + "\"V\"=\"unterminated\n", 4, "closing quote"},
      {header + good + "\"V\"=\"a\\tb\"\n", 4, "unknown escape"},
      {header + good + "\"V\"=\"a\" trailing\n", 4, "after the closing quote"},
      {header + good + "\"V\" dword:1\n", 4, "'=' expected"},
      {header + good + "\"V\"=word:1\n", 4, "unknown value data"},
      {header + good + "garbage\n", 4, "unexpected text"},
  };
  const std::string before = ExportAll();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    reg::ImportError error;
    EXPECT_EQ(Status::BadFormat, store.Import(c.text, &error));
    EXPECT_EQ(c.line, error.line);
    EXPECT_NE(std::string::npos, error.reason.find(c.reason)) << error.reason;
    EXPECT_FALSE(store.Exists(Machine(u"SOFTWARE\\Applied")));
  }
  EXPECT_EQ(before, ExportAll());
}

TEST_F(RegFileTest, ExportOfAMissingKeyIsNotFoundAndVolatileKeysStayOut) {
  std::string text;
  EXPECT_EQ(Status::NotFound, store.Export(Machine(u"SOFTWARE\\Missing"), &text));
  reg::Key key;
  ASSERT_EQ(Status::Success, store.Create(nullptr, Machine(u"SOFTWARE\\Session"), reg::access::kAllAccess,
                                          reg::kOptionVolatile, u"", &key, nullptr));
  EXPECT_EQ(std::string::npos, ExportAll().find("Session"));
}

}  // namespace
}  // namespace regtest
