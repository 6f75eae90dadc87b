// A fresh simulated PC with drive C: over a temporary directory that holds
// the test COM servers under C:\Program Files\Calvex.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/win32/loader.h"
#include "platform/win32/registry.h"
#include "sim/machine.h"
#include "sim/win32/paths.h"

namespace comres {

namespace fs = std::filesystem;

inline constexpr DWORD kSentinel = 0xdeadbeef;
inline constexpr const char* kServerPath = "C:\\Program Files\\Calvex\\OraComTest.dll";
inline constexpr const char* kNoFactoryPath = "C:\\Program Files\\Calvex\\OraNoFactory.dll";

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyPtr = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

struct FreeLibraryDeleter {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModulePtr = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeLibraryDeleter>;

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("comres_" + std::to_string(getpid()) + "_" + info->test_suite_name() + "_" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "Program Files" / "Calvex");
    for (const char* name : {"OraComTest.dll", "OraNoFactory.dll"})
      fs::copy_file(fs::path(ORA_COMRES_MODULE_DIR) / name, root_ / "Program Files" / "Calvex" / name);
    machine_.emplace();
    sim::MapDrive('C', root_.string());
  }
  void TearDown() override {
    machine_.reset();
    fs::remove_all(root_);
  }

  // Writes a default string value, creating the key.
  static void SetDefault(HKEY root, const std::string& path, const char* text) {
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr))
        << path;
    KeyPtr key(raw);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                            static_cast<DWORD>(std::strlen(text) + 1)));
  }

  static bool KeyExists(HKEY root, const std::string& path) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    RegCloseKey(raw);
    return true;
  }

  // A string value, or nullopt when the key or value is missing.
  static std::optional<std::string> ReadString(HKEY root, const std::string& path, const char* name) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return std::nullopt;
    KeyPtr key(raw);
    char data[512] = {};
    DWORD size = sizeof(data) - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
      return std::nullopt;
    if (type != REG_SZ) return "(type " + std::to_string(type) + ")";
    return std::string(data);
  }

  static DWORD SubkeyCount(HKEY root, const std::string& path) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return 0;
    KeyPtr key(raw);
    DWORD count = 0;
    RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    return count;
  }

  fs::path root_;
  std::optional<sim::Machine> machine_;
};

}  // namespace comres
