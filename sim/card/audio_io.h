// The card's audio ends: the DAC sink that records what each output played,
// the ADC source that feeds each capture filter, and per-pin counters of the
// DMA engine. Tests and hosts read and configure them; the function driver's
// DMA engine writes and reads them as the position of a running pin passes
// its frames.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim::card {

// The PCM format a pin streams in.
struct StreamFormat {
  uint32_t channels = 0;
  uint32_t sampleRate = 0;
  uint32_t containerBits = 0;  // 16, 24 or 32
  uint32_t validBits = 0;
  uint32_t BlockAlign() const { return channels * containerBits / 8; }
  bool operator==(const StreamFormat&) const = default;
};

// What the codec's coefficients select at the DAC: PCM, or one of the three
// DSD modes (1: 2822400 Hz in 88200 Hz containers, 2: 5644800 Hz in 176400 Hz
// containers, 3: 11289600 Hz in the six-channel 176400 Hz layout).
enum class DacMode : uint32_t { Pcm = 0, Dsd64 = 1, Dsd128 = 2, Dsd256 = 3 };

// One run of an output in one format and mode. A new segment starts when a
// new pin instance plays or the DAC mode changes.
struct PlayedSegment {
  StreamFormat format;
  DacMode mode = DacMode::Pcm;
  uint64_t frames = 0;       // pin frames played
  std::vector<uint8_t> pcm;  // PCM mode: the frames exactly as played
  // DSD modes: the bit stream of the left (0) and right (1) channel, eight
  // samples a byte, the earliest in bit 7.
  uint32_t dsdRate = 0;
  std::vector<uint8_t> dsd[2];
  // PCM: one sample as a signed value in container units (16-bit: -32768..32767).
  int64_t Sample(uint64_t frame, uint32_t channel) const;
};

class Sink {
 public:
  static Sink& Get();
  // The segments an output (a render filter's reference string, compared
  // without case) played since the last Clear, oldest first.
  std::vector<PlayedSegment> History(std::string_view reference) const;
  // The latest segment; an empty one when the output played nothing.
  PlayedSegment Played(std::string_view reference) const;
  void Clear();

  // The DMA engine's side. `pin_instance` tells instances apart.
  void Record(const std::string& reference, uint64_t pin_instance, const StreamFormat& format, DacMode mode,
              const uint8_t* frames, uint64_t count);
  // Frames an output played so far in its latest segment, for loopback.
  uint64_t TotalFrames(const std::string& reference) const;
  // Copies `count` PCM frames starting at `first` (counted over every segment
  // of the output) into 32-bit left-justified samples; frames not played yet
  // are silence. Returns the output's format.
  StreamFormat ReadBack(const std::string& reference, uint64_t first, uint64_t count, uint32_t channels,
                        std::vector<int32_t>& out) const;

 private:
  struct Output {
    std::vector<PlayedSegment> segments;
    uint64_t lastInstance = 0;
    uint64_t totalFrames = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Output> outputs_;  // key: upper-cased reference
};

enum class SourceKind { Silence, Sine, Ramp, Loopback, Samples };

struct SourceConfig {
  SourceKind kind = SourceKind::Silence;
  double frequency = 1000.0;  // Sine
  double amplitude = 0.5;     // Sine: of full scale
  std::string output;         // Loopback: the render filter's reference
  // Samples: interleaved, in the capture pin's container units, played once
  // from the pin's start, silence afterwards.
  std::vector<int32_t> samples;
};

// Ramp: frame n, channel c of a pin with C channels carries n × C + c
// (wrapping in the container). Loopback: frame n after the capture pin
// starts running carries the output's frame m + n, where m is the number of
// frames the output had played when the capture pin started; each channel
// of the output's sample is rescaled to the capture container.
class Source {
 public:
  static Source& Get();
  void Configure(std::string_view capture_reference, SourceConfig config);
  SourceConfig Config(std::string_view capture_reference) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, SourceConfig> configs_;
};

struct PinCounters {
  uint64_t notificationsSignalled = 0;
  uint64_t notificationsDropped = 0;
  uint64_t notificationsDelayed = 0;
  uint64_t passes = 0;  // completed passes through the cyclic buffer
  uint64_t frames = 0;  // frames moved
};

class PinStatistics {
 public:
  static PinStatistics& Get();
  // Of the latest instance of the pin (counters restart at each pin creation).
  PinCounters Counters(std::string_view reference, uint32_t pin) const;
  void Clear();

  void Restart(const std::string& reference, uint32_t pin);
  void Update(const std::string& reference, uint32_t pin, const PinCounters& counters);

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, uint32_t>, PinCounters> counters_;
};

}  // namespace sim::card
