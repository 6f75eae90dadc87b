#include "host/asio_host.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/win32.h"

namespace ora::host {

namespace {

std::atomic<AsioHost*> g_current{nullptr};

// Channel counts beyond this are taken as garbage rather than allocated for.
constexpr LONG kMaxChannels = 1024;
constexpr LONG kMaxClockSources = 32;

std::string Format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

std::string Pointer(const void* p) { return Format("%p", p); }

std::string Rate(double rate) { return Format("%.6g", rate); }

std::int64_t Join(ULONG hi, ULONG lo) { return static_cast<std::int64_t>(static_cast<std::uint64_t>(hi) << 32 | lo); }

std::int64_t HostNanos() {
  LARGE_INTEGER counter{}, frequency{};
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  if (frequency.QuadPart <= 0) return 0;
  return static_cast<std::int64_t>(static_cast<long double>(counter.QuadPart) * 1e9L / frequency.QuadPart);
}

// A driver's text field: bounded by its buffer, even when the driver forgot
// the terminating zero.
std::string BoundedText(const char* text, std::size_t size, bool* terminated = nullptr) {
  const std::size_t n = strnlen(text, size);
  if (terminated) *terminated = n < size;
  return std::string(text, n);
}

}  // namespace

std::vector<std::uint32_t> Samples32(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint32_t> out(bytes.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto* p = bytes.data() + i * 4;
    out[i] = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  }
  return out;
}

std::vector<std::uint16_t> Samples16(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint16_t> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint16_t>(bytes[i * 2] | bytes[i * 2 + 1] << 8);
  return out;
}

template <class T>
void AsioHost::Ring<T>::Reserve(std::size_t capacity) {
  slots_.assign(std::max<std::size_t>(capacity, 1), T{});
  count_.store(0, std::memory_order_release);
}

template <class T>
void AsioHost::Ring<T>::Push(const T& record) {
  if (slots_.empty()) return;
  const std::uint64_t n = count_.load(std::memory_order_relaxed);
  slots_[n % slots_.size()] = record;
  count_.store(n + 1, std::memory_order_release);
}

template <class T>
std::vector<T> AsioHost::Ring<T>::Snapshot() const {
  const std::uint64_t n = count();
  const std::uint64_t kept = std::min<std::uint64_t>(n, slots_.size());
  std::vector<T> out;
  out.reserve(kept);
  for (std::uint64_t i = n - kept; i < n; ++i) out.push_back(slots_[i % slots_.size()]);
  return out;
}

AsioHost::AsioHost(IAsio* driver, HostOptions options)
    : driver_(driver), options_(options), signal_(std::make_shared<RampSource>()) {
  if (driver_) driver_->AddRef();
  messageRing_.Reserve(options_.messageRecords);
  switchRing_.Reserve(options_.switchRecords);
  rateChanges_.Reserve(64);
}

AsioHost::~AsioHost() { Close(); }

AsioHost* AsioHost::Current() { return g_current.load(std::memory_order_acquire); }

HostStatus AsioHost::Reject(const std::string& method, const std::string& args, const std::string& result,
                            const std::string& why, ASIOError code) {
  log_.Add(method, args, result, false);
  return HostStatus::Fail(method + ": " + why, code);
}

HostStatus AsioHost::Init(void* hwnd) {
  if (!driver_) return HostStatus::Fail("no driver");
  if (phase_ != HostPhase::Loaded) return HostStatus::Fail("Init: the driver is already initialized");
  const std::string args = "pWndMain=" + Pointer(hwnd);
  const ASIOBool result = driver_->Init(hwnd);
  if (result == ASIOFalse) {
    log_.Add("Init", args, "ASIOFalse", false);
    char text[124];
    std::memset(text, 0, sizeof text);
    driver_->GetErrorMessage(text);
    const std::string message = BoundedText(text, sizeof text);
    log_.Add("GetErrorMessage", "\"" + message + "\"", "", true);
    return HostStatus::Fail("Init failed: " + (message.empty() ? std::string("the driver gave no reason") : message));
  }
  log_.Add("Init", args, result == ASIOTrue ? "ASIOTrue" : std::to_string(result), true);
  phase_ = HostPhase::Initialized;
  return HostStatus::Ok();
}

HostStatus AsioHost::QueryChannel(bool isInput, LONG channel, ChannelDesc* out) {
  ASIOChannelInfo ci;
  std::memset(&ci, 0, sizeof ci);
  ci.channel = channel;
  ci.isInput = isInput ? ASIOTrue : ASIOFalse;
  const std::string args = Format("channel=%d, isInput=%d", channel, isInput ? 1 : 0);
  const ASIOError e = driver_->GetChannelInfo(&ci);
  bool terminated = true;
  const std::string name = BoundedText(ci.name, sizeof ci.name, &terminated);
  const std::string answer =
      args + Format(", isActive=%d, group=%d, type=%d, name=\"", ci.isActive, ci.channelGroup, ci.type) + name + "\"";
  if (e != ASE_OK) return Reject("GetChannelInfo", args, AsioErrorName(e), AsioErrorName(e), e);
  if (ci.channel != channel || (ci.isInput != 0) != isInput)
    return Reject("GetChannelInfo", answer, AsioErrorName(e), "the driver changed the channel it was asked about");
  if (!terminated) return Reject("GetChannelInfo", answer, AsioErrorName(e), "channel name is not terminated");
  log_.Add("GetChannelInfo", answer, AsioErrorName(e), true);
  *out = {channel, isInput, ci.isActive != 0, ci.channelGroup, ci.type, name};
  return HostStatus::Ok();
}

HostStatus AsioHost::QueryDriver() {
  if (phase_ == HostPhase::Loaded || phase_ == HostPhase::Closed)
    return HostStatus::Fail("QueryDriver: the driver is not initialized");
  DriverInfo info;

  char name[32];
  std::memset(name, 0, sizeof name);
  driver_->GetDriverName(name);
  bool terminated = true;
  info.name = BoundedText(name, sizeof name, &terminated);
  if (!terminated) return Reject("GetDriverName", "\"" + info.name + "\"", "", "driver name is not terminated");
  log_.Add("GetDriverName", "\"" + info.name + "\"", "", true);

  info.version = driver_->GetDriverVersion();
  log_.Add("GetDriverVersion", "", std::to_string(info.version), true);

  LONG in = -1, out = -1;
  ASIOError e = driver_->GetChannels(&in, &out);
  std::string args = Format("inputs=%d, outputs=%d", in, out);
  if (e != ASE_OK) return Reject("GetChannels", args, AsioErrorName(e), AsioErrorName(e), e);
  if (in < 0 || out < 0 || in > kMaxChannels || out > kMaxChannels)
    return Reject("GetChannels", args, AsioErrorName(e), "impossible channel counts (" + args + ")");
  log_.Add("GetChannels", args, AsioErrorName(e), true);
  info.numInputs = in;
  info.numOutputs = out;

  for (int dir = 0; dir < 2; ++dir) {
    const bool isInput = dir == 0;
    auto& list = isInput ? info.inputs : info.outputs;
    const LONG count = isInput ? in : out;
    list.resize(static_cast<std::size_t>(count));
    for (LONG c = 0; c < count; ++c)
      if (auto s = QueryChannel(isInput, c, &list[static_cast<std::size_t>(c)]); !s) return s;
  }

  BufferSizes& b = info.bufferSizes;
  b = {-1, -1, -1, -1};
  e = driver_->GetBufferSize(&b.min, &b.max, &b.preferred, &b.granularity);
  args = Format("min=%d, max=%d, preferred=%d, granularity=%d", b.min, b.max, b.preferred, b.granularity);
  if (e != ASE_OK) return Reject("GetBufferSize", args, AsioErrorName(e), AsioErrorName(e), e);
  // Granularity -1 means powers of two; 0 goes with min == max.
  if (b.min <= 0 || b.min > b.max || b.preferred < b.min || b.preferred > b.max || b.granularity < -1)
    return Reject("GetBufferSize", args, AsioErrorName(e), "inconsistent buffer sizes (" + args + ")");
  log_.Add("GetBufferSize", args, AsioErrorName(e), true);

  info.inputLatency = info.outputLatency = -1;
  e = driver_->GetLatencies(&info.inputLatency, &info.outputLatency);
  args = Format("input=%d, output=%d", info.inputLatency, info.outputLatency);
  if (e != ASE_OK) return Reject("GetLatencies", args, AsioErrorName(e), AsioErrorName(e), e);
  if (info.inputLatency < 0 || info.outputLatency < 0)
    return Reject("GetLatencies", args, AsioErrorName(e), "negative latency (" + args + ")");
  log_.Add("GetLatencies", args, AsioErrorName(e), true);

  info.sampleRate = -1;
  e = driver_->GetSampleRate(&info.sampleRate);
  args = "rate=" + Rate(info.sampleRate);
  if (e != ASE_OK) return Reject("GetSampleRate", args, AsioErrorName(e), AsioErrorName(e), e);
  if (!std::isfinite(info.sampleRate) || info.sampleRate <= 0)
    return Reject("GetSampleRate", args, AsioErrorName(e), "impossible sample rate " + Rate(info.sampleRate));
  log_.Add("GetSampleRate", args, AsioErrorName(e), true);

  ASIOClockSource clocks[kMaxClockSources];
  std::memset(clocks, 0, sizeof clocks);
  LONG numClocks = kMaxClockSources;
  e = driver_->GetClockSources(clocks, &numClocks);
  args = Format("capacity=%d, numSources=%d", kMaxClockSources, numClocks);
  if (e != ASE_OK) return Reject("GetClockSources", args, AsioErrorName(e), AsioErrorName(e), e);
  if (numClocks < 0 || numClocks > kMaxClockSources)
    return Reject("GetClockSources", args, AsioErrorName(e), Format("impossible clock-source count %d", numClocks));
  for (LONG i = 0; i < numClocks; ++i) {
    const auto& c = clocks[i];
    info.clocks.push_back(
        {c.index, c.associatedChannel, c.associatedGroup, c.isCurrentSource != 0, BoundedText(c.name, sizeof c.name)});
    args +=
        Format(", [%d] index=%d current=%d name=\"", i, c.index, c.isCurrentSource) + info.clocks.back().name + "\"";
  }
  log_.Add("GetClockSources", args, AsioErrorName(e), true);

  info_ = std::move(info);
  queried_ = true;
  return HostStatus::Ok();
}

HostStatus AsioHost::CanSampleRate(double rate) {
  const ASIOError e = driver_->CanSampleRate(rate);
  log_.Add("CanSampleRate", "rate=" + Rate(rate), AsioErrorName(e), e == ASE_OK);
  if (e != ASE_OK) return HostStatus::Fail("CanSampleRate " + Rate(rate) + ": " + AsioErrorName(e), e);
  return HostStatus::Ok();
}

HostStatus AsioHost::SetSampleRate(double rate) {
  const ASIOError e = driver_->SetSampleRate(rate);
  log_.Add("SetSampleRate", "rate=" + Rate(rate), AsioErrorName(e), e == ASE_OK);
  if (e != ASE_OK) return HostStatus::Fail("SetSampleRate " + Rate(rate) + ": " + AsioErrorName(e), e);
  double now = 0;
  if (auto s = GetSampleRate(&now); !s) return s;
  return HostStatus::Ok();
}

HostStatus AsioHost::GetSampleRate(double* rate) {
  double r = -1;
  const ASIOError e = driver_->GetSampleRate(&r);
  const std::string args = "rate=" + Rate(r);
  if (e != ASE_OK) return Reject("GetSampleRate", args, AsioErrorName(e), AsioErrorName(e), e);
  if (!std::isfinite(r) || r <= 0)
    return Reject("GetSampleRate", args, AsioErrorName(e), "impossible sample rate " + Rate(r));
  log_.Add("GetSampleRate", args, AsioErrorName(e), true);
  info_.sampleRate = r;
  if (rate) *rate = r;
  return HostStatus::Ok();
}

HostStatus AsioHost::GetLatencies(LONG* input, LONG* output) {
  LONG in = -1, out = -1;
  const ASIOError e = driver_->GetLatencies(&in, &out);
  const std::string args = Format("input=%d, output=%d", in, out);
  if (e != ASE_OK) return Reject("GetLatencies", args, AsioErrorName(e), AsioErrorName(e), e);
  if (in < 0 || out < 0) return Reject("GetLatencies", args, AsioErrorName(e), "negative latency (" + args + ")");
  log_.Add("GetLatencies", args, AsioErrorName(e), true);
  info_.inputLatency = in;
  info_.outputLatency = out;
  if (input) *input = in;
  if (output) *output = out;
  return HostStatus::Ok();
}

HostStatus AsioHost::Future(LONG selector, void* parameter) {
  const ASIOError e = driver_->Future(selector, parameter);
  const bool ok = e == ASE_SUCCESS || e == ASE_OK;
  log_.Add("Future", Format("selector=%#x, pParameter=", static_cast<unsigned>(selector)) + Pointer(parameter),
           AsioErrorName(e), ok);
  if (!ok) return HostStatus::Fail(Format("Future %#x: ", static_cast<unsigned>(selector)) + AsioErrorName(e), e);
  return HostStatus::Ok();
}

HostStatus AsioHost::SetIoFormat(ASIOIoFormatType format) {
  ASIOIoFormat f;
  std::memset(&f, 0, sizeof f);
  f.FormatType = format;
  return Future(kAsioSetIoFormat, &f);
}

HostStatus AsioHost::GetIoFormat(ASIOIoFormatType* format) {
  ASIOIoFormat f;
  std::memset(&f, 0, sizeof f);
  f.FormatType = kASIOFormatInvalid;
  if (auto s = Future(kAsioGetIoFormat, &f); !s) return s;
  log_.Add("host", Format("io format=%d", f.FormatType), "", true);
  if (format) *format = f.FormatType;
  return HostStatus::Ok();
}

HostStatus AsioHost::CanDoIoFormat(ASIOIoFormatType format) {
  ASIOIoFormat f;
  std::memset(&f, 0, sizeof f);
  f.FormatType = format;
  return Future(kAsioCanDoIoFormat, &f);
}

void AsioHost::SetSignal(std::shared_ptr<SignalSource> source) {
  signal_ = source ? std::move(source) : std::make_shared<SilenceSource>();
}

HostStatus AsioHost::CreateBuffers(const StreamRequest& request) {
  if (phase_ != HostPhase::Initialized)
    return HostStatus::Fail("CreateBuffers: the driver is not initialized or already has buffers");
  if (!queried_)
    if (auto s = QueryDriver(); !s) return s;
  const LONG size = request.bufferSize ? request.bufferSize : info_.bufferSizes.preferred;
  if (size <= 0) return HostStatus::Fail(Format("CreateBuffers: invalid buffer size %d", size));
  if (request.inputs.empty() && request.outputs.empty())
    return HostStatus::Fail("CreateBuffers: no channels requested");

  std::vector<HostChannel> channels;
  for (int dir = 0; dir < 2; ++dir) {
    const bool isInput = dir == 0;
    const auto& wanted = isInput ? request.inputs : request.outputs;
    const auto& known = isInput ? info_.inputs : info_.outputs;
    for (LONG c : wanted) {
      const char* what = isInput ? "input" : "output";
      if (c < 0 || static_cast<std::size_t>(c) >= known.size())
        return HostStatus::Fail(
            Format("CreateBuffers: %s channel %d does not exist (%zu channels)", what, c, known.size()));
      for (const auto& h : channels)
        if (h.isInput == isInput && h.channel == c)
          return HostStatus::Fail(Format("CreateBuffers: %s channel %d is listed twice", what, c));
      HostChannel h;
      h.isInput = isInput;
      h.channel = c;
      h.type = known[static_cast<std::size_t>(c)].type;
      h.halfBytes = HalfBufferBytes(h.type, size);
      if (!IsHostSampleType(h.type))
        return HostStatus::Fail(
            Format("CreateBuffers: %s channel %d has sample type %d (%s), which this host does not handle", what, c,
                   h.type, SampleTypeName(h.type)));
      if (h.halfBytes == 0)
        return HostStatus::Fail(
            Format("CreateBuffers: %d frames do not fill whole bytes of %s", size, SampleTypeName(h.type)));
      const std::size_t storeBytes = HalfBufferBytes(h.type, std::max<LONG>(options_.storeFrames, 8) / 8 * 8);
      h.store.assign(storeBytes, 0);
      channels.push_back(std::move(h));
    }
  }

  AsioHost* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this, std::memory_order_acq_rel))
    return HostStatus::Fail("CreateBuffers: another host is streaming in this process");

  bufferInfos_.assign(channels.size(), ASIOBufferInfo{});
  for (std::size_t i = 0; i < channels.size(); ++i) {
    bufferInfos_[i].isInput = channels[i].isInput ? ASIOTrue : ASIOFalse;
    bufferInfos_[i].channelNum = channels[i].channel;
  }
  callbacks_ = {};
  callbacks_.bufferSwitch = &AsioHost::OnBufferSwitch;
  callbacks_.sampleRateDidChange = &AsioHost::OnSampleRateDidChange;
  callbacks_.asioMessage = &AsioHost::OnAsioMessage;
  if (options_.offerTimeInfoCallback) callbacks_.bufferSwitchTimeInfo = &AsioHost::OnBufferSwitchTimeInfo;

  // The stream state is reset before the driver can call back.
  channels_ = std::move(channels);
  bufferSize_ = size;
  renderedFrames_ = 0;
  lastPosition_ = 0;
  havePosition_ = false;
  lastHostTime_ = 0;
  lastIndex_ = -1;
  for (auto* a : {&switches_, &plainSwitches_, &timeInfoSwitches_, &gaps_, &irregular_, &badIndices_, &repeatedIndices_,
                  &captureOverflow_, &renderOverflow_})
    a->store(0, std::memory_order_relaxed);
  firstPosition_.store(0, std::memory_order_relaxed);
  lastReportedPosition_.store(0, std::memory_order_relaxed);
  switchRing_.Reserve(options_.switchRecords);

  std::string args = Format("numChannels=%zu, bufferSize=%d, channels=", bufferInfos_.size(), size);
  for (const auto& b : bufferInfos_) args += Format("%s%d ", b.isInput ? "in" : "out", b.channelNum);
  args += options_.offerTimeInfoCallback ? "callbacks=4" : "callbacks=3";
  const ASIOError e =
      driver_->CreateBuffers(bufferInfos_.data(), static_cast<LONG>(bufferInfos_.size()), size, &callbacks_);
  if (e != ASE_OK) {
    ReleaseCallbacks();
    return Reject("CreateBuffers", args, AsioErrorName(e), AsioErrorName(e), e);
  }
  phase_ = HostPhase::Prepared;
  for (std::size_t i = 0; i < bufferInfos_.size(); ++i) {
    auto& b = bufferInfos_[i];
    if (!b.buffers[0] || !b.buffers[1] || b.buffers[0] == b.buffers[1]) {
      log_.Add("CreateBuffers", args, AsioErrorName(e), false);
      const std::string why = Format("the driver gave %s channel %d the buffers %p and %p",
                                     b.isInput ? "input" : "output", b.channelNum, b.buffers[0], b.buffers[1]);
      DisposeBuffers();
      return HostStatus::Fail("CreateBuffers: " + why);
    }
    channels_[i].halves[0] = b.buffers[0];
    channels_[i].halves[1] = b.buffers[1];
  }
  log_.Add("CreateBuffers", args, AsioErrorName(e), true);

  // The driver is asked for the shortest period it might run: DSD sizes
  // count bits, so their period is 64 times shorter per carrier frame.
  double rate = info_.sampleRate > 0 ? info_.sampleRate : 48000.0;
  for (const auto& c : channels_)
    if (c.type == ASIOSTDSDInt8LSB1) rate = info_.sampleRate * 64;
  switchStep_ = std::max<sim::Nanos>(1, static_cast<sim::Nanos>(size * 1e9 / rate / 2));
  return HostStatus::Ok();
}

HostStatus AsioHost::Start() {
  if (phase_ != HostPhase::Prepared) return HostStatus::Fail("Start: no buffers, or already running");
  const ASIOError e = driver_->Start();
  log_.Add("Start", "", AsioErrorName(e), e == ASE_OK);
  if (e != ASE_OK) return HostStatus::Fail("Start: " + AsioErrorName(e), e);
  phase_ = HostPhase::Running;
  return HostStatus::Ok();
}

HostStatus AsioHost::Stop() {
  if (phase_ != HostPhase::Running) return HostStatus::Fail("Stop: not running");
  const ASIOError e = driver_->Stop();
  log_.Add("Stop", "", AsioErrorName(e), e == ASE_OK);
  if (e != ASE_OK) return HostStatus::Fail("Stop: " + AsioErrorName(e), e);
  phase_ = HostPhase::Prepared;
  return HostStatus::Ok();
}

HostStatus AsioHost::DisposeBuffers() {
  if (phase_ != HostPhase::Prepared && phase_ != HostPhase::Running)
    return HostStatus::Fail("DisposeBuffers: no buffers");
  const ASIOError e = driver_->DisposeBuffers();
  log_.Add("DisposeBuffers", "", AsioErrorName(e), e == ASE_OK);
  if (e != ASE_OK) return HostStatus::Fail("DisposeBuffers: " + AsioErrorName(e), e);
  phase_ = HostPhase::Initialized;
  ReleaseCallbacks();
  return HostStatus::Ok();
}

void AsioHost::ReleaseCallbacks() {
  // The driver may call no more; the stores stay for reading.
  for (auto& c : channels_) c.halves[0] = c.halves[1] = nullptr;
  bufferInfos_.clear();
  AsioHost* self = this;
  g_current.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void AsioHost::Close() {
  if (phase_ == HostPhase::Closed) return;
  if (phase_ == HostPhase::Running) Stop();
  if (phase_ == HostPhase::Running || phase_ == HostPhase::Prepared) {
    // A driver that refused Stop is still asked to let the buffers go, so
    // its thread ends before the driver is released.
    phase_ = HostPhase::Prepared;
    DisposeBuffers();
  }
  ReleaseCallbacks();
  if (driver_) {
    const ULONG left = driver_->Release();
    log_.Add("Release", "", std::to_string(left), true);
    driver_ = nullptr;
  }
  phase_ = HostPhase::Closed;
}

bool AsioHost::RunSwitches(std::uint64_t count, sim::Nanos limit) {
  const std::uint64_t target = switchCount() + count;
  const sim::Nanos step = switchStep_ > 0 ? switchStep_ : sim::kMillisecond;
  for (sim::Nanos waited = 0; switchCount() < target; waited += step) {
    if (waited >= limit) return false;
    RunFor(std::min(step, limit - waited));
  }
  return true;
}

void AsioHost::RunFor(sim::Nanos duration) { sim::Scheduler::Get().RunFor(duration); }

StreamReport AsioHost::Report() const {
  StreamReport r;
  r.switches = switches_.load(std::memory_order_acquire);
  r.plainSwitches = plainSwitches_.load(std::memory_order_relaxed);
  r.timeInfoSwitches = timeInfoSwitches_.load(std::memory_order_relaxed);
  r.gaps = gaps_.load(std::memory_order_relaxed);
  r.irregularSteps = irregular_.load(std::memory_order_relaxed);
  r.badIndices = badIndices_.load(std::memory_order_relaxed);
  r.repeatedIndices = repeatedIndices_.load(std::memory_order_relaxed);
  r.firstPosition = firstPosition_.load(std::memory_order_relaxed);
  r.lastPosition = lastReportedPosition_.load(std::memory_order_relaxed);
  r.droppedSwitchRecords = r.switches > switchRing_.capacity() ? r.switches - switchRing_.capacity() : 0;
  r.captureOverflowFrames = captureOverflow_.load(std::memory_order_relaxed);
  r.renderOverflowFrames = renderOverflow_.load(std::memory_order_relaxed);
  return r;
}

std::vector<SwitchRecord> AsioHost::Switches() const { return switchRing_.Snapshot(); }
std::vector<MessageRecord> AsioHost::Messages() const { return messageRing_.Snapshot(); }
std::vector<double> AsioHost::SampleRateChanges() const { return rateChanges_.Snapshot(); }

const AsioHost::HostChannel* AsioHost::FindChannel(bool isInput, LONG channel) const {
  for (const auto& c : channels_)
    if (c.isInput == isInput && c.channel == channel) return &c;
  return nullptr;
}

ChannelStore AsioHost::Captured(LONG inputChannel) const {
  const HostChannel* c = FindChannel(true, inputChannel);
  if (!c) return {inputChannel, 0, {}};
  return {inputChannel, c->type, {c->store.data(), c->filled}};
}

ChannelStore AsioHost::Rendered(LONG outputChannel) const {
  const HostChannel* c = FindChannel(false, outputChannel);
  if (!c) return {outputChannel, 0, {}};
  return {outputChannel, c->type, {c->store.data(), c->filled}};
}

void AsioHost::OnBufferSwitch(LONG index, ASIOBool directProcess) {
  if (AsioHost* host = Current()) host->HandleSwitch(SwitchKind::Plain, index, directProcess, nullptr);
}

ASIOTime* AsioHost::OnBufferSwitchTimeInfo(ASIOTime* params, LONG index, ASIOBool directProcess) {
  if (AsioHost* host = Current()) host->HandleSwitch(SwitchKind::TimeInfo, index, directProcess, params);
  return params;
}

void AsioHost::OnSampleRateDidChange(ASIOSampleRate rate) {
  if (AsioHost* host = Current()) host->rateChanges_.Push(rate);
}

LONG AsioHost::OnAsioMessage(LONG selector, LONG value, void*, double*) {
  AsioHost* host = Current();
  return host ? host->HandleMessage(selector, value) : 0;
}

LONG AsioHost::HandleMessage(LONG selector, LONG value) {
  LONG answer = 0;
  switch (selector) {
    case kAsioSelectorSupported:
      switch (value) {
        case kAsioSelectorSupported:
        case kAsioEngineVersion:
        case kAsioResetRequest:
        case kAsioBufferSizeChange:
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
        case kAsioSupportsTimeInfo:
        case kAsioSupportsTimeCode:
          answer = 1;
          break;
        default:
          answer = 0;
      }
      break;
    case kAsioEngineVersion:
      answer = options_.engineVersion;
      break;
    case kAsioSupportsTimeInfo:
      answer = options_.supportsTimeInfo ? 1 : 0;
      break;
    case kAsioSupportsTimeCode:
      answer = options_.supportsTimeCode ? 1 : 0;
      break;
    // Requests are only noted; whoever drives the host decides what to do.
    case kAsioResetRequest:
      resets_.fetch_add(1, std::memory_order_relaxed);
      answer = 1;
      break;
    case kAsioResyncRequest:
      resyncs_.fetch_add(1, std::memory_order_relaxed);
      answer = 1;
      break;
    case kAsioLatenciesChanged:
      latencyChanges_.fetch_add(1, std::memory_order_relaxed);
      answer = 1;
      break;
    case kAsioBufferSizeChange:
      // 0: the host does not resize in place, so the driver falls back to a
      // reset request.
      bufferSizeChanges_.fetch_add(1, std::memory_order_relaxed);
      requestedBufferSize_.store(value, std::memory_order_relaxed);
      answer = 0;
      break;
    default:
      answer = 0;
  }
  messageRing_.Push({messageRing_.count(), selector, value, answer});
  return answer;
}

void AsioHost::HandleSwitch(SwitchKind kind, LONG index, ASIOBool directProcess, const ASIOTime* time) {
  SwitchRecord r;
  r.sequence = switches_.load(std::memory_order_relaxed);
  r.kind = kind;
  r.index = index;
  r.directProcess = directProcess;
  r.hostTime = HostNanos();
  r.sincePrevious = r.sequence == 0 ? -1 : r.hostTime - lastHostTime_;
  lastHostTime_ = r.hostTime;
  (kind == SwitchKind::Plain ? plainSwitches_ : timeInfoSwitches_).fetch_add(1, std::memory_order_relaxed);

  r.badIndex = index != 0 && index != 1;
  if (r.badIndex) {
    badIndices_.fetch_add(1, std::memory_order_relaxed);
  } else {
    if (index == lastIndex_) repeatedIndices_.fetch_add(1, std::memory_order_relaxed);
    lastIndex_ = index;
    // Inputs first: they hold what the driver brought for this half.
    for (auto& c : channels_) {
      if (!c.halves[index]) continue;
      if (!c.isInput) {
        signal_->Render({c.channel, c.type, renderedFrames_, bufferSize_, c.halves[index]});
      }
      const std::size_t room = c.store.size() - c.filled;
      const std::size_t n = std::min(room, c.halfBytes);
      std::memcpy(c.store.data() + c.filled, c.halves[index], n);
      c.filled += n;
      if (n < c.halfBytes) {
        const std::size_t lost = (c.halfBytes - n) * static_cast<std::size_t>(bufferSize_) / c.halfBytes;
        (c.isInput ? captureOverflow_ : renderOverflow_).fetch_add(lost, std::memory_order_relaxed);
      }
    }
    renderedFrames_ += bufferSize_;
  }

  if (time) {
    r.hasPosition = true;
    r.samplePosition = Join(time->timeInfo.samplePosition.hi, time->timeInfo.samplePosition.lo);
    r.systemTime = Join(time->timeInfo.systemTime.hi, time->timeInfo.systemTime.lo);
    r.timeFlags = time->timeInfo.flags;
  } else {
    // A plain switch brings no time; ASIO hosts ask for it from the callback.
    ASIOSamples pos{};
    ASIOTimeStamp stamp{};
    if (driver_ && driver_->GetSamplePosition(&pos, &stamp) == ASE_OK) {
      r.hasPosition = true;
      r.samplePosition = Join(pos.hi, pos.lo);
      r.systemTime = Join(stamp.hi, stamp.lo);
    }
  }
  if (r.hasPosition) {
    if (!havePosition_) {
      firstPosition_.store(r.samplePosition, std::memory_order_relaxed);
    } else {
      r.positionStep = r.samplePosition - lastPosition_;
      r.gap = r.positionStep > bufferSize_;
      r.irregular = r.positionStep < bufferSize_;
      if (r.gap) gaps_.fetch_add(1, std::memory_order_relaxed);
      if (r.irregular) irregular_.fetch_add(1, std::memory_order_relaxed);
    }
    lastPosition_ = r.samplePosition;
    havePosition_ = true;
    lastReportedPosition_.store(r.samplePosition, std::memory_order_relaxed);
  }
  switchRing_.Push(r);
  switches_.store(r.sequence + 1, std::memory_order_release);
}

}  // namespace ora::host
