// The COM runtime: apartments, in-process servers through the registry and
// the loader, unloading through DllCanUnloadNow, the task allocator.
#include "platform/com.h"

#include <cstring>
#include <thread>

#include "sim/core/debug_log.h"
#include "sim/win32/com_runtime.h"
#include "sim/win32/modules.h"
#include "tests/comres/comres_fixture.h"
#include "tests/comres/test_server.h"

namespace comres {
namespace {

std::string ClassKey(REFCLSID clsid) {
  char text[ORA_GUID_STRING_CHARS];
  OraStringFromGuidA(clsid, text, ORA_GUID_STRING_CHARS);
  return std::string("CLSID\\") + text;
}

class Com : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetDefault(HKEY_CLASSES_ROOT, ClassKey(CLSID_TestCounter), "Test Counter");
    SetDefault(HKEY_CLASSES_ROOT, ClassKey(CLSID_TestCounter) + "\\InprocServer32", kServerPath);
  }
  void TearDown() override {
    while (sim::ComRuntime::Get().ApartmentCount() > 0) CoUninitialize();
    MachineTest::TearDown();
  }

  static bool ServerLoaded() {
    for (const auto& module : sim::Modules::Get().LoadedModules())
      if (sim::FileSystem::EqualsIgnoreCase(module.path, kServerPath)) return true;
    return false;
  }
};

void* const kStale = reinterpret_cast<void*>(0x1234);

TEST_F(Com, CreatesThroughInprocServer32AndUnloadsWhenTheServerAgrees) {
  ASSERT_EQ(S_OK, CoInitialize(nullptr));
  void* out = kStale;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCounter, &out));
  auto* counter = static_cast<ITestCounter*>(out);
  EXPECT_EQ(1, counter->Next());
  EXPECT_EQ(2, counter->Next());
  ASSERT_EQ(1u, sim::ComRuntime::Get().LoadedServers().size());
  EXPECT_EQ(kServerPath, sim::ComRuntime::Get().LoadedServers()[0].path);
  // COM holds the only loader reference.
  EXPECT_EQ(1u, sim::Modules::Get().Find(sim::ComRuntime::Get().LoadedServers()[0].module)->references);

  CoFreeUnusedLibraries();
  EXPECT_TRUE(sim::DebugLog::Get().Contains("OraComTest: busy\n"));
  EXPECT_TRUE(ServerLoaded());

  EXPECT_EQ(0u, counter->Release());
  CoFreeUnusedLibraries();
  EXPECT_TRUE(sim::DebugLog::Get().Contains("OraComTest: can unload\n"));
  EXPECT_FALSE(ServerLoaded());
  EXPECT_TRUE(sim::ComRuntime::Get().LoadedServers().empty());
}

TEST_F(Com, ASecondCreationReusesTheLoadedServer) {
  ASSERT_EQ(S_OK, CoInitialize(nullptr));
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_ITestCounter, &first));
  // Another spelling of the path names the same module.
  SetDefault(HKEY_CLASSES_ROOT, ClassKey(CLSID_TestCounter) + "\\InprocServer32",
             "c:\\program files\\CALVEX\\oracomtest.dll");
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_IUnknown, &second));
  EXPECT_EQ(1u, sim::ComRuntime::Get().LoadedServers().size());
  static_cast<IUnknown*>(first)->Release();
  static_cast<IUnknown*>(second)->Release();
}

TEST_F(Com, LockServerKeepsTheServerLoaded) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  void* out = nullptr;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &out));
  auto* factory = static_cast<IClassFactory*>(out);
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  factory->Release();
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ServerLoaded());
  ASSERT_EQ(S_OK, factory->LockServer(FALSE));
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ServerLoaded());
}

TEST_F(Com, FailuresLeaveTheOutPointerNull) {
  SetDefault(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}", "no server");
  SetDefault(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-666666666666}\\InprocServer32",
             "C:\\Program Files\\Calvex\\Missing.dll");
  SetDefault(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-777777777777}\\InprocServer32", kNoFactoryPath);
  SetDefault(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-888888888888}\\InprocServer32", "");
  auto clsid = [](const char* text) {
    GUID guid{};
    EXPECT_EQ(S_OK, OraGuidFromStringA(text, &guid));
    return guid;
  };
  struct Case {
    const char* what;
    GUID clsid;
    DWORD context;
    IID iid;
    HRESULT expected;
  };
  const Case cases[] = {
      {"unknown class", clsid("{0F0F0F0F-0000-0000-0000-000000000000}"), CLSCTX_INPROC_SERVER, IID_IUnknown,
       REGDB_E_CLASSNOTREG},
      {"class without InprocServer32", clsid("{11111111-2222-3333-4444-555555555555}"), CLSCTX_INPROC_SERVER,
       IID_IUnknown, REGDB_E_CLASSNOTREG},
      {"empty module path", clsid("{11111111-2222-3333-4444-888888888888}"), CLSCTX_INPROC_SERVER, IID_IUnknown,
       REGDB_E_CLASSNOTREG},
      {"missing module", clsid("{11111111-2222-3333-4444-666666666666}"), CLSCTX_INPROC_SERVER, IID_IUnknown,
       HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
      {"module without DllGetClassObject", clsid("{11111111-2222-3333-4444-777777777777}"), CLSCTX_INPROC_SERVER,
       IID_IUnknown, CO_E_ERRORINDLL},
      {"local server only", CLSID_TestCounter, CLSCTX_LOCAL_SERVER, IID_IUnknown, REGDB_E_CLASSNOTREG},
      {"interface the class lacks", CLSID_TestCounter, CLSCTX_INPROC_SERVER, IID_IClassFactory, E_NOINTERFACE},
  };
  ASSERT_EQ(S_OK, CoInitialize(nullptr));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    void* out = kStale;
    EXPECT_EQ(c.expected, CoCreateInstance(c.clsid, nullptr, c.context, c.iid, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(E_POINTER, CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr));
}

TEST_F(Com, AggregationIsTheServersToRefuse) {
  ASSERT_EQ(S_OK, CoInitialize(nullptr));
  void* plain = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &plain));
  void* out = kStale;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_TestCounter, static_cast<IUnknown*>(plain),
                                                    CLSCTX_INPROC_SERVER, IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  static_cast<IUnknown*>(plain)->Release();
}

TEST_F(Com, ApartmentsCountPerThreadAndKeepTheirKind) {
  void* out = kStale;
  EXPECT_EQ(CO_E_NOTINITIALIZED,
            CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(CO_E_NOTINITIALIZED,
            CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &out));
  CoUninitialize();  // without an apartment: nothing happens

  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(2u, sim::ComRuntime::Get().ApartmentCount());
  CoUninitialize();
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out));
  static_cast<IUnknown*>(out)->Release();
  EXPECT_TRUE(ServerLoaded());
  // Leaving the last apartment unloads what the thread loaded, asked or not.
  CoUninitialize();
  EXPECT_FALSE(ServerLoaded());
  EXPECT_EQ(CO_E_NOTINITIALIZED,
            CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out));
  EXPECT_EQ(E_INVALIDARG, CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED));
}

TEST_F(Com, AThreadWithoutCoInitializeJoinsALiveMultithreadedApartment) {
  HRESULT without_mta = S_OK;
  std::thread([&] {
    void* out = nullptr;
    without_mta = CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out);
  }).join();
  EXPECT_EQ(CO_E_NOTINITIALIZED, without_mta);

  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  HRESULT with_mta = E_FAIL;
  std::thread([&] {
    void* out = nullptr;
    with_mta = CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out);
    if (SUCCEEDED(with_mta)) static_cast<IUnknown*>(out)->Release();
  }).join();
  EXPECT_EQ(S_OK, with_mta);
}

TEST_F(Com, TaskAllocatorGivesBlocksEvenForZeroBytes) {
  void* empty = CoTaskMemAlloc(0);
  EXPECT_NE(nullptr, empty);
  void* block = CoTaskMemAlloc(64);
  ASSERT_NE(nullptr, block);
  std::memset(block, 0xAB, 64);
  CoTaskMemFree(block);
  CoTaskMemFree(empty);
  CoTaskMemFree(nullptr);
}

}  // namespace
}  // namespace comres
