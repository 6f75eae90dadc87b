// The card profile: everything that makes one simulated sound card differ from
// another, as data. A profile is a JSON file; "extends" names another profile
// (relative to the file) that it patches, so a new card is a small file.
//
// Collections that a derived profile may want to change one entry of are JSON
// objects keyed by id (function groups and widgets by node id, filters by
// reference string, pins by pin id); the patch is RFC 7386 merge patch, so a key
// set to null removes that entry. Lists (ranges, nodes, connections, faults)
// are replaced whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim::card {

// A profile that cannot be used: names the field (a dotted path such as
// "filters.eLineOutWave.pins.0.ranges[1].max_bits") and why.
class ProfileError : public std::runtime_error {
 public:
  ProfileError(std::string source, std::string field, const std::string& message);
  const std::string& source() const { return source_; }
  const std::string& field() const { return field_; }

 private:
  std::string source_;
  std::string field_;
};

// ---------------------------------------------------------------------------
// The codec.

enum class WidgetType : uint8_t {
  Output = 0x0,
  Input = 0x1,
  Mixer = 0x2,
  Selector = 0x3,
  Pin = 0x4,
  Power = 0x5,
  VolumeKnob = 0x6,
  Beep = 0x7,
  Vendor = 0xF,
};

struct AmpProfile {
  uint32_t offset = 0;
  uint32_t steps = 0;
  uint32_t stepSize = 0;
  bool muteCapable = false;
  // The state after reset.
  uint32_t initialGain = 0;
  bool initialMute = false;
  uint32_t CapsWord() const;
};

struct WidgetProfile {
  uint8_t node = 0;
  WidgetType type = WidgetType::Output;
  bool stereo = true;
  bool digital = false;
  std::optional<AmpProfile> inAmp;
  std::optional<AmpProfile> outAmp;
  std::vector<uint8_t> connections;  // connection list, node ids
  // Pin complexes.
  uint32_t pinCaps = 0;
  uint32_t configDefault = 0;
  uint8_t pinControl = 0;
  // Processing-coefficient registers (a vendor widget such as node 0x20):
  // coefficientCount registers, the listed ones with their reset values.
  uint32_t coefficientCount = 0;
  std::map<uint16_t, uint16_t> coefficients;
  // The Audio Widget Capabilities parameter derived from the fields above.
  uint32_t CapsWord() const;
};

struct FunctionGroupProfile {
  uint8_t node = 0;
  uint8_t type = 1;  // 1 audio, 2 modem, 0x80-0xFF vendor
  bool unsolicitedCapable = false;
  std::vector<WidgetProfile> widgets;  // ascending node ids
};

struct CodecProfile {
  uint16_t vendorId = 0;
  uint16_t deviceId = 0;
  uint32_t revisionId = 0;
  uint32_t subsystemId = 0;
  uint8_t address = 0;
  std::vector<FunctionGroupProfile> functionGroups;  // ascending node ids
};

// ---------------------------------------------------------------------------
// The kernel-streaming filters of the codec's function driver. Category, node
// type, format and property-set names are the KS names ("KSNODETYPE_SPEAKER",
// "KSDATAFORMAT_SUBTYPE_PCM"); the driver maps them to GUIDs.

enum class DataFlow : uint32_t { In = 1, Out = 2 };
enum class Communication : uint32_t { None = 0, Sink = 1, Source = 2, Both = 3, Bridge = 4 };

// One KSDATARANGE_AUDIO.
struct DataRangeProfile {
  std::string majorFormat = "KSDATAFORMAT_TYPE_AUDIO";
  std::string subFormat = "KSDATAFORMAT_SUBTYPE_PCM";
  std::string specifier = "KSDATAFORMAT_SPECIFIER_WAVEFORMATEX";
  uint32_t maxChannels = 2;
  uint32_t minBits = 16;
  uint32_t maxBits = 16;
  uint32_t minRate = 44100;
  uint32_t maxRate = 48000;
};

struct PinProfile {
  uint32_t id = 0;
  DataFlow dataFlow = DataFlow::In;
  Communication communication = Communication::Sink;
  std::string category;  // KSCATEGORY_/KSNODETYPE_ name; a bridge pin's is its jack
  std::string name;      // UTF-8; the driver answers KSPROPERTY_PIN_NAME in UTF-16
  std::vector<DataRangeProfile> ranges;
  std::vector<uint32_t> interfaces{1};  // KSINTERFACESETID_Standard ids
  std::vector<uint32_t> mediums{0};     // KSMEDIUMSETID_Standard ids
  uint32_t possibleInstances = 1;
  uint32_t globalPossibleInstances = 1;
  // Wave bridge pins: the pin of the topology filter it is physically connected to.
  std::optional<uint32_t> physicalConnection;
};

// KSFILTER_NODE: the filter itself (its pins) as the end of a connection.
inline constexpr uint32_t kFilterNode = 0xFFFFFFFFu;

struct ConnectionProfile {
  uint32_t fromNode = kFilterNode;
  uint32_t fromPin = 0;
  uint32_t toNode = kFilterNode;
  uint32_t toPin = 0;
};

struct FilterProfile {
  std::string reference;                         // the device interface's reference string, e.g. "eLineOutWave"
  std::vector<std::string> interfaceCategories;  // KSCATEGORY_ names it is registered under
  std::vector<PinProfile> pins;                  // ids 0..n-1 in order
  std::vector<std::string> nodes;                // KSNODETYPE_ names; node id = position
  std::vector<ConnectionProfile> connections;
  // The name a create on this filter carries: a backslash and the reference string.
  std::string FileName() const { return "\\" + reference; }
};

// ---------------------------------------------------------------------------
// WaveRT behaviour.

enum class BufferPolicy { Exact, RoundUp, Cap, Fixed };

struct WaveRtProfile {
  BufferPolicy policy = BufferPolicy::Exact;
  uint32_t granularity = 0;  // RoundUp
  uint32_t maxBytes = 0;     // Cap
  uint32_t fixedBytes = 0;   // Fixed
  bool positionRegister = true;
  bool clockRegister = true;
  uint64_t clockNumerator = 24000000;
  uint64_t clockDenominator = 1;
  uint32_t fifoSize = 0;
  uint32_t chipsetDelay = 0;
  uint32_t codecDelay = 0;
  // The size the pin grants for a request of `requested` bytes.
  uint32_t GrantedBytes(uint32_t requested) const;
};

enum class FilterFlow { Render, Capture };

struct WaveFilterProfile : FilterProfile {
  FilterFlow flow = FilterFlow::Render;
  FilterProfile topology;
  WaveRtProfile waveRt;  // the card's, patched by the filter's own "wavert"
};

// ---------------------------------------------------------------------------
// Device identity as PnP shows it.

struct DeviceProfile {
  uint32_t function = 1;
  uint16_t vendorId = 0;  // defaults to the codec's
  uint16_t deviceId = 0;  // defaults to the codec's
  uint32_t subsystemId = 0;
  uint16_t revision = 0;  // defaults from the codec's revision id
  std::string instanceId;
  // "HDAUDIO\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1003"
  std::string HardwareId() const;
  // The hardware id, a backslash and the instance id.
  std::string DeviceInstanceId() const;
};

// ---------------------------------------------------------------------------
// The card's bus component \Device\KVLNK.

struct BusComponentProfile {
  static constexpr uint32_t kCapabilityOffset = 0x300;
  static constexpr uint32_t kNoDsdBit = 1u << 4;
  bool present = true;
  uint32_t capabilityWord = 0;
  uint32_t register1C = 0;
  uint32_t controlBlockBytes = 0x1000;
  uint32_t auxBlockBytes = 0x1000;
  bool DsdCapable() const { return (capabilityWord & kNoDsdBit) == 0; }
};

// ---------------------------------------------------------------------------
// Fault injection. Data only; the drivers act on it.

struct NotificationFault {
  uint32_t dropEvery = 0;   // drop every n-th notification (0: none)
  uint32_t delayEvery = 0;  // delay every n-th notification (0: none)
  uint32_t delayMicroseconds = 0;
  uint32_t fromPeriod = 0;  // the first period the faults apply to
};

struct PinStateFault {
  std::string filter;           // reference string
  std::optional<uint32_t> pin;  // any pin when absent
  uint32_t state = 3;           // KSSTATE: 0 stop, 1 acquire, 2 pause, 3 run
  uint32_t status = 0xC0000001u;
};

struct BufferFault {
  bool refuse = false;
  uint32_t status = 0xC000009Au;  // STATUS_INSUFFICIENT_RESOURCES
  uint32_t resizeTo = 0;          // 0: the WaveRT policy decides
};

enum class RequestAction { Fail, Pend };

struct RequestFault {
  std::string propertySet;     // a KSPROPSETID_ name or a "{GUID}"
  std::optional<uint32_t> id;  // any id when absent
  std::string filter;          // any filter when empty
  RequestAction action = RequestAction::Fail;
  uint32_t status = 0xC0000001u;  // Fail
  uint32_t pendMilliseconds = 0;  // Pend: 0 until cancelled
};

struct PowerCycleFault {
  uint64_t atMilliseconds = 0;
  uint64_t offMilliseconds = 0;
};

struct CodecTransferFault {
  uint32_t failEvery = 0;  // 0: none
  uint32_t fromTransfer = 0;
  uint32_t status = 0xC0000185u;  // STATUS_IO_DEVICE_ERROR
};

enum class KvlnkStep { Open, GetEntry, CreateObject, QueryRegisters, QuerySharedMemory, ControlBlock, AuxBlock };

struct FaultProfile {
  NotificationFault notifications;
  std::vector<PinStateFault> pinStates;
  BufferFault buffer;
  std::vector<RequestFault> requests;
  std::optional<uint64_t> removeAtMilliseconds;
  std::optional<PowerCycleFault> powerCycle;
  std::optional<uint64_t> flipDsdAtMilliseconds;
  std::vector<uint32_t> refusedBusInterfaceVersions;  // 1, 2
  CodecTransferFault codecTransfers;
  std::vector<KvlnkStep> kvlnkFailures;
};

// ---------------------------------------------------------------------------

struct Profile {
  std::string name;
  std::string description;
  bool upperFilterInstalled = true;
  CodecProfile codec;
  DeviceProfile device;
  std::vector<WaveFilterProfile> filters;  // in document order
  BusComponentProfile busComponent;
  FaultProfile faults;

  const WaveFilterProfile* FindWaveFilter(std::string_view reference) const;
};

// Loads a profile file, resolving "extends" relative to each file's folder.
// Throws ProfileError for anything it cannot use, never a partial profile.
Profile LoadProfile(const std::filesystem::path& file);

// The same for a profile given as text; "extends" resolves against baseDir.
Profile ParseProfile(std::string_view text, const std::filesystem::path& baseDir = {},
                     const std::string& sourceName = "<profile>");

}  // namespace sim::card
