// A host calls COM objects through the virtual table as a table of plain
// functions taking the object first. These tests build such a table by hand,
// in the Windows slot order, and call it through the C++ interfaces.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/com.h"

namespace {

struct FakeObject;

struct FakeVtable {
  HRESULT (*QueryInterface)(FakeObject* self, const IID* riid, void** ppv);
  ULONG (*AddRef)(FakeObject* self);
  ULONG (*Release)(FakeObject* self);
  HRESULT (*CreateInstance)(FakeObject* self, IUnknown* outer, const IID* riid, void** ppv);
  HRESULT (*LockServer)(FakeObject* self, BOOL lock);
};

struct FakeObject {
  const FakeVtable* vtable;
  std::vector<int> calls;
};

const FakeVtable kVtable = {
    [](FakeObject* self, const IID*, void**) -> HRESULT {
      self->calls.push_back(0);
      return E_NOINTERFACE;
    },
    [](FakeObject* self) -> ULONG {
      self->calls.push_back(1);
      return 2;
    },
    [](FakeObject* self) -> ULONG {
      self->calls.push_back(2);
      return 1;
    },
    [](FakeObject* self, IUnknown*, const IID*, void**) -> HRESULT {
      self->calls.push_back(3);
      return CLASS_E_NOAGGREGATION;
    },
    [](FakeObject* self, BOOL lock) -> HRESULT {
      self->calls.push_back(lock ? 4 : 5);
      return S_OK;
    },
};

TEST(ComVtable, IClassFactorySlotsAreInWindowsOrder) {
  FakeObject object{&kVtable, {}};
  auto* factory = reinterpret_cast<IClassFactory*>(&object);
  void* out = nullptr;
  EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_IUnknown, &out));
  EXPECT_EQ(2u, factory->AddRef());
  EXPECT_EQ(1u, factory->Release());
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(nullptr, IID_IUnknown, &out));
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5}), object.calls);
}

// An implementation's own slots follow the interface's; the interface has no
// destructor slot of its own.
class Counter : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
    if (*ppv == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }

 private:
  ULONG refs_ = 1;
};

TEST(ComVtable, ImplementationSlotsMatchTheHandBuiltTable) {
  Counter counter;
  const FakeVtable* table = nullptr;
  std::memcpy(&table, static_cast<const void*>(&counter), sizeof(table));
  void* out = nullptr;
  EXPECT_EQ(E_NOINTERFACE, counter.QueryInterface(IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(2u, table->AddRef(reinterpret_cast<FakeObject*>(&counter)));
  EXPECT_EQ(1u, table->Release(reinterpret_cast<FakeObject*>(&counter)));
  EXPECT_EQ(S_OK, table->QueryInterface(reinterpret_cast<FakeObject*>(&counter), &IID_IUnknown, &out));
  EXPECT_EQ(static_cast<IUnknown*>(&counter), out);
  EXPECT_EQ(1u, counter.Release());
}

}  // namespace
