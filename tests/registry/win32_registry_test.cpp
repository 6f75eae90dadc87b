// The ANSI registry functions, pinned to Windows behaviour. Written against
// the Win32 API only (plus the store to look underneath), so the expectations
// are those a Windows machine gives an administrator's 64-bit process.
#include <cstring>

#include "platform/win32/sync.h"
#include "tests/registry/registry_fixture.h"

namespace regtest {
namespace {

constexpr char kClsid[] = "{5E1A7C20-4D3B-4F86-9C21-3A7B90D4E615}";
constexpr DWORD kSentinel = 0xdeadbeef;

class Win32RegistryTest : public RegistryTest {
 protected:
  UniqueKey Create(HKEY root, const char* path, REGSAM sam = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &key, disposition))
        << path;
    return UniqueKey(key);
  }
  UniqueKey Open(HKEY root, const char* path, REGSAM sam, LONG expected = ERROR_SUCCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(expected, RegOpenKeyExA(root, path, 0, sam, &key)) << path;
    return UniqueKey(expected == ERROR_SUCCESS ? key : nullptr);
  }
  static std::string QueryString(HKEY key, const char* name) {
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size));
    return std::string(buffer, size);
  }
};

TEST_F(Win32RegistryTest, PredefinedKeysHaveWindowsValues) {
  EXPECT_EQ(0xFFFFFFFF80000000ull, reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT));
  EXPECT_EQ(0xFFFFFFFF80000001ull, reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER));
  EXPECT_EQ(0xFFFFFFFF80000002ull, reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE));
  EXPECT_EQ(0xFFFFFFFF80000003ull, reinterpret_cast<ULONG_PTR>(HKEY_USERS));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, key);
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
  // HKEY_CURRENT_USER is the current user's key under HKEY_USERS.
  auto created = Create(HKEY_CURRENT_USER, "Software\\Calvex Tech\\OraAsio");
  Open(HKEY_USERS, "S-1-5-21-1004336348-1177238915-682003330-1001\\Software\\Calvex Tech\\OraAsio", KEY_READ);
}

TEST_F(Win32RegistryTest, AnsiStringsAreStoredAsUtf16WithTheirExactSize) {
  auto key = Create(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Calvex VN ORA ASIO Device");
  // 38 characters, written without the terminating NUL.
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(kClsid), 38));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "Description", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>("Calvex VN ORA ASIO"), 19));
  const auto path = Machine(u"SOFTWARE\\ASIO\\Calvex VN ORA ASIO Device");
  const reg::Value clsid = Native(path, u"CLSID");
  EXPECT_EQ(REG_SZ, clsid.type);
  EXPECT_EQ(Utf16Bytes(u"{5E1A7C20-4D3B-4F86-9C21-3A7B90D4E615}"), clsid.data);  // 76 bytes, no NUL
  EXPECT_EQ(38u, Native(path, u"Description").data.size());                      // 19 ANSI bytes with the NUL

  // Read back as ANSI, with ANSI sizes and nothing written past the data.
  BYTE buffer[64];
  std::memset(buffer, 0xCC, sizeof buffer);
  DWORD size = sizeof buffer, type = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "CLSID", nullptr, &type, buffer, &size));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(38u, size);
  EXPECT_EQ(0, std::memcmp(kClsid, buffer, 38));
  EXPECT_EQ(0xCC, buffer[38]) << "no NUL is added to a string stored without one";
  size = sizeof buffer;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "Description", nullptr, &type, buffer, &size));
  EXPECT_EQ(19u, size);
  EXPECT_EQ(0, buffer[18]);
}

TEST_F(Win32RegistryTest, AnsiCodePageCharactersSurviveTheUtf16Store) {
  auto key = Create(HKEY_CURRENT_USER, "Software\\Calvex Tech");
  const char text[] = "caf\xE9 \x80";  // é and the euro sign of code page 1252
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "T", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 7));
  EXPECT_EQ(Utf16Bytes(std::u16string(u"caf\u00e9 \u20ac") + u'\0'), Native(User(u"Software\\Calvex Tech"), u"T").data);
  EXPECT_EQ(std::string(text, 7), QueryString(key.get(), "T"));
}

TEST_F(Win32RegistryTest, SizeQueriesAndTooSmallBuffers) {
  auto key = Create(HKEY_CURRENT_USER, "Software\\Calvex Tech\\OraAsio");
  const DWORD latency = 50;
  const double rate = 48000.0;
  const BYTE blob[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExA(key.get(), "Latency", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&latency), 4));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExA(key.get(), "SampleRate", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&rate), 8));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "Blob", 0, REG_BINARY, blob, 5));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("hello"), 6));
  struct Case {
    const char* name;
    DWORD type;
    DWORD size;
  };
  for (const Case& c : {Case{"Latency", REG_DWORD, 4}, Case{"SampleRate", REG_QWORD, 8}, Case{"Blob", REG_BINARY, 5},
                        Case{"Text", REG_SZ, 6}}) {
    SCOPED_TRACE(c.name);
    // A null buffer asks for the size.
    DWORD size = kSentinel, type = kSentinel;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), c.name, nullptr, &type, nullptr, &size));
    EXPECT_EQ(c.size, size);
    EXPECT_EQ(c.type, type);
    // One byte short: ERROR_MORE_DATA with the size needed, nothing past the buffer touched.
    BYTE buffer[16];
    std::memset(buffer, 0xCC, sizeof buffer);
    size = c.size - 1;
    type = kSentinel;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key.get(), c.name, nullptr, &type, buffer, &size));
    EXPECT_EQ(c.size, size);
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(0xCC, buffer[c.size - 1]);
    // Exactly enough.
    size = c.size;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), c.name, nullptr, nullptr, buffer, &size));
    EXPECT_EQ(c.size, size);
    EXPECT_EQ(0xCC, buffer[c.size]);
  }
  DWORD size = 4;
  DWORD value = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(key.get(), "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryValueExA(key.get(), "Latency", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), nullptr));
  EXPECT_EQ(static_cast<LONG>(ERROR_NOACCESS), RegSetValueExA(key.get(), "Latency", 0, REG_DWORD, nullptr, 4));
}

TEST_F(Win32RegistryTest, ResultsComeBackAsLongsNotThroughLastError) {
  SetLastError(kSentinel);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Missing", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(reinterpret_cast<HKEY>(0x1234)));
  EXPECT_EQ(kSentinel, GetLastError());
}

TEST_F(Win32RegistryTest, CreateMakesMissingParentsAndReportsDisposition) {
  DWORD disposition = kSentinel;
  Create(HKEY_LOCAL_MACHINE, "Software\\A\\B\\C", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
  Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\a\\b\\c", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
  Open(HKEY_LOCAL_MACHINE, "Software\\A\\Missing", KEY_READ, ERROR_FILE_NOT_FOUND);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, nullptr));
  // The old forms: no subkey hands back the key given.
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Old", &key));
  UniqueKey old(key);
  HKEY same = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(old.get(), nullptr, &same));
  EXPECT_EQ(old.get(), same);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Old", &key));
  UniqueKey reopened(key);
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(reopened.get(), "V", 0, REG_BINARY, nullptr, 0));
}

TEST_F(Win32RegistryTest, AKeyOpenedForReadingRefusesWrites) {
  Create(HKEY_LOCAL_MACHINE, "Software\\ASIO");
  struct Case {
    REGSAM sam;
    LONG set, query, enumerate, remove_value;
  };
  const DWORD one = 1;
  for (const Case& c : {
           Case{KEY_READ, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED},
           Case{KEY_QUERY_VALUE, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
           Case{KEY_WRITE, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS},
           Case{KEY_SET_VALUE, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS},
           Case{KEY_ALL_ACCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_NO_MORE_ITEMS, ERROR_SUCCESS},
       }) {
    SCOPED_TRACE(c.sam);
    auto key = Open(HKEY_LOCAL_MACHINE, "Software\\ASIO", c.sam);
    EXPECT_EQ(c.set, RegSetValueExA(key.get(), "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
    DWORD size = 4, data = 0;
    EXPECT_EQ(c.query, RegQueryValueExA(key.get(), "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size));
    char name[32];
    DWORD chars = sizeof name;
    EXPECT_EQ(c.enumerate, RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(c.remove_value, RegDeleteValueA(key.get(), "V"));
  }
}

TEST_F(Win32RegistryTest, ReadOnlyHiveRefusesRegistration) {
  Create(HKEY_LOCAL_MACHINE, "Software\\ASIO");
  auto writer = Open(HKEY_LOCAL_MACHINE, "Software\\ASIO", KEY_WRITE);
  ASSERT_EQ(reg::Status::Success, reg::Store::Get().SetReadOnly(Machine(u"SOFTWARE"), true));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\ASIO", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\ASIO", 0, KEY_ALL_ACCESS, &key));
  Open(HKEY_LOCAL_MACHINE, "Software\\ASIO", KEY_READ);
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            RegSetValueExA(writer.get(), "CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(kClsid), 38));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\ASIO"));
  // The per-user settings hive is still writable.
  Create(HKEY_CURRENT_USER, "Software\\Calvex Tech\\OraAsio", KEY_WRITE);
}

TEST_F(Win32RegistryTest, DeleteKeyRefusesAKeyWithSubkeys) {
  Create(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Calvex VN ORA ASIO Device\\Sub");
  auto asio = Open(HKEY_LOCAL_MACHINE, "Software\\ASIO", KEY_ALL_ACCESS);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(asio.get(), "Calvex VN ORA ASIO Device"));
  Open(asio.get(), "Calvex VN ORA ASIO Device", KEY_READ);
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(asio.get(), "Calvex VN ORA ASIO Device\\Sub"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(asio.get(), "calvex vn ora asio device"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(asio.get(), "Calvex VN ORA ASIO Device"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(asio.get(), nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software"));
}

TEST_F(Win32RegistryTest, AHandleToADeletedKeyAnswersKeyDeleted) {
  auto held = Create(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Gone");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Gone"));
  DWORD size = 4, data = 0;
  EXPECT_EQ(ERROR_KEY_DELETED,
            RegQueryValueExA(held.get(), "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size));
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(held.get(), "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4));
  DWORD subkeys = 0;
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryInfoKeyA(held.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr, nullptr));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_KEY_DELETED,
            RegCreateKeyExA(held.get(), "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(held.release()));
}

TEST_F(Win32RegistryTest, BadStaleAndWrongTypeHandlesAreInvalid) {
  struct Other final : sim::Object {
    sim::ObjectType Type() const override { return sim::ObjectType::Event; }
    std::string Describe() const override { return "not a key"; }
  };
  void* event = sim::HandleTable::Get().Insert(std::make_shared<Other>());
  HKEY stale = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &stale));
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(stale));
  for (HKEY bad : {static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x4242), stale, static_cast<HKEY>(event),
                   reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)}) {
    SCOPED_TRACE(reinterpret_cast<ULONG_PTR>(bad));
    HKEY key = nullptr;
    DWORD size = 4, data = 0, chars = 8;
    char name[8];
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(bad, "Sub", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCreateKeyExA(bad, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegQueryValueExA(bad, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(bad, "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteValueA(bad, "V"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(bad, "Sub"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegEnumKeyExA(bad, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegEnumValueA(bad, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryInfoKeyA(bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(bad));
  }
  EXPECT_TRUE(sim::HandleTable::Get().Close(event));
}

TEST_F(Win32RegistryTest, EnumerationOrderAndBuffers) {
  auto key = Create(HKEY_LOCAL_MACHINE, "Software\\Order");
  for (const char* name : {"b", "_x", "A", "Z", "a1"}) Create(key.get(), name);
  for (const char* name : {"zeta", "alpha", "Mid"})
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>("v"), 2));
  std::vector<std::string> subkeys, values;
  char name[32];
  DWORD chars = sizeof name;
  for (DWORD i = 0; RegEnumKeyExA(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, chars = sizeof name)
    subkeys.push_back(name);
  // Windows order (upper-cased names: '_' after 'Z'); Wine would list "_x" first.
  EXPECT_EQ((std::vector<std::string>{"A", "a1", "b", "Z", "_x"}), subkeys);
  chars = sizeof name;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(key.get(), 5, name, &chars, nullptr, nullptr, nullptr, nullptr));
  chars = 2;  // "a1" needs three characters with its NUL
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr));

  for (DWORD i = 0;; ++i) {
    chars = sizeof name;
    DWORD type = 0, size = 0;
    BYTE data[4];
    size = sizeof data;
    if (RegEnumValueA(key.get(), i, name, &chars, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(2u, size);
    EXPECT_EQ(std::strlen(name), chars);
    values.push_back(name);
  }
  EXPECT_EQ((std::vector<std::string>{"zeta", "alpha", "Mid"}), values);
  BYTE data[1];
  DWORD size = sizeof data;
  chars = sizeof name;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key.get(), 0, name, &chars, nullptr, nullptr, data, &size));
  EXPECT_EQ(2u, size);
}

TEST_F(Win32RegistryTest, QueryInfoKeyCounts) {
  auto key = Create(HKEY_LOCAL_MACHINE, "Software\\Info");
  Create(key.get(), "Twelve chars");
  Create(key.get(), "Short");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(kClsid), 38));
  DWORD subkeys = kSentinel, max_subkey = kSentinel, values = kSentinel, max_name = kSentinel, max_data = kSentinel;
  FILETIME written{};
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr,
                                            &values, &max_name, &max_data, nullptr, &written));
  EXPECT_EQ(2u, subkeys);
  EXPECT_EQ(12u, max_subkey);
  EXPECT_EQ(1u, values);
  EXPECT_EQ(5u, max_name);
  EXPECT_EQ(76u, max_data);  // the stored size, an upper bound of the ANSI size
  EXPECT_NE(0u, written.dwHighDateTime);
}

// Where a key lands for each view, by its native path.
TEST_F(Win32RegistryTest, ViewsRedirectMachineSoftwareAndShareUserSoftware) {
  struct Case {
    HKEY root;
    const char* path;
    REGSAM view;
    std::u16string_view native;
  };
  const Case cases[] = {
      {HKEY_LOCAL_MACHINE, "Software\\ASIO\\Dev", 0, u"SOFTWARE\\ASIO\\Dev"},
      {HKEY_LOCAL_MACHINE, "Software\\ASIO\\Dev", KEY_WOW64_64KEY, u"SOFTWARE\\ASIO\\Dev"},
      {HKEY_LOCAL_MACHINE, "Software\\ASIO\\Dev", KEY_WOW64_32KEY, u"SOFTWARE\\Wow6432Node\\ASIO\\Dev"},
      {HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\X", KEY_WOW64_32KEY, u"SOFTWARE\\Wow6432Node\\X"},
      {HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\{C}", KEY_WOW64_32KEY,
       u"SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{C}"},
      {HKEY_LOCAL_MACHINE, "Software\\Classes\\OraAsio.CAsio", KEY_WOW64_32KEY, u"SOFTWARE\\Classes\\OraAsio.CAsio"},
      {HKEY_LOCAL_MACHINE, "Software\\Classes\\AppID\\{A}", KEY_WOW64_32KEY, u"SOFTWARE\\Classes\\AppID\\{A}"},
      {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\OraFilt", KEY_WOW64_32KEY,
       u"SYSTEM\\CurrentControlSet\\Services\\OraFilt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " view " + std::to_string(c.view));
    reg::Store::Get().Reset();
    Create(c.root, c.path, KEY_WRITE | c.view);
    EXPECT_TRUE(reg::Store::Get().Exists(Machine(c.native)));
  }

  reg::Store::Get().Reset();
  Create(HKEY_LOCAL_MACHINE, "Software\\ASIO", KEY_WRITE | KEY_WOW64_32KEY);
  Open(HKEY_LOCAL_MACHINE, "Software\\ASIO", KEY_READ, ERROR_FILE_NOT_FOUND);
  Open(HKEY_LOCAL_MACHINE, "Software\\ASIO", KEY_READ | KEY_WOW64_64KEY, ERROR_FILE_NOT_FOUND);
  Open(HKEY_LOCAL_MACHINE, "Software\\ASIO", KEY_READ | KEY_WOW64_32KEY);
  Open(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\ASIO", KEY_READ);
  // A key opened in the 32-bit view keeps its subkeys there.
  auto software32 = Open(HKEY_LOCAL_MACHINE, "Software", KEY_READ | KEY_WOW64_32KEY);
  Open(software32.get(), "ASIO", KEY_READ);
}

TEST_F(Win32RegistryTest, SettingsWrittenToBothViewsLandInOneUserKey) {
  const DWORD latency = 20;
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    auto key = Create(HKEY_CURRENT_USER, "Software\\Calvex Tech\\OraAsio\\", KEY_WRITE | view);
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key.get(), "Latency", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&latency), 4));
  }
  auto key = Open(HKEY_CURRENT_USER, "Software\\Calvex Tech\\OraAsio\\", KEY_READ | KEY_WOW64_32KEY);
  DWORD values = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, values);
  EXPECT_FALSE(reg::Store::Get().Exists(User(u"Software\\Wow6432Node")));
}

TEST_F(Win32RegistryTest, DeleteKeyExTakesItsView) {
  Create(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Dev", KEY_WRITE);
  Create(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Dev", KEY_WRITE | KEY_WOW64_32KEY);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Dev", KEY_WOW64_32KEY, 0));
  EXPECT_FALSE(reg::Store::Get().Exists(Machine(u"SOFTWARE\\Wow6432Node\\ASIO\\Dev")));
  EXPECT_TRUE(reg::Store::Get().Exists(Machine(u"SOFTWARE\\ASIO\\Dev")));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Dev", KEY_WOW64_64KEY, 0));
  EXPECT_FALSE(reg::Store::Get().Exists(Machine(u"SOFTWARE\\ASIO\\Dev")));
}

TEST_F(Win32RegistryTest, ClassesRootMergesUserOverMachine) {
  auto machine = Create(HKEY_LOCAL_MACHINE, "Software\\Classes\\Both");
  auto user = Create(HKEY_CURRENT_USER, "Software\\Classes\\Both");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(machine.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>("machine"), 8));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(user.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>("user"), 5));
  auto only_machine = Create(HKEY_LOCAL_MACHINE, "Software\\Classes\\MachineOnly");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(only_machine.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>("m"), 2));
  Create(HKEY_CURRENT_USER, "Software\\Classes\\UserOnly");

  EXPECT_EQ(std::string("user", 5), QueryString(Open(HKEY_CLASSES_ROOT, "Both", KEY_READ).get(), ""));
  EXPECT_EQ(std::string("m", 2), QueryString(Open(HKEY_CLASSES_ROOT, "MachineOnly", KEY_READ).get(), ""));

  // A new class key is written for the machine, as for an administrator.
  DWORD disposition = 0;
  auto created = Create(HKEY_CLASSES_ROOT, "OraAsio.CAsio.1\\CLSID", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(created.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(kClsid), 39));
  EXPECT_TRUE(reg::Store::Get().Exists(Machine(u"SOFTWARE\\Classes\\OraAsio.CAsio.1\\CLSID")));
  EXPECT_FALSE(reg::Store::Get().Exists(User(u"Software\\Classes\\OraAsio.CAsio.1")));
  // Under a key only the user has, the new key goes to the user's side.
  Create(HKEY_CLASSES_ROOT, "UserOnly\\Sub");
  EXPECT_TRUE(reg::Store::Get().Exists(User(u"Software\\Classes\\UserOnly\\Sub")));

  // Subkeys of HKEY_CLASSES_ROOT are the union of both sides, in Windows order.
  std::vector<std::string> names;
  char name[64];
  DWORD chars = sizeof name;
  for (DWORD i = 0;
       RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, chars = sizeof name)
    names.push_back(name);
  EXPECT_EQ((std::vector<std::string>{"Both", "CLSID", "MachineOnly", "OraAsio.CAsio.1", "UserOnly", "Wow6432Node"}),
            names);

  // Deleting through HKEY_CLASSES_ROOT removes the key it shows.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CLASSES_ROOT, "Both"));
  EXPECT_FALSE(reg::Store::Get().Exists(User(u"Software\\Classes\\Both")));
  EXPECT_EQ(std::string("machine", 8), QueryString(Open(HKEY_CLASSES_ROOT, "Both", KEY_READ).get(), ""));
}

TEST_F(Win32RegistryTest, ClassesRootInThe32BitView) {
  Create(HKEY_CLASSES_ROOT, "CLSID\\{C}\\InprocServer32", KEY_WRITE | KEY_WOW64_32KEY);
  Create(HKEY_CLASSES_ROOT, "OraAsio.CAsio", KEY_WRITE | KEY_WOW64_32KEY);
  EXPECT_TRUE(reg::Store::Get().Exists(Machine(u"SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{C}\\InprocServer32")));
  EXPECT_TRUE(reg::Store::Get().Exists(Machine(u"SOFTWARE\\Classes\\OraAsio.CAsio")));
  Open(HKEY_CLASSES_ROOT, "CLSID\\{C}", KEY_READ, ERROR_FILE_NOT_FOUND);
  auto clsid32 = Open(HKEY_CLASSES_ROOT, "CLSID", KEY_READ | KEY_WOW64_32KEY);
  Open(clsid32.get(), "{C}\\InprocServer32", KEY_READ);
}

TEST_F(Win32RegistryTest, KernelPathsSeeWhatTheAnsiFunctionsWrote) {
  auto key =
      Create(HKEY_LOCAL_MACHINE, "Software\\ASIO\\Calvex VN ORA DSD ASIO Device", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
  const char clsid[] = "{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid), 38));
  const auto value =
      Native(u"\\REGISTRY\\Machine\\SOFTWARE\\Wow6432Node\\ASIO\\Calvex VN ORA DSD ASIO Device", u"clsid");
  EXPECT_EQ(Utf16Bytes(u"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}"), value.data);
}

}  // namespace
}  // namespace regtest
