// The module loader over drive-mapped Windows paths and built-in modules.
#include "platform/win32/loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/win32/sync.h"
#include "sim/core/debug_log.h"
#include "sim/win32/modules.h"
#include "sim/win32/paths.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr const char* kTestModPath = "C:\\Program Files\\Calvex\\OraTestMod.dll";

struct FreeLibraryDeleter {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModulePtr = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeLibraryDeleter>;

int FakeKsCreatePin() { return 7; }

std::size_t Count(const std::string& text, const std::string& fragment) {
  std::size_t n = 0;
  for (auto at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++n;
  return n;
}

class Loader : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("win32misc_" + std::to_string(getpid()) + "_" + info->name());
    fs::remove_all(root_);
    // The host directories use another case than the Windows paths below.
    fs::create_directories(root_ / "program files" / "CALVEX");
    fs::create_directories(root_ / "Windows" / "System32");
    for (const char* name : {"OraTestMod.dll", "OraFailMod.dll", "OraPlainMod.dll"})
      fs::copy_file(fs::path(ORA_TEST_MODULE_DIR) / name, root_ / "program files" / "CALVEX" / name);
    sim::Modules::Get().Reset();
    sim::FileSystem::Get().Reset();
    sim::MapDrive('C', root_.string());
    sim::DebugLog::Get().Clear();
  }
  void TearDown() override {
    sim::Modules::Get().Reset();
    sim::FileSystem::Get().Reset();
    sim::DebugLog::Get().Clear();
    fs::remove_all(root_);
  }

  static unsigned References(HMODULE module) {
    auto loaded = sim::Modules::Get().Find(module);
    return loaded ? loaded->references : 0;
  }

  fs::path root_;
};

TEST_F(Loader, SecondLoadSharesTheModuleAndDllMainRunsOncePerLifetime) {
  SetLastError(kSentinel);
  HMODULE first = LoadLibraryA(kTestModPath);
  ASSERT_NE(nullptr, first) << GetLastError();
  EXPECT_EQ(1u, References(first));
  EXPECT_TRUE(sim::DebugLog::Get().Contains("OraTestMod: attach C:\\Program Files\\Calvex\\OraTestMod.dll\n"));

  // Case and separators do not make another module.
  HMODULE second = LoadLibraryA("c:/PROGRAM FILES/calvex/./oratestmod.DLL");
  EXPECT_EQ(first, second);
  EXPECT_EQ(2u, References(first));
  EXPECT_EQ(1u, Count(sim::DebugLog::Get().Text(), "OraTestMod: attach"));

  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_EQ(1u, References(first));
  EXPECT_EQ(0u, Count(sim::DebugLog::Get().Text(), "OraTestMod: detach"));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(sim::DebugLog::Get().Contains("OraTestMod: detach C:\\Program Files\\Calvex\\OraTestMod.dll\n"));
  EXPECT_TRUE(sim::Modules::Get().LoadedModules().empty());

  SetLastError(kSentinel);
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST_F(Loader, ExportsAreTheModulesOwn) {
  ModulePtr module(LoadLibraryA(kTestModPath));
  ASSERT_NE(nullptr, module);
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module.get(), "TestModuleAnswer"));
  ASSERT_NE(nullptr, answer);
  EXPECT_EQ(42, answer());

  struct Case {
    const char* name;
    DWORD error;
  };
  const Case cases[] = {
      {"NoSuchExport", ERROR_PROC_NOT_FOUND},
      {"testmoduleanswer", ERROR_PROC_NOT_FOUND},    // export names keep their case
      {"OutputDebugStringA", ERROR_PROC_NOT_FOUND},  // a function of a library it imports from
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, GetProcAddress(module.get(), c.name));
    EXPECT_EQ(c.error, GetLastError());
  }
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetProcAddress(reinterpret_cast<HMODULE>(std::uintptr_t{0x1230000}), "TestModuleAnswer"));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST_F(Loader, MissingModulesAreNotFound) {
  const char* names[] = {
      "C:\\Program Files\\Calvex\\Missing.dll",
      "C:\\Program Files\\Elsewhere\\OraTestMod.dll",
      "missing.dll",
      "OraTestMod.dll",          // not in the system directory
      "Z:\\OraTestMod.dll",      // no such drive
      "Calvex\\OraTestMod.dll",  // relative: there is no current directory
      "",
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, LoadLibraryA(name));
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
  }
  EXPECT_TRUE(sim::Modules::Get().LoadedModules().empty());
}

TEST_F(Loader, AFileThatIsNoLibraryIsABadImage) {
  std::ofstream(root_ / "program files" / "CALVEX" / "Broken.dll") << "not a library";
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, LoadLibraryA("C:\\Program Files\\Calvex\\Broken.dll"));
  EXPECT_EQ(ERROR_BAD_EXE_FORMAT, GetLastError());
}

TEST_F(Loader, RefusedAttachIsDetachedAndUnloaded) {
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, LoadLibraryA("C:\\Program Files\\Calvex\\OraFailMod.dll"));
  EXPECT_EQ(ERROR_DLL_INIT_FAILED, GetLastError());
  const std::string log = sim::DebugLog::Get().Text();
  const auto attach = log.find("OraFailMod: attach ");
  const auto detach = log.find("OraFailMod: detach ");
  ASSERT_NE(std::string::npos, attach);
  ASSERT_NE(std::string::npos, detach);
  EXPECT_LT(attach, detach);
  EXPECT_TRUE(sim::Modules::Get().LoadedModules().empty());
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetModuleHandleA("OraFailMod.dll"));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST_F(Loader, ModuleWithoutEntryPointLoads) {
  ModulePtr module(LoadLibraryA("C:\\Program Files\\Calvex\\OraPlainMod.dll"));
  ASSERT_NE(nullptr, module);
  EXPECT_NE(nullptr, GetProcAddress(module.get(), "TestModuleAnswer"));
  EXPECT_TRUE(sim::DebugLog::Get().Lines().empty());
}

TEST_F(Loader, BuiltinModuleIsFoundByNameInTheSystemDirectory) {
  sim::RegisterBuiltinModule("ksuser.dll", {{"KsCreatePin", reinterpret_cast<void*>(&FakeKsCreatePin)}});
  ModulePtr module(LoadLibraryA("ksuser.dll"));
  ASSERT_NE(nullptr, module);
  // Without an extension ".dll" is appended; the full path names the same module.
  ModulePtr again(LoadLibraryA("KSUSER"));
  ModulePtr by_path(LoadLibraryA("c:\\windows\\system32\\KsUser.dll"));
  EXPECT_EQ(module.get(), again.get());
  EXPECT_EQ(module.get(), by_path.get());
  EXPECT_EQ(3u, References(module.get()));

  EXPECT_EQ(reinterpret_cast<FARPROC>(&FakeKsCreatePin), GetProcAddress(module.get(), "KsCreatePin"));
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetProcAddress(module.get(), "KsCreateClock"));
  EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());

  char path[MAX_PATH];
  EXPECT_EQ(std::strlen("C:\\Windows\\System32\\ksuser.dll"), GetModuleFileNameA(module.get(), path, MAX_PATH));
  EXPECT_STREQ("C:\\Windows\\System32\\ksuser.dll", path);
  EXPECT_EQ(module.get(), GetModuleHandleA("KSUSER.DLL"));
  EXPECT_EQ(3u, References(module.get()));
}

TEST_F(Loader, BareNameFallsBackToTheSystemDirectoryOnDisk) {
  fs::copy_file(fs::path(ORA_TEST_MODULE_DIR) / "OraTestMod.dll", root_ / "Windows" / "System32" / "OraTestMod.dll");
  ModulePtr module(LoadLibraryA("oratestmod.dll"));
  ASSERT_NE(nullptr, module);
  char path[MAX_PATH];
  ASSERT_NE(0u, GetModuleFileNameA(module.get(), path, MAX_PATH));
  EXPECT_TRUE(sim::FileSystem::EqualsIgnoreCase("C:\\Windows\\System32\\OraTestMod.dll", path)) << path;
  // A bare name then finds the loaded module, wherever it came from.
  ModulePtr again(LoadLibraryA("ORATESTMOD"));
  EXPECT_EQ(module.get(), again.get());
}

// Windows since Vista terminates the truncated text within nSize; Wine, as
// Windows XP did, fills all nSize characters without a terminator.
TEST_F(Loader, ModuleFileNameTruncatesAsWindowsDoes) {
  ModulePtr module(LoadLibraryA(kTestModPath));
  ASSERT_NE(nullptr, module);
  const std::string full = kTestModPath;
  const DWORD length = static_cast<DWORD>(full.size());
  struct Case {
    DWORD size;
    DWORD result;
    std::string text;
    bool insufficient;
  };
  const Case cases[] = {
      {length + 1, length, full, false},
      {length, length, full.substr(0, length - 1), true},
      {5, 5, full.substr(0, 4), true},
      {1, 1, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    char buffer[MAX_PATH + 1];
    std::memset(buffer, '#', sizeof(buffer));
    SetLastError(kSentinel);
    EXPECT_EQ(c.result, GetModuleFileNameA(module.get(), buffer, c.size));
    EXPECT_EQ(c.text, std::string(buffer));
    EXPECT_EQ('#', buffer[c.size]);  // nothing past the buffer
    if (c.insufficient) {
      EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    }
  }
  char untouched = '#';
  SetLastError(kSentinel);
  EXPECT_EQ(0u, GetModuleFileNameA(module.get(), &untouched, 0));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ('#', untouched);

  char buffer[MAX_PATH];
  SetLastError(kSentinel);
  EXPECT_EQ(0u, GetModuleFileNameA(reinterpret_cast<HMODULE>(std::uintptr_t{0x1230000}), buffer, MAX_PATH));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST_F(Loader, ProcessImageAnswersToNull) {
  sim::Modules::Get().SetProcessImagePath("C:\\Program Files\\Host\\host.exe");
  HMODULE image = GetModuleHandleA(nullptr);
  ASSERT_NE(nullptr, image);
  char path[MAX_PATH];
  EXPECT_EQ(std::strlen("C:\\Program Files\\Host\\host.exe"), GetModuleFileNameA(nullptr, path, MAX_PATH));
  EXPECT_STREQ("C:\\Program Files\\Host\\host.exe", path);
  EXPECT_EQ(std::strlen(path), GetModuleFileNameA(image, path, MAX_PATH));
}

TEST_F(Loader, ModuleHandleTakesNoReference) {
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetModuleHandleA("OraTestMod.dll"));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());

  HMODULE module = LoadLibraryA(kTestModPath);
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(module, GetModuleHandleA("oratestmod"));
  EXPECT_EQ(module, GetModuleHandleA("C:/program files/CALVEX/OraTestMod.dll"));
  EXPECT_EQ(1u, References(module));
  ASSERT_TRUE(FreeLibrary(module));
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetModuleHandleA("OraTestMod.dll"));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST_F(Loader, DisableThreadLibraryCallsIsRecorded) {
  ModulePtr module(LoadLibraryA(kTestModPath));
  ASSERT_NE(nullptr, module);
  // The test module's DllMain calls it on attach.
  EXPECT_TRUE(sim::Modules::Get().Find(module.get())->thread_calls_disabled);
  SetLastError(kSentinel);
  EXPECT_FALSE(DisableThreadLibraryCalls(reinterpret_cast<HMODULE>(std::uintptr_t{0x1230000})));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST_F(Loader, LoadLibraryExTakesNoFileAndOnlyTheAlteredSearchPath) {
  ModulePtr module(LoadLibraryExA(kTestModPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  ASSERT_NE(nullptr, module);
  // The simulated loader maps no data files or images (LOAD_LIBRARY_AS_DATAFILE = 2).
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, LoadLibraryExA(kTestModPath, nullptr, 0x2));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  // hFile is reserved and must be null; Wine ignores it.
  int file = 0;
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, LoadLibraryExA(kTestModPath, &file, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(1u, References(module.get()));
}

TEST_F(Loader, NewMachineDetachesWhatIsStillLoadedAsAtProcessExit) {
  ASSERT_NE(nullptr, LoadLibraryA(kTestModPath));
  sim::Modules::Get().Reset();
  EXPECT_TRUE(sim::DebugLog::Get().Contains("OraTestMod: detach at exit "));
  EXPECT_TRUE(sim::Modules::Get().LoadedModules().empty());
}

TEST(WindowsPaths, NormalizeFoldsSeparatorsDotsAndDriveCase) {
  struct Case {
    const char* in;
    const char* out;  // null: not an absolute path
  };
  const Case cases[] = {
      {"c:/a/./b\\..\\X.dll", "C:\\a\\X.dll"},
      {"C:\\", "C:\\"},
      {"C:\\a\\\\b\\", "C:\\a\\b"},
      {"C:\\..", nullptr},
      {"C:a.dll", nullptr},
      {"\\a.dll", nullptr},
      {"a.dll", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    const auto normalized = sim::FileSystem::Normalize(c.in);
    if (c.out == nullptr) {
      EXPECT_FALSE(normalized.has_value());
    } else {
      ASSERT_TRUE(normalized.has_value());
      EXPECT_EQ(c.out, *normalized);
    }
  }
}

}  // namespace
