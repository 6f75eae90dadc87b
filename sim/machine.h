// The simulated PC: one object that brings every part of the machine to a
// fresh state, owns its clock mode, and reports what a run left behind.
//
// With a card it also installs and boots the card's drivers the Windows way:
// the service keys (HKLM\SYSTEM\CurrentControlSet\Services\<service>, with
// "ImagePath", "Type", "Start", "ErrorControl") and the device instance keys
// (HKLM\SYSTEM\CurrentControlSet\Enum\<instance id>, with "Service" and, when
// the upper filter is installed, "UpperFilters" = "OraFilt") are written to
// the registry, which PnP then reads. Boot order: the bus component's root
// device (when the profile has one), the HD Audio controller (a root device
// standing in for the PCI bus), which reports the codec's PDO, and the
// codec's stack (function driver, then the upper filter).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wdm.h"
#include "sim/card/profile.h"
#include "sim/core/scheduler.h"

namespace sim {

namespace card {
class Card;
}
class RegistryPnpConfiguration;

// Every field has an initializer, so brace lists may stop after any of them.
struct MachineOptions {
  ClockMode clock = ClockMode::Virtual;
  // The constructing thread is counted, so time moves only while it waits.
  bool attach_creator = true;
  // The card: a shipped profile by file name ("default.json"), or a profile
  // given whole, which wins. Neither: a PC without the card.
  std::string card_profile = {};
  std::optional<card::Profile> profile = {};
  // The upper filter "OraFilt": installed when true and the profile does not
  // leave it out ("upper_filter": false); filter_image is its ImagePath, the
  // shared library PnP loads.
  bool install_filter = false;
  std::string filter_image = {};
};

// The root devices the machine creates for the card.
inline constexpr std::u16string_view kControllerInstanceId =
    u"PCI\\VEN_8086&DEV_A348&SUBSYS_86941043&REV_10\\3&11583659&0&FB";
inline constexpr std::u16string_view kControllerHardwareId = u"PCI\\VEN_8086&DEV_A348&SUBSYS_86941043&REV_10";
inline constexpr std::u16string_view kKvlnkInstanceId = u"ROOT\\KVLNK\\0000";
inline constexpr std::u16string_view kKvlnkHardwareId = u"ROOT\\KVLNK";
// ImagePath of the card's built-in drivers: "\SystemRoot\System32\drivers\" and the image name.
inline constexpr std::u16string_view kDriversFolder = u"\\SystemRoot\\System32\\drivers\\";

// How each part of the card's boot went.
struct BootStatus {
  NTSTATUS kvlnk = STATUS_NO_SUCH_DEVICE;  // stays so when the profile has no bus component
  NTSTATUS controller = STATUS_NO_SUCH_DEVICE;
  NTSTATUS codec = STATUS_NO_SUCH_DEVICE;
};

class Machine {
 public:
  // Throws card::ProfileError for a profile it cannot load.
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine that exists now, or null. There is at most one per process.
  static Machine* Current();

  // Blocks the calling thread while the clock moves on.
  void RunFor(Nanos duration);
  Nanos Now() const;

  // The card, or null.
  card::Card* card() const { return card_.get(); }
  const BootStatus& boot() const { return boot_; }
  bool FilterInstalled() const { return filter_installed_; }
  // The codec's PDO while the bus reports it (null after it is deleted).
  PDEVICE_OBJECT CodecPdo() const;
  PDEVICE_OBJECT ControllerPdo() const { return controller_pdo_; }
  PDEVICE_OBJECT KvlnkPdo() const { return kvlnk_pdo_; }

  // D3, then D0, through the codec's whole stack; in between, the bus
  // component's DSD capability bit flips when asked. The first failure is
  // returned.
  NTSTATUS PowerCycleCodec(bool flip_dsd_capability);
  // The codec leaves the link: IRP_MN_SURPRISE_REMOVAL down its stack. The
  // stack stays until RemoveCodec (once its handles are closed) or Shutdown.
  NTSTATUS SurpriseRemoveCodec();
  // IRP_MN_REMOVE_DEVICE down the codec's stack.
  NTSTATUS RemoveCodec();

  // Removes every device, unloads the drivers, runs the verifier's leak check
  // and resets the kernel. Runs once; the destructor runs it when no one did
  // (and prints what it found).
  void Shutdown();

  // What the run left open that its owner should have closed: handles, the
  // verifier's violations so far, and what Shutdown found.
  std::vector<std::string> Leaks() const;

 private:
  void BootCard();
  void InstallService(std::u16string_view service, const std::u16string& image_path);

  MachineOptions options_;
  std::unique_ptr<card::Card> card_;
  std::unique_ptr<RegistryPnpConfiguration> configuration_;
  BootStatus boot_;
  bool filter_installed_ = false;
  PDEVICE_OBJECT controller_pdo_ = nullptr;
  PDEVICE_OBJECT kvlnk_pdo_ = nullptr;
  bool shut_down_ = false;
  std::vector<std::string> shutdown_findings_;
};

}  // namespace sim
