// What the host writes into its output buffers at each buffer switch.
//
// A source is asked on the driver's stream thread, once per output channel
// and switch, for the samples of one half buffer; it must not allocate or
// block there.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "asio/asio_types.h"

namespace ora::host {

// Bytes one half buffer of `frames` frames takes in `type`; 0 for a type the
// host cannot write. For DSD a frame is one DSD sample (one bit), so the
// frame count must be a multiple of 8.
std::size_t HalfBufferBytes(ASIOSampleType type, LONG frames);
// Whether the host can fill and keep buffers of this type.
bool IsHostSampleType(ASIOSampleType type);
const char* SampleTypeName(ASIOSampleType type);

struct RenderRequest {
  LONG channel;             // ASIO output channel number
  ASIOSampleType type;      // the channel's sample type
  std::int64_t firstFrame;  // absolute frame of the first sample (DSD: first bit)
  LONG frames;
  void* dest;  // HalfBufferBytes(type, frames) bytes
};

class SignalSource {
 public:
  virtual ~SignalSource() = default;
  virtual void Render(const RenderRequest& request) noexcept = 0;
};

// The DSD idle pattern in ASIOSTDSDInt8LSB1 bit order (0x69 read from bit 0 up).
inline constexpr std::uint8_t kDsdIdleByte = 0x96;

// A ramp whose every sample names its channel and frame:
//   ASIOSTInt32LSB: (c + 1) << 24 | (f & 0xFFFFFF)
//   ASIOSTInt16LSB: (c + 1) << 12 | (f & 0xFFF)      (distinct for c < 15)
//   ASIOSTDSDInt8LSB1, per byte b = f / 8: (c + 1) << 5 | (b & 0x1F)  (distinct for c < 7)
// c is the ASIO channel number, f the absolute frame.
class RampSource final : public SignalSource {
 public:
  void Render(const RenderRequest& request) noexcept override;
  static std::uint32_t Sample32(LONG channel, std::int64_t frame);
  static std::uint16_t Sample16(LONG channel, std::int64_t frame);
  static std::uint8_t DsdByte(LONG channel, std::int64_t byteIndex);
};

// Zero PCM samples; DSD channels get the idle pattern.
class SilenceSource final : public SignalSource {
 public:
  void Render(const RenderRequest& request) noexcept override;
};

// A full-scale fraction `amplitude` (0..1) sine of `frequency` Hz, the same on
// every channel; DSD channels get the idle pattern (no modulator here).
class SineSource final : public SignalSource {
 public:
  SineSource(double frequency, double sampleRate, double amplitude);
  void Render(const RenderRequest& request) noexcept override;

 private:
  double frequency_, sampleRate_, amplitude_;
};

// Interleaved frames of `channels` samples of one type, as in a WAV data
// chunk (for DSD: one byte per channel per 8 frames). Output channel c plays
// interleaved channel c % channels; past the end the source loops or, with
// loop false, writes silence.
class InterleavedSource final : public SignalSource {
 public:
  InterleavedSource(ASIOSampleType type, LONG channels, std::vector<std::uint8_t> data, bool loop);
  void Render(const RenderRequest& request) noexcept override;
  std::int64_t frames() const { return frames_; }

 private:
  ASIOSampleType type_;
  LONG channels_;
  std::vector<std::uint8_t> data_;
  bool loop_;
  std::size_t unitBytes_;    // bytes of one channel's element (2, 4, or 1 byte = 8 DSD frames)
  LONG framesPerUnit_;       // 1, or 8 for DSD
  std::int64_t frames_ = 0;  // whole frames in data
};

}  // namespace ora::host
