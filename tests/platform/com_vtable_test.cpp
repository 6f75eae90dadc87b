// A host calls COM objects through the virtual table as a table of plain
// functions that take the object first, in the Windows slot order. These tests
// call our interfaces' implementations that way.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/com.h"

namespace {

struct CVtable {
  HRESULT (*QueryInterface)(void* self, const IID* riid, void** ppv);
  ULONG (*AddRef)(void* self);
  ULONG (*Release)(void* self);
  HRESULT (*CreateInstance)(void* self, IUnknown* outer, const IID* riid, void** ppv);
  HRESULT (*LockServer)(void* self, BOOL lock);
};

const CVtable* TableOf(const void* object) {
  const CVtable* table = nullptr;
  std::memcpy(&table, object, sizeof(table));
  return table;
}

// An implementation's own virtual functions (here its destructor) follow the
// interface's slots; the interfaces have no destructor slot of their own.
class Factory : public IClassFactory {
 public:
  virtual ~Factory() = default;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    calls.push_back(0);
    if (ppv == nullptr) return E_POINTER;
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory) ? this : nullptr;
    return *ppv != nullptr ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    calls.push_back(1);
    return 2;
  }
  STDMETHODIMP_(ULONG) Release() override {
    calls.push_back(2);
    return 1;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID, void** ppv) override {
    calls.push_back(3);
    if (ppv != nullptr) *ppv = nullptr;
    return outer != nullptr ? CLASS_E_NOAGGREGATION : E_NOTIMPL;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    calls.push_back(lock ? 4 : 5);
    return S_OK;
  }

  std::vector<int> calls;
};

TEST(ComVtable, IClassFactorySlotsAreInWindowsOrder) {
  Factory factory;
  IClassFactory* object = &factory;
  const CVtable* table = TableOf(object);
  void* out = &out;
  EXPECT_EQ(S_OK, table->QueryInterface(object, &IID_IClassFactory, &out));
  EXPECT_EQ(static_cast<void*>(object), out);
  EXPECT_EQ(2u, table->AddRef(object));
  EXPECT_EQ(1u, table->Release(object));
  EXPECT_EQ(CLASS_E_NOAGGREGATION, table->CreateInstance(object, object, &IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(S_OK, table->LockServer(object, TRUE));
  EXPECT_EQ(S_OK, table->LockServer(object, FALSE));
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5}), factory.calls);
}

}  // namespace
