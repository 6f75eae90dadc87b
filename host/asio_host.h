// AsioHost: drives one ASIO driver through the usual calling sequence and
// records what it answered and what its callbacks brought.
//
//   Init -> QueryDriver (name, version, channels, channel infos, buffer
//   sizes, latencies, sample rate, clock sources) -> [CanSampleRate /
//   SetSampleRate] -> CreateBuffers -> Start -> streaming -> Stop ->
//   DisposeBuffers -> Close (Release)
//
// Every driver call lands in the call log with its arguments and result.
// Every answer is checked: an error result or an answer that cannot be true
// (negative counts, min > max, a null buffer) stops the step with a clear
// HostStatus and is never used.
//
// The ASIO callbacks are plain function pointers without a context, so the
// host that created buffers is the process's current host until it disposes
// them: one host streams at a time per process, as with any ASIO host.
// CreateBuffers on a second host while one streams is refused.
//
// Threads: the driver calls back on its stream thread (and on the host's
// thread during CreateBuffers and Start). The callbacks allocate nothing:
// records go into fixed rings and samples into stores sized at
// CreateBuffers. Counters may be read at any time; records and stores are
// read after Stop, or between runs in virtual time (the stream thread is
// then blocked).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "asio/iasio.h"
#include "host/call_log.h"
#include "host/signal_source.h"
#include "sim/core/scheduler.h"

namespace ora::host {

struct HostOptions {
  LONG engineVersion = 2;             // answer to kAsioEngineVersion
  bool supportsTimeInfo = true;       // answer to kAsioSupportsTimeInfo
  bool supportsTimeCode = false;      // answer to kAsioSupportsTimeCode
  bool offerTimeInfoCallback = true;  // bufferSwitchTimeInfo is set in the callbacks
  std::size_t switchRecords = 4096;   // ring of switch records (oldest overwritten)
  std::size_t messageRecords = 256;   // ring of asioMessage records
  LONG storeFrames = 65536;           // frames kept per input and per output channel
};

struct HostStatus {
  bool ok = true;
  ASIOError code = ASE_OK;  // the driver's result when a call failed, else ASE_OK
  std::string message;      // "CreateBuffers: ASE_InvalidMode", "GetChannels answered -1 inputs", ...
  explicit operator bool() const { return ok; }
  static HostStatus Ok() { return {}; }
  static HostStatus Fail(std::string message, ASIOError code = ASE_OK) { return {false, code, std::move(message)}; }
};

struct ChannelDesc {
  LONG channel = 0;
  bool isInput = false;
  bool isActive = false;
  LONG group = 0;
  ASIOSampleType type = 0;
  std::string name;
};

struct BufferSizes {
  LONG min = 0, max = 0, preferred = 0, granularity = 0;
};

struct ClockSourceDesc {
  LONG index = 0, associatedChannel = 0, associatedGroup = 0;
  bool current = false;
  std::string name;
};

struct DriverInfo {
  std::string name;
  LONG version = 0;
  LONG numInputs = 0, numOutputs = 0;
  std::vector<ChannelDesc> inputs, outputs;
  BufferSizes bufferSizes;
  LONG inputLatency = 0, outputLatency = 0;
  double sampleRate = 0;
  std::vector<ClockSourceDesc> clocks;
};

struct StreamRequest {
  std::vector<LONG> inputs;   // ASIO input channel numbers
  std::vector<LONG> outputs;  // ASIO output channel numbers
  LONG bufferSize = 0;        // frames per half; 0 takes the driver's preferred size
};

enum class SwitchKind : std::uint8_t { Plain, TimeInfo };

// One buffer switch as the host saw it.
struct SwitchRecord {
  std::uint64_t sequence = 0;  // 0-based count of switches since CreateBuffers
  SwitchKind kind = SwitchKind::Plain;
  LONG index = 0;
  ASIOBool directProcess = 0;
  bool hasPosition = false;         // from the ASIOTime, or GetSamplePosition answered ASE_OK
  std::int64_t samplePosition = 0;  // frames (DSD: DSD samples)
  std::int64_t systemTime = 0;      // driver's time stamp, ns
  ULONG timeFlags = 0;              // timeInfo.flags (TimeInfo switches only)
  std::int64_t hostTime = 0;        // host's clock at the call, ns
  std::int64_t sincePrevious = -1;  // host time since the previous switch, ns; -1 for the first
  std::int64_t positionStep = 0;    // samplePosition minus the previous one; 0 for the first
  bool gap = false;                 // the position jumped by more than one buffer
  bool irregular = false;           // the position moved by less than one buffer (or back)
  bool badIndex = false;            // index was neither 0 nor 1: nothing was read or written
};

struct MessageRecord {
  std::uint64_t sequence = 0;
  LONG selector = 0;
  LONG value = 0;
  LONG answer = 0;
};

struct StreamReport {
  std::uint64_t switches = 0;
  std::uint64_t plainSwitches = 0, timeInfoSwitches = 0;
  std::uint64_t gaps = 0, irregularSteps = 0, badIndices = 0;
  std::uint64_t repeatedIndices = 0;  // the same half twice in a row
  std::int64_t firstPosition = 0, lastPosition = 0;
  std::uint64_t droppedSwitchRecords = 0;  // overwritten in the ring
  std::uint64_t captureOverflowFrames = 0, renderOverflowFrames = 0;
};

enum class HostPhase { Loaded, Initialized, Prepared, Running, Closed };

// Samples of one channel in the order they went by, as raw bytes of the
// channel's sample type.
struct ChannelStore {
  LONG channel = 0;
  ASIOSampleType type = 0;
  std::span<const std::uint8_t> bytes;
};

// Little-endian reads of a store.
std::vector<std::uint32_t> Samples32(std::span<const std::uint8_t> bytes);
std::vector<std::uint16_t> Samples16(std::span<const std::uint8_t> bytes);

class AsioHost {
 public:
  // Takes its own reference on `driver`; Close releases it.
  explicit AsioHost(IAsio* driver, HostOptions options = {});
  ~AsioHost();
  AsioHost(const AsioHost&) = delete;
  AsioHost& operator=(const AsioHost&) = delete;

  // The host that holds the callbacks now, or null.
  static AsioHost* Current();

  HostStatus Init(void* hwnd);
  HostStatus QueryDriver();
  HostStatus CanSampleRate(double rate);
  HostStatus SetSampleRate(double rate);
  HostStatus GetSampleRate(double* rate);
  HostStatus GetLatencies(LONG* input, LONG* output);
  // Future with a selector the driver should support (ASE_SUCCESS or ASE_OK).
  HostStatus Future(LONG selector, void* parameter);
  HostStatus SetIoFormat(ASIOIoFormatType format);
  HostStatus GetIoFormat(ASIOIoFormatType* format);
  HostStatus CanDoIoFormat(ASIOIoFormatType format);
  HostStatus CreateBuffers(const StreamRequest& request);
  HostStatus Start();
  HostStatus Stop();
  HostStatus DisposeBuffers();
  // Stops and disposes what is still open, then releases the driver.
  void Close();

  // What output buffers are filled with; set before Start. The default is
  // the ramp.
  void SetSignal(std::shared_ptr<SignalSource> source);

  // Lets the machine's clock run until `count` more switches arrived or
  // `limit` passed; false when the limit came first.
  bool RunSwitches(std::uint64_t count, sim::Nanos limit);
  void RunFor(sim::Nanos duration);

  HostPhase phase() const { return phase_; }
  IAsio* driver() const { return driver_; }
  const CallLog& log() const { return log_; }
  const DriverInfo& info() const { return info_; }
  LONG bufferSize() const { return bufferSize_; }

  StreamReport Report() const;
  std::uint64_t switchCount() const { return switches_.load(std::memory_order_acquire); }
  std::vector<SwitchRecord> Switches() const;  // oldest kept first
  std::vector<MessageRecord> Messages() const;
  std::vector<double> SampleRateChanges() const;
  std::uint32_t resetRequests() const { return resets_.load(std::memory_order_relaxed); }
  std::uint32_t resyncRequests() const { return resyncs_.load(std::memory_order_relaxed); }
  std::uint32_t latencyChanges() const { return latencyChanges_.load(std::memory_order_relaxed); }
  std::uint32_t bufferSizeChanges() const { return bufferSizeChanges_.load(std::memory_order_relaxed); }
  LONG requestedBufferSize() const { return requestedBufferSize_.load(std::memory_order_relaxed); }

  // Stores of the channels named in the last CreateBuffers; empty bytes for
  // a channel that was not.
  ChannelStore Captured(LONG inputChannel) const;
  ChannelStore Rendered(LONG outputChannel) const;

 private:
  template <class T>
  class Ring {
   public:
    void Reserve(std::size_t capacity);
    void Push(const T& record);  // no allocation
    std::vector<T> Snapshot() const;
    std::uint64_t count() const { return count_.load(std::memory_order_acquire); }
    std::size_t capacity() const { return slots_.size(); }

   private:
    std::vector<T> slots_;
    std::atomic<std::uint64_t> count_{0};
  };

  struct HostChannel {
    bool isInput = false;
    LONG channel = 0;
    ASIOSampleType type = 0;
    std::size_t halfBytes = 0;
    void* halves[2] = {};
    std::vector<std::uint8_t> store;  // sized at CreateBuffers, never grown
    std::size_t filled = 0;
  };

  static void OnBufferSwitch(LONG index, ASIOBool directProcess);
  static ASIOTime* OnBufferSwitchTimeInfo(ASIOTime* params, LONG index, ASIOBool directProcess);
  static void OnSampleRateDidChange(ASIOSampleRate rate);
  static LONG OnAsioMessage(LONG selector, LONG value, void* message, double* opt);

  void HandleSwitch(SwitchKind kind, LONG index, ASIOBool directProcess, const ASIOTime* time);
  LONG HandleMessage(LONG selector, LONG value);
  HostStatus QueryChannel(bool isInput, LONG channel, ChannelDesc* out);
  HostStatus Reject(const std::string& method, const std::string& args, const std::string& result,
                    const std::string& why, ASIOError code = ASE_OK);
  const HostChannel* FindChannel(bool isInput, LONG channel) const;
  void ReleaseCallbacks();

  IAsio* driver_;
  HostOptions options_;
  HostPhase phase_ = HostPhase::Loaded;
  CallLog log_;
  DriverInfo info_;
  bool queried_ = false;

  std::shared_ptr<SignalSource> signal_;
  ASIOCallbacks callbacks_{};
  std::vector<ASIOBufferInfo> bufferInfos_;  // the driver keeps pointers into it until DisposeBuffers
  std::vector<HostChannel> channels_;
  LONG bufferSize_ = 0;
  sim::Nanos switchStep_ = 0;  // half of the shortest plausible period

  // Stream-thread state.
  std::int64_t renderedFrames_ = 0;
  std::int64_t lastPosition_ = 0;
  bool havePosition_ = false;
  std::int64_t lastHostTime_ = 0;
  LONG lastIndex_ = -1;
  std::atomic<std::uint64_t> switches_{0};
  std::atomic<std::uint64_t> plainSwitches_{0}, timeInfoSwitches_{0};
  std::atomic<std::uint64_t> gaps_{0}, irregular_{0}, badIndices_{0}, repeatedIndices_{0};
  std::atomic<std::int64_t> firstPosition_{0}, lastReportedPosition_{0};
  std::atomic<std::uint64_t> captureOverflow_{0}, renderOverflow_{0};
  Ring<SwitchRecord> switchRing_;
  Ring<MessageRecord> messageRing_;
  Ring<double> rateChanges_;
  std::atomic<std::uint32_t> resets_{0}, resyncs_{0}, latencyChanges_{0}, bufferSizeChanges_{0};
  std::atomic<LONG> requestedBufferSize_{0};
};

}  // namespace ora::host
