// The registrar: OraAsio's scripts 101 and 102 from the module's resources,
// register, re-register and unregister, bad scripts, value kinds, and
// type-library registration.
#include "asio/registrar.h"

#include <cstring>

#include "sim/registry/store.h"
#include "tests/comres/comres_fixture.h"

namespace comres {
namespace {

constexpr const char* kAppId = "{2E7B94C1-8F36-4D5A-9B02-C4A1E6F37D59}";
constexpr const char* kClsid = "{5E1A7C20-4D3B-4F86-9C21-3A7B90D4E615}";
constexpr const char* kLibId = "{C8D0417E-3B92-46A1-B5E7-0F24A9D63C81}";
const std::string kClassKey = std::string("CLSID\\") + kClsid;

class Registrar : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    HMODULE module = LoadLibraryA(kServerPath);
    ASSERT_NE(nullptr, module) << GetLastError();
    module_.reset(module);
    ASSERT_EQ(S_OK, registrar_.AddReplacement("MODULE", kServerPath));
    ASSERT_EQ(S_OK, registrar_.AddReplacement("APPID", kAppId));
  }
  void TearDown() override {
    module_.reset();
    MachineTest::TearDown();
  }

  void Register() {
    ASSERT_EQ(S_OK, registrar_.ResourceRegister(module_.get(), 101)) << registrar_.LastError();
    ASSERT_EQ(S_OK, registrar_.ResourceRegister(module_.get(), 102)) << registrar_.LastError();
  }

  ModulePtr module_;
  CRegistrar registrar_;
};

TEST_F(Registrar, ScriptsWriteTheAppIdAndTheClass) {
  Register();
  struct Row {
    std::string key;
    const char* value;
    const char* data;
  };
  const Row rows[] = {
      {std::string("AppID\\") + kAppId, nullptr, "OraAsio"},
      {"AppID\\OraAsio.DLL", "AppID", kAppId},
      {"OraAsio.CAsio.1", nullptr, "CAsio Class"},
      {"OraAsio.CAsio.1\\CLSID", nullptr, kClsid},
      {"OraAsio.CAsio", nullptr, "CAsio Class"},
      {"OraAsio.CAsio\\CLSID", nullptr, kClsid},
      {"OraAsio.CAsio\\CurVer", nullptr, "OraAsio.CAsio.1"},
      {kClassKey, nullptr, "CAsio Class"},
      {kClassKey + "\\ProgID", nullptr, "OraAsio.CAsio.1"},
      {kClassKey + "\\VersionIndependentProgID", nullptr, "OraAsio.CAsio"},
      {kClassKey + "\\InprocServer32", nullptr, kServerPath},
      {kClassKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {kClassKey + "\\TypeLib", nullptr, kLibId},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key + " " + (row.value ? row.value : "(default)"));
    EXPECT_EQ(std::optional<std::string>(row.data), ReadString(HKEY_CLASSES_ROOT, row.key, row.value));
  }
  // HKEY_CLASSES_ROOT writes land in the machine's classes.
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\" + kClassKey + "\\InprocServer32"));
  EXPECT_EQ(4u, SubkeyCount(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(Registrar, RegisteringAgainRecreatesTheForceRemoveKey) {
  Register();
  SetDefault(HKEY_CLASSES_ROOT, kClassKey + "\\Stale\\Deeper", "left over");
  SetDefault(HKEY_CLASSES_ROOT, "OraAsio.CAsio\\Kept", "not in a ForceRemove key");
  Register();
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey + "\\Stale"));
  EXPECT_EQ(4u, SubkeyCount(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "OraAsio.CAsio\\Kept"));
  EXPECT_EQ(std::optional<std::string>("OraAsio"),
            ReadString(HKEY_CLASSES_ROOT, std::string("AppID\\") + kAppId, nullptr));
}

TEST_F(Registrar, UnregisteringKeepsTheNoRemoveKeysAndWhatOthersPutThere) {
  SetDefault(HKEY_CLASSES_ROOT, "CLSID\\{0A0A0A0A-0000-0000-0000-000000000001}", "another class");
  SetDefault(HKEY_CLASSES_ROOT, "AppID\\{0A0A0A0A-0000-0000-0000-000000000002}", "another server");
  Register();
  ASSERT_EQ(S_OK, registrar_.ResourceUnregister(module_.get(), 102));
  ASSERT_EQ(S_OK, registrar_.ResourceUnregister(module_.get(), 101));
  for (const char* gone : {"OraAsio.CAsio.1", "OraAsio.CAsio", "AppID\\OraAsio.DLL"}) {
    SCOPED_TRACE(gone);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, gone));
  }
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string("AppID\\") + kAppId));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{0A0A0A0A-0000-0000-0000-000000000001}"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\{0A0A0A0A-0000-0000-0000-000000000002}"));
  // Once more finds nothing to remove and is content.
  EXPECT_EQ(S_OK, registrar_.ResourceUnregister(module_.get(), 102));
}

TEST_F(Registrar, ABadScriptWritesNothing) {
  struct Case {
    const char* what;
    const char* script;
  };
  const Case cases[] = {
      {"missing closing brace", "HKCR { OraBad = s 'x' { Sub = s 'y' }"},
      {"unknown value type", "HKCR { OraBad = s 'x' Other = q 'y' }"},
      {"unknown replacement", "HKCR { OraBad = s 'x' Other = s '%NOSUCH%' }"},
      {"unterminated quote", "HKCR { OraBad = s 'x' Other = s 'y }"},
      {"backslash in a name", "HKCR { OraBad = s 'x' 'Other\\Sub' = s 'y' }"},
      {"unknown root", "HKCR { OraBad = s 'x' } HKXX { Other }"},
      {"number that is not one", "HKCR { OraBad = s 'x' { val N = d 'twelve' } }"},
      {"number too large", "HKCR { OraBad = s 'x' { val N = d 4294967296 } }"},
      {"flag without a name", "HKCR { OraBad = s 'x' NoRemove }"},
      {"value without a name", "HKCR { OraBad { val = s 'x' } }"},
      {"odd hex digits", "HKCR { OraBad { val B = b '123' } }"},
      {"text without quotes", "HKCR { OraBad = s x }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DISP_E_EXCEPTION, registrar_.StringRegister(c.script));
    EXPECT_NE("", registrar_.LastError());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "OraBad"));
    EXPECT_EQ(DISP_E_EXCEPTION, registrar_.StringUnregister(c.script));
  }
  EXPECT_EQ(E_INVALIDARG, registrar_.StringRegister(nullptr));
  EXPECT_EQ(DISP_E_EXCEPTION, registrar_.StringRegister("HKCR\n{\n}\nHKXX { }"));
  EXPECT_EQ("line 4: expected a root key", registrar_.LastError());
}

TEST_F(Registrar, ValueKindsQuotingAndNamedValuesOfKeptKeys) {
  const char* script =
      "HKCU\n"
      "{\n"
      "  NoRemove Software\n"
      "  {\n"
      "    'Ora Test' = s 'it''s 100%% %MODULE%'\n"
      "    {\n"
      "      val Count = d 0x2A\n"
      "      val Decimal = d '7'\n"
      "      val Blob = b '00FF10'\n"
      "      val Path = e '%%SystemRoot%%\\x'\n"
      "    }\n"
      "    val Marker = s 'mine'\n"
      "  }\n"
      "}\n";
  ASSERT_EQ(S_OK, registrar_.StringRegister(script)) << registrar_.LastError();
  EXPECT_EQ(std::optional<std::string>(std::string("it's 100% ") + kServerPath),
            ReadString(HKEY_CURRENT_USER, "Software\\Ora Test", nullptr));
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Ora Test", 0, KEY_READ, &raw));
  KeyPtr key(raw);
  struct Expect {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const Expect expects[] = {
      {"Count", REG_DWORD, {0x2A, 0, 0, 0}},
      {"Decimal", REG_DWORD, {7, 0, 0, 0}},
      {"Blob", REG_BINARY, {0x00, 0xFF, 0x10}},
  };
  for (const auto& e : expects) {
    SCOPED_TRACE(e.name);
    BYTE data[16];
    std::memset(data, 0xCC, sizeof(data));
    DWORD type = 0;
    DWORD size = sizeof(data);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), e.name, nullptr, &type, data, &size));
    EXPECT_EQ(e.type, type);
    EXPECT_EQ(e.data, std::vector<BYTE>(data, data + size));
  }
  char path[64] = {};
  DWORD type = 0;
  DWORD size = sizeof(path);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "Path", nullptr, &type, reinterpret_cast<BYTE*>(path), &size));
  EXPECT_EQ(REG_EXPAND_SZ, type);
  EXPECT_STREQ("%SystemRoot%\\x", path);
  key.reset();
  EXPECT_EQ(std::optional<std::string>("mine"), ReadString(HKEY_CURRENT_USER, "Software", "Marker"));

  ASSERT_EQ(S_OK, registrar_.StringUnregister(script));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Ora Test"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));
  EXPECT_EQ(std::nullopt, ReadString(HKEY_CURRENT_USER, "Software", "Marker"));
}

TEST_F(Registrar, RegistrationStopsAtTheFirstRefusedWrite) {
  constexpr std::u16string_view kClasses = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID";
  auto& store = sim::registry::Store::Get();
  ASSERT_EQ(sim::registry::Status::Success, store.EnsureKey(kClasses));
  ASSERT_EQ(sim::registry::Status::Success, store.SetReadOnly(kClasses, true));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), registrar_.ResourceRegister(module_.get(), 102));
  // What came before the refused key in the script is written; the caller
  // undoes it by unregistering.
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "OraAsio.CAsio"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  ASSERT_EQ(sim::registry::Status::Success, store.SetReadOnly(kClasses, false));
  EXPECT_EQ(S_OK, registrar_.ResourceUnregister(module_.get(), 102));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "OraAsio.CAsio"));
}

TEST_F(Registrar, DeleteRemovesAKeyOnRegistration) {
  SetDefault(HKEY_CLASSES_ROOT, "OraOld\\Sub", "old");
  ASSERT_EQ(S_OK, registrar_.StringRegister("HKCR { Delete OraOld }"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "OraOld"));
}

TEST_F(Registrar, AMissingScriptResourceIsReported) {
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND), registrar_.ResourceRegister(module_.get(), 103));
  EXPECT_EQ(E_INVALIDARG, registrar_.AddReplacement("", "x"));
  EXPECT_EQ(E_INVALIDARG, registrar_.AddReplacement("X", nullptr));
}

TEST_F(Registrar, TypeLibraryRegistrationWritesTheVersionKey) {
  RegistrarTypeLib typeLib{};
  ASSERT_EQ(S_OK, OraGuidFromStringA(kLibId, &typeLib.libid));
  typeLib.wMajorVerNum = 1;
  typeLib.wMinorVerNum = 0;
  typeLib.lcid = 0;
  typeLib.helpString = "OraAsio 1.0 Type Library";
  typeLib.resourceId = 1;
  const std::string version = std::string("TypeLib\\") + kLibId + "\\1.0";
  ASSERT_EQ(S_OK, RegistrarRegisterTypeLib(typeLib, kServerPath));
  EXPECT_EQ(std::optional<std::string>("OraAsio 1.0 Type Library"), ReadString(HKEY_CLASSES_ROOT, version, nullptr));
  EXPECT_EQ(std::optional<std::string>(kServerPath), ReadString(HKEY_CLASSES_ROOT, version + "\\0\\win64", nullptr));
  EXPECT_EQ(std::optional<std::string>("0"), ReadString(HKEY_CLASSES_ROOT, version + "\\FLAGS", nullptr));
  EXPECT_EQ(std::optional<std::string>("C:\\Program Files\\Calvex"),
            ReadString(HKEY_CLASSES_ROOT, version + "\\HELPDIR", nullptr));
  EXPECT_EQ(3u, SubkeyCount(HKEY_CLASSES_ROOT, version));
  // IAsio is not an automation interface: no Interface key.
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Interface\\{9D41F6A2-3C85-4B17-A0E9-6E2B7C54D813}"));

  // A library in another resource loads from "<module>\<id>"; versions are hex.
  RegistrarTypeLib other = typeLib;
  other.wMinorVerNum = 10;
  other.resourceId = 2;
  ASSERT_EQ(S_OK, RegistrarRegisterTypeLib(other, kServerPath));
  EXPECT_EQ(std::optional<std::string>(std::string(kServerPath) + "\\2"),
            ReadString(HKEY_CLASSES_ROOT, std::string("TypeLib\\") + kLibId + "\\1.a\\0\\win64", nullptr));

  ASSERT_EQ(S_OK, RegistrarUnregisterTypeLib(typeLib));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, version));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::string("TypeLib\\") + kLibId + "\\1.a"));
  ASSERT_EQ(S_OK, RegistrarUnregisterTypeLib(other));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string("TypeLib\\") + kLibId));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "TypeLib"));
  EXPECT_EQ(TYPE_E_REGISTRYACCESS, RegistrarUnregisterTypeLib(typeLib));
  EXPECT_EQ(E_INVALIDARG, RegistrarRegisterTypeLib(typeLib, nullptr));
}

TEST_F(Registrar, ModulePathIsTheLoadedModulesFullPath) {
  std::string path;
  ASSERT_EQ(S_OK, RegistrarModulePath(module_.get(), &path));
  EXPECT_EQ(kServerPath, path);
  EXPECT_EQ(E_POINTER, RegistrarModulePath(module_.get(), nullptr));
}

}  // namespace
}  // namespace comres
