// A small in-process COM server for the COM runtime tests: one class with one
// interface, a class factory, a module lock count and the two exports COM
// looks for. Each creation and the unload question are logged to the
// machine's debug log.
#include "tests/comres/test_server.h"

#include <atomic>
#include <new>
#include <string>

#include "platform/com.h"
#include "platform/win32/debug.h"

namespace {

std::atomic<long> g_locks{0};

class CCounter final : public ITestCounter {
 public:
  CCounter() { ++g_locks; }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITestCounter) {
      *ppv = static_cast<ITestCounter*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override {
    const long refs = --m_refs;
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }
  STDMETHODIMP_(LONG) Next() override { return ++m_value; }

 private:
  ~CCounter() { --g_locks; }
  std::atomic<long> m_refs{1};
  LONG m_value = 0;
};

class CFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static; it holds the module only through LockServer.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* counter = new (std::nothrow) CCounter;
    if (counter == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = counter->QueryInterface(riid, ppv);
    counter->Release();
    OutputDebugStringA("OraComTest: CreateInstance\n");
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ++g_locks;
    else
      --g_locks;
    return S_OK;
  }
};

CFactory g_factory;

}  // namespace

#ifndef ORA_TESTSERVER_NO_CLASS_OBJECT
extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                                                           LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_TestCounter) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}
#endif

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  const long locks = g_locks.load();
  OutputDebugStringA(locks == 0 ? "OraComTest: can unload\n" : "OraComTest: busy\n");
  return locks == 0 ? S_OK : S_FALSE;
}
