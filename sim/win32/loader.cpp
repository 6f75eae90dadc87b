// LoadLibraryA and friends over the dynamic loader and built-in modules.
#include "platform/win32/loader.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/sync.h"
#include "sim/win32/modules.h"
#include "sim/win32/paths.h"

namespace sim {

namespace {

using DllEntry = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

// Module handles look like the image bases Windows gives DLLs; the process
// image sits at the usual base of an executable.
constexpr std::uintptr_t kModuleBase = 0x180000000ull;
constexpr std::uintptr_t kModuleStride = 0x10000;
const HMODULE kImageHandle = reinterpret_cast<HMODULE>(std::uintptr_t{0x140000000ull});

std::string Upper(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Without an extension the loader appends ".dll"; a trailing dot means
// "no extension" and is dropped.
std::string WithExtension(std::string name) {
  const auto file = FileSystem::FileName(name);
  if (!file.empty() && file.back() == '.') {
    name.pop_back();
    return name;
  }
  if (file.find('.') == std::string_view::npos) name += ".dll";
  return name;
}

bool HasDirectory(std::string_view name) { return name.find_first_of("\\/:") != std::string_view::npos; }

}  // namespace

Modules& Modules::Get() {
  static Modules modules;
  return modules;
}

void Modules::RegisterBuiltinModule(const std::string& name, BuiltinExports exports) {
  std::lock_guard lock(mutex_);
  builtins_[Upper(name)] = std::move(exports);
}

void Modules::UnregisterBuiltinModule(const std::string& name) {
  std::lock_guard lock(mutex_);
  builtins_.erase(Upper(name));
}

void Modules::SetProcessImagePath(std::string windows_path) {
  std::lock_guard lock(mutex_);
  image_path_ = std::move(windows_path);
}

std::vector<Modules::Loaded> Modules::LoadedModules() const {
  std::lock_guard lock(mutex_);
  std::vector<Loaded> out;
  for (const auto& m : modules_)
    out.push_back(Loaded{m->handle, m->path, m->references, m->library == nullptr, m->thread_calls_disabled});
  return out;
}

std::optional<Modules::Loaded> Modules::Find(HMODULE module) const {
  std::lock_guard lock(mutex_);
  const Module* m = FindLocked(module);
  if (m == nullptr) return std::nullopt;
  return Loaded{m->handle, m->path, m->references, m->library == nullptr, m->thread_calls_disabled};
}

void* Modules::Symbol(HMODULE module, const char* name) const {
  std::lock_guard lock(mutex_);
  const Module* m = FindLocked(module);
  return m ? SymbolLocked(*m, name) : nullptr;
}

Modules::Module* Modules::FindLocked(HMODULE module) const {
  for (const auto& m : modules_)
    if (m->handle == module) return m.get();
  return nullptr;
}

Modules::Module* Modules::FindByFileNameLocked(std::string_view file_name) const {
  for (const auto& m : modules_)
    if (FileSystem::EqualsIgnoreCase(FileSystem::FileName(m->path), file_name)) return m.get();
  return nullptr;
}

void* Modules::SymbolLocked(const Module& module, const char* name) const {
  if (module.library == nullptr) {
    auto it = module.exports.find(name);
    return it == module.exports.end() ? nullptr : it->second;
  }
  void* symbol = dlsym(module.library, name);
  if (symbol == nullptr) return nullptr;
  // dlsym also searches the library's dependencies; a Windows module
  // exports only its own functions.
  link_map* map = nullptr;
  Dl_info info{};
  if (dlinfo(module.library, RTLD_DI_LINKMAP, &map) != 0 || dladdr(symbol, &info) == 0) return nullptr;
  return std::strcmp(info.dli_fname, map->l_name) == 0 ? symbol : nullptr;
}

DWORD Modules::Load(const char* name, HMODULE* out) {
  *out = nullptr;
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  std::string requested = WithExtension(name);
  if (requested.empty()) return ERROR_MOD_NOT_FOUND;
  std::lock_guard lock(mutex_);
  auto& fs = FileSystem::Get();

  std::string path;
  if (HasDirectory(requested)) {
    const auto normalized = FileSystem::Normalize(requested);
    // The simulated process has no current directory: relative paths name nothing.
    if (!normalized) return ERROR_MOD_NOT_FOUND;
    path = *normalized;
  } else {
    if (Module* loaded = FindByFileNameLocked(requested)) {
      ++loaded->references;
      *out = loaded->handle;
      return 0;
    }
    path = fs.SystemDirectory() + "\\" + requested;
  }

  // A built-in module lives in the system directory.
  std::string key;
  const BuiltinExports* builtin = nullptr;
  const auto directory = std::string_view(path).substr(0, path.size() - FileSystem::FileName(path).size() - 1);
  if (const auto system = FileSystem::Normalize(fs.SystemDirectory());
      system && FileSystem::EqualsIgnoreCase(directory, *system)) {
    auto it = builtins_.find(Upper(FileSystem::FileName(path)));
    if (it != builtins_.end()) {
      builtin = &it->second;
      key = it->first;
    }
  }
  std::string host;
  if (builtin == nullptr) {
    const auto found = fs.HostPath(path);
    if (!found) return ERROR_MOD_NOT_FOUND;
    char resolved[PATH_MAX];
    if (realpath(found->c_str(), resolved) == nullptr) return ERROR_MOD_NOT_FOUND;
    host = resolved;
    key = host;
  }
  for (auto& m : modules_) {
    if (m->key == key) {
      ++m->references;
      *out = m->handle;
      return 0;
    }
  }

  auto module = std::make_unique<Module>();
  module->path = path;
  module->key = key;
  module->references = 1;
  if (builtin != nullptr) {
    module->exports = *builtin;
  } else {
    module->library = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module->library == nullptr) return ERROR_BAD_EXE_FORMAT;
  }
  next_base_ += kModuleStride;
  module->handle = reinterpret_cast<HMODULE>(kModuleBase + next_base_);
  const HMODULE handle = module->handle;
  auto entry = reinterpret_cast<DllEntry>(SymbolLocked(*module, "DllMain"));
  modules_.push_back(std::move(module));
  if (entry != nullptr && !entry(handle, DLL_PROCESS_ATTACH, nullptr)) {
    // A refused attach is followed at once by a detach, then the unload.
    entry(handle, DLL_PROCESS_DETACH, nullptr);
    Module* failed = FindLocked(handle);
    failed->references = 0;
    if (failed->library) dlclose(failed->library);
    std::erase_if(modules_, [&](const auto& m) { return m->handle == handle; });
    return ERROR_DLL_INIT_FAILED;
  }
  *out = handle;
  return 0;
}

void Modules::UnloadLocked(HMODULE handle, LPVOID reserved) {
  Module* module = FindLocked(handle);
  if (auto entry = reinterpret_cast<DllEntry>(SymbolLocked(*module, "DllMain")))
    entry(handle, DLL_PROCESS_DETACH, reserved);
  // The detach may have loaded or freed other modules; find it again.
  module = FindLocked(handle);
  if (module->library != nullptr && dlclose(module->library) != 0) {
    std::fprintf(stderr, "*** sim bug check: loader: dlclose of %s failed: %s\n", module->path.c_str(), dlerror());
    std::abort();
  }
  std::erase_if(modules_, [&](const auto& m) { return m->handle == handle; });
}

DWORD Modules::Free(HMODULE handle) {
  std::lock_guard lock(mutex_);
  if (handle == kImageHandle) return 0;
  Module* module = FindLocked(handle);
  if (module == nullptr || module->references == 0) return ERROR_MOD_NOT_FOUND;
  if (--module->references == 0) UnloadLocked(handle, nullptr);
  return 0;
}

DWORD Modules::GetProc(HMODULE handle, const char* name, void** out) const {
  *out = nullptr;
  std::lock_guard lock(mutex_);
  if (handle == nullptr || handle == kImageHandle) return ERROR_PROC_NOT_FOUND;
  const Module* module = FindLocked(handle);
  if (module == nullptr) return ERROR_MOD_NOT_FOUND;
  // Ordinals (a name pointer below 0x10000) have no table here.
  if (reinterpret_cast<std::uintptr_t>(name) < 0x10000) return ERROR_PROC_NOT_FOUND;
  *out = SymbolLocked(*module, name);
  return *out ? 0 : ERROR_PROC_NOT_FOUND;
}

DWORD Modules::GetHandle(const char* name, HMODULE* out) const {
  *out = nullptr;
  if (name == nullptr) {
    *out = kImageHandle;
    return 0;
  }
  const std::string requested = WithExtension(name);
  std::lock_guard lock(mutex_);
  if (HasDirectory(requested)) {
    const auto normalized = FileSystem::Normalize(requested);
    if (normalized) {
      for (const auto& m : modules_) {
        if (m->references > 0 && FileSystem::EqualsIgnoreCase(m->path, *normalized)) {
          *out = m->handle;
          return 0;
        }
      }
    }
    return ERROR_MOD_NOT_FOUND;
  }
  const Module* module = FindByFileNameLocked(requested);
  if (module == nullptr || module->references == 0) return ERROR_MOD_NOT_FOUND;
  *out = module->handle;
  return 0;
}

DWORD Modules::FileName(HMODULE handle, std::string* out) const {
  std::lock_guard lock(mutex_);
  if (handle == nullptr || handle == kImageHandle) {
    *out = image_path_;
    return 0;
  }
  const Module* module = FindLocked(handle);
  if (module == nullptr) return ERROR_MOD_NOT_FOUND;
  *out = module->path;
  return 0;
}

DWORD Modules::DisableThreadCalls(HMODULE handle) {
  std::lock_guard lock(mutex_);
  Module* module = FindLocked(handle);
  if (module == nullptr) return ERROR_MOD_NOT_FOUND;
  module->thread_calls_disabled = true;
  return 0;
}

void Modules::Reset() {
  std::lock_guard lock(mutex_);
  while (!modules_.empty()) {
    const HMODULE handle = modules_.back()->handle;
    modules_.back()->references = 0;
    // Non-null: the process is ending, as Windows tells DllMain at exit.
    UnloadLocked(handle, reinterpret_cast<LPVOID>(1));
  }
  builtins_.clear();
  image_path_ = kDefaultImagePath;
  next_base_ = 0;
}

}  // namespace sim

namespace {

BOOL Result(DWORD error) {
  if (error == 0) return TRUE;
  SetLastError(error);
  return FALSE;
}

}  // namespace

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) { return LoadLibraryExA(lpLibFileName, nullptr, 0); }

extern "C" HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  // The altered search path only changes where dependencies are found,
  // which the host's dynamic loader decides here.
  if (hFile != nullptr || (dwFlags & ~LOAD_WITH_ALTERED_SEARCH_PATH) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HMODULE module = nullptr;
  if (const DWORD error = sim::Modules::Get().Load(lpLibFileName, &module); error != 0) SetLastError(error);
  return module;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  void* symbol = nullptr;
  if (const DWORD error = sim::Modules::Get().GetProc(hModule, lpProcName, &symbol); error != 0) SetLastError(error);
  return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) { return Result(sim::Modules::Get().Free(hLibModule)); }

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (const DWORD error = sim::Modules::Get().FileName(hModule, &path); error != 0) {
    SetLastError(error);
    return 0;
  }
  if (nSize > 0 && lpFilename == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return 0;
  }
  // Too small: as Windows since Vista, the text is cut to nSize - 1
  // characters and terminated, and the result is nSize.
  if (path.size() >= nSize) {
    if (nSize > 0) {
      std::memcpy(lpFilename, path.data(), nSize - 1);
      lpFilename[nSize - 1] = '\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  HMODULE module = nullptr;
  if (const DWORD error = sim::Modules::Get().GetHandle(lpModuleName, &module); error != 0) SetLastError(error);
  return module;
}

extern "C" BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  return Result(sim::Modules::Get().DisableThreadCalls(hLibModule));
}
