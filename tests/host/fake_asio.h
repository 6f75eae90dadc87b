// A small ASIO driver for testing the host library: it keeps the usual
// states, asks the host the usual questions at CreateBuffers, and runs a
// stream thread (CreateThread) woken by a timer of the machine once per
// period of virtual time. Inputs carry a known pattern; what the host left
// in each output half is kept as "played".
#pragma once

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "asio/iasio.h"
#include "platform/win32.h"
#include "sim/core/scheduler.h"

namespace fake {

struct Config {
  LONG inputs = 2, outputs = 4;
  ASIOSampleType type = ASIOSTInt32LSB;
  LONG minSize = 64, maxSize = 4096, preferredSize = 256, granularity = -1;
  double rate = 48000;
  std::vector<double> rates = {44100, 48000, 96000};
  // Answers the I/O-format selectors; in DSD format channels are ASIOSTDSDInt8LSB1.
  bool dsd = false;
  // Faults.
  bool failInit = false;
  std::string errorText = "No card found";
  ASIOError createBuffersResult = ASE_OK;
  ASIOError startResult = ASE_OK;
  LONG answeredInputs = -2;  // -2: the real count; anything else is answered instead
  bool minAboveMax = false;
  double answeredRate = 0;  // nonzero: GetSampleRate answers this
  bool nullBuffers = false;
  std::set<std::uint64_t> missedTicks;  // periods whose notification never comes
};

// Input channel c at frame f.
inline std::uint32_t InputSample32(LONG c, std::int64_t f) {
  return 0x40000000u | static_cast<std::uint32_t>(c) << 20 | (static_cast<std::uint32_t>(f) & 0xFFFFFu);
}
inline std::uint16_t InputSample16(LONG c, std::int64_t f) {
  return static_cast<std::uint16_t>(0x8000u | static_cast<std::uint32_t>(c) << 11 |
                                    (static_cast<std::uint32_t>(f) & 0x7FFu));
}

class Driver final : public IAsio {
 public:
  explicit Driver(Config config) : config_(std::move(config)), rate_(config_.rate) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override;

  ASIOBool STDMETHODCALLTYPE Init(void* pWndMain) override;
  void STDMETHODCALLTYPE GetDriverName(char* szDriverName) override;
  LONG STDMETHODCALLTYPE GetDriverVersion() override { return 7; }
  void STDMETHODCALLTYPE GetErrorMessage(char* szErrorMessage) override;
  ASIOError STDMETHODCALLTYPE Start() override;
  ASIOError STDMETHODCALLTYPE Stop() override;
  ASIOError STDMETHODCALLTYPE GetChannels(LONG* pNumInputChannels, LONG* pNumOutputChannels) override;
  ASIOError STDMETHODCALLTYPE GetLatencies(LONG* pInputLatency, LONG* pOutputLatency) override;
  ASIOError STDMETHODCALLTYPE GetBufferSize(LONG* pMinSize, LONG* pMaxSize, LONG* pPreferredSize,
                                            LONG* pGranularity) override;
  ASIOError STDMETHODCALLTYPE CanSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError STDMETHODCALLTYPE GetSampleRate(ASIOSampleRate* pCurrSampleRate) override;
  ASIOError STDMETHODCALLTYPE SetSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError STDMETHODCALLTYPE GetClockSources(ASIOClockSource* pClocks, LONG* pNumSources) override;
  ASIOError STDMETHODCALLTYPE SetClockSource(LONG reference) override;
  ASIOError STDMETHODCALLTYPE GetSamplePosition(ASIOSamples* pSamplePosition, ASIOTimeStamp* pTimeStamp) override;
  ASIOError STDMETHODCALLTYPE GetChannelInfo(ASIOChannelInfo* pChannelInfo) override;
  ASIOError STDMETHODCALLTYPE CreateBuffers(ASIOBufferInfo* pBufferInfos, LONG numChannels, LONG bufferSize,
                                            ASIOCallbacks* pCallbacks) override;
  ASIOError STDMETHODCALLTYPE DisposeBuffers() override;
  ASIOError STDMETHODCALLTYPE ControlPanel() override { return ASE_NotPresent; }
  ASIOError STDMETHODCALLTYPE Future(LONG selector, void* pParameter) override;
  ASIOError STDMETHODCALLTYPE OutputReady() override { return ASE_NotPresent; }

  // Test side.
  ULONG refs() const { return refs_.load(); }
  LONG SendMessage(LONG selector, LONG value) { return callbacks_.asioMessage(selector, value, nullptr, nullptr); }
  const std::vector<std::uint8_t>& Played(LONG output) const { return played_.at(static_cast<std::size_t>(output)); }
  bool usesTimeInfo() const { return useTimeInfo_; }
  std::uint64_t otherHalfWrites() const { return otherHalfWrites_; }
  std::uint64_t switches() const { return switches_; }

 private:
  enum State { kLoaded, kInitialized, kPrepared, kRunning };
  struct Channel {
    bool isInput;
    LONG number;
    std::vector<std::uint8_t> memory;  // both halves
  };

  static DWORD WINAPI ThreadProc(LPVOID self);
  void Tick();
  void Switch();
  ASIOSampleType Type() const { return config_.dsd && ioFormat_ == kASIODSDFormat ? ASIOSTDSDInt8LSB1 : config_.type; }
  std::size_t HalfBytes() const;
  sim::Nanos TickTime(std::uint64_t tick) const;

  Config config_;
  std::atomic<ULONG> refs_{1};
  State state_ = kLoaded;
  double rate_;
  ASIOIoFormatType ioFormat_ = kASIOPCMFormat;
  ASIOCallbacks callbacks_{};
  bool useTimeInfo_ = false;
  LONG bufferSize_ = 0;
  std::vector<Channel> channels_;
  std::vector<std::vector<std::uint8_t>> played_;
  std::vector<std::uint8_t> scratch_;
  HANDLE notify_ = nullptr, stop_ = nullptr, thread_ = nullptr;
  sim::Nanos startTime_ = 0;
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> ticks_{0};
  std::atomic<sim::TimerId> timer_{0};
  std::atomic<std::int64_t> position_{0}, stamp_{0};
  std::uint64_t switches_ = 0, otherHalfWrites_ = 0;
  ASIOTime time_{};
};

}  // namespace fake
