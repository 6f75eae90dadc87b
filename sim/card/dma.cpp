// The card's DMA engine, its DAC sink and its ADC source.
//
// Timing: a running pin's position moves at its sample rate from the moment
// it entered RUN. The engine keeps one scheduler timer at the earliest next
// half-buffer boundary of all running pins (in real time also at least every
// millisecond, so registers read between boundaries stay fresh). When it
// fires, each pin (render pins before capture pins, so a loopback capture
// sees what was played at the same instant) moves the frames the position
// passes: a render pin's frames go to the sink, a capture pin's come from the
// source just before; then the position and clock registers are updated and,
// at a boundary, the notification events are signalled.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "sim/card/card.h"
#include "sim/card/function_driver.h"

namespace sim::card {

namespace {

std::string Key(std::string_view reference) {
  std::string key(reference);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

int64_t ReadContainer(const uint8_t* p, uint32_t bits) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < bits / 8; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  const uint32_t shift = 32 - bits;
  return static_cast<int32_t>(v << shift) >> shift;
}

void WriteContainer(uint8_t* p, uint32_t bits, int64_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (uint32_t i = 0; i < bits / 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

int64_t PlayedSegment::Sample(uint64_t frame, uint32_t channel) const {
  if (mode != DacMode::Pcm || frame >= frames || channel >= format.channels) return 0;
  return ReadContainer(pcm.data() + frame * format.BlockAlign() + channel * format.containerBits / 8,
                       format.containerBits);
}

Sink& Sink::Get() {
  static Sink sink;
  return sink;
}

std::vector<PlayedSegment> Sink::History(std::string_view reference) const {
  std::lock_guard lock(mutex_);
  auto it = outputs_.find(Key(reference));
  return it == outputs_.end() ? std::vector<PlayedSegment>{} : it->second.segments;
}

PlayedSegment Sink::Played(std::string_view reference) const {
  std::lock_guard lock(mutex_);
  auto it = outputs_.find(Key(reference));
  if (it == outputs_.end() || it->second.segments.empty()) return {};
  return it->second.segments.back();
}

void Sink::Clear() {
  std::lock_guard lock(mutex_);
  outputs_.clear();
}

void Sink::Record(const std::string& reference, uint64_t pin_instance, const StreamFormat& format, DacMode mode,
                  const uint8_t* frames, uint64_t count) {
  std::lock_guard lock(mutex_);
  Output& out = outputs_[Key(reference)];
  if (out.segments.empty() || out.lastInstance != pin_instance || out.segments.back().mode != mode ||
      !(out.segments.back().format == format)) {
    PlayedSegment s;
    s.format = format;
    s.mode = mode;
    s.dsdRate = mode == DacMode::Pcm ? 0 : format.sampleRate * (mode == DacMode::Dsd256 ? 64 : 32);
    out.segments.push_back(std::move(s));
    out.lastInstance = pin_instance;
  }
  PlayedSegment& s = out.segments.back();
  const uint32_t block = format.BlockAlign();
  if (mode == DacMode::Pcm) {
    s.pcm.insert(s.pcm.end(), frames, frames + count * block);
  } else {
    // Containers hold 32 samples of one channel, the earliest in bit 31; the
    // six-channel layout carries two containers per channel and two idle ones.
    const uint32_t slots[2][2] = {{0, 4}, {1, 5}};
    const uint32_t per_channel = mode == DacMode::Dsd256 ? 2 : 1;
    for (uint64_t f = 0; f < count; ++f)
      for (uint32_t ch = 0; ch < 2; ++ch)
        for (uint32_t k = 0; k < per_channel; ++k) {
          const uint8_t* c = frames + f * block + slots[ch][k] * 4;
          const uint32_t v = static_cast<uint32_t>(ReadContainer(c, 32));
          for (int b = 3; b >= 0; --b) s.dsd[ch].push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
  }
  s.frames += count;
  out.totalFrames += count;
}

uint64_t Sink::TotalFrames(const std::string& reference) const {
  std::lock_guard lock(mutex_);
  auto it = outputs_.find(Key(reference));
  return it == outputs_.end() ? 0 : it->second.totalFrames;
}

StreamFormat Sink::ReadBack(const std::string& reference, uint64_t first, uint64_t count, uint32_t channels,
                            std::vector<int32_t>& out) const {
  std::lock_guard lock(mutex_);
  out.assign(count * channels, 0);
  auto it = outputs_.find(Key(reference));
  if (it == outputs_.end()) return {};
  uint64_t start = 0;
  StreamFormat format;
  for (const PlayedSegment& s : it->second.segments) {
    format = s.format;
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t frame = first + i;
      if (frame < start || frame >= start + s.frames) continue;
      for (uint32_t c = 0; c < channels; ++c)
        out[i * channels + c] =
            static_cast<int32_t>(static_cast<uint32_t>(s.Sample(frame - start, c)) << (32 - s.format.containerBits));
    }
    start += s.frames;
  }
  return format;
}

Source& Source::Get() {
  static Source source;
  return source;
}

void Source::Configure(std::string_view capture_reference, SourceConfig config) {
  std::lock_guard lock(mutex_);
  configs_[Key(capture_reference)] = std::move(config);
}

SourceConfig Source::Config(std::string_view capture_reference) const {
  std::lock_guard lock(mutex_);
  auto it = configs_.find(Key(capture_reference));
  return it == configs_.end() ? SourceConfig{} : it->second;
}

void Source::Clear() {
  std::lock_guard lock(mutex_);
  configs_.clear();
}

PinStatistics& PinStatistics::Get() {
  static PinStatistics statistics;
  return statistics;
}

PinCounters PinStatistics::Counters(std::string_view reference, uint32_t pin) const {
  std::lock_guard lock(mutex_);
  auto it = counters_.find({Key(reference), pin});
  return it == counters_.end() ? PinCounters{} : it->second;
}

void PinStatistics::Clear() {
  std::lock_guard lock(mutex_);
  counters_.clear();
}

void PinStatistics::Restart(const std::string& reference, uint32_t pin) { Update(reference, pin, {}); }

void PinStatistics::Update(const std::string& reference, uint32_t pin, const PinCounters& counters) {
  std::lock_guard lock(mutex_);
  counters_[{Key(reference), pin}] = counters;
}

}  // namespace sim::card

namespace sim::card::ksdriver {

namespace {

DacMode CurrentDacMode(const StreamFormat& format) {
  Card* card = Card::Current();
  if (!card) return DacMode::Pcm;
  DacMode mode = DacMode::Pcm;
  try {
    // The coefficient sets of the DSD modes differ in register 0x43 of the
    // processing widget; all of them set register 0x15 to 0x1860.
    const uint16_t c15 = card->codec().Coefficient(0x20, 0x15);
    const uint16_t c43 = card->codec().Coefficient(0x20, 0x43);
    if (c15 == 0x1860) {
      if (c43 == 0x3C05) mode = DacMode::Dsd64;
      if (c43 == 0x7C05) mode = DacMode::Dsd128;
      if (c43 == 0xBC05) mode = DacMode::Dsd256;
    }
  } catch (const std::out_of_range&) {
    return DacMode::Pcm;
  }
  // A stream that does not have the DSD container layout plays as PCM.
  const uint32_t channels = mode == DacMode::Dsd256 ? 6 : 2;
  if (mode != DacMode::Pcm && (format.containerBits != 32 || format.channels != channels)) return DacMode::Pcm;
  return mode;
}

struct Engine {
  std::mutex mutex;
  std::vector<std::shared_ptr<PinInstance>> running;
  std::map<PinInstance*, Nanos> due;
  TimerId timer = 0;
  uint64_t generation = 0;
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

uint64_t FramesAt(const PinInstance& pin, Nanos now) {
  const __int128 elapsed = now - pin.runStartNs;
  return pin.runStartFrames + static_cast<uint64_t>(elapsed * pin.format.sampleRate / kSecond);
}

uint64_t NextBoundary(const PinInstance& pin) {
  const uint64_t cyc = pin.done % pin.frames;
  const uint64_t half = pin.frames / 2;
  return pin.done - cyc + (cyc < half ? half : pin.frames);
}

Nanos TimeOfFrame(const PinInstance& pin, uint64_t frame) {
  const __int128 frames = frame - pin.runStartFrames;
  return pin.runStartNs + static_cast<Nanos>((frames * kSecond + pin.format.sampleRate - 1) / pin.format.sampleRate);
}

bool NotificationFaulted(uint64_t index, uint32_t every, uint32_t from) {
  return every != 0 && index >= from && (index - from + 1) % every == 0;
}

void Notify(PinInstance& pin) {
  const Card* card = Card::Current();
  const NotificationFault fault = card ? card->profile().faults.notifications : NotificationFault{};
  const uint64_t index = pin.notifications++;
  if (NotificationFaulted(index, fault.dropEvery, fault.fromPeriod)) {
    ++pin.counters.notificationsDropped;
    return;
  }
  if (NotificationFaulted(index, fault.delayEvery, fault.fromPeriod)) {
    ++pin.counters.notificationsDelayed;
    ++pin.counters.notificationsSignalled;
    for (auto& e : pin.events)
      Scheduler::Get().ScheduleAt(Scheduler::Get().Now() + Nanos(fault.delayMicroseconds) * 1000,
                                  [e] { e->event.Set(); });
    return;
  }
  ++pin.counters.notificationsSignalled;
  for (auto& e : pin.events) e->event.Set();
}

void FillFromSource(PinInstance& pin, uint8_t* to, uint64_t first, uint64_t count) {
  const SourceConfig config = Source::Get().Config(pin.reference);
  const uint32_t channels = pin.format.channels;
  const uint32_t bits = pin.format.containerBits;
  const uint32_t bytes = bits / 8;
  std::vector<int32_t> loop;
  if (config.kind == SourceKind::Loopback) {
    Sink::Get().ReadBack(config.output, pin.loopbackBase + first, count, channels, loop);
  }
  const double full = std::ldexp(1.0, static_cast<int>(bits) - 1) - 1;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t n = first + i;
    for (uint32_t c = 0; c < channels; ++c) {
      int64_t v = 0;
      switch (config.kind) {
        case SourceKind::Silence:
          break;
        case SourceKind::Ramp:
          v = static_cast<int64_t>(n * channels + c);
          break;
        case SourceKind::Sine:
          v = std::llround(config.amplitude * full *
                           std::sin(2 * M_PI * config.frequency * static_cast<double>(n) / pin.format.sampleRate));
          break;
        case SourceKind::Samples:
          if (n * channels + c < config.samples.size()) v = config.samples[n * channels + c];
          break;
        case SourceKind::Loopback:
          v = loop[i * channels + c] >> (32 - bits);
          break;
      }
      WriteContainer(to + i * pin.format.BlockAlign() + c * bytes, bits, v);
    }
  }
}

// Moves the position up to `target` frames (pin mutex held).
void Advance(PinInstance& pin, uint64_t target) {
  const uint32_t block = pin.format.BlockAlign();
  const uint64_t half = pin.frames / 2;
  while (pin.done < target) {
    const uint64_t cyc = pin.done % pin.frames;
    const uint64_t end = std::min(target, NextBoundary(pin));
    const uint64_t count = end - pin.done;
    uint8_t* frames = pin.buffer + cyc * block;
    if (pin.render)
      Sink::Get().Record(pin.reference, pin.serial, pin.format, CurrentDacMode(pin.format), frames, count);
    else
      FillFromSource(pin, frames, pin.done, count);
    pin.done = end;
    pin.counters.frames += count;
    const uint64_t now_cyc = pin.done % pin.frames;
    pin.positionRegister = static_cast<ULONG>(now_cyc * block);
    if (now_cyc == 0) ++pin.counters.passes;
    if ((now_cyc == half && pin.notificationCount == 2) || (now_cyc == 0 && pin.notificationCount != 0)) Notify(pin);
  }
  UpdateClockRegister(pin);
  PinStatistics::Get().Update(pin.reference, pin.pinId, pin.counters);
}

void RescheduleLocked(Engine& engine);

void Fire(uint64_t generation) {
  Engine& engine = TheEngine();
  std::vector<std::shared_ptr<PinInstance>> pins;
  {
    std::lock_guard lock(engine.mutex);
    if (generation != engine.generation) return;
    engine.timer = 0;
    pins = engine.running;
  }
  std::stable_partition(pins.begin(), pins.end(), [](const auto& p) { return p->render; });
  const Nanos now = Scheduler::Get().Now();
  for (auto& pin : pins) {
    std::lock_guard lock(pin->mutex);
    if (pin->state != KSSTATE_RUN) continue;
    Advance(*pin, FramesAt(*pin, now));
    const Nanos next = TimeOfFrame(*pin, NextBoundary(*pin));
    std::lock_guard engine_lock(engine.mutex);
    engine.due[pin.get()] = next;
  }
  std::lock_guard lock(engine.mutex);
  if (generation == engine.generation) RescheduleLocked(engine);
}

void RescheduleLocked(Engine& engine) {
  if (engine.timer) Scheduler::Get().Cancel(engine.timer);
  engine.timer = 0;
  const uint64_t generation = ++engine.generation;
  if (engine.due.empty()) return;
  Nanos when = std::min_element(engine.due.begin(), engine.due.end(), [](const auto& a, const auto& b) {
                 return a.second < b.second;
               })->second;
  const Nanos now = Scheduler::Get().Now();
  if (Scheduler::Get().mode() == ClockMode::Real) when = std::min(when, now + kMillisecond);
  engine.timer = Scheduler::Get().ScheduleAt(std::max(when, now), [generation] { Fire(generation); });
}

}  // namespace

void UpdateClockRegister(PinInstance& pin) {
  const WaveRtProfile& w = pin.wave->waveRt;
  if (w.clockDenominator == 0) return;
  const unsigned __int128 ticks =
      static_cast<unsigned __int128>(Scheduler::Get().Now()) * w.clockNumerator / (w.clockDenominator * kSecond);
  pin.clockRegister = static_cast<ULONG>(ticks);
}

void EngineStart(const std::shared_ptr<PinInstance>& pin) {
  pin->runStartNs = Scheduler::Get().Now();
  pin->runStartFrames = pin->done;
  if (!pin->render && !pin->loopbackBaseSet) {
    // A loopback capture hears the output from the moment the capture starts.
    const SourceConfig config = Source::Get().Config(pin->reference);
    if (config.kind == SourceKind::Loopback) pin->loopbackBase = Sink::Get().TotalFrames(config.output);
    pin->loopbackBaseSet = true;
  }
  Engine& engine = TheEngine();
  std::lock_guard lock(engine.mutex);
  engine.running.push_back(pin);
  engine.due[pin.get()] = TimeOfFrame(*pin, NextBoundary(*pin));
  RescheduleLocked(engine);
}

void EngineStop(PinInstance& pin) {
  Advance(pin, FramesAt(pin, Scheduler::Get().Now()));
  Engine& engine = TheEngine();
  std::lock_guard lock(engine.mutex);
  std::erase_if(engine.running, [&pin](const auto& p) { return p.get() == &pin; });
  engine.due.erase(&pin);
  RescheduleLocked(engine);
}

void EngineForget(PinInstance& pin) {
  Engine& engine = TheEngine();
  std::lock_guard lock(engine.mutex);
  std::erase_if(engine.running, [&pin](const auto& p) { return p.get() == &pin; });
  if (engine.due.erase(&pin)) RescheduleLocked(engine);
}

}  // namespace sim::card::ksdriver
