// The simulated HD Audio codec: the nodes of a card profile answering the verbs
// that the bus driver passes on from the link.
//
// Behaviour where codecs differ or the link leaves it open:
// - A command for another codec address gets no response at all: {0, valid
//   false}, as the controller sees nothing on this codec's SDATA_IN line.
// - A verb a node does not implement, a parameter it does not have and a node
//   that does not exist all answer 0 with valid set, as HD Audio codecs answer
//   what they do not support; nothing changes.
// - The coefficient index auto-increments by one (16-bit wrap) after every Set
//   and every Get Processing Coefficient, as Realtek's processing widgets do, so
//   a reader must set the index again before reading back what it wrote.
//   Registers beyond the widget's coefficient count read 0 and ignore writes.
// - Amplifier verbs on a widget without that amplifier change nothing and read
//   0; gains are stored as written (7 bits), not clamped to the step count.
//   Output amplifiers have one index (0); the index of an output set is ignored.
// - Function Reset on a function group restores its widgets' reset state.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "sim/card/profile.h"

namespace sim::card {

struct VerbResult {
  uint32_t response = 0;
  bool valid = false;
  bool operator==(const VerbResult&) const = default;
};

struct VerbLogEntry {
  uint32_t command = 0;
  VerbResult result;
  bool operator==(const VerbLogEntry&) const = default;
};

enum class AmpDirection { Input, Output };
enum class AmpChannel { Left, Right };

struct AmpState {
  uint8_t gain = 0;
  bool mute = false;
  bool operator==(const AmpState&) const = default;
};

class Codec {
 public:
  explicit Codec(const CodecProfile& profile);
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;

  // One command word in, one response out; logged.
  VerbResult Execute(uint32_t command);

  uint8_t address() const { return address_; }

  std::vector<VerbLogEntry> VerbLog() const;
  void ClearVerbLog();

  // State for tests and for the card's DAC. A node that is not a widget of the
  // profile (or not one with that state) is a caller's bug: std::out_of_range.
  uint16_t Coefficient(uint8_t node, uint16_t index) const;
  uint16_t CoefficientIndex(uint8_t node) const;
  AmpState Amplifier(uint8_t node, AmpDirection direction, AmpChannel channel, uint8_t index = 0) const;
  uint8_t PinWidgetControl(uint8_t node) const;
  uint32_t SubsystemId() const;

 private:
  struct Amp {
    AmpState left;
    AmpState right;
  };
  struct Widget {
    const WidgetProfile* profile = nullptr;
    uint8_t group = 0;
    std::vector<Amp> inAmps;  // one per input index
    Amp outAmp;
    std::map<uint32_t, uint32_t> controls;  // get-verb id -> value of the simple get/set registers
    uint32_t configDefault = 0;
    uint16_t coefficientIndex = 0;
    std::vector<uint16_t> coefficients;
  };
  struct Group {
    const FunctionGroupProfile* profile = nullptr;
    std::map<uint32_t, uint32_t> controls;
  };

  void ResetWidget(Widget& w) const;
  uint32_t Respond(uint32_t command);
  uint32_t RootVerb(uint32_t verb, uint32_t payload) const;
  uint32_t GroupVerb(Group& g, uint32_t verb, uint32_t payload);
  uint32_t WidgetVerb(Widget& w, uint32_t verb, uint32_t payload);
  uint32_t AmpVerb(Widget& w, uint32_t verb, uint32_t payload);
  uint32_t CoefficientVerb(Widget& w, uint32_t verb, uint32_t payload);
  const Widget& WidgetAt(uint8_t node, const char* caller) const;

  CodecProfile profile_;  // owned copy: the node tables point into it
  uint8_t address_;
  mutable std::mutex mutex_;
  uint32_t subsystemId_;
  std::map<uint8_t, Group> groups_;
  std::map<uint8_t, Widget> widgets_;
  std::vector<VerbLogEntry> log_;
};

}  // namespace sim::card
