#include "sim/card/codec.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/hda_codec.h"

namespace sim::card {

namespace {

// The plain get/set pairs: a get verb reads back what its set verb stored.
// Power State's get also reports the actual state, which the model reaches at once.
struct ControlRegister {
  uint32_t getVerb;
  uint32_t setVerb;
  uint32_t mask;
  bool (*applies)(const WidgetProfile&);
};

bool IsConverter(const WidgetProfile& w) { return w.type == WidgetType::Output || w.type == WidgetType::Input; }
bool IsPin(const WidgetProfile& w) { return w.type == WidgetType::Pin; }
bool HasSelector(const WidgetProfile& w) { return !w.connections.empty() && w.type != WidgetType::Mixer; }
bool HasEapd(const WidgetProfile& w) { return IsPin(w) && (w.pinCaps & hda::kPinCapEapd) != 0; }
bool Always(const WidgetProfile&) { return true; }

constexpr ControlRegister kWidgetControls[] = {
    {hda::kVerbGetConnectionSelect, hda::kVerbSetConnectionSelect, 0xFF, HasSelector},
    {hda::kVerbGetPowerState, hda::kVerbSetPowerState, hda::kPowerStateMask, Always},
    {hda::kVerbGetConverterStreamChannel, hda::kVerbSetConverterStreamChannel, 0xFF, IsConverter},
    {hda::kVerbGetPinWidgetControl, hda::kVerbSetPinWidgetControl, 0xFF, IsPin},
    {hda::kVerbGetUnsolicitedResponse, hda::kVerbSetUnsolicitedResponse, 0xBF, IsPin},
    {hda::kVerbGetEapdBtlEnable, hda::kVerbSetEapdBtlEnable, 0x07, HasEapd},
    {hda::kVerbGetConverterFormat, hda::kVerbSetConverterFormat, 0xFFFF, IsConverter},
};

constexpr uint32_t kAllPowerStates = 0xF;  // D0 to D3
constexpr uint32_t kPinSensePresence = 1u << 31;
constexpr uint32_t kConfigConnectivityShift = 30;
constexpr uint32_t kConfigConnectivityNone = 0x1;

uint32_t NodeRange(const std::vector<uint8_t>& nodes) {
  if (nodes.empty()) return hda::MakeSubordinateNodeCountResponse(0, 0);
  const auto [lo, hi] = std::minmax_element(nodes.begin(), nodes.end());
  return hda::MakeSubordinateNodeCountResponse(*lo, static_cast<uint32_t>(*hi - *lo + 1));
}

std::string NodeName(uint8_t node) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", node);
  return text;
}

}  // namespace

Codec::Codec(const CodecProfile& profile)
    : profile_(profile), address_(profile_.address), subsystemId_(profile_.subsystemId) {
  for (const FunctionGroupProfile& fg : profile_.functionGroups) {
    groups_[fg.node].profile = &fg;
    for (const WidgetProfile& wp : fg.widgets) {
      Widget& w = widgets_[wp.node];
      w.profile = &wp;
      w.group = fg.node;
      ResetWidget(w);
    }
  }
}

void Codec::ResetWidget(Widget& w) const {
  const WidgetProfile& p = *w.profile;
  const auto reset = [](const std::optional<AmpProfile>& a) {
    const AmpState s{static_cast<uint8_t>(a ? a->initialGain : 0), a ? a->initialMute : false};
    return Amp{s, s};
  };
  w.inAmps.assign(p.inAmp ? std::max<size_t>(1, p.type == WidgetType::Mixer ? p.connections.size() : 1) : 0,
                  reset(p.inAmp));
  w.outAmp = reset(p.outAmp);
  w.controls.clear();
  for (const ControlRegister& c : kWidgetControls)
    if (c.applies(p)) w.controls[c.getVerb] = 0;
  if (IsPin(p)) w.controls[hda::kVerbGetPinWidgetControl] = p.pinControl;
  w.configDefault = p.configDefault;
  w.coefficientIndex = 0;
  w.coefficients.assign(p.coefficientCount, 0);
  for (const auto& [index, value] : p.coefficients) w.coefficients[index] = value;
}

VerbResult Codec::Execute(uint32_t command) {
  std::lock_guard lock(mutex_);
  VerbResult result;
  if (hda::CommandCodecAddress(command) == address_) result = {Respond(command), true};
  log_.push_back({command, result});
  return result;
}

uint32_t Codec::Respond(uint32_t command) {
  const uint8_t node = static_cast<uint8_t>(hda::CommandNode(command));
  const uint32_t verb = hda::CommandVerb(command);
  const uint32_t payload = hda::CommandPayload(command);
  if (node == hda::kRootNode) return RootVerb(verb, payload);
  if (const auto g = groups_.find(node); g != groups_.end()) return GroupVerb(g->second, verb, payload);
  if (const auto w = widgets_.find(node); w != widgets_.end()) return WidgetVerb(w->second, verb, payload);
  return 0;
}

uint32_t Codec::RootVerb(uint32_t verb, uint32_t payload) const {
  if (verb != hda::kVerbGetParameter) return 0;
  switch (payload) {
    case hda::kParamVendorId:
      return hda::MakeVendorIdResponse(profile_.vendorId, profile_.deviceId);
    case hda::kParamRevisionId:
      return profile_.revisionId;
    case hda::kParamSubordinateNodeCount: {
      std::vector<uint8_t> nodes;
      for (const auto& [n, g] : groups_) nodes.push_back(n);
      return NodeRange(nodes);
    }
    default:
      return 0;
  }
}

uint32_t Codec::GroupVerb(Group& g, uint32_t verb, uint32_t payload) {
  const FunctionGroupProfile& p = *g.profile;
  if (verb == hda::kVerbGetParameter) {
    switch (payload) {
      case hda::kParamSubordinateNodeCount: {
        std::vector<uint8_t> nodes;
        for (const WidgetProfile& w : p.widgets) nodes.push_back(w.node);
        return NodeRange(nodes);
      }
      case hda::kParamFunctionGroupType:
        return p.type | (p.unsolicitedCapable ? hda::kFunctionGroupUnsolicitedCapable : 0);
      case hda::kParamSupportedPowerStates:
        return kAllPowerStates;
      default:
        return 0;
    }
  }
  if (verb == hda::kVerbGetSubsystemId) return subsystemId_;
  if (verb >= hda::kVerbSetSubsystemId0 && verb <= hda::kVerbSetSubsystemId3) {
    const uint32_t shift = (verb - hda::kVerbSetSubsystemId0) * 8;
    subsystemId_ = (subsystemId_ & ~(0xFFu << shift)) | (payload << shift);
    return 0;
  }
  if (verb == hda::kVerbGetPowerState) {
    const uint32_t state = g.controls[hda::kVerbGetPowerState];
    return (state << hda::kPowerStateActualShift) | state;
  }
  if (verb == hda::kVerbSetPowerState) {
    g.controls[hda::kVerbGetPowerState] = payload & hda::kPowerStateMask;
    return 0;
  }
  if (verb == hda::kVerbGetUnsolicitedResponse) return p.unsolicitedCapable ? g.controls[verb] : 0;
  if (verb == hda::kVerbSetUnsolicitedResponse) {
    if (p.unsolicitedCapable) g.controls[hda::kVerbGetUnsolicitedResponse] = payload & 0xBF;
    return 0;
  }
  if (verb == hda::kVerbFunctionReset) {
    g.controls.clear();
    for (auto& [node, w] : widgets_)
      if (w.group == p.node) ResetWidget(w);
    return 0;
  }
  return 0;
}

uint32_t Codec::WidgetVerb(Widget& w, uint32_t verb, uint32_t payload) {
  const WidgetProfile& p = *w.profile;
  switch (verb) {
    case hda::kVerbGetParameter:
      switch (payload) {
        case hda::kParamAudioWidgetCaps:
          return p.CapsWord();
        case hda::kParamPinCaps:
          return IsPin(p) ? p.pinCaps : 0;
        case hda::kParamInputAmpCaps:
          return p.inAmp ? p.inAmp->CapsWord() : 0;
        case hda::kParamOutputAmpCaps:
          return p.outAmp ? p.outAmp->CapsWord() : 0;
        case hda::kParamConnectionListLength:
          return static_cast<uint32_t>(p.connections.size());
        case hda::kParamSupportedPowerStates:
          return kAllPowerStates;
        default:
          return 0;
      }
    case hda::kVerbGetConnectionListEntry: {
      uint32_t entries = 0;
      for (uint32_t i = 0; i < 4 && payload + i < p.connections.size(); ++i)
        entries |= p.connections[payload + i] << (8 * i);
      return entries;
    }
    case hda::kVerbGetConfigDefault:
      return IsPin(p) ? w.configDefault : 0;
    case hda::kVerbGetPinSense: {
      const bool detects = IsPin(p) && (p.pinCaps & hda::kPinCapPresenceDetect) != 0;
      const bool connected = (w.configDefault >> kConfigConnectivityShift) != kConfigConnectivityNone;
      return detects && connected ? kPinSensePresence : 0;
    }
    case hda::kVerbSetAmplifierGainMute:
    case hda::kVerbGetAmplifierGainMute:
      return AmpVerb(w, verb, payload);
    case hda::kVerbSetCoefficientIndex:
    case hda::kVerbGetCoefficientIndex:
    case hda::kVerbSetProcessingCoefficient:
    case hda::kVerbGetProcessingCoefficient:
      return CoefficientVerb(w, verb, payload);
    default:
      break;
  }
  if (verb >= hda::kVerbSetConfigDefault0 && verb <= hda::kVerbSetConfigDefault3) {
    if (IsPin(p)) {
      const uint32_t shift = (verb - hda::kVerbSetConfigDefault0) * 8;
      w.configDefault = (w.configDefault & ~(0xFFu << shift)) | (payload << shift);
    }
    return 0;
  }
  for (const ControlRegister& c : kWidgetControls) {
    const auto it = w.controls.find(c.getVerb);
    if (verb == c.getVerb) {
      if (it == w.controls.end()) return 0;
      return c.getVerb == hda::kVerbGetPowerState ? (it->second << hda::kPowerStateActualShift) | it->second
                                                  : it->second;
    }
    if (verb == c.setVerb) {
      if (it != w.controls.end()) it->second = payload & c.mask;
      return 0;
    }
  }
  return 0;
}

uint32_t Codec::AmpVerb(Widget& w, uint32_t verb, uint32_t payload) {
  const WidgetProfile& p = *w.profile;
  if (verb == hda::kVerbGetAmplifierGainMute) {
    const bool output = (payload & hda::kAmpGetOutput) != 0;
    const bool left = (payload & hda::kAmpGetLeft) != 0;
    const uint32_t index = payload & hda::kAmpIndexMask;
    const Amp* amp = nullptr;
    if (output && p.outAmp) amp = &w.outAmp;
    if (!output && index < w.inAmps.size()) amp = &w.inAmps[index];
    if (amp == nullptr || (!left && !p.stereo)) return 0;
    const AmpState& s = left ? amp->left : amp->right;
    return (s.mute ? hda::kAmpMute : 0) | s.gain;
  }
  const uint32_t index = (payload >> hda::kAmpSetIndexShift) & hda::kAmpIndexMask;
  const auto apply = [&](Amp& amp, const AmpProfile& caps) {
    const AmpState s{static_cast<uint8_t>(payload & hda::kAmpGainMask),
                     caps.muteCapable && (payload & hda::kAmpMute) != 0};
    if (payload & hda::kAmpSetLeft) amp.left = s;
    if ((payload & hda::kAmpSetRight) && p.stereo) amp.right = s;
  };
  if ((payload & hda::kAmpSetOutput) && p.outAmp) apply(w.outAmp, *p.outAmp);
  if ((payload & hda::kAmpSetInput) && index < w.inAmps.size()) apply(w.inAmps[index], *p.inAmp);
  return 0;
}

uint32_t Codec::CoefficientVerb(Widget& w, uint32_t verb, uint32_t payload) {
  if (w.coefficients.empty()) return 0;
  switch (verb) {
    case hda::kVerbSetCoefficientIndex:
      w.coefficientIndex = static_cast<uint16_t>(payload);
      return 0;
    case hda::kVerbGetCoefficientIndex:
      return w.coefficientIndex;
    case hda::kVerbSetProcessingCoefficient:
      if (w.coefficientIndex < w.coefficients.size())
        w.coefficients[w.coefficientIndex] = static_cast<uint16_t>(payload);
      ++w.coefficientIndex;
      return 0;
    default: {
      const uint32_t value = w.coefficientIndex < w.coefficients.size() ? w.coefficients[w.coefficientIndex] : 0;
      ++w.coefficientIndex;
      return value;
    }
  }
}

std::vector<VerbLogEntry> Codec::VerbLog() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void Codec::ClearVerbLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

const Codec::Widget& Codec::WidgetAt(uint8_t node, const char* caller) const {
  const auto it = widgets_.find(node);
  if (it == widgets_.end())
    throw std::out_of_range(std::string(caller) + ": node " + NodeName(node) + " is not a widget");
  return it->second;
}

uint16_t Codec::Coefficient(uint8_t node, uint16_t index) const {
  std::lock_guard lock(mutex_);
  const Widget& w = WidgetAt(node, "Codec::Coefficient");
  if (index >= w.coefficients.size())
    throw std::out_of_range("Codec::Coefficient: node " + NodeName(node) + " has no coefficient " +
                            std::to_string(index));
  return w.coefficients[index];
}

uint16_t Codec::CoefficientIndex(uint8_t node) const {
  std::lock_guard lock(mutex_);
  const Widget& w = WidgetAt(node, "Codec::CoefficientIndex");
  if (w.coefficients.empty())
    throw std::out_of_range("Codec::CoefficientIndex: node " + NodeName(node) + " has no coefficients");
  return w.coefficientIndex;
}

AmpState Codec::Amplifier(uint8_t node, AmpDirection direction, AmpChannel channel, uint8_t index) const {
  std::lock_guard lock(mutex_);
  const Widget& w = WidgetAt(node, "Codec::Amplifier");
  const Amp* amp = nullptr;
  if (direction == AmpDirection::Output && w.profile->outAmp && index == 0) amp = &w.outAmp;
  if (direction == AmpDirection::Input && index < w.inAmps.size()) amp = &w.inAmps[index];
  if (amp == nullptr) throw std::out_of_range("Codec::Amplifier: node " + NodeName(node) + " has no such amplifier");
  return channel == AmpChannel::Left ? amp->left : amp->right;
}

uint8_t Codec::PinWidgetControl(uint8_t node) const {
  std::lock_guard lock(mutex_);
  const Widget& w = WidgetAt(node, "Codec::PinWidgetControl");
  if (!IsPin(*w.profile)) throw std::out_of_range("Codec::PinWidgetControl: node " + NodeName(node) + " is not a pin");
  return static_cast<uint8_t>(w.controls.at(hda::kVerbGetPinWidgetControl));
}

uint32_t Codec::SubsystemId() const {
  std::lock_guard lock(mutex_);
  return subsystemId_;
}

}  // namespace sim::card
