#include "sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/kvlnk.h"
#include "sim/card/card.h"
#include "sim/card/drivers.h"
#include "sim/card/hda_bus.h"
#include "sim/card/kvlnk_component.h"
#include "sim/core/debug_log.h"
#include "sim/core/handles.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"
#include "sim/registry/store.h"
#include "sim/win32/com_runtime.h"
#include "sim/win32/dialog_script.h"
#include "sim/win32/device_io.h"
#include "sim/win32/mmcss_tasks.h"
#include "sim/win32/modules.h"
#include "sim/win32/paths.h"
#include "sim/win32/resources.h"
#include "sim/win32/thread_locale.h"
#include "sim/win32/virtual_memory.h"
#include "sim/win32/window_manager.h"

namespace sim {

namespace {
Machine* g_current = nullptr;

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Registry value types PnP's values are kept in, as Windows keeps them; the
// id and filter lists are multi-strings.
uint32_t TypeOf(std::u16string_view value) {
  static constexpr struct {
    std::u16string_view name;
    uint32_t type;
  } kRows[] = {{u"ImagePath", registry::type::kExpandSz}, {u"Service", registry::type::kSz}};
  const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  for (const auto& row : kRows) {
    if (row.name.size() != value.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < value.size() && same; ++i) same = upper(row.name[i]) == upper(value[i]);
    if (same) return row.type;
  }
  return registry::type::kMultiSz;
}

void Describe(const std::vector<sim::kernel::Violation>& violations, std::vector<std::string>& out) {
  for (const auto& v : violations) out.push_back(v.kind + ": " + v.message);
}

}  // namespace

// PnP's configuration in the machine's registry.
class RegistryPnpConfiguration final : public sim::kernel::PnpConfiguration {
 public:
  std::optional<std::vector<std::u16string>> Read(std::u16string_view key, std::u16string_view value) override {
    registry::Store& store = registry::Store::Get();
    registry::Key k;
    if (store.Open(nullptr, key, registry::access::kRead, &k) != registry::Status::Success) return std::nullopt;
    registry::Value v;
    if (store.QueryValue(k, value, &v) != registry::Status::Success) return std::nullopt;
    std::u16string text(v.data.size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), v.data.data(), text.size() * sizeof(char16_t));
    std::vector<std::u16string> out;
    if (v.type == registry::type::kSz || v.type == registry::type::kExpandSz) {
      out.push_back(text.substr(0, text.find(u'\0')));
    } else if (v.type == registry::type::kMultiSz) {
      std::size_t start = 0;
      while (start < text.size()) {
        const std::size_t end = std::min(text.find(u'\0', start), text.size());
        if (end == start) break;
        out.push_back(text.substr(start, end - start));
        start = end + 1;
      }
    }
    return out;
  }

  void Write(std::u16string_view key, std::u16string_view value, std::vector<std::u16string> data) override {
    registry::Store& store = registry::Store::Get();
    const std::u16string path(key);
    if (store.EnsureKey(path) != registry::Status::Success) return;
    registry::Key k;
    if (store.Open(nullptr, path, registry::access::kAllAccess, &k) != registry::Status::Success) return;
    const uint32_t type = TypeOf(value);
    // Windows keeps no empty filter list: the value is simply absent.
    if (type == registry::type::kMultiSz && data.empty()) {
      store.DeleteValue(k, value);
      return;
    }
    std::u16string text;
    for (const auto& s : data) {
      text += s;
      text += u'\0';
      if (type != registry::type::kMultiSz) break;
    }
    if (type == registry::type::kMultiSz) text += u'\0';
    store.SetValue(k, value, type, text.data(), text.size() * sizeof(char16_t));
  }
};

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  if (g_current) {
    std::fprintf(stderr, "sim: a second Machine was created while one exists\n");
    std::abort();
  }
  std::optional<card::Profile> profile = options_.profile;
  if (!profile && !options_.card_profile.empty()) profile = card::LoadShippedProfile(options_.card_profile);
  g_current = this;
  Scheduler::Get().Reset(options_.clock);
  HandleTable::Get().Reset();
  DebugLog::Get().Clear();
  registry::Store::Get().Reset();
  VirtualMemory::Get().Reset();
  Mmcss::Get().Reset();
  FileSystem::Get().Reset();
  ComRuntime::Get().Reset();
  Resources::Get().Reset();
  ThreadLocales::Get().Reset();
  WindowManager::Get().Reset();
  SetDialogInput(nullptr);
  win32::RegisterKsUserModule();
  sim::kernel::ResetKernel();
  card::hdabus::Reset();
  card::kvlnk::Reset();
  configuration_ = std::make_unique<RegistryPnpConfiguration>();
  sim::kernel::SetConfiguration(configuration_.get());
  if (options_.attach_creator) Scheduler::Get().AttachCurrentThread("machine owner");
  if (profile) {
    card_ = std::make_unique<card::Card>(std::move(*profile));
    BootCard();
  }
}

Machine::~Machine() {
  if (!shut_down_) {
    Shutdown();
    for (const auto& finding : shutdown_findings_) std::fprintf(stderr, "sim: at shutdown: %s\n", finding.c_str());
  }
  if (options_.attach_creator) Scheduler::Get().DetachCurrentThread();
  // COM lets go of its servers before the loader detaches what is left.
  ComRuntime::Get().Reset();
  WindowManager::Get().Reset();
  SetDialogInput(nullptr);
  // Modules detach first: their DllMain may still close handles.
  Modules::Get().Reset();
  HandleTable::Get().Reset();
  sim::kernel::SetConfiguration(nullptr);
  g_current = nullptr;
}

void Machine::InstallService(std::u16string_view service, const std::u16string& image_path) {
  sim::kernel::SetServiceImagePath(service, image_path);
  registry::Store& store = registry::Store::Get();
  registry::Key key;
  const std::u16string path = std::u16string(sim::kernel::kServicesKeyPath) + u"\\" + std::u16string(service);
  if (store.Open(nullptr, path, registry::access::kAllAccess, &key) != registry::Status::Success) return;
  // A kernel driver (SERVICE_KERNEL_DRIVER), started on demand by PnP, normal error control.
  const struct {
    std::u16string_view name;
    uint32_t value;
  } kDwords[] = {{u"Type", 1}, {u"Start", 3}, {u"ErrorControl", 1}};
  for (const auto& d : kDwords) store.SetValue(key, d.name, registry::type::kDword, &d.value, sizeof d.value);
}

void Machine::BootCard() {
  using namespace sim::kernel;
  const card::Profile& profile = card_->profile();
  RegisterBuiltinDriverImage(card::kBusImage, card::HdaBusDriverEntry);
  RegisterBuiltinDriverImage(card::kFunctionImage, card::KsFunctionDriverEntry);
  RegisterBuiltinDriverImage(card::kKvlnkImage, card::KvlnkDriverEntry);
  InstallService(card::kBusService, std::u16string(kDriversFolder) + std::u16string(card::kBusImage));
  InstallService(card::kFunctionService, std::u16string(kDriversFolder) + std::u16string(card::kFunctionImage));
  InstallService(card::kKvlnkService, std::u16string(kDriversFolder) + std::u16string(card::kKvlnkImage));
  filter_installed_ = options_.install_filter && profile.upperFilterInstalled;
  if (filter_installed_) InstallService(card::kFilterService, Widen(options_.filter_image));

  if (profile.busComponent.present) {
    SetDeviceInstanceDrivers(kKvlnkInstanceId, card::kKvlnkService, {}, {});
    DeviceDescription kvlnk{std::u16string(kKvlnkInstanceId), {std::u16string(kKvlnkHardwareId)}};
    boot_.kvlnk = PnpCreateRootDevice(kvlnk, &kvlnk_pdo_);
    if (NT_SUCCESS(boot_.kvlnk)) boot_.kvlnk = PnpStartDevice(kvlnk_pdo_);
  }

  const std::u16string codec_id = Widen(profile.device.DeviceInstanceId());
  std::vector<std::u16string> upper;
  if (filter_installed_) upper.push_back(std::u16string(card::kFilterService));
  SetDeviceInstanceDrivers(codec_id, card::kFunctionService, {}, upper);

  SetDeviceInstanceDrivers(kControllerInstanceId, card::kBusService, {}, {});
  DeviceDescription controller{std::u16string(kControllerInstanceId), {std::u16string(kControllerHardwareId)}};
  boot_.controller = PnpCreateRootDevice(controller, &controller_pdo_);
  if (NT_SUCCESS(boot_.controller)) boot_.controller = PnpStartDevice(controller_pdo_);
  if (PDEVICE_OBJECT codec = card::hdabus::CodecPdo()) boot_.codec = PnpStartDevice(codec);
}

Machine* Machine::Current() { return g_current; }

void Machine::RunFor(Nanos duration) { Scheduler::Get().RunFor(duration); }

Nanos Machine::Now() const { return Scheduler::Get().Now(); }

PDEVICE_OBJECT Machine::CodecPdo() const { return card_ ? card::hdabus::CodecPdo() : nullptr; }

NTSTATUS Machine::PowerCycleCodec(bool flip_dsd_capability) {
  PDEVICE_OBJECT codec = CodecPdo();
  if (!codec) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = sim::kernel::PnpSetDevicePowerState(codec, PowerDeviceD3);
  if (!NT_SUCCESS(status)) return status;
  if (flip_dsd_capability) card::kvlnk::SetCapabilityWord(card::kvlnk::CapabilityWord() ^ KVLNK_CAPS_NO_DSD);
  return sim::kernel::PnpSetDevicePowerState(codec, PowerDeviceD0);
}

NTSTATUS Machine::SurpriseRemoveCodec() {
  PDEVICE_OBJECT codec = CodecPdo();
  if (!codec) return STATUS_NO_SUCH_DEVICE;
  card::hdabus::ReportCodecGone();
  return sim::kernel::PnpSurpriseRemoveDevice(codec);
}

NTSTATUS Machine::RemoveCodec() {
  PDEVICE_OBJECT codec = CodecPdo();
  if (!codec) return STATUS_NO_SUCH_DEVICE;
  return sim::kernel::PnpRemoveDevice(codec);
}

void Machine::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  using sim::kernel::BugCheckError;
  // A bug check during teardown is already recorded by the verifier; the
  // rest of the teardown still runs.
  const auto step = [](auto&& action) {
    try {
      action();
    } catch (const BugCheckError&) {
    }
  };
  if (card_) {
    // Children first, as PnP removes them before their bus.
    step([] {
      if (PDEVICE_OBJECT codec = card::hdabus::CodecPdo()) sim::kernel::PnpRemoveDevice(codec);
    });
    step([this] {
      if (controller_pdo_) sim::kernel::PnpRemoveDevice(controller_pdo_);
    });
    step([this] {
      if (kvlnk_pdo_) sim::kernel::PnpRemoveDevice(kvlnk_pdo_);
    });
    controller_pdo_ = kvlnk_pdo_ = nullptr;
    for (std::u16string_view service :
         {card::kFilterService, card::kFunctionService, card::kBusService, card::kKvlnkService})
      step([service] {
        if (PDRIVER_OBJECT driver = sim::kernel::FindLoadedDriver(service)) sim::kernel::UnloadDriver(driver);
      });
  }
  step([] { sim::kernel::Verifier::Get().CheckForLeaks(); });
  Describe(sim::kernel::Verifier::Get().Take(), shutdown_findings_);
  card_.reset();
  card::hdabus::Reset();
  card::kvlnk::Reset();
  sim::kernel::ResetKernel();
}

std::vector<std::string> Machine::Leaks() const {
  std::vector<std::string> leaks = HandleTable::Get().OpenHandles();
  Describe(sim::kernel::Verifier::Get().Violations(), leaks);
  leaks.insert(leaks.end(), shutdown_findings_.begin(), shutdown_findings_.end());
  for (auto& window : WindowManager::Get().OpenWindows()) leaks.push_back(std::move(window));
  for (auto& object : Resources::Get().OpenObjects()) leaks.push_back(std::move(object));
  return leaks;
}

}  // namespace sim
