// The COM runtime's state: each thread's apartment and the in-process
// servers the runtime has loaded.
//
// A server is loaded once, on the first CoGetClassObject that needs it, and
// stays loaded (one loader reference held by the runtime) until
// CoFreeUnusedLibraries finds its DllCanUnloadNow answering S_OK, or the
// thread that loaded it leaves its last apartment.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com.h"

namespace sim {

class ComRuntime {
 public:
  static ComRuntime& Get();

  struct Server {
    HMODULE module;
    std::string path;
    std::thread::id loaded_by;
  };
  std::vector<Server> LoadedServers() const;
  // The apartment count of the calling thread (0 when it is in none).
  unsigned ApartmentCount() const;

  // A new machine: apartments forgotten, every loaded server freed.
  void Reset();

  HRESULT Initialize(DWORD model);
  void Uninitialize();
  HRESULT GetClassObject(REFCLSID clsid, DWORD context, REFIID iid, void** out);
  void FreeUnusedLibraries();

 private:
  struct Apartment {
    unsigned count = 0;
    bool multithreaded = false;
  };
  // Expects mutex_ held.
  bool InApartmentLocked() const;
  HRESULT ServerLocked(const std::string& path, HMODULE* module);

  // Recursive: a server's DllMain may call the runtime while it is being loaded.
  mutable std::recursive_mutex mutex_;
  std::map<std::thread::id, Apartment> apartments_;
  std::vector<Server> servers_;
};

}  // namespace sim
