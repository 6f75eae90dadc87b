// The COM runtime: apartments per thread, in-process servers found through
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 and loaded with the module
// loader, and the task allocator.
#include "sim/win32/com_runtime.h"

#include <cstdlib>
#include <memory>
#include <type_traits>

#include "platform/win32/loader.h"
#include "platform/win32/registry.h"
#include "platform/win32/sync.h"

namespace sim {

namespace {

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyPtr = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// An export as the function type it has; through void(*)() because FARPROC's
// own type says nothing about the export's.
template <typename F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The default value of HKCR\CLSID\{clsid}\InprocServer32, or a failure.
HRESULT InprocServerPath(REFCLSID clsid, std::string* path) {
  char text[ORA_GUID_STRING_CHARS];
  OraStringFromGuidA(clsid, text, ORA_GUID_STRING_CHARS);
  const std::string key_path = std::string("CLSID\\") + text + "\\InprocServer32";
  HKEY raw = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key_path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
    return REGDB_E_CLASSNOTREG;
  KeyPtr key(raw);
  char data[MAX_PATH * 2] = {};
  DWORD type = 0;
  DWORD size = sizeof(data) - 1;
  if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || data[0] == 0)
    return REGDB_E_CLASSNOTREG;
  *path = data;
  return S_OK;
}

}  // namespace

ComRuntime& ComRuntime::Get() {
  static ComRuntime runtime;
  return runtime;
}

std::vector<ComRuntime::Server> ComRuntime::LoadedServers() const {
  std::lock_guard lock(mutex_);
  return servers_;
}

unsigned ComRuntime::ApartmentCount() const {
  std::lock_guard lock(mutex_);
  auto it = apartments_.find(std::this_thread::get_id());
  return it == apartments_.end() ? 0 : it->second.count;
}

void ComRuntime::Reset() {
  std::vector<Server> servers;
  {
    std::lock_guard lock(mutex_);
    apartments_.clear();
    servers.swap(servers_);
  }
  for (const auto& server : servers) FreeLibrary(server.module);
}

HRESULT ComRuntime::Initialize(DWORD model) {
  const bool multithreaded = (model & COINIT_APARTMENTTHREADED) == 0;
  std::lock_guard lock(mutex_);
  Apartment& apartment = apartments_[std::this_thread::get_id()];
  if (apartment.count == 0) {
    apartment.count = 1;
    apartment.multithreaded = multithreaded;
    return S_OK;
  }
  // A thread stays in the apartment kind it entered first.
  if (apartment.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
  ++apartment.count;
  return S_FALSE;
}

void ComRuntime::Uninitialize() {
  std::vector<Server> freed;
  {
    std::lock_guard lock(mutex_);
    auto it = apartments_.find(std::this_thread::get_id());
    if (it == apartments_.end() || it->second.count == 0) return;
    if (--it->second.count > 0) return;
    apartments_.erase(it);
    // Leaving the last apartment unloads the servers this thread loaded.
    for (auto server = servers_.begin(); server != servers_.end();) {
      if (server->loaded_by == std::this_thread::get_id()) {
        freed.push_back(*server);
        server = servers_.erase(server);
      } else {
        ++server;
      }
    }
  }
  for (const auto& server : freed) FreeLibrary(server.module);
}

bool ComRuntime::InApartmentLocked() const {
  auto it = apartments_.find(std::this_thread::get_id());
  if (it != apartments_.end() && it->second.count > 0) return true;
  // A thread that never initialised COM is implicitly in the multithreaded
  // apartment while some other thread keeps that apartment alive.
  for (const auto& [thread, apartment] : apartments_)
    if (apartment.count > 0 && apartment.multithreaded) return true;
  return false;
}

HRESULT ComRuntime::ServerLocked(const std::string& path, HMODULE* module) {
  // The same module under another spelling of its path is found by the loader.
  HMODULE loaded = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (loaded == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  for (const auto& server : servers_) {
    if (server.module == loaded) {
      FreeLibrary(loaded);
      *module = loaded;
      return S_OK;
    }
  }
  servers_.push_back({loaded, path, std::this_thread::get_id()});
  *module = loaded;
  return S_OK;
}

HRESULT ComRuntime::GetClassObject(REFCLSID clsid, DWORD context, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  HMODULE module = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!InApartmentLocked()) return CO_E_NOTINITIALIZED;
    // Only in-process servers exist on this machine.
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    std::string path;
    if (const HRESULT hr = InprocServerPath(clsid, &path); FAILED(hr)) return hr;
    if (const HRESULT hr = ServerLocked(path, &module); FAILED(hr)) return hr;
  }
  auto entry = Export<GetClassObjectFn>(module, "DllGetClassObject");
  if (entry == nullptr) return CO_E_ERRORINDLL;
  // The server's code runs without the runtime's lock: it may call COM again.
  return entry(clsid, iid, out);
}

void ComRuntime::FreeUnusedLibraries() {
  std::vector<Server> candidates = LoadedServers();
  for (const auto& server : candidates) {
    auto can_unload = Export<CanUnloadNowFn>(server.module, "DllCanUnloadNow");
    // A server without DllCanUnloadNow stays until its thread leaves COM.
    if (can_unload == nullptr || can_unload() != S_OK) continue;
    bool owned = false;
    {
      std::lock_guard lock(mutex_);
      for (auto it = servers_.begin(); it != servers_.end(); ++it) {
        if (it->module == server.module) {
          servers_.erase(it);
          owned = true;
          break;
        }
      }
    }
    if (owned) FreeLibrary(server.module);
  }
}

}  // namespace sim

extern "C" HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

extern "C" HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  return sim::ComRuntime::Get().Initialize(dwCoInit);
}

extern "C" void STDAPICALLTYPE CoUninitialize() { sim::ComRuntime::Get().Uninitialize(); }

extern "C" HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                                   LPVOID* ppv) {
  // The reserved argument names a remote server, which an in-process
  // request does not use.
  (void)pvReserved;
  return sim::ComRuntime::Get().GetClassObject(rclsid, dwClsContext, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                                   REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  const HRESULT got = sim::ComRuntime::Get().GetClassObject(rclsid, dwClsContext, IID_IClassFactory,
                                                            reinterpret_cast<void**>(&factory));
  if (FAILED(got)) return got;
  const HRESULT created = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (FAILED(created)) *ppv = nullptr;
  return created;
}

extern "C" void STDAPICALLTYPE CoFreeUnusedLibraries() { sim::ComRuntime::Get().FreeUnusedLibraries(); }

// Zero bytes still give a distinct block, as the task allocator promises.
extern "C" LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

extern "C" void STDAPICALLTYPE CoTaskMemFree(LPVOID pv) { std::free(pv); }
