// Driver images: built-in entry points and shared libraries exporting
// DriverEntry, loaded once per service and unloaded with DriverUnload.
#include <dlfcn.h>

#include <map>
#include <mutex>

#include "sim/kernel/internal.h"
#include "sim/kernel/pnp.h"

namespace sim::kernel {

namespace {

using internal::EqualsNoCase;
using internal::Upcased;

struct LoadedDriver {
  PDRIVER_OBJECT driver;
  void* library;  // null for a built-in image
  std::u16string registry_path;
};

std::mutex g_mutex;
std::map<std::u16string, PDRIVER_INITIALIZE> g_builtin;  // by upcased image file name
std::map<std::u16string, LoadedDriver> g_loaded;         // by upcased service name

std::u16string FileNameOf(std::u16string_view path) {
  const auto slash = path.find_last_of(u"\\/");
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

void RegisterBuiltinDriverImage(std::u16string_view image_name, PDRIVER_INITIALIZE entry) {
  std::lock_guard lock(g_mutex);
  g_builtin[Upcased(FileNameOf(image_name))] = entry;
}

PDRIVER_OBJECT FindLoadedDriver(std::u16string_view service) {
  std::lock_guard lock(g_mutex);
  auto it = g_loaded.find(Upcased(service));
  return it == g_loaded.end() ? nullptr : it->second.driver;
}

NTSTATUS LoadDriver(std::u16string_view service, PDRIVER_OBJECT* driver) {
  if (PDRIVER_OBJECT loaded = FindLoadedDriver(service)) {
    *driver = loaded;
    return STATUS_SUCCESS;
  }
  const std::u16string key = std::u16string(kServicesKeyPath) + u"\\" + std::u16string(service);
  const auto image = Configuration().Read(key, u"ImagePath");
  if (!image || image->empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const std::u16string& image_path = image->front();

  PDRIVER_INITIALIZE entry = nullptr;
  void* library = nullptr;
  {
    std::lock_guard lock(g_mutex);
    if (auto it = g_builtin.find(Upcased(FileNameOf(image_path))); it != g_builtin.end()) entry = it->second;
  }
  if (!entry) {
    library = dlopen(internal::Narrow(image_path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) return STATUS_DLL_NOT_FOUND;
    entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(library, "DriverEntry"));
    if (!entry) {
      dlclose(library);
      return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
    }
  }

  PDRIVER_OBJECT created = internal::CreateDriverObject(service, entry);
  std::u16string registry_path = key;
  UNICODE_STRING path{static_cast<USHORT>(registry_path.size() * sizeof(WCHAR)),
                      static_cast<USHORT>(registry_path.size() * sizeof(WCHAR)), registry_path.data()};
  NTSTATUS status;
  {
    internal::DriverScope scope(created);
    status = entry(created, &path);
  }
  if (!NT_SUCCESS(status)) {
    // A driver whose entry fails is unloaded without DriverUnload.
    internal::ReportPoolLeaksOf(created);
    internal::DeleteDriverObject(created);
    if (library) dlclose(library);
    return status;
  }
  std::lock_guard lock(g_mutex);
  g_loaded[Upcased(service)] = LoadedDriver{created, library, std::move(registry_path)};
  *driver = created;
  return STATUS_SUCCESS;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  LoadedDriver loaded{};
  {
    std::lock_guard lock(g_mutex);
    for (auto it = g_loaded.begin(); it != g_loaded.end(); ++it) {
      if (it->second.driver != driver) continue;
      loaded = it->second;
      g_loaded.erase(it);
      break;
    }
  }
  if (!loaded.driver) return;
  if (driver->DriverUnload) {
    internal::DriverScope scope(driver);
    driver->DriverUnload(driver);
  }
  internal::ReportPoolLeaksOf(driver);
  if (driver->DeviceObject) {
    // The code stays mapped: the device's dispatch table still points into it.
    Verifier::Get().Report("device leak", internal::DescribeDevice(driver->DeviceObject) + " outlived the unload of " +
                                              internal::DescribeDriver(driver));
    return;
  }
  internal::DeleteDriverObject(driver);
  if (loaded.library) dlclose(loaded.library);
}

namespace internal {

void ResetLoader() {
  std::map<std::u16string, LoadedDriver> loaded;
  {
    std::lock_guard lock(g_mutex);
    loaded.swap(g_loaded);
  }
  for (auto& [name, l] : loaded)
    if (l.library) dlclose(l.library);
}

}  // namespace internal

}  // namespace sim::kernel
