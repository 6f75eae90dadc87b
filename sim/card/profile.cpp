#include "sim/card/profile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include "platform/hda_codec.h"

namespace sim::card {

namespace {

// Document order matters: filters are registered, and so enumerated, in it.
using Json = nlohmann::ordered_json;

// A profile that extends itself through a chain this long is taken to be a mistake.
constexpr size_t kMaxExtendsDepth = 16;

std::string Join(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }
std::string Index(const std::string& path, size_t i) { return path + "[" + std::to_string(i) + "]"; }

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

// The names a profile may use, so that a typo is refused instead of becoming
// a GUID nobody expects.
const std::set<std::string, std::less<>> kInterfaceCategories = {
    "KSCATEGORY_AUDIO",    "KSCATEGORY_RENDER",   "KSCATEGORY_CAPTURE",
    "KSCATEGORY_TOPOLOGY", "KSCATEGORY_REALTIME", "KSCATEGORY_DATATRANSFORM",
};
const std::set<std::string, std::less<>> kNodeTypes = {
    "KSNODETYPE_SPEAKER",
    "KSNODETYPE_HEADPHONES",
    "KSNODETYPE_SPDIF_INTERFACE",
    "KSNODETYPE_MICROPHONE",
    "KSNODETYPE_DESKTOP_MICROPHONE",
    "KSNODETYPE_MICROPHONE_ARRAY",
    "KSNODETYPE_LINE_CONNECTOR",
    "KSNODETYPE_ANALOG_CONNECTOR",
    "KSNODETYPE_DIGITAL_AUDIO_INTERFACE",
    "KSNODETYPE_HDMI_INTERFACE",
    "KSNODETYPE_LEGACY_AUDIO_CONNECTOR",
    "KSNODETYPE_DAC",
    "KSNODETYPE_ADC",
    "KSNODETYPE_VOLUME",
    "KSNODETYPE_MUTE",
    "KSNODETYPE_SUM",
    "KSNODETYPE_MUX",
    "KSNODETYPE_DEMUX",
    "KSNODETYPE_SRC",
    "KSNODETYPE_SUPERMIX",
    "KSNODETYPE_PEAKMETER",
    "KSNODETYPE_LOUDNESS",
    "KSNODETYPE_TONE",
    "KSNODETYPE_AGC",
    "KSNODETYPE_AUDIO_ENGINE",
};
const std::set<std::string, std::less<>> kMajorFormats = {"KSDATAFORMAT_TYPE_AUDIO", "KSDATAFORMAT_TYPE_WILDCARD"};
const std::set<std::string, std::less<>> kSubFormats = {
    "KSDATAFORMAT_SUBTYPE_PCM",
    "KSDATAFORMAT_SUBTYPE_IEEE_FLOAT",
    "KSDATAFORMAT_SUBTYPE_WAVEFORMATEX",
    "KSDATAFORMAT_SUBTYPE_WILDCARD",
    "KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL",
};
const std::set<std::string, std::less<>> kSpecifiers = {
    "KSDATAFORMAT_SPECIFIER_WAVEFORMATEX",
    "KSDATAFORMAT_SPECIFIER_DSOUND",
    "KSDATAFORMAT_SPECIFIER_WILDCARD",
    "KSDATAFORMAT_SPECIFIER_NONE",
};
const std::set<std::string, std::less<>> kPropertySets = {
    "KSPROPSETID_Pin",     "KSPROPSETID_Topology",     "KSPROPSETID_Connection",     "KSPROPSETID_RtAudio",
    "KSPROPSETID_Audio",   "KSPROPSETID_General",      "KSPROPSETID_DrmAudioStream", "KSPROPSETID_Jack",
    "KSPROPSETID_OraFilt", "KSPROPSETID_OraFiltCodec",
};

template <class E>
using NameTable = std::vector<std::pair<const char*, E>>;

const NameTable<WidgetType> kWidgetTypes = {
    {"output", WidgetType::Output},          {"input", WidgetType::Input}, {"mixer", WidgetType::Mixer},
    {"selector", WidgetType::Selector},      {"pin", WidgetType::Pin},     {"power", WidgetType::Power},
    {"volume_knob", WidgetType::VolumeKnob}, {"beep", WidgetType::Beep},   {"vendor", WidgetType::Vendor},
};
const NameTable<uint32_t> kPinCapFlags = {
    {"impedance_sense", hda::kPinCapImpedanceSense},
    {"trigger_required", hda::kPinCapTriggerRequired},
    {"presence_detect", hda::kPinCapPresenceDetect},
    {"headphone", hda::kPinCapHeadphoneDrive},
    {"output", hda::kPinCapOutput},
    {"input", hda::kPinCapInput},
    {"balanced", hda::kPinCapBalanced},
    {"hdmi", hda::kPinCapHdmi},
    {"eapd", hda::kPinCapEapd},
    {"display_port", hda::kPinCapDisplayPort},
    {"hbr", hda::kPinCapHbr},
};
const NameTable<uint8_t> kFunctionGroupTypes = {{"audio", hda::kFunctionGroupAudio},
                                                {"modem", hda::kFunctionGroupModem}};
const NameTable<DataFlow> kDataFlows = {{"in", DataFlow::In}, {"out", DataFlow::Out}};
const NameTable<Communication> kCommunications = {{"none", Communication::None},
                                                  {"sink", Communication::Sink},
                                                  {"source", Communication::Source},
                                                  {"both", Communication::Both},
                                                  {"bridge", Communication::Bridge}};
const NameTable<FilterFlow> kFilterFlows = {{"render", FilterFlow::Render}, {"capture", FilterFlow::Capture}};
const NameTable<BufferPolicy> kBufferPolicies = {{"exact", BufferPolicy::Exact},
                                                 {"round_up", BufferPolicy::RoundUp},
                                                 {"cap", BufferPolicy::Cap},
                                                 {"fixed", BufferPolicy::Fixed}};
const NameTable<uint32_t> kStates = {{"stop", 0}, {"acquire", 1}, {"pause", 2}, {"run", 3}};
const NameTable<RequestAction> kRequestActions = {{"fail", RequestAction::Fail}, {"pend", RequestAction::Pend}};
const NameTable<KvlnkStep> kKvlnkSteps = {
    {"open", KvlnkStep::Open},
    {"get_entry", KvlnkStep::GetEntry},
    {"create_object", KvlnkStep::CreateObject},
    {"query_registers", KvlnkStep::QueryRegisters},
    {"query_shared_memory", KvlnkStep::QuerySharedMemory},
    {"control_block", KvlnkStep::ControlBlock},
    {"aux_block", KvlnkStep::AuxBlock},
};

bool IsGuidLiteral(std::string_view s) {
  static constexpr std::string_view kShape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (s.size() != kShape.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (kShape[i] == 'X') {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    } else if (c != kShape[i]) {
      return false;
    }
  }
  return true;
}

// Reads one JSON value with its field path; every failure names that path.
class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void Fail(const std::string& field, const std::string& message) const {
    throw ProfileError(source_, field, message);
  }

  uint64_t Unsigned(const Json& v, const std::string& path, uint64_t max) const {
    uint64_t value = 0;
    if (v.is_number_unsigned()) {
      value = v.get<uint64_t>();
    } else if (v.is_number_integer()) {
      Fail(path, "must not be negative");
    } else if (v.is_string()) {
      const std::string s = v.get<std::string>();
      const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
      const std::string digits = hex ? s.substr(2) : s;
      if (digits.empty() || digits.size() > 16 || !std::all_of(digits.begin(), digits.end(), [hex](char c) {
            return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                       : std::isdigit(static_cast<unsigned char>(c)) != 0;
          })) {
        Fail(path, "\"" + s + "\" is not a number (decimal or 0x hexadecimal)");
      }
      try {
        value = std::stoull(digits, nullptr, hex ? 16 : 10);
      } catch (const std::out_of_range&) {
        Fail(path, "\"" + s + "\" is out of range");
      }
    } else {
      Fail(path, "must be a number or a \"0x...\" string");
    }
    if (value > max) Fail(path, Hex(value) + " is out of range (at most " + Hex(max) + ")");
    return value;
  }

  bool Bool(const Json& v, const std::string& path) const {
    if (!v.is_boolean()) Fail(path, "must be true or false");
    return v.get<bool>();
  }

  std::string String(const Json& v, const std::string& path) const {
    if (!v.is_string()) Fail(path, "must be a string");
    return v.get<std::string>();
  }

  template <class E>
  E Name(const Json& v, const std::string& path, const NameTable<E>& table) const {
    const std::string s = String(v, path);
    for (const auto& [name, value] : table)
      if (s == name) return value;
    std::string known;
    for (const auto& [name, value] : table) known += (known.empty() ? "" : ", ") + std::string(name);
    Fail(path, "\"" + s + "\" is not one of: " + known);
  }

  std::string KnownName(const Json& v, const std::string& path, const std::set<std::string, std::less<>>& names,
                        bool guidAllowed) const {
    const std::string s = String(v, path);
    if (names.count(s) != 0 || (guidAllowed && IsGuidLiteral(s))) return s;
    Fail(path, "\"" + s + "\" is not a known name" + (guidAllowed ? " or a {GUID}" : ""));
  }

  const Json& Array(const Json& v, const std::string& path) const {
    if (!v.is_array()) Fail(path, "must be a list");
    return v;
  }

 private:
  std::string source_;
};

// An object whose keys are checked: reading marks a key used, Done refuses
// the rest, so a misspelt field is an error rather than silently ignored.
class Object {
 public:
  Object(const Reader& r, const Json& j, std::string path) : r_(r), j_(j), path_(std::move(path)) {
    if (!j_.is_object()) r_.Fail(path_, "must be an object");
  }

  const std::string& path() const { return path_; }
  std::string PathOf(const std::string& key) const { return Join(path_, key); }

  // Absent and null are the same: null is how a derived profile removes a field.
  const Json* Get(const std::string& key) {
    used_.insert(key);
    const auto it = j_.find(key);
    return it == j_.end() || it->is_null() ? nullptr : &*it;
  }
  const Json& Need(const std::string& key) {
    const Json* v = Get(key);
    if (v == nullptr) r_.Fail(PathOf(key), "is required");
    return *v;
  }

  template <class T>
  T Unsigned(const std::string& key, T fallback, uint64_t max = std::numeric_limits<T>::max()) {
    const Json* v = Get(key);
    return v == nullptr ? fallback : static_cast<T>(r_.Unsigned(*v, PathOf(key), max));
  }
  template <class T>
  T NeedUnsigned(const std::string& key, uint64_t max = std::numeric_limits<T>::max()) {
    return static_cast<T>(r_.Unsigned(Need(key), PathOf(key), max));
  }
  template <class T>
  std::optional<T> MaybeUnsigned(const std::string& key, uint64_t max = std::numeric_limits<T>::max()) {
    const Json* v = Get(key);
    if (v == nullptr) return std::nullopt;
    return static_cast<T>(r_.Unsigned(*v, PathOf(key), max));
  }
  bool Bool(const std::string& key, bool fallback) {
    const Json* v = Get(key);
    return v == nullptr ? fallback : r_.Bool(*v, PathOf(key));
  }
  std::string String(const std::string& key, const std::string& fallback) {
    const Json* v = Get(key);
    return v == nullptr ? fallback : r_.String(*v, PathOf(key));
  }
  template <class E>
  E Name(const std::string& key, const NameTable<E>& table, E fallback) {
    const Json* v = Get(key);
    return v == nullptr ? fallback : r_.Name(*v, PathOf(key), table);
  }
  template <class E>
  E NeedName(const std::string& key, const NameTable<E>& table) {
    return r_.Name(Need(key), PathOf(key), table);
  }

  void Done() const {
    for (const auto& [key, value] : j_.items())
      if (used_.count(key) == 0) r_.Fail(PathOf(key), "is not a known field");
  }

 private:
  const Reader& r_;
  const Json& j_;
  std::string path_;
  std::set<std::string> used_;
};

// Entries of an object keyed by number ("0x14", "3"), in ascending id order,
// each with its field path as written.
struct Entry {
  uint64_t id;
  std::string path;
  const Json* value;
};

std::vector<Entry> NumberedEntries(const Reader& r, const Json& j, const std::string& path, uint64_t max) {
  if (!j.is_object()) r.Fail(path, "must be an object keyed by id");
  std::vector<Entry> entries;
  for (const auto& [key, value] : j.items()) {
    if (value.is_null()) continue;
    const std::string epath = Join(path, key);
    const uint64_t id = r.Unsigned(Json(key), epath, max);
    for (const Entry& e : entries)
      if (e.id == id) r.Fail(epath, "repeats id " + Hex(id) + " of " + e.path);
    entries.push_back({id, epath, &value});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
  return entries;
}

AmpProfile ParseAmp(const Reader& r, const Json& j, const std::string& path) {
  Object o(r, j, path);
  AmpProfile amp;
  amp.offset = o.Unsigned<uint32_t>("offset", 0, hda::kAmpCapFieldMask);
  amp.steps = o.Unsigned<uint32_t>("steps", 0, hda::kAmpCapFieldMask);
  amp.stepSize = o.Unsigned<uint32_t>("step_size", 0, hda::kAmpCapFieldMask);
  amp.muteCapable = o.Bool("mute", false);
  amp.initialGain = o.Unsigned<uint32_t>("initial_gain", amp.offset, hda::kAmpGainMask);
  amp.initialMute = o.Bool("initial_mute", false);
  if (amp.initialMute && !amp.muteCapable) r.Fail(o.PathOf("initial_mute"), "needs a mute-capable amplifier");
  o.Done();
  return amp;
}

WidgetProfile ParseWidget(const Reader& r, uint8_t node, const Json& j, const std::string& path) {
  Object o(r, j, path);
  WidgetProfile w;
  w.node = node;
  w.type = o.NeedName("type", kWidgetTypes);
  w.stereo = o.Bool("stereo", true);
  w.digital = o.Bool("digital", false);
  if (const Json* v = o.Get("in_amp")) w.inAmp = ParseAmp(r, *v, o.PathOf("in_amp"));
  if (const Json* v = o.Get("out_amp")) w.outAmp = ParseAmp(r, *v, o.PathOf("out_amp"));
  if (const Json* v = o.Get("connections")) {
    const Json& list = r.Array(*v, o.PathOf("connections"));
    for (size_t i = 0; i < list.size(); ++i)
      w.connections.push_back(static_cast<uint8_t>(r.Unsigned(list[i], Index(o.PathOf("connections"), i), 0xFF)));
  }
  if (const Json* v = o.Get("pin")) {
    if (w.type != WidgetType::Pin) r.Fail(o.PathOf("pin"), "is only for widgets of type \"pin\"");
    Object p(r, *v, o.PathOf("pin"));
    if (const Json* caps = p.Get("caps")) {
      const Json& list = r.Array(*caps, p.PathOf("caps"));
      for (size_t i = 0; i < list.size(); ++i) w.pinCaps |= r.Name(list[i], Index(p.PathOf("caps"), i), kPinCapFlags);
    }
    w.pinCaps |= p.Unsigned<uint32_t>("vref", 0, hda::kPinCapVrefMask) << hda::kPinCapVrefShift;
    w.configDefault = p.Unsigned<uint32_t>("config_default", 0);
    w.pinControl = p.Unsigned<uint8_t>("control", 0);
    p.Done();
  }
  if (const Json* v = o.Get("coefficients")) {
    for (const Entry& e : NumberedEntries(r, *v, o.PathOf("coefficients"), 0xFFFF))
      w.coefficients[static_cast<uint16_t>(e.id)] = static_cast<uint16_t>(r.Unsigned(*e.value, e.path, 0xFFFF));
  }
  const uint32_t needed = w.coefficients.empty() ? 0 : w.coefficients.rbegin()->first + 1u;
  w.coefficientCount =
      o.Unsigned<uint32_t>("coefficient_count", std::max<uint32_t>(needed, needed ? 0x80 : 0), 0x10000);
  if (w.coefficientCount < needed)
    r.Fail(o.PathOf("coefficient_count"),
           "is smaller than the highest listed coefficient index + 1 (" + Hex(needed) + ")");
  o.Done();
  return w;
}

CodecProfile ParseCodec(const Reader& r, const Json& j, const std::string& path) {
  Object o(r, j, path);
  CodecProfile c;
  c.vendorId = o.NeedUnsigned<uint16_t>("vendor_id");
  c.deviceId = o.NeedUnsigned<uint16_t>("device_id");
  c.revisionId = o.Unsigned<uint32_t>("revision_id", 0x00100000);
  c.subsystemId = o.Unsigned<uint32_t>("subsystem_id", 0);
  // Address 15 is not a codec's: the link has SDATA_IN lines for 0-14.
  c.address = o.Unsigned<uint8_t>("address", 0, 14);
  std::set<uint64_t> nodes;
  if (const Json* groups = o.Get("function_groups")) {
    const std::string gpath = o.PathOf("function_groups");
    for (const Entry& ge : NumberedEntries(r, *groups, gpath, 0xFF)) {
      const uint64_t node = ge.id;
      const std::string& fpath = ge.path;
      if (node == hda::kRootNode) r.Fail(fpath, "node 0 is the root node");
      if (!nodes.insert(node).second) r.Fail(fpath, "node " + Hex(node) + " is used twice");
      Object g(r, *ge.value, fpath);
      FunctionGroupProfile fg;
      fg.node = static_cast<uint8_t>(node);
      const Json& type = g.Need("type");
      fg.type = type.is_string() ? r.Name(type, g.PathOf("type"), kFunctionGroupTypes)
                                 : static_cast<uint8_t>(r.Unsigned(type, g.PathOf("type"), 0xFF));
      fg.unsolicitedCapable = g.Bool("unsolicited", false);
      if (const Json* widgets = g.Get("widgets")) {
        const std::string wpath = g.PathOf("widgets");
        std::map<uint8_t, std::string> paths;
        for (const Entry& we : NumberedEntries(r, *widgets, wpath, 0xFF)) {
          const uint64_t wnode = we.id;
          const std::string& npath = we.path;
          paths[static_cast<uint8_t>(wnode)] = npath;
          if (wnode == hda::kRootNode) r.Fail(npath, "node 0 is the root node");
          if (!nodes.insert(wnode).second) r.Fail(npath, "node " + Hex(wnode) + " is used twice");
          fg.widgets.push_back(ParseWidget(r, static_cast<uint8_t>(wnode), *we.value, npath));
        }
        for (const WidgetProfile& w : fg.widgets)
          for (size_t i = 0; i < w.connections.size(); ++i) {
            const bool found = std::any_of(fg.widgets.begin(), fg.widgets.end(),
                                           [&](const WidgetProfile& o2) { return o2.node == w.connections[i]; });
            if (!found)
              r.Fail(Index(Join(paths[w.node], "connections"), i),
                     "node " + Hex(w.connections[i]) + " is not a widget of this function group");
          }
      }
      g.Done();
      c.functionGroups.push_back(std::move(fg));
    }
  }
  o.Done();
  return c;
}

DataRangeProfile ParseRange(const Reader& r, const Json& j, const std::string& path) {
  Object o(r, j, path);
  DataRangeProfile d;
  if (const Json* v = o.Get("major")) d.majorFormat = r.KnownName(*v, o.PathOf("major"), kMajorFormats, true);
  if (const Json* v = o.Get("sub")) d.subFormat = r.KnownName(*v, o.PathOf("sub"), kSubFormats, true);
  if (const Json* v = o.Get("specifier")) d.specifier = r.KnownName(*v, o.PathOf("specifier"), kSpecifiers, true);
  d.maxChannels = o.NeedUnsigned<uint32_t>("max_channels");
  d.minBits = o.NeedUnsigned<uint32_t>("min_bits");
  d.maxBits = o.NeedUnsigned<uint32_t>("max_bits");
  d.minRate = o.NeedUnsigned<uint32_t>("min_rate");
  d.maxRate = o.NeedUnsigned<uint32_t>("max_rate");
  if (d.minBits > d.maxBits) r.Fail(o.PathOf("min_bits"), "is greater than max_bits");
  if (d.minRate > d.maxRate) r.Fail(o.PathOf("min_rate"), "is greater than max_rate");
  o.Done();
  return d;
}

std::vector<uint32_t> ParseIdList(const Reader& r, const Json& j, const std::string& path) {
  std::vector<uint32_t> ids;
  const Json& list = r.Array(j, path);
  for (size_t i = 0; i < list.size(); ++i)
    ids.push_back(static_cast<uint32_t>(r.Unsigned(list[i], Index(path, i), 0xFFFFFFFF)));
  return ids;
}

PinProfile ParsePin(const Reader& r, uint32_t id, const Json& j, const std::string& path, bool wave) {
  Object o(r, j, path);
  PinProfile p;
  p.id = id;
  p.dataFlow = o.NeedName("data_flow", kDataFlows);
  p.communication = o.NeedName("communication", kCommunications);
  p.category = "KSCATEGORY_AUDIO";
  if (const Json* v = o.Get("category")) {
    std::set<std::string, std::less<>> names = kNodeTypes;
    names.insert("KSCATEGORY_AUDIO");
    p.category = r.KnownName(*v, o.PathOf("category"), names, true);
  }
  p.name = o.String("name", "");
  if (const Json* v = o.Get("ranges")) {
    const Json& list = r.Array(*v, o.PathOf("ranges"));
    for (size_t i = 0; i < list.size(); ++i) p.ranges.push_back(ParseRange(r, list[i], Index(o.PathOf("ranges"), i)));
  }
  if (const Json* v = o.Get("interfaces")) p.interfaces = ParseIdList(r, *v, o.PathOf("interfaces"));
  if (const Json* v = o.Get("mediums")) p.mediums = ParseIdList(r, *v, o.PathOf("mediums"));
  p.possibleInstances = o.Unsigned<uint32_t>("instances", 1);
  p.globalPossibleInstances = o.Unsigned<uint32_t>("global_instances", p.possibleInstances);
  if (wave) {
    p.physicalConnection = o.MaybeUnsigned<uint32_t>("connects_to");
    if (p.physicalConnection && p.communication != Communication::Bridge)
      r.Fail(o.PathOf("connects_to"), "only a bridge pin is physically connected");
  }
  o.Done();
  return p;
}

// One end of a connection: {"pin": p} for a pin of the filter itself,
// {"node": n, "pin": p} for a pin of a node.
std::pair<uint32_t, uint32_t> ParseEnd(const Reader& r, const Json& j, const std::string& path,
                                       const FilterProfile& f) {
  Object o(r, j, path);
  const std::optional<uint32_t> node = o.MaybeUnsigned<uint32_t>("node");
  const uint32_t pin = o.NeedUnsigned<uint32_t>("pin");
  if (node && *node >= f.nodes.size())
    r.Fail(o.PathOf("node"),
           "node " + std::to_string(*node) + " does not exist (the filter has " + std::to_string(f.nodes.size()) + ")");
  if (!node && pin >= f.pins.size())
    r.Fail(o.PathOf("pin"),
           "pin " + std::to_string(pin) + " does not exist (the filter has " + std::to_string(f.pins.size()) + ")");
  o.Done();
  return {node.value_or(kFilterNode), pin};
}

void ParseReference(const Reader& r, const std::string& reference, const std::string& path) {
  const bool ok = !reference.empty() && std::all_of(reference.begin(), reference.end(), [](char c) {
    return c > 0x20 && c < 0x7F && c != '\\' && c != '/' && c != '#';
  });
  if (!ok) r.Fail(path, "\"" + reference + "\" is not a reference string (printable ASCII without \\ / #)");
}

// The parts wave and topology filters share. Reads "interfaces", "pins",
// "nodes" and "connections" from `o`.
void ParseFilterBody(const Reader& r, Object& o, FilterProfile& f, bool wave,
                     std::vector<std::string> defaultCategories) {
  f.interfaceCategories = std::move(defaultCategories);
  if (const Json* v = o.Get("interfaces")) {
    f.interfaceCategories.clear();
    const Json& list = r.Array(*v, o.PathOf("interfaces"));
    for (size_t i = 0; i < list.size(); ++i)
      f.interfaceCategories.push_back(
          r.KnownName(list[i], Index(o.PathOf("interfaces"), i), kInterfaceCategories, false));
  }
  if (const Json* v = o.Get("pins")) {
    uint64_t expected = 0;
    for (const Entry& pe : NumberedEntries(r, *v, o.PathOf("pins"), 0xFFFF)) {
      const uint64_t id = pe.id;
      const std::string& ppath = pe.path;
      // KS pin ids are positions: a filter reports a count and answers 0..n-1.
      if (id != expected)
        r.Fail(ppath, "pin ids must run 0, 1, 2, ... without gaps (expected " + std::to_string(expected) + ")");
      ++expected;
      f.pins.push_back(ParsePin(r, static_cast<uint32_t>(id), *pe.value, ppath, wave));
    }
  }
  if (const Json* v = o.Get("nodes")) {
    const Json& list = r.Array(*v, o.PathOf("nodes"));
    for (size_t i = 0; i < list.size(); ++i)
      f.nodes.push_back(r.KnownName(list[i], Index(o.PathOf("nodes"), i), kNodeTypes, true));
  }
  if (const Json* v = o.Get("connections")) {
    const Json& list = r.Array(*v, o.PathOf("connections"));
    for (size_t i = 0; i < list.size(); ++i) {
      Object c(r, list[i], Index(o.PathOf("connections"), i));
      ConnectionProfile cp;
      std::tie(cp.fromNode, cp.fromPin) = ParseEnd(r, c.Need("from"), c.PathOf("from"), f);
      std::tie(cp.toNode, cp.toPin) = ParseEnd(r, c.Need("to"), c.PathOf("to"), f);
      c.Done();
      f.connections.push_back(cp);
    }
  }
}

WaveRtProfile ParseWaveRt(const Reader& r, const Json& j, const std::string& path) {
  Object o(r, j, path);
  WaveRtProfile w;
  if (const Json* v = o.Get("buffer")) {
    Object b(r, *v, o.PathOf("buffer"));
    w.policy = b.Name("policy", kBufferPolicies, BufferPolicy::Exact);
    w.granularity = b.Unsigned<uint32_t>("granularity", 0);
    w.maxBytes = b.Unsigned<uint32_t>("max_bytes", 0);
    w.fixedBytes = b.Unsigned<uint32_t>("fixed_bytes", 0);
    if (w.policy == BufferPolicy::RoundUp && w.granularity == 0)
      r.Fail(b.PathOf("granularity"), "must be set and above 0 for policy \"round_up\"");
    if (w.policy == BufferPolicy::Cap && w.maxBytes == 0)
      r.Fail(b.PathOf("max_bytes"), "must be set and above 0 for policy \"cap\"");
    if (w.policy == BufferPolicy::Fixed && w.fixedBytes == 0)
      r.Fail(b.PathOf("fixed_bytes"), "must be set and above 0 for policy \"fixed\"");
    b.Done();
  }
  w.positionRegister = o.Bool("position_register", true);
  w.clockRegister = o.Bool("clock_register", true);
  w.clockNumerator = o.Unsigned<uint64_t>("clock_numerator", w.clockNumerator);
  w.clockDenominator = o.Unsigned<uint64_t>("clock_denominator", w.clockDenominator);
  if (w.clockNumerator == 0) r.Fail(o.PathOf("clock_numerator"), "must be above 0");
  if (w.clockDenominator == 0) r.Fail(o.PathOf("clock_denominator"), "must be above 0");
  if (const Json* v = o.Get("latency")) {
    Object l(r, *v, o.PathOf("latency"));
    w.fifoSize = l.Unsigned<uint32_t>("fifo_size", 0);
    w.chipsetDelay = l.Unsigned<uint32_t>("chipset_delay", 0);
    w.codecDelay = l.Unsigned<uint32_t>("codec_delay", 0);
    l.Done();
  }
  o.Done();
  return w;
}

void ParseFilters(const Reader& r, const Json& j, const std::string& path, const Json* cardWaveRt, Profile& p) {
  if (!j.is_object()) r.Fail(path, "must be an object keyed by reference string");
  std::set<std::string> references;
  for (const auto& [reference, fj] : j.items()) {
    if (fj.is_null()) continue;
    const std::string fpath = Join(path, reference);
    ParseReference(r, reference, fpath);
    if (!references.insert(reference).second) r.Fail(fpath, "reference string is used twice");
    Object o(r, fj, fpath);
    WaveFilterProfile w;
    w.reference = reference;
    w.flow = o.NeedName("flow", kFilterFlows);
    ParseFilterBody(r, o, w, true,
                    {"KSCATEGORY_AUDIO", w.flow == FilterFlow::Render ? "KSCATEGORY_RENDER" : "KSCATEGORY_CAPTURE",
                     "KSCATEGORY_REALTIME"});

    Object t(r, o.Need("topology"), o.PathOf("topology"));
    const Json& tref = t.Need("reference");
    w.topology.reference = r.String(tref, t.PathOf("reference"));
    ParseReference(r, w.topology.reference, t.PathOf("reference"));
    if (!references.insert(w.topology.reference).second)
      r.Fail(t.PathOf("reference"), "reference string is used twice");
    ParseFilterBody(r, t, w.topology, false, {"KSCATEGORY_AUDIO", "KSCATEGORY_TOPOLOGY"});
    t.Done();

    for (const PinProfile& pin : w.pins)
      if (pin.physicalConnection && *pin.physicalConnection >= w.topology.pins.size())
        r.Fail(
            Join(Join(Join(fpath, "pins"), std::to_string(pin.id)), "connects_to"),
            "topology filter \"" + w.topology.reference + "\" has no pin " + std::to_string(*pin.physicalConnection));

    // The card's WaveRT behaviour, patched by the filter's own.
    Json waveRt = cardWaveRt != nullptr ? *cardWaveRt : Json::object();
    if (const Json* own = o.Get("wavert")) {
      if (!own->is_object()) r.Fail(o.PathOf("wavert"), "must be an object");
      waveRt.merge_patch(*own);
    }
    w.waveRt = ParseWaveRt(r, waveRt, o.PathOf("wavert"));
    o.Done();
    p.filters.push_back(std::move(w));
  }
}

void ParseDevice(const Reader& r, const Json* j, const std::string& path, Profile& p) {
  const Json empty = Json::object();
  Object o(r, j != nullptr ? *j : empty, path);
  DeviceProfile& d = p.device;
  const CodecProfile& c = p.codec;
  d.function = o.Unsigned<uint32_t>("function", 1, 0xFF);
  d.vendorId = o.Unsigned<uint16_t>("vendor_id", c.vendorId);
  d.deviceId = o.Unsigned<uint16_t>("device_id", c.deviceId);
  d.subsystemId = o.Unsigned<uint32_t>("subsystem_id", c.subsystemId);
  // REV_ shows the major and minor revision nibbles and the revision byte.
  const uint16_t rev = static_cast<uint16_t>(((c.revisionId >> 20) & 0xF) << 12 | ((c.revisionId >> 16) & 0xF) << 8 |
                                             ((c.revisionId >> 8) & 0xFF));
  d.revision = o.Unsigned<uint16_t>("revision", rev);
  uint32_t audioNode = 1;
  for (const FunctionGroupProfile& fg : c.functionGroups)
    if (fg.type == hda::kFunctionGroupAudio) {
      audioNode = fg.node;
      break;
    }
  char instance[32];
  std::snprintf(instance, sizeof(instance), "4&1D5B9C07&0&%02X%02X", c.address, audioNode);
  d.instanceId = o.String("instance_id", instance);
  if (d.instanceId.empty() || d.instanceId.find('\\') != std::string::npos)
    r.Fail(o.PathOf("instance_id"), "must be non-empty and hold no backslash");
  o.Done();
}

void ParseBusComponent(const Reader& r, const Json& j, const std::string& path, BusComponentProfile& b) {
  Object o(r, j, path);
  b.present = o.Bool("present", true);
  b.capabilityWord = o.Unsigned<uint32_t>("capability_word", 0);
  b.register1C = o.Unsigned<uint32_t>("register_1c", 0);
  b.controlBlockBytes = o.Unsigned<uint32_t>("control_block_bytes", b.controlBlockBytes);
  b.auxBlockBytes = o.Unsigned<uint32_t>("aux_block_bytes", b.auxBlockBytes);
  if (b.controlBlockBytes < BusComponentProfile::kCapabilityOffset + 4 || b.controlBlockBytes % 4 != 0)
    r.Fail(o.PathOf("control_block_bytes"), "must be a multiple of 4 that holds the capability word at 0x300");
  if (b.auxBlockBytes % 4 != 0) r.Fail(o.PathOf("aux_block_bytes"), "must be a multiple of 4");
  o.Done();
}

void ParseFaults(const Reader& r, const Json& j, const std::string& path, Profile& p) {
  Object o(r, j, path);
  FaultProfile& f = p.faults;
  auto filterName = [&](Object& e, const std::string& key, bool required) {
    const Json* v = required ? &e.Need(key) : e.Get(key);
    if (v == nullptr) return std::string();
    const std::string name = r.String(*v, e.PathOf(key));
    const bool known = std::any_of(p.filters.begin(), p.filters.end(), [&](const WaveFilterProfile& w) {
      return w.reference == name || w.topology.reference == name;
    });
    if (!known) r.Fail(e.PathOf(key), "\"" + name + "\" is not a filter of this card");
    return name;
  };
  if (const Json* v = o.Get("notifications")) {
    Object n(r, *v, o.PathOf("notifications"));
    f.notifications.dropEvery = n.Unsigned<uint32_t>("drop_every", 0);
    f.notifications.delayEvery = n.Unsigned<uint32_t>("delay_every", 0);
    f.notifications.delayMicroseconds = n.Unsigned<uint32_t>("delay_us", 0);
    f.notifications.fromPeriod = n.Unsigned<uint32_t>("from_period", 0);
    if (f.notifications.delayEvery != 0 && f.notifications.delayMicroseconds == 0)
      r.Fail(n.PathOf("delay_us"), "must be above 0 when delay_every is set");
    n.Done();
  }
  if (const Json* v = o.Get("pin_states")) {
    const Json& list = r.Array(*v, o.PathOf("pin_states"));
    for (size_t i = 0; i < list.size(); ++i) {
      Object e(r, list[i], Index(o.PathOf("pin_states"), i));
      PinStateFault ps;
      ps.filter = filterName(e, "filter", true);
      ps.pin = e.MaybeUnsigned<uint32_t>("pin");
      ps.state = e.Name("state", kStates, 3u);
      ps.status = e.Unsigned<uint32_t>("status", ps.status);
      e.Done();
      f.pinStates.push_back(ps);
    }
  }
  if (const Json* v = o.Get("buffer")) {
    Object b(r, *v, o.PathOf("buffer"));
    f.buffer.refuse = b.Bool("refuse", false);
    f.buffer.status = b.Unsigned<uint32_t>("status", f.buffer.status);
    f.buffer.resizeTo = b.Unsigned<uint32_t>("resize_to", 0);
    b.Done();
  }
  if (const Json* v = o.Get("requests")) {
    const Json& list = r.Array(*v, o.PathOf("requests"));
    for (size_t i = 0; i < list.size(); ++i) {
      Object e(r, list[i], Index(o.PathOf("requests"), i));
      RequestFault rf;
      rf.propertySet = r.KnownName(e.Need("set"), e.PathOf("set"), kPropertySets, true);
      rf.id = e.MaybeUnsigned<uint32_t>("id");
      rf.filter = filterName(e, "filter", false);
      rf.action = e.Name("action", kRequestActions, RequestAction::Fail);
      rf.status = e.Unsigned<uint32_t>("status", rf.status);
      rf.pendMilliseconds = e.Unsigned<uint32_t>("pend_ms", 0);
      e.Done();
      f.requests.push_back(rf);
    }
  }
  f.removeAtMilliseconds = o.MaybeUnsigned<uint64_t>("remove_at_ms");
  if (const Json* v = o.Get("power_cycle")) {
    Object c(r, *v, o.PathOf("power_cycle"));
    f.powerCycle = PowerCycleFault{c.NeedUnsigned<uint64_t>("at_ms"), c.Unsigned<uint64_t>("off_ms", 0)};
    c.Done();
  }
  f.flipDsdAtMilliseconds = o.MaybeUnsigned<uint64_t>("flip_dsd_at_ms");
  if (const Json* v = o.Get("refuse_bus_interface_versions")) {
    const Json& list = r.Array(*v, o.PathOf("refuse_bus_interface_versions"));
    for (size_t i = 0; i < list.size(); ++i) {
      const uint32_t version =
          static_cast<uint32_t>(r.Unsigned(list[i], Index(o.PathOf("refuse_bus_interface_versions"), i), 2));
      if (version == 0) r.Fail(Index(o.PathOf("refuse_bus_interface_versions"), i), "versions are 1 and 2");
      f.refusedBusInterfaceVersions.push_back(version);
    }
  }
  if (const Json* v = o.Get("codec_transfers")) {
    Object c(r, *v, o.PathOf("codec_transfers"));
    f.codecTransfers.failEvery = c.Unsigned<uint32_t>("fail_every", 0);
    f.codecTransfers.fromTransfer = c.Unsigned<uint32_t>("from", 0);
    f.codecTransfers.status = c.Unsigned<uint32_t>("status", f.codecTransfers.status);
    c.Done();
  }
  if (const Json* v = o.Get("kvlnk_fail")) {
    const Json& list = r.Array(*v, o.PathOf("kvlnk_fail"));
    for (size_t i = 0; i < list.size(); ++i)
      f.kvlnkFailures.push_back(r.Name(list[i], Index(o.PathOf("kvlnk_fail"), i), kKvlnkSteps));
  }
  o.Done();
}

Profile ParseDocument(const Reader& r, const Json& doc, const std::string& defaultName) {
  Object o(r, doc, "");
  Profile p;
  o.Get("extends");  // resolved before parsing
  p.name = o.String("name", defaultName);
  p.description = o.String("description", "");
  p.upperFilterInstalled = o.Bool("upper_filter", true);
  p.codec = ParseCodec(r, o.Need("codec"), "codec");
  ParseDevice(r, o.Get("device"), "device", p);
  const Json* waveRt = o.Get("wavert");
  if (waveRt != nullptr) ParseWaveRt(r, *waveRt, "wavert");  // refuse a bad card-level value even without filters
  if (const Json* v = o.Get("filters")) ParseFilters(r, *v, "filters", waveRt, p);
  if (const Json* v = o.Get("bus_component")) ParseBusComponent(r, *v, "bus_component", p.busComponent);
  if (const Json* v = o.Get("faults")) ParseFaults(r, *v, "faults", p);
  o.Done();
  return p;
}

Json ParseJson(std::string_view text, const std::string& source) {
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::parse_error& e) {
    throw ProfileError(source, "", std::string("not valid JSON: ") + e.what());
  }
}

// The document with its "extends" chain applied, base first.
Json Resolve(Json doc, const std::filesystem::path& baseDir, const std::string& source,
             std::vector<std::filesystem::path>& chain) {
  if (!doc.is_object()) throw ProfileError(source, "", "a profile is a JSON object");
  const auto it = doc.find("extends");
  if (it == doc.end() || it->is_null()) return doc;
  if (!it->is_string()) throw ProfileError(source, "extends", "must be a file name");
  const std::filesystem::path file = baseDir / it->get<std::string>();
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(file, ec);
  if (std::find(chain.begin(), chain.end(), canonical) != chain.end())
    throw ProfileError(source, "extends", "\"" + file.string() + "\" extends itself");
  if (chain.size() >= kMaxExtendsDepth) throw ProfileError(source, "extends", "the chain of extends is too long");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ProfileError(source, "extends", "cannot read \"" + file.string() + "\"");
  std::ostringstream text;
  text << in.rdbuf();
  chain.push_back(canonical);
  Json base = Resolve(ParseJson(text.str(), file.string()), file.parent_path(), file.string(), chain);
  doc.erase("extends");
  // A derived profile names itself; the base's name is not inherited silently.
  base.erase("name");
  base.merge_patch(doc);
  return base;
}

}  // namespace

ProfileError::ProfileError(std::string source, std::string field, const std::string& message)
    : std::runtime_error(source + ": " + (field.empty() ? "" : field + ": ") + message),
      source_(std::move(source)),
      field_(std::move(field)) {}

uint32_t AmpProfile::CapsWord() const { return hda::MakeAmpCaps(offset, steps, stepSize, muteCapable); }

uint32_t WidgetProfile::CapsWord() const {
  uint32_t caps = static_cast<uint32_t>(type) << hda::kWidgetTypeShift;
  if (stereo) caps |= hda::kWidgetCapStereo;
  if (inAmp) caps |= hda::kWidgetCapInAmp | hda::kWidgetCapAmpOverride;
  if (outAmp) caps |= hda::kWidgetCapOutAmp | hda::kWidgetCapAmpOverride;
  if (coefficientCount != 0) caps |= hda::kWidgetCapProcessing;
  if (!connections.empty()) caps |= hda::kWidgetCapConnectionList;
  if (digital) caps |= hda::kWidgetCapDigital;
  return caps;
}

uint32_t WaveRtProfile::GrantedBytes(uint32_t requested) const {
  switch (policy) {
    case BufferPolicy::Exact:
      return requested;
    case BufferPolicy::RoundUp: {
      const uint64_t rounded = (static_cast<uint64_t>(requested) + granularity - 1) / granularity * granularity;
      // A round-up past 4 GiB cannot be granted; the largest multiple is.
      return rounded > 0xFFFFFFFFu ? 0xFFFFFFFFu / granularity * granularity : static_cast<uint32_t>(rounded);
    }
    case BufferPolicy::Cap:
      return std::min(requested, maxBytes);
    case BufferPolicy::Fixed:
      return fixedBytes;
  }
  return requested;
}

std::string DeviceProfile::HardwareId() const {
  char text[96];
  std::snprintf(text, sizeof(text), "HDAUDIO\\FUNC_%02X&VEN_%04X&DEV_%04X&SUBSYS_%08X&REV_%04X", function, vendorId,
                deviceId, subsystemId, revision);
  return text;
}

std::string DeviceProfile::DeviceInstanceId() const { return HardwareId() + "\\" + instanceId; }

const WaveFilterProfile* Profile::FindWaveFilter(std::string_view reference) const {
  for (const WaveFilterProfile& f : filters)
    if (f.reference == reference) return &f;
  return nullptr;
}

Profile LoadProfile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ProfileError(file.string(), "", "cannot read the file");
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<std::filesystem::path> chain;
  std::error_code ec;
  chain.push_back(std::filesystem::weakly_canonical(file, ec));
  const std::string source = file.string();
  const Json doc = Resolve(ParseJson(text.str(), source), file.parent_path(), source, chain);
  return ParseDocument(Reader(source), doc, file.stem().string());
}

Profile ParseProfile(std::string_view text, const std::filesystem::path& baseDir, const std::string& sourceName) {
  std::vector<std::filesystem::path> chain;
  const Json doc = Resolve(ParseJson(text, sourceName), baseDir, sourceName, chain);
  return ParseDocument(Reader(sourceName), doc, sourceName);
}

}  // namespace sim::card
