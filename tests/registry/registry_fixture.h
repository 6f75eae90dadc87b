// Shared by the registry tests: every test starts from a fresh machine's
// registry and must close every key it opened.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/registry.h"
#include "sim/core/handles.h"
#include "sim/registry/names.h"
#include "sim/registry/store.h"

namespace regtest {

namespace reg = sim::registry;

struct KeyCloser {
  void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::Store::Get().Reset();
    handles_before_ = sim::HandleTable::Get().Count();
  }
  void TearDown() override { EXPECT_EQ(handles_before_, sim::HandleTable::Get().Count()) << "a key was left open"; }

  static std::u16string Machine(std::u16string_view rest) {
    return std::u16string(reg::kMachineRoot) + u"\\" + std::u16string(rest);
  }
  static std::u16string User(std::u16string_view rest) { return reg::CurrentUserPath() + u"\\" + std::u16string(rest); }

  // Reads a value straight from the store, as the kernel calls do.
  static reg::Value Native(std::u16string_view key_path, std::u16string_view name) {
    reg::Key key;
    reg::Value value;
    EXPECT_EQ(reg::Status::Success, reg::Store::Get().Open(nullptr, key_path, reg::access::kRead, &key))
        << reg::ToUtf8(key_path);
    EXPECT_EQ(reg::Status::Success, reg::Store::Get().QueryValue(key, name, &value)) << reg::ToUtf8(name);
    return value;
  }

  static std::vector<uint8_t> Utf16Bytes(std::u16string_view s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
      out.push_back(static_cast<uint8_t>(c & 0xFF));
      out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
  }

 private:
  std::size_t handles_before_ = 0;
};

}  // namespace regtest
