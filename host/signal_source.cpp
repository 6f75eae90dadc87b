#include "host/signal_source.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace ora::host {

std::size_t HalfBufferBytes(ASIOSampleType type, LONG frames) {
  if (frames <= 0) return 0;
  const auto n = static_cast<std::size_t>(frames);
  switch (type) {
    case ASIOSTInt16LSB:
      return n * 2;
    case ASIOSTInt32LSB:
      return n * 4;
    case ASIOSTDSDInt8LSB1:
      return n % 8 == 0 ? n / 8 : 0;
    default:
      return 0;
  }
}

bool IsHostSampleType(ASIOSampleType type) {
  return type == ASIOSTInt16LSB || type == ASIOSTInt32LSB || type == ASIOSTDSDInt8LSB1;
}

const char* SampleTypeName(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16LSB:
      return "Int16LSB";
    case ASIOSTInt24LSB:
      return "Int24LSB";
    case ASIOSTInt32LSB:
      return "Int32LSB";
    case ASIOSTFloat32LSB:
      return "Float32LSB";
    case ASIOSTFloat64LSB:
      return "Float64LSB";
    case ASIOSTDSDInt8LSB1:
      return "DSDInt8LSB1";
    case ASIOSTDSDInt8MSB1:
      return "DSDInt8MSB1";
    case ASIOSTDSDInt8NER8:
      return "DSDInt8NER8";
    default:
      return "unknown";
  }
}

namespace {

// Host samples are little-endian in memory whatever the host's byte order.
void Put16(void* dest, std::size_t i, std::uint16_t v) {
  auto* p = static_cast<std::uint8_t*>(dest) + i * 2;
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(void* dest, std::size_t i, std::uint32_t v) {
  auto* p = static_cast<std::uint8_t*>(dest) + i * 4;
  for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void Silence(const RenderRequest& r) {
  const std::size_t bytes = HalfBufferBytes(r.type, r.frames);
  std::memset(r.dest, r.type == ASIOSTDSDInt8LSB1 ? kDsdIdleByte : 0, bytes);
}

}  // namespace

std::uint32_t RampSource::Sample32(LONG channel, std::int64_t frame) {
  return static_cast<std::uint32_t>(channel + 1) << 24 | (static_cast<std::uint32_t>(frame) & 0xFFFFFFu);
}

std::uint16_t RampSource::Sample16(LONG channel, std::int64_t frame) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(channel + 1) << 12 |
                                    (static_cast<std::uint32_t>(frame) & 0xFFFu));
}

std::uint8_t RampSource::DsdByte(LONG channel, std::int64_t byteIndex) {
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(channel + 1) << 5 |
                                   (static_cast<std::uint32_t>(byteIndex) & 0x1Fu));
}

void RampSource::Render(const RenderRequest& r) noexcept {
  switch (r.type) {
    case ASIOSTInt32LSB:
      for (LONG j = 0; j < r.frames; ++j) Put32(r.dest, j, Sample32(r.channel, r.firstFrame + j));
      break;
    case ASIOSTInt16LSB:
      for (LONG j = 0; j < r.frames; ++j) Put16(r.dest, j, Sample16(r.channel, r.firstFrame + j));
      break;
    case ASIOSTDSDInt8LSB1: {
      auto* p = static_cast<std::uint8_t*>(r.dest);
      const std::size_t bytes = HalfBufferBytes(r.type, r.frames);
      for (std::size_t b = 0; b < bytes; ++b)
        p[b] = DsdByte(r.channel, r.firstFrame / 8 + static_cast<std::int64_t>(b));
      break;
    }
    default:
      break;
  }
}

void SilenceSource::Render(const RenderRequest& r) noexcept { Silence(r); }

SineSource::SineSource(double frequency, double sampleRate, double amplitude)
    : frequency_(frequency), sampleRate_(sampleRate), amplitude_(amplitude) {}

void SineSource::Render(const RenderRequest& r) noexcept {
  if (r.type == ASIOSTDSDInt8LSB1 || sampleRate_ <= 0) return Silence(r);
  const double step = 2.0 * std::numbers::pi * frequency_ / sampleRate_;
  for (LONG j = 0; j < r.frames; ++j) {
    // The phase comes from the absolute frame, so a switch never restarts it.
    const double v = amplitude_ * std::sin(step * static_cast<double>(r.firstFrame + j));
    if (r.type == ASIOSTInt32LSB)
      Put32(r.dest, j, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * 2147483647.0))));
    else if (r.type == ASIOSTInt16LSB)
      Put16(r.dest, j, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767.0))));
  }
}

InterleavedSource::InterleavedSource(ASIOSampleType type, LONG channels, std::vector<std::uint8_t> data, bool loop)
    : type_(type), channels_(channels > 0 ? channels : 0), data_(std::move(data)), loop_(loop) {
  unitBytes_ = type == ASIOSTInt16LSB ? 2 : type == ASIOSTInt32LSB ? 4 : type == ASIOSTDSDInt8LSB1 ? 1 : 0;
  framesPerUnit_ = type == ASIOSTDSDInt8LSB1 ? 8 : 1;
  if (unitBytes_ && channels_)
    frames_ = static_cast<std::int64_t>(data_.size() / (unitBytes_ * channels_)) * framesPerUnit_;
}

void InterleavedSource::Render(const RenderRequest& r) noexcept {
  const bool dsd = r.type == ASIOSTDSDInt8LSB1;
  // DSD only plays DSD data; PCM widths convert by keeping the top bits.
  if (frames_ == 0 || dsd != (type_ == ASIOSTDSDInt8LSB1) || !IsHostSampleType(r.type)) return Silence(r);
  const LONG source = r.channel % channels_;
  const std::int64_t units = frames_ / framesPerUnit_;
  const std::size_t count = HalfBufferBytes(r.type, r.frames) / (dsd ? 1 : (r.type == ASIOSTInt16LSB ? 2 : 4));
  const std::int64_t firstUnit = r.firstFrame / framesPerUnit_;
  for (std::size_t j = 0; j < count; ++j) {
    std::int64_t u = firstUnit + static_cast<std::int64_t>(j);
    if (u >= units) {
      if (!loop_) {
        RenderRequest rest = r;
        rest.frames = static_cast<LONG>((count - j) * framesPerUnit_);
        rest.dest = static_cast<std::uint8_t*>(r.dest) + HalfBufferBytes(r.type, static_cast<LONG>(j * framesPerUnit_));
        return Silence(rest);
      }
      u %= units;
    }
    const std::uint8_t* p = data_.data() + (static_cast<std::size_t>(u) * channels_ + source) * unitBytes_;
    if (dsd) {
      static_cast<std::uint8_t*>(r.dest)[j] = *p;
    } else if (r.type == ASIOSTInt32LSB) {
      Put32(r.dest, j, type_ == ASIOSTInt32LSB ? Get32(p) : std::uint32_t{Get16(p)} << 16);
    } else {
      Put16(r.dest, j, type_ == ASIOSTInt16LSB ? Get16(p) : static_cast<std::uint16_t>(Get32(p) >> 16));
    }
  }
}

}  // namespace ora::host
