#include "fake_asio.h"

#include <cstdio>
#include <cstring>

namespace fake {

HRESULT STDMETHODCALLTYPE Driver::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IAsio) {
    *ppv = static_cast<IAsio*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE Driver::Release() {
  const ULONG left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

ASIOBool STDMETHODCALLTYPE Driver::Init(void*) {
  if (state_ != kLoaded) return ASIOTrue;
  if (config_.failInit) return ASIOFalse;
  state_ = kInitialized;
  return ASIOTrue;
}

void STDMETHODCALLTYPE Driver::GetDriverName(char* name) { std::snprintf(name, 32, "%s", "Fake ASIO"); }

void STDMETHODCALLTYPE Driver::GetErrorMessage(char* text) {
  std::snprintf(text, 124, "%s", config_.failInit ? config_.errorText.c_str() : "");
}

ASIOError STDMETHODCALLTYPE Driver::GetChannels(LONG* in, LONG* out) {
  if (!in || !out) return ASE_InvalidParameter;
  *in = config_.answeredInputs != -2 ? config_.answeredInputs : config_.inputs;
  *out = config_.outputs;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::GetLatencies(LONG* in, LONG* out) {
  if (!in || !out) return ASE_InvalidParameter;
  *in = *out = bufferSize_ ? bufferSize_ : config_.preferredSize;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::GetBufferSize(LONG* min, LONG* max, LONG* preferred, LONG* granularity) {
  if (!min || !max || !preferred || !granularity) return ASE_InvalidParameter;
  *min = config_.minAboveMax ? config_.maxSize + 1 : config_.minSize;
  *max = config_.maxSize;
  *preferred = config_.preferredSize;
  *granularity = config_.granularity;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::CanSampleRate(ASIOSampleRate rate) {
  for (double r : config_.rates)
    if (r == rate) return ASE_OK;
  return ASE_NoClock;
}

ASIOError STDMETHODCALLTYPE Driver::GetSampleRate(ASIOSampleRate* rate) {
  if (!rate) return ASE_InvalidParameter;
  *rate = config_.answeredRate != 0 ? config_.answeredRate : rate_;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::SetSampleRate(ASIOSampleRate rate) {
  if (CanSampleRate(rate) != ASE_OK) return ASE_NoClock;
  if (rate == rate_) return ASE_OK;
  rate_ = rate;
  if (callbacks_.sampleRateDidChange) callbacks_.sampleRateDidChange(rate);
  if (callbacks_.asioMessage) callbacks_.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::GetClockSources(ASIOClockSource* clocks, LONG* count) {
  if (!clocks || !count) return ASE_InvalidParameter;
  clocks[0] = {0, -1, -1, ASIOTrue, {}};
  std::snprintf(clocks[0].name, sizeof clocks[0].name, "%s", "Internal");
  *count = 1;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::SetClockSource(LONG reference) { return reference == 0 ? ASE_OK : ASE_NotPresent; }

ASIOError STDMETHODCALLTYPE Driver::GetSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) {
  if (!pos || !stamp) return ASE_InvalidParameter;
  const auto p = static_cast<std::uint64_t>(position_.load());
  const auto t = static_cast<std::uint64_t>(stamp_.load());
  *pos = {static_cast<ULONG>(p >> 32), static_cast<ULONG>(p)};
  *stamp = {static_cast<ULONG>(t >> 32), static_cast<ULONG>(t)};
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::GetChannelInfo(ASIOChannelInfo* info) {
  if (!info) return ASE_InvalidParameter;
  const LONG count = info->isInput ? config_.inputs : config_.outputs;
  if (info->channel < 0 || info->channel >= count) return ASE_InvalidParameter;
  info->isActive = ASIOFalse;
  for (const auto& c : channels_)
    if (c.isInput == (info->isInput != 0) && c.number == info->channel) info->isActive = ASIOTrue;
  info->channelGroup = 0;
  info->type = Type();
  std::snprintf(info->name, sizeof info->name, "%s %d", info->isInput ? "In" : "Out",
                static_cast<int>(info->channel) + 1);
  return ASE_OK;
}

std::size_t Driver::HalfBytes() const {
  switch (Type()) {
    case ASIOSTInt16LSB:
      return static_cast<std::size_t>(bufferSize_) * 2;
    case ASIOSTDSDInt8LSB1:
      return static_cast<std::size_t>(bufferSize_) / 8;
    default:
      return static_cast<std::size_t>(bufferSize_) * 4;
  }
}

ASIOError STDMETHODCALLTYPE Driver::CreateBuffers(ASIOBufferInfo* infos, LONG count, LONG size, ASIOCallbacks* cb) {
  if (state_ != kInitialized) return ASE_NotPresent;
  if (!infos || count <= 0 || size <= 0 || !cb || !cb->bufferSwitch) return ASE_InvalidParameter;
  if (config_.createBuffersResult != ASE_OK) return config_.createBuffersResult;
  bufferSize_ = size;
  channels_.clear();
  played_.assign(static_cast<std::size_t>(config_.outputs), {});
  scratch_.assign(HalfBytes(), 0);
  for (LONG i = 0; i < count; ++i) {
    auto& info = infos[i];
    const LONG limit = info.isInput ? config_.inputs : config_.outputs;
    if (info.channelNum < 0 || info.channelNum >= limit) return ASE_InvalidParameter;
    channels_.push_back({info.isInput != 0, info.channelNum, std::vector<std::uint8_t>(2 * HalfBytes())});
  }
  for (LONG i = 0; i < count; ++i) {
    auto& memory = channels_[static_cast<std::size_t>(i)].memory;
    infos[i].buffers[0] = config_.nullBuffers ? nullptr : memory.data();
    infos[i].buffers[1] = config_.nullBuffers ? nullptr : memory.data() + HalfBytes();
  }
  callbacks_ = *cb;
  useTimeInfo_ = false;
  if (callbacks_.asioMessage && callbacks_.asioMessage(kAsioEngineVersion, 0, nullptr, nullptr) >= 2 &&
      callbacks_.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) && callbacks_.bufferSwitchTimeInfo)
    useTimeInfo_ = true;
  if (useTimeInfo_) callbacks_.asioMessage(kAsioSupportsTimeCode, 0, nullptr, nullptr);
  notify_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  stop_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, &Driver::ThreadProc, this, 0, nullptr);
  state_ = kPrepared;
  return ASE_OK;
}

sim::Nanos Driver::TickTime(std::uint64_t tick) const {
  return startTime_ + static_cast<sim::Nanos>(static_cast<double>(tick) * bufferSize_ * 1e9 / rate_);
}

ASIOError STDMETHODCALLTYPE Driver::Start() {
  if (state_ != kPrepared) return ASE_NotPresent;
  if (config_.startResult != ASE_OK) return config_.startResult;
  ticks_ = 0;
  switches_ = 0;
  position_ = 0;
  startTime_ = sim::Scheduler::Get().Now();
  running_ = true;
  timer_ = sim::Scheduler::Get().ScheduleAt(TickTime(1), [this] { Tick(); });
  state_ = kRunning;
  return ASE_OK;
}

// Runs on whichever thread moves the clock: one hardware period has passed.
void Driver::Tick() {
  if (!running_) return;
  const std::uint64_t tick = ticks_.fetch_add(1) + 1;
  if (!config_.missedTicks.count(tick - 1)) SetEvent(notify_);
  timer_ = sim::Scheduler::Get().ScheduleAt(TickTime(tick + 1), [this] { Tick(); });
}

DWORD WINAPI Driver::ThreadProc(LPVOID self) {
  auto* d = static_cast<Driver*>(self);
  const HANDLE handles[] = {d->notify_, d->stop_};
  while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) d->Switch();
  return 0;
}

void Driver::Switch() {
  const std::uint64_t k = ticks_.load() - 1;
  const LONG index = static_cast<LONG>(k & 1);
  const auto frame = static_cast<std::int64_t>(k) * bufferSize_;
  position_ = frame;
  stamp_ = sim::Scheduler::Get().Now();
  const std::size_t half = HalfBytes();
  for (auto& c : channels_) {
    auto* p = c.memory.data() + index * half;
    if (c.isInput) {
      for (LONG j = 0; j < bufferSize_; ++j) {
        if (Type() == ASIOSTInt16LSB) {
          const std::uint16_t v = InputSample16(c.number, frame + j);
          std::memcpy(p + j * 2, &v, 2);
        } else if (Type() == ASIOSTInt32LSB) {
          const std::uint32_t v = InputSample32(c.number, frame + j);
          std::memcpy(p + j * 4, &v, 4);
        }
      }
    }
  }
  // The host may only touch the half it was handed.
  std::vector<std::vector<std::uint8_t>> before;
  for (auto& c : channels_)
    before.emplace_back(c.memory.begin() + (1 - index) * half, c.memory.begin() + (2 - index) * half);
  if (useTimeInfo_) {
    time_ = {};
    time_.timeInfo.samplePosition = {static_cast<ULONG>(static_cast<std::uint64_t>(frame) >> 32),
                                     static_cast<ULONG>(frame)};
    const auto t = static_cast<std::uint64_t>(stamp_.load());
    time_.timeInfo.systemTime = {static_cast<ULONG>(t >> 32), static_cast<ULONG>(t)};
    time_.timeInfo.sampleRate = rate_;
    time_.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
    callbacks_.bufferSwitchTimeInfo(&time_, index, ASIOTrue);
  } else {
    callbacks_.bufferSwitch(index, ASIOTrue);
  }
  for (std::size_t i = 0; i < channels_.size(); ++i) {
    auto& c = channels_[i];
    if (!std::equal(before[i].begin(), before[i].end(), c.memory.begin() + (1 - index) * half)) ++otherHalfWrites_;
    if (!c.isInput) {
      auto& out = played_[static_cast<std::size_t>(c.number)];
      out.insert(out.end(), c.memory.begin() + index * half, c.memory.begin() + (index + 1) * half);
    }
  }
  ++switches_;
}

ASIOError STDMETHODCALLTYPE Driver::Stop() {
  if (state_ != kRunning) return ASE_OK;
  running_ = false;
  sim::Scheduler::Get().Cancel(timer_);
  state_ = kPrepared;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::DisposeBuffers() {
  if (state_ != kPrepared) return ASE_InvalidMode;
  SetEvent(stop_);
  WaitForSingleObject(thread_, 1000);
  CloseHandle(thread_);
  CloseHandle(notify_);
  CloseHandle(stop_);
  thread_ = notify_ = stop_ = nullptr;
  callbacks_ = {};
  channels_.clear();
  bufferSize_ = 0;
  state_ = kInitialized;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE Driver::Future(LONG selector, void* parameter) {
  switch (selector) {
    case kAsioCanTimeInfo:
      return ASE_SUCCESS;
    case kAsioSetIoFormat:
    case kAsioGetIoFormat:
    case kAsioCanDoIoFormat: {
      if (!config_.dsd) return ASE_NotPresent;
      auto* f = static_cast<ASIOIoFormat*>(parameter);
      if (!f) return ASE_InvalidParameter;
      if (selector == kAsioSetIoFormat) ioFormat_ = f->FormatType;
      if (selector == kAsioGetIoFormat) f->FormatType = ioFormat_;
      return ASE_SUCCESS;
    }
    default:
      return ASE_NotPresent;
  }
}

}  // namespace fake
