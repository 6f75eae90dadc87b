// The kernel registry calls: opens and creates, size queries, enumeration
// and the errors the kernel filter relies on.
#include "sim/kernel/zwregistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/wdm_zw.h"
#include "sim/machine.h"
#include "sim/registry/store.h"

namespace {

constexpr ULONG kAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

class ZwRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(0u, sim::kernel::OpenKernelKeyHandles()); }

  NTSTATUS Create(std::u16string path, HANDLE* key, ULONG* disposition = nullptr, HANDLE root = nullptr,
                  const WCHAR* class_name = nullptr) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, kAttributes, root, nullptr);
    UNICODE_STRING cls;
    if (class_name) RtlInitUnicodeString(&cls, class_name);
    return ZwCreateKey(key, KEY_WRITE, &attributes, 0, class_name ? &cls : nullptr, REG_OPTION_NON_VOLATILE,
                       disposition);
  }
  NTSTATUS Open(std::u16string path, HANDLE* key, ACCESS_MASK access = KEY_READ) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, kAttributes, nullptr, nullptr);
    return ZwOpenKey(key, access, &attributes);
  }
  NTSTATUS Set(HANDLE key, const WCHAR* value, const std::u16string& data) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    std::u16string copy = data;
    return ZwSetValueKey(key, &name, 0, REG_SZ, copy.data(), static_cast<ULONG>((copy.size() + 1) * 2));
  }

  sim::Machine machine_;
};

TEST_F(ZwRegistryTest, CreateReportsItsDispositionAndNeedsTheParent) {
  HANDLE key = nullptr;
  ULONG disposition = 0;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\REGISTRY\\Machine\\SOFTWARE\\ASIO", &key, &disposition));
  EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
  // Kernel handles have the high bits set, as on 64-bit Windows.
  EXPECT_EQ(0xFFFFFFFF80000000u, reinterpret_cast<ULONG_PTR>(key) & 0xFFFFFFFF80000000u);
  HANDLE again = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\registry\\machine\\software\\asio", &again, &disposition));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
  EXPECT_NE(key, again);
  HANDLE child = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, Create(u"Calvex VN ORA DSD ASIO Device", &child, &disposition, key));
  EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
  HANDLE missing = reinterpret_cast<HANDLE>(0x5A);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Create(u"\\REGISTRY\\Machine\\SOFTWARE\\Wow6432Node\\No\\ASIO", &missing));
  EXPECT_EQ(reinterpret_cast<HANDLE>(0x5A), missing);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\REGISTRY\\Machine\\SOFTWARE\\Wow6432Node\\ASIO", &missing));
  EXPECT_EQ(STATUS_SUCCESS, Open(u"\\REGISTRY\\Machine\\SOFTWARE\\ASIO\\Calvex VN ORA DSD ASIO Device", &missing));
  for (HANDLE h : {key, again, child, missing}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(key));
}

TEST_F(ZwRegistryTest, QueryKeyFullInformationSizes) {
  HANDLE key = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\REGISTRY\\Machine\\SOFTWARE\\ASIO", &key));
  HANDLE sub = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"OraAsio", &sub, nullptr, key));
  ASSERT_EQ(STATUS_SUCCESS, ZwClose(sub));
  ASSERT_EQ(STATUS_SUCCESS, Set(key, u"Description", u"Calvex VN ORA DSD ASIO"));

  ULONG length = 0xdeadbeef;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryKey(key, KeyFullInformation, nullptr, 0, &length));
  EXPECT_EQ(44u, length);
  std::vector<unsigned char> buffer(48, 0xEE);
  ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyFullInformation, buffer.data(), 44, &length));
  KEY_FULL_INFORMATION info;
  std::memcpy(&info, buffer.data(), 44);
  EXPECT_EQ(0xFFFFFFFFu, info.ClassOffset);
  EXPECT_EQ(0u, info.ClassLength);
  EXPECT_EQ(1u, info.SubKeys);
  EXPECT_EQ(14u, info.MaxNameLen);  // "OraAsio", in bytes
  EXPECT_EQ(1u, info.Values);
  EXPECT_EQ(22u, info.MaxValueNameLen);
  EXPECT_EQ(46u, info.MaxValueDataLen);
  EXPECT_EQ(0xEE, buffer[44]);
  ASSERT_EQ(STATUS_SUCCESS, ZwClose(key));

  // With a class: the fixed part alone is an overflow with the whole size.
  HANDLE classy = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\REGISTRY\\Machine\\SOFTWARE\\Classy", &classy, nullptr, nullptr, u"Cls"));
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwQueryKey(classy, KeyFullInformation, buffer.data(), 44, &length));
  EXPECT_EQ(50u, length);
  std::memcpy(&info, buffer.data(), 44);
  EXPECT_EQ(44u, info.ClassOffset);
  EXPECT_EQ(6u, info.ClassLength);
  ASSERT_EQ(STATUS_SUCCESS, ZwClose(classy));
}

TEST_F(ZwRegistryTest, EnumerationSizesAndTheEnd) {
  HANDLE key = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\REGISTRY\\Machine\\SOFTWARE\\ASIO", &key));
  HANDLE sub = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"Driver", &sub, nullptr, key));
  ASSERT_EQ(STATUS_SUCCESS, Set(sub, u"CLSID", u"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}"));

  struct Case {
    ULONG length;
    NTSTATUS status;
  } const key_cases[] = {{0, STATUS_BUFFER_TOO_SMALL}, {15, STATUS_BUFFER_TOO_SMALL}, {16, STATUS_BUFFER_OVERFLOW},
                         {25, STATUS_BUFFER_OVERFLOW}, {28, STATUS_SUCCESS},          {40, STATUS_SUCCESS}};
  for (const auto& c : key_cases) {
    SCOPED_TRACE(c.length);
    std::vector<unsigned char> buffer(48, 0xEE);
    ULONG length = 0;
    EXPECT_EQ(c.status, ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), c.length, &length));
    EXPECT_EQ(28u, length);  // 16 + "Driver"
    if (c.length >= 16) {
      KEY_BASIC_INFORMATION info;
      std::memcpy(&info, buffer.data(), 16);
      EXPECT_EQ(12u, info.NameLength);
      EXPECT_EQ(0xEE, buffer[c.length]);
    } else {
      EXPECT_EQ(0xEE, buffer[0]);
    }
  }
  ULONG length = 0;
  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, ZwEnumerateKey(key, 1, KeyBasicInformation, nullptr, 0, &length));

  // "CLSID" (10 bytes) after the 20-byte fixed part, the data at the next ULONG.
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwEnumerateValueKey(sub, 0, KeyValueFullInformation, nullptr, 0, &length));
  EXPECT_EQ(32u + 78u, length);
  std::vector<unsigned char> buffer(length + 1, 0xEE);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwEnumerateValueKey(sub, 0, KeyValueFullInformation, buffer.data(), 24, &length));
  ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(sub, 0, KeyValueFullInformation, buffer.data(), length, &length));
  KEY_VALUE_FULL_INFORMATION info;
  std::memcpy(&info, buffer.data(), 20);
  EXPECT_EQ(REG_SZ, info.Type);
  EXPECT_EQ(32u, info.DataOffset);
  EXPECT_EQ(78u, info.DataLength);
  EXPECT_EQ(10u, info.NameLength);
  EXPECT_EQ(0, std::memcmp(buffer.data() + 20, u"CLSID", 10));
  EXPECT_EQ(0, std::memcmp(buffer.data() + 32, u"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}", 78));
  EXPECT_EQ(0xEE, buffer[110]);
  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, ZwEnumerateValueKey(sub, 1, KeyValueFullInformation, nullptr, 0, &length));
  ASSERT_EQ(STATUS_SUCCESS, ZwClose(sub));
  ASSERT_EQ(STATUS_SUCCESS, ZwClose(key));
}

TEST_F(ZwRegistryTest, DeleteRefusesAKeyWithSubkeys) {
  HANDLE key = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\REGISTRY\\Machine\\SOFTWARE\\ASIO", &key));
  HANDLE sub = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"Driver", &sub, nullptr, key));
  HANDLE leaf = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"Leaf", &leaf, nullptr, sub));
  EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(sub));
  // A kernel caller's KEY_WRITE handle may delete: its rights are not checked.
  EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(leaf));
  EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(sub));
  ULONG length = 0;
  EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryKey(sub, KeyFullInformation, nullptr, 0, &length));
  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, ZwEnumerateKey(key, 0, KeyBasicInformation, nullptr, 0, &length));
  for (HANDLE h : {key, sub, leaf}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ZwRegistryTest, BadHandlesAreRefused) {
  const HANDLE bad = reinterpret_cast<HANDLE>(0xFFFFFFFF80001234u);
  ULONG length = 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"CLSID");
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwQueryKey(bad, KeyFullInformation, nullptr, 0, &length));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwEnumerateKey(bad, 0, KeyBasicInformation, nullptr, 0, &length));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwEnumerateValueKey(bad, 0, KeyValueFullInformation, nullptr, 0, &length));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwSetValueKey(bad, &name, 0, REG_SZ, nullptr, 0));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwDeleteKey(bad));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(bad));
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_INVALID_HANDLE, Create(u"Child", &key, nullptr, bad));
  EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, Create(u"NoRoot", &key));
}

}  // namespace
