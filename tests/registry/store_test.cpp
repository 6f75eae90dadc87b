// The native core as the kernel registry calls see it: full native paths, no
// views, NT create semantics, statuses of the store's own.
#include <thread>

#include "tests/registry/registry_fixture.h"

namespace regtest {
namespace {

using reg::Status;
namespace access = reg::access;

class StoreTest : public RegistryTest {
 protected:
  reg::Store& store = reg::Store::Get();

  reg::Key MustCreate(std::u16string_view path, uint32_t rights = access::kAllAccess) {
    reg::Key key;
    EXPECT_EQ(Status::Success, store.Create(nullptr, path, rights, reg::kOptionNonVolatile, u"", &key, nullptr))
        << reg::ToUtf8(path);
    return key;
  }
};

TEST_F(StoreTest, FreshMachineHasItsHives) {
  for (auto path : {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node",
                    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\CLSID",
                    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services"}) {
    EXPECT_TRUE(store.Exists(path)) << reg::ToUtf8(path);
  }
  EXPECT_TRUE(store.Exists(User(u"Software\\Classes")));
  EXPECT_FALSE(store.Exists(Machine(u"SOFTWARE\\ASIO")));
}

TEST_F(StoreTest, CreateNeedsItsParentAsZwCreateKeyDoes) {
  reg::Key key;
  reg::Disposition disposition{};
  EXPECT_EQ(Status::NotFound,
            store.Create(nullptr, Machine(u"SOFTWARE\\ASIO\\Entry"), access::kWrite, 0, u"", &key, &disposition));
  ASSERT_EQ(Status::Success,
            store.Create(nullptr, Machine(u"SOFTWARE\\ASIO"), access::kWrite, 0, u"", &key, &disposition));
  EXPECT_EQ(reg::Disposition::CreatedNew, disposition);
  ASSERT_EQ(Status::Success,
            store.Create(nullptr, Machine(u"software\\asio"), access::kWrite, 0, u"", &key, &disposition));
  EXPECT_EQ(reg::Disposition::OpenedExisting, disposition);

  // Relative to a parent key, as with a RootDirectory handle.
  reg::Key child;
  ASSERT_EQ(Status::Success,
            store.Create(&key, u"Calvex VN ORA DSD ASIO Device", access::kWrite, 0, u"", &child, &disposition));
  EXPECT_EQ(reg::Disposition::CreatedNew, disposition);
  std::u16string path;
  ASSERT_EQ(Status::Success, store.FullPath(child, &path));
  EXPECT_EQ(u"\\REGISTRY\\MACHINE\\SOFTWARE\\ASIO\\Calvex VN ORA DSD ASIO Device", path);
}

TEST_F(StoreTest, PathSyntax) {
  reg::Key parent = MustCreate(Machine(u"SOFTWARE\\Calvex"));
  struct Case {
    const reg::Key* parent;
    std::u16string_view path;
    Status expected;
  };
  const Case cases[] = {
      {nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Calvex", Status::Success},
      {nullptr, u"\\registry\\machine\\software\\calvex\\", Status::Success},  // trailing backslash
      {nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\\\Calvex", Status::InvalidName},
      {nullptr, u"REGISTRY\\MACHINE", Status::InvalidName},  // absolute path without its backslash
      {nullptr, u"\\Machine\\SOFTWARE", Status::NotFound},
      {&parent, u"\\Sub", Status::InvalidName},  // relative path with a leading backslash
      {&parent, u"", Status::Success},           // the parent itself
      {&parent, u"Missing", Status::NotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(reg::ToUtf8(c.path));
    reg::Key key;
    EXPECT_EQ(c.expected, store.Open(c.parent, c.path, access::kRead, &key));
  }
}

TEST_F(StoreTest, NamesAreCaseInsensitiveAndCasePreserving) {
  reg::Key key = MustCreate(Machine(u"SOFTWARE\\MixedCase"));
  const uint32_t one = 1, two = 2;
  ASSERT_EQ(Status::Success, store.SetValue(key, u"First", reg::type::kDword, &one, 4));
  ASSERT_EQ(Status::Success, store.SetValue(key, u"Second", reg::type::kDword, &one, 4));
  // Rewriting with other case keeps the stored name and the value's place.
  ASSERT_EQ(Status::Success, store.SetValue(key, u"FIRST", reg::type::kDword, &two, 4));
  reg::Value value;
  ASSERT_EQ(Status::Success, store.EnumerateValue(key, 0, &value));
  EXPECT_EQ(u"First", value.name);
  EXPECT_EQ((std::vector<uint8_t>{2, 0, 0, 0}), value.data);

  reg::Key parent = MustCreate(Machine(u"SOFTWARE"));
  reg::Key again;
  EXPECT_EQ(Status::Success, store.Open(&parent, u"MIXEDCASE", access::kRead, &again));
  EXPECT_TRUE(again.SameKey(key));
  reg::KeyInfo info;
  ASSERT_EQ(Status::Success, store.QueryKey(again, &info));
  EXPECT_EQ(u"MixedCase", info.name);
}

TEST_F(StoreTest, SubkeysEnumerateInUpperCasedOrderValuesInCreationOrder) {
  reg::Key key = MustCreate(Machine(u"SOFTWARE\\Order"));
  for (auto name : {u"b", u"_x", u"A", u"Z", u"a1"}) {
    reg::Key sub;
    ASSERT_EQ(Status::Success, store.Create(&key, name, access::kRead, 0, u"", &sub, nullptr));
  }
  for (auto name : {u"zeta", u"alpha", u"Mid"}) ASSERT_EQ(Status::Success, store.SetValue(key, name, 0, nullptr, 0));

  std::vector<std::u16string> subkeys, values;
  reg::SubkeyInfo info;
  for (uint32_t i = 0; store.EnumerateKey(key, i, &info) == Status::Success; ++i) subkeys.push_back(info.name);
  reg::Value value;
  for (uint32_t i = 0; store.EnumerateValue(key, i, &value) == Status::Success; ++i) values.push_back(value.name);
  // Windows compares upper-cased names: '_' (0x5F) sorts after 'Z' (0x5A).
  EXPECT_EQ((std::vector<std::u16string>{u"A", u"a1", u"b", u"Z", u"_x"}), subkeys);
  EXPECT_EQ((std::vector<std::u16string>{u"zeta", u"alpha", u"Mid"}), values);
  EXPECT_EQ(Status::NoMoreEntries, store.EnumerateKey(key, 5, &info));
  EXPECT_EQ(Status::NoMoreEntries, store.EnumerateValue(key, 3, &value));
}

TEST_F(StoreTest, QueryKeyReportsCountsAndLongestNamesAndData) {
  reg::Key key = MustCreate(Machine(u"SOFTWARE\\Info"));
  reg::Key sub;
  ASSERT_EQ(Status::Success, store.Create(&key, u"Twelve chars", access::kRead, 0, u"ClassText", &sub, nullptr));
  ASSERT_EQ(Status::Success, store.Create(&key, u"Short", access::kRead, 0, u"", &sub, nullptr));
  const auto clsid = Utf16Bytes(u"{A3C86E14-72D9-4B05-8E3F-1D64C2B9F078}");
  ASSERT_EQ(Status::Success, store.SetValue(key, u"CLSID", reg::type::kSz, clsid.data(), clsid.size()));
  ASSERT_EQ(Status::Success, store.SetValue(key, u"Description", reg::type::kSz, clsid.data(), 10));
  reg::KeyInfo info;
  ASSERT_EQ(Status::Success, store.QueryKey(key, &info));
  EXPECT_EQ(2u, info.subkeys);
  EXPECT_EQ(12u, info.max_subkey_name);
  EXPECT_EQ(9u, info.max_subkey_class);
  EXPECT_EQ(2u, info.values);
  EXPECT_EQ(11u, info.max_value_name);
  EXPECT_EQ(76u, info.max_value_data);
}

TEST_F(StoreTest, AccessIsCheckedAgainstTheOpenedRights) {
  MustCreate(Machine(u"SOFTWARE\\Rights"));
  const uint32_t data = 7;
  struct Case {
    uint32_t rights;
    Status query, set, enumerate, remove;
  };
  const Case cases[] = {
      {access::kRead, Status::Success, Status::AccessDenied, Status::Success, Status::AccessDenied},
      {access::kWrite, Status::AccessDenied, Status::Success, Status::AccessDenied, Status::AccessDenied},
      {access::kQueryValue, Status::Success, Status::AccessDenied, Status::AccessDenied, Status::AccessDenied},
      {access::kGenericRead, Status::Success, Status::AccessDenied, Status::Success, Status::AccessDenied},
      {access::kGenericAll, Status::Success, Status::Success, Status::Success, Status::Success},
      {access::kMaximumAllowed, Status::Success, Status::Success, Status::Success, Status::Success},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rights);
    reg::Key key;
    ASSERT_EQ(Status::Success, store.Open(nullptr, Machine(u"SOFTWARE\\Rights"), c.rights, &key));
    reg::Value value;
    reg::SubkeyInfo info;
    EXPECT_EQ(c.set, store.SetValue(key, u"V", reg::type::kDword, &data, 4));
    const Status query = store.QueryValue(key, u"V", &value);
    EXPECT_EQ(c.query, query == Status::NotFound ? Status::Success : query);
    const Status enumerate = store.EnumerateKey(key, 0, &info);
    EXPECT_EQ(c.enumerate, enumerate == Status::NoMoreEntries ? Status::Success : enumerate);
    const Status remove = store.DeleteKey(key);
    EXPECT_EQ(c.remove, remove);
    if (remove == Status::Success) MustCreate(Machine(u"SOFTWARE\\Rights"));
  }
}

TEST_F(StoreTest, ReadOnlySubtreeRefusesWritersAtOpenAndAfter) {
  reg::Key before = MustCreate(Machine(u"SOFTWARE\\ASIO"));
  ASSERT_EQ(Status::Success, store.SetReadOnly(Machine(u"SOFTWARE"), true));
  reg::Key key;
  EXPECT_EQ(Status::AccessDenied, store.Open(nullptr, Machine(u"SOFTWARE\\ASIO"), access::kWrite, &key));
  EXPECT_EQ(Status::Success, store.Open(nullptr, Machine(u"SOFTWARE\\ASIO"), access::kRead, &key));
  // Asking for the most it may have gives a read-only key.
  ASSERT_EQ(Status::Success, store.Open(nullptr, Machine(u"SOFTWARE\\ASIO"), access::kMaximumAllowed, &key));
  EXPECT_EQ(access::kRead, key.Access());
  EXPECT_EQ(Status::AccessDenied, store.Create(&key, u"New", access::kRead, 0, u"", &key, nullptr));
  // A key opened for writing before the hive became read-only is refused too.
  const uint32_t data = 1;
  EXPECT_EQ(Status::AccessDenied, store.SetValue(before, u"V", reg::type::kDword, &data, 4));
  EXPECT_EQ(Status::AccessDenied, store.DeleteKey(before));
  // The user's hive is another hive.
  EXPECT_EQ(Status::Success, store.Open(nullptr, User(u"Software"), access::kWrite, &key));
  ASSERT_EQ(Status::Success, store.SetReadOnly(Machine(u"SOFTWARE"), false));
  EXPECT_EQ(Status::Success, store.SetValue(before, u"V", reg::type::kDword, &data, 4));
  EXPECT_EQ(Status::NotFound, store.SetReadOnly(Machine(u"SOFTWARE\\Missing"), true));
}

TEST_F(StoreTest, DeleteKeyRefusesChildrenAndHives) {
  reg::Key parent = MustCreate(Machine(u"SOFTWARE\\Parent"));
  reg::Key child = MustCreate(Machine(u"SOFTWARE\\Parent\\Child"));
  EXPECT_EQ(Status::KeyHasChildren, store.DeleteKey(parent));
  EXPECT_TRUE(store.Exists(Machine(u"SOFTWARE\\Parent\\Child")));
  for (auto hive : {u"\\REGISTRY\\MACHINE\\SOFTWARE", u"\\REGISTRY\\MACHINE", u"\\REGISTRY"}) {
    reg::Key key;
    ASSERT_EQ(Status::Success, store.Open(nullptr, hive, access::kAllAccess, &key));
    EXPECT_EQ(Status::CannotDelete, store.DeleteKey(key)) << reg::ToUtf8(hive);
  }
  EXPECT_EQ(Status::Success, store.DeleteKey(child));
  EXPECT_EQ(Status::Success, store.DeleteKey(parent));
  EXPECT_FALSE(store.Exists(Machine(u"SOFTWARE\\Parent")));
}

TEST_F(StoreTest, DeletedKeyAnswersKeyDeletedEvenAfterRecreation) {
  reg::Key key = MustCreate(Machine(u"SOFTWARE\\Gone"));
  reg::Key other;
  ASSERT_EQ(Status::Success, store.Open(nullptr, Machine(u"SOFTWARE\\Gone"), access::kAllAccess, &other));
  ASSERT_EQ(Status::Success, store.DeleteKey(key));
  reg::Value value;
  reg::KeyInfo info;
  std::u16string path;
  const uint32_t data = 1;
  EXPECT_EQ(Status::KeyDeleted, store.QueryValue(other, u"V", &value));
  EXPECT_EQ(Status::KeyDeleted, store.SetValue(other, u"V", reg::type::kDword, &data, 4));
  EXPECT_EQ(Status::KeyDeleted, store.QueryKey(other, &info));
  EXPECT_EQ(Status::KeyDeleted, store.DeleteKey(other));
  EXPECT_EQ(Status::KeyDeleted, store.FullPath(other, &path));
  reg::Key sub;
  EXPECT_EQ(Status::KeyDeleted, store.Create(&other, u"Sub", access::kRead, 0, u"", &sub, nullptr));

  reg::Key recreated = MustCreate(Machine(u"SOFTWARE\\Gone"));
  EXPECT_FALSE(recreated.SameKey(other));
  EXPECT_EQ(Status::KeyDeleted, store.QueryKey(other, &info));
  // Reset ends every key held from before.
  store.Reset();
  EXPECT_EQ(Status::KeyDeleted, store.QueryKey(recreated, &info));
}

TEST_F(StoreTest, VolatileKeysTakeOnlyVolatileChildren) {
  reg::Key key;
  ASSERT_EQ(Status::Success, store.Create(nullptr, Machine(u"SOFTWARE\\Volatile"), access::kAllAccess,
                                          reg::kOptionVolatile, u"", &key, nullptr));
  reg::Key child;
  EXPECT_EQ(Status::ChildMustBeVolatile, store.Create(&key, u"Child", access::kAllAccess, 0, u"", &child, nullptr));
  EXPECT_EQ(Status::Success,
            store.Create(&key, u"Child", access::kAllAccess, reg::kOptionVolatile, u"", &child, nullptr));
}

TEST_F(StoreTest, KernelWow6432NodePathIsAnOrdinaryKey) {
  reg::Key key = MustCreate(Machine(u"SOFTWARE\\Wow6432Node\\ASIO"));
  EXPECT_TRUE(store.Exists(u"\\REGISTRY\\Machine\\SOFTWARE\\Wow6432Node\\ASIO"));
  EXPECT_FALSE(store.Exists(u"\\REGISTRY\\Machine\\SOFTWARE\\ASIO"));
}

TEST_F(StoreTest, ConcurrentWritersAndReadersSeeWholeValues) {
  reg::Key key = MustCreate(Machine(u"SOFTWARE\\Busy"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::u16string name = u"V" + std::u16string(1, static_cast<char16_t>(u'0' + t));
      for (uint32_t i = 0; i < 500; ++i) {
        const uint64_t data = (uint64_t{i} << 32) | i;
        EXPECT_EQ(Status::Success, store.SetValue(key, name, reg::type::kQword, &data, 8));
        reg::Value value;
        EXPECT_EQ(Status::Success, store.QueryValue(key, name, &value));
        EXPECT_EQ(8u, value.data.size());
        reg::Key sub;
        EXPECT_EQ(Status::Success, store.Create(&key, name, access::kAllAccess, 0, u"", &sub, nullptr));
        EXPECT_EQ(Status::Success, store.DeleteKey(sub));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  reg::KeyInfo info;
  ASSERT_EQ(Status::Success, store.QueryKey(key, &info));
  EXPECT_EQ(4u, info.values);
  EXPECT_EQ(0u, info.subkeys);
}

}  // namespace
}  // namespace regtest
