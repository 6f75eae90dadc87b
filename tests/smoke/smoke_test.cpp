#include <gtest/gtest.h>

#include "platform/base.h"
#include "sim/core/handles.h"

namespace {

struct Dummy final : sim::Object {
  static constexpr sim::ObjectType kType = sim::ObjectType::Other;
  sim::ObjectType Type() const override { return kType; }
  std::string Describe() const override { return "dummy"; }
};

TEST(Smoke, LlpTypesHaveWindowsSizes) {
  EXPECT_EQ(4u, sizeof(LONG));
  EXPECT_EQ(4u, sizeof(ULONG));
  EXPECT_EQ(4u, sizeof(DWORD));
  EXPECT_EQ(2u, sizeof(WCHAR));
  EXPECT_EQ(8u, sizeof(HANDLE));
  EXPECT_EQ(static_cast<HRESULT>(0x80070005u), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(S_OK, HRESULT_FROM_WIN32(ERROR_SUCCESS));
}

TEST(Smoke, HandleTableChecksTypes) {
  auto& table = sim::HandleTable::Get();
  void* h = table.Insert(std::make_shared<Dummy>());
  EXPECT_NE(nullptr, table.LookupAs<Dummy>(h));
  EXPECT_EQ(nullptr, table.Lookup(h, sim::ObjectType::Event));
  EXPECT_TRUE(table.Close(h));
  EXPECT_FALSE(table.Close(h));
}

}  // namespace
