// The process's module list, behind LoadLibraryA and friends.
//
// A module is either a host shared library found through the simulated file
// system (sim/win32/paths.h) and opened with the dynamic loader, or a
// built-in module: a table of exports registered in-process by another
// simulated piece (ksuser.dll registers KsCreatePin this way).
//
// Bare names ("ksuser.dll") are looked up among loaded modules by file name,
// then among built-in modules, then in the system directory. Modules are
// reference counted; the first load calls an exported DllMain with
// DLL_PROCESS_ATTACH, the last FreeLibrary calls it with DLL_PROCESS_DETACH.
// DllMain runs under the loader lock, which its own thread may take again.
// No DLL_THREAD_ATTACH or DLL_THREAD_DETACH is ever delivered.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/loader.h"

namespace sim {

using BuiltinExports = std::map<std::string, void*>;

class Modules {
 public:
  static constexpr const char* kDefaultImagePath = "C:\\Program Files\\Ora\\orahost.exe";

  static Modules& Get();

  // `name` is a file name ("ksuser.dll"); the module then lives in the
  // system directory. Registering a name again replaces its exports for
  // later loads.
  void RegisterBuiltinModule(const std::string& name, BuiltinExports exports);
  void UnregisterBuiltinModule(const std::string& name);

  // The process's own image: GetModuleHandleA(nullptr), GetModuleFileNameA(nullptr).
  void SetProcessImagePath(std::string windows_path);

  struct Loaded {
    HMODULE handle;
    std::string path;  // the full Windows path it was loaded by
    unsigned references;
    bool builtin;
    bool thread_calls_disabled;
  };
  std::vector<Loaded> LoadedModules() const;
  std::optional<Loaded> Find(HMODULE module) const;
  // An export of a loaded module, for other rooms of the simulated PC
  // (resources, COM); null when there is none.
  void* Symbol(HMODULE module, const char* name) const;

  // A new machine: every module still loaded is detached (DllMain with a
  // non-null reserved argument, as at process exit) and unloaded, in reverse
  // load order; built-in modules are forgotten and the image path restored.
  void Reset();

  // The Win32 calls, each returning a Win32 error (0 on success).
  DWORD Load(const char* name, HMODULE* out);
  DWORD Free(HMODULE module);
  DWORD GetProc(HMODULE module, const char* name, void** out) const;
  DWORD GetHandle(const char* name, HMODULE* out) const;
  DWORD FileName(HMODULE module, std::string* out) const;
  DWORD DisableThreadCalls(HMODULE module);

 private:
  struct Module {
    HMODULE handle;
    std::string path;
    std::string key;  // the host file, or the built-in's name in upper case
    unsigned references;
    void* library;  // dlopen handle; null for a built-in
    BuiltinExports exports;
    bool thread_calls_disabled;
  };

  // The helpers below expect mutex_ held.
  Module* FindLocked(HMODULE module) const;
  Module* FindByFileNameLocked(std::string_view file_name) const;
  void* SymbolLocked(const Module& module, const char* name) const;
  void UnloadLocked(HMODULE module, LPVOID reserved);

  mutable std::recursive_mutex mutex_;
  // In load order; a DllMain may load another module while one is being loaded.
  std::vector<std::unique_ptr<Module>> modules_;
  std::map<std::string, BuiltinExports> builtins_;  // by upper-cased name
  std::string image_path_ = kDefaultImagePath;
  std::uintptr_t next_base_ = 0;
};

inline void RegisterBuiltinModule(const std::string& name, BuiltinExports exports) {
  Modules::Get().RegisterBuiltinModule(name, std::move(exports));
}

}  // namespace sim
