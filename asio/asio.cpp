#include "asio/asio.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "asio/sample_types.h"
#include "asio/settings.h"
#include "ks/ks_trace.h"
#include "ks/rtaudio.h"
#include "ks/wave_format.h"
#include "platform/win32.h"

namespace {
constexpr const char* kDriverPrefix = "Calvex VN ORA ASIO - ";
constexpr DWORD kStopWaitMs = 1000;

void CopyBounded(char* dst, size_t size, const char* src) { std::snprintf(dst, size, "%s", src); }
}  // namespace

CAsio::CAsio() {
  m_asioTime.timeInfo.speed = 1.0;
  m_asioTime.timeInfo.sampleRate = 48000.0;
  m_asioTime.timeInfo.flags = kSampleRateValid | kSpeedValid;
  m_asioTime.timeCode.speed = 1.0;
  m_asioTime.timeCode.flags = kTcOnspeed | kTcSpeedValid;
  m_renderFilters = new (std::nothrow) CKsFilterList();
  m_captureFilters = new (std::nothrow) CKsFilterList();
}

CAsio::~CAsio() {
  if (m_hThread != nullptr && m_hThread != INVALID_HANDLE_VALUE) CloseHandle(m_hThread);
  CloseEvents();
  DestroyStreams();
  delete m_renderFilters;
  delete m_captureFilters;
}

// --- time information shared with the stream thread -------------------------

ULONG CAsio::LoadFlags() const {
  return std::atomic_ref<ULONG>(const_cast<ULONG&>(m_asioTime.timeInfo.flags)).load(std::memory_order_relaxed);
}
void CAsio::SetFlags(ULONG bits) {
  std::atomic_ref<ULONG>(m_asioTime.timeInfo.flags).fetch_or(bits, std::memory_order_relaxed);
}
void CAsio::ClearFlags(ULONG bits) {
  std::atomic_ref<ULONG>(m_asioTime.timeInfo.flags).fetch_and(~bits, std::memory_order_relaxed);
}
double CAsio::CurrentRate() const {
  return std::atomic_ref<double>(const_cast<double&>(m_asioTime.timeInfo.sampleRate)).load(std::memory_order_relaxed);
}
void CAsio::StoreRate(double rate) {
  std::atomic_ref<double>(m_asioTime.timeInfo.sampleRate).store(rate, std::memory_order_relaxed);
}
void CAsio::Store64(ULONG* pHi, ULONG* pLo, ULONGLONG value) {
  std::atomic_ref<ULONG>(*pHi).store(static_cast<ULONG>(value >> 32), std::memory_order_relaxed);
  std::atomic_ref<ULONG>(*pLo).store(static_cast<ULONG>(value), std::memory_order_relaxed);
}
ULONGLONG CAsio::Load64(const ULONG* pHi, const ULONG* pLo) {
  const ULONG hi = std::atomic_ref<ULONG>(const_cast<ULONG&>(*pHi)).load(std::memory_order_relaxed);
  const ULONG lo = std::atomic_ref<ULONG>(const_cast<ULONG&>(*pLo)).load(std::memory_order_relaxed);
  return (static_cast<ULONGLONG>(hi) << 32) | lo;
}

// --- IUnknown ----------------------------------------------------------------

HRESULT STDMETHODCALLTYPE CAsio::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IAsio) || IsEqualGUID(riid, CLSID_CAsio)) {
    *ppv = static_cast<IAsio*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CAsio::AddRef() { return static_cast<ULONG>(++m_refCount); }

ULONG STDMETHODCALLTYPE CAsio::Release() {
  const LONG count = --m_refCount;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

// --- IAsio ---------------------------------------------------------------------

ASIOBool STDMETHODCALLTYPE CAsio::Init(void* pWndMain) {
  if (State() != kAsioLoaded) return static_cast<ASIOBool>(ASE_NotPresent);
  m_hWndMain = pWndMain;
  {
    CAsioSettings settings;
    DWORD value = 0;
    if (SUCCEEDED(settings.ReadDword("Latency", &value))) m_latencyMs = value;
    if (SUCCEEDED(settings.ReadDword("BitDepth", &value))) m_bitDepth = value;
    double rate = 0;
    if (SUCCEEDED(settings.ReadSampleRate(&rate))) StoreRate(rate);
  }
  m_periodMs = static_cast<double>(m_latencyMs);
  if (FAILED(DiscoverStreams())) {
    DestroyStreams();
    CloseEvents();
    return ASIOFalse;
  }
  CloseEvents();
  m_hNotifyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  m_hStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (m_hNotifyEvent == nullptr || m_hStopEvent == nullptr) {
    // Without its events the stream thread could never be woken or ended.
    DestroyStreams();
    CloseEvents();
    return ASIOFalse;
  }
  if (FAILED(BuildChannelLists())) {
    DestroyStreams();
    CloseEvents();
    return ASIOFalse;
  }
  m_state.store(kAsioInitialized, std::memory_order_relaxed);
  return ASIOTrue;
}

void STDMETHODCALLTYPE CAsio::GetDriverName(char* szDriverName) {
  if (szDriverName != nullptr) CopyBounded(szDriverName, 32, kAsioDriverName);
}

LONG STDMETHODCALLTYPE CAsio::GetDriverVersion() { return 2; }

void STDMETHODCALLTYPE CAsio::GetErrorMessage(char* szErrorMessage) {
  if (szErrorMessage == nullptr) return;
  std::memcpy(szErrorMessage, m_errorText, sizeof(m_errorText));
  szErrorMessage[123] = '\0';
}

ASIOError STDMETHODCALLTYPE CAsio::GetChannels(LONG* pNumInputChannels, LONG* pNumOutputChannels) {
  if (pNumInputChannels == nullptr || pNumOutputChannels == nullptr) return ASE_InvalidParameter;
  *pNumInputChannels = m_numInputs;
  *pNumOutputChannels = m_numOutputs;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::GetLatencies(LONG* pInputLatency, LONG* pOutputLatency) {
  if (pOutputLatency == nullptr) return ASE_InvalidParameter;
  LONG minSize = 0, maxSize = 0, granularity = 0;
  GetBufferSize(&minSize, &maxSize, pOutputLatency, &granularity);
  if (pInputLatency != nullptr) *pInputLatency = *pOutputLatency;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::GetBufferSize(LONG* pMinSize, LONG* pMaxSize, LONG* pPreferredSize,
                                                 LONG* pGranularity) {
  if (pMinSize == nullptr || pMaxSize == nullptr || pPreferredSize == nullptr || pGranularity == nullptr)
    return ASE_InvalidParameter;
  const double rate = CurrentRate();
  const ULONG r = static_cast<ULONG>(rate);
  ASIOError result = ASE_OK;
  const LONG minSize = static_cast<LONG>(r * kAsioLatencyTable[0] / 1000);
  LONG maxSize = static_cast<LONG>(r * kAsioLatencyTable[12] / 1000);
  LONG preferred = 0;
  if (State() < kAsioPrepared) {
    const ULONG candidate = m_latencyMs * r / 1000;
    preferred = static_cast<LONG>(NegotiateBufferSize(candidate, r, m_bitDepth));
    if (preferred == 0) {
      preferred = static_cast<LONG>(candidate);
      result = ASE_NotPresent;
    }
  } else {
    preferred = m_bufferSize;
  }
  if (maxSize < preferred) maxSize = preferred;
  // A latency of 0 has no period to divide by: the buffer then grows in
  // steps of one frame.
  const LONG granularity =
      m_latencyMs == 0 ? 1 : static_cast<LONG>(static_cast<double>(preferred) / static_cast<double>(m_latencyMs));
  *pMinSize = minSize;
  *pMaxSize = maxSize;
  *pPreferredSize = preferred;
  *pGranularity = granularity;
  m_periodMs = rate != 0 ? preferred * 1000.0 / rate : 0.0;
  return result;
}

ASIOError STDMETHODCALLTYPE CAsio::CanSampleRate(ASIOSampleRate sampleRate) {
  WAVEFORMATEXTENSIBLE format{};
  MakeWaveFormatExtensible(&format, 2, static_cast<DWORD>(sampleRate), static_cast<WORD>(m_bitDepth));
  for (ULONG i = 0; Streams(i); ++i)
    if (m_slots[i].stream->Filter()->IsFormatInRange(&format)) return ASE_OK;
  return ASE_NoClock;
}

ASIOError STDMETHODCALLTYPE CAsio::GetSampleRate(ASIOSampleRate* pCurrSampleRate) {
  if (pCurrSampleRate == nullptr) return ASE_InvalidParameter;
  *pCurrSampleRate = CurrentRate();
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::SetSampleRate(ASIOSampleRate sampleRate) {
  if (CanSampleRate(sampleRate) != ASE_OK) return ASE_NoClock;
  if (sampleRate == CurrentRate()) return ASE_OK;
  StoreRate(sampleRate);
  SetFlags(kSampleRateChanged);
  {
    CAsioSettings settings;
    settings.WriteSampleRate(sampleRate);
  }
  if (m_callbacks.sampleRateDidChange != nullptr) m_callbacks.sampleRateDidChange(sampleRate);
  if (m_callbacks.asioMessage != nullptr) m_callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::GetClockSources(ASIOClockSource* pClocks, LONG* pNumSources) {
  if (pClocks == nullptr || pNumSources == nullptr) return ASE_InvalidParameter;
  pClocks[0].index = 0;
  pClocks[0].associatedChannel = -1;
  pClocks[0].associatedGroup = -1;
  pClocks[0].isCurrentSource = ASIOTrue;
  CopyBounded(pClocks[0].name, sizeof(pClocks[0].name), "Internal Clock");
  *pNumSources = 1;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::SetClockSource(LONG reference) {
  if (reference != 0) return ASE_NotPresent;
  SetFlags(kClockSourceChanged);
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::GetSamplePosition(ASIOSamples* pSamplePosition, ASIOTimeStamp* pTimeStamp) {
  if (pSamplePosition == nullptr || pTimeStamp == nullptr) return ASE_InvalidParameter;
  const ULONGLONG position = Load64(&m_asioTime.timeInfo.samplePosition.hi, &m_asioTime.timeInfo.samplePosition.lo);
  const ULONGLONG stamp = Load64(&m_asioTime.timeInfo.systemTime.hi, &m_asioTime.timeInfo.systemTime.lo);
  pSamplePosition->hi = static_cast<ULONG>(position >> 32);
  pSamplePosition->lo = static_cast<ULONG>(position);
  pTimeStamp->hi = static_cast<ULONG>(stamp >> 32);
  pTimeStamp->lo = static_cast<ULONG>(stamp);
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::ControlPanel() {
  if (State() < kAsioInitialized) return ASE_NotPresent;
  // The panel comes with the settings dialog; until then there is none.
  return ASE_NotPresent;
}

ASIOError STDMETHODCALLTYPE CAsio::Future(LONG selector, void* /*pParameter*/) {
  ULONG& tcFlags = m_asioTime.timeCode.flags;
  switch (selector) {
    case kAsioEnableTimeCodeRead:
      std::atomic_ref<ULONG>(tcFlags).fetch_or(kTcValid | kTcRunning, std::memory_order_relaxed);
      m_timeCodeEnabled.store(1, std::memory_order_relaxed);
      return ASE_SUCCESS;
    case kAsioDisableTimeCodeRead:
      m_timeCodeEnabled.store(0, std::memory_order_relaxed);
      std::atomic_ref<ULONG>(tcFlags).fetch_and(~(kTcValid | kTcRunning), std::memory_order_relaxed);
      return ASE_SUCCESS;
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
      return ASE_SUCCESS;
    default:
      return ASE_NotPresent;
  }
}

ASIOError STDMETHODCALLTYPE CAsio::OutputReady() { return ASE_NotPresent; }

void CAsio::CloseEvents() {
  if (m_hNotifyEvent != nullptr) CloseHandle(m_hNotifyEvent);
  if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
  m_hNotifyEvent = nullptr;
  m_hStopEvent = nullptr;
}

// --- stream engine -------------------------------------------------------------

ULONG CAsio::NegotiateBufferSize(ULONG candidate, ULONG sampleRate, ULONG bitDepth) {
  ULONG results[kAsioMaxSlots] = {};
  LONG c = static_cast<LONG>(candidate);
  bool answered = false;
  bool agree = false;
  do {
    WAVEFORMATEXTENSIBLE format{};
    MakeWaveFormatExtensible(&format, 2, sampleRate, static_cast<WORD>(bitDepth));
    const ULONG frameBytes = format.Format.nBlockAlign * 2u;
    for (ULONG i = 0; Streams(i); ++i) {
      ULONG result = 0;
      CKsWaveFilter* filter = m_slots[i].stream->Filter();
      CKsWavePin* pin = filter->CreatePin(&format.Format, TRUE);
      if (pin != nullptr) {
        PVOID buffer = nullptr;
        ULONG actual = 0;
        if (SUCCEEDED(pin->AllocateRtBuffer(&buffer, static_cast<ULONG>(c) * frameBytes, &actual)) && frameBytes != 0)
          result = actual / frameBytes;
        filter->ReleaseCurrentPin();
      }
      if (static_cast<LONG>(result) > c) c = static_cast<LONG>(result);
      results[i] = result;
    }
    answered = false;
    agree = true;
    for (ULONG i = 0; Streams(i); ++i) {
      if (results[i] == 0) continue;
      answered = true;
      if (static_cast<LONG>(results[i]) != c) agree = false;
    }
  } while (answered && !agree);
  return answered ? static_cast<ULONG>(c) : 0;
}

ULONG CAsio::CheckPeriod(LONG bufferSize, const ASIOCallbacks* pCallbacks) {
  const double rate = CurrentRate();
  const double host = static_cast<double>(static_cast<LONG>(bufferSize * 1000));
  if (std::fabs(host - rate * m_periodMs) <= 0.001) return 1;
  if (pCallbacks->sampleRateDidChange != nullptr) pCallbacks->sampleRateDidChange(rate);
  if (pCallbacks->asioMessage != nullptr) {
    pCallbacks->asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
    const double x = rate * m_periodMs / 1000.0;
    const double rounded = x > 0 ? std::floor(x + 0.5) : std::ceil(x - 0.5);
    pCallbacks->asioMessage(kAsioBufferSizeChange, static_cast<LONG>(rounded), nullptr, nullptr);
    pCallbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  }
  return 0;
}

HRESULT CAsio::AssignBuffers(ASIOBufferInfo* pBufferInfos, LONG numChannels) {
  HRESULT hr = E_FAIL;
  for (ULONG i = 0; Streams(i); ++i) {
    CAsioStream* stream = m_slots[i].stream;
    for (LONG r = 0; r < numChannels; ++r) {
      ASIOBufferInfo& info = pBufferInfos[r];
      const LONG first = stream->FirstChannel();
      if ((info.isInput != 0) != stream->IsCapture()) continue;
      if (info.channelNum < first || info.channelNum >= first + static_cast<LONG>(stream->PinChannels())) continue;
      if (stream->Assign(info.channelNum, info.buffers)) hr = S_OK;
    }
  }
  for (ULONG i = 0; Streams(i); ++i) m_slots[i].active = m_slots[i].stream->AssignedCount() != 0 ? 1 : 0;
  SelectMaster();
  return hr;
}

HRESULT CAsio::ClearAssignments() {
  for (ULONG i = 0; Streams(i); ++i) {
    m_slots[i].stream->ClearAssignment();
    m_slots[i].active = 0;
  }
  SelectMaster();
  return Streams(0) ? S_OK : E_FAIL;
}

void CAsio::SelectMaster() {
  for (ULONG i = 0; Streams(i); ++i) m_slots[i].master = 0;
  m_masterStream = nullptr;
  LONG chosen = -1;
  for (ULONG i = 0; chosen < 0 && Streams(i); ++i)
    if (m_slots[i].active && !m_slots[i].isCapture) chosen = static_cast<LONG>(i);
  for (ULONG i = 0; chosen < 0 && Streams(i); ++i) {
    CKsWaveFilter* filter = m_slots[i].stream->Filter();
    if (m_slots[i].active && (filter->IsMicrophoneIn() == 1 || filter->IsAnalogIn() == 1))
      chosen = static_cast<LONG>(i);
  }
  for (ULONG i = 0; chosen < 0 && Streams(i); ++i)
    if (m_slots[i].active && m_slots[i].isCapture) chosen = static_cast<LONG>(i);
  if (chosen < 0 && Streams(0)) chosen = 0;
  if (chosen < 0) return;
  m_slots[chosen].master = 1;
  m_masterStream = m_slots[chosen].stream;
}

ASIOError STDMETHODCALLTYPE CAsio::CreateBuffers(ASIOBufferInfo* pBufferInfos, LONG numChannels, LONG bufferSize,
                                                 ASIOCallbacks* pCallbacks) {
  if (State() != kAsioInitialized) return ASE_NotPresent;
  if (pBufferInfos == nullptr || numChannels <= 0 || bufferSize <= 0 || pCallbacks == nullptr ||
      pCallbacks->bufferSwitch == nullptr)
    return ASE_InvalidParameter;
  CheckPeriod(bufferSize, pCallbacks);
  AssignBuffers(pBufferInfos, numChannels);
  m_bufferSize = bufferSize;
  const ULONG rate = static_cast<ULONG>(CurrentRate());
  for (ULONG i = 0; Streams(i); ++i)
    if (m_slots[i].active &&
        FAILED(m_slots[i].stream->CreateStreamBuffers(static_cast<ULONG>(bufferSize), rate, m_bitDepth)))
      m_slots[i].active = 0;
  if (m_masterStream != nullptr && m_masterStream->Pin() != nullptr) {
    const HRESULT hr = KsGetClockRegister(m_masterStream->Pin(), &m_clockRegister);
    if (FAILED(hr))
      KsTrace(KS_TRACE_ERROR, "Failed to retrieve audio stream clock register - %#08x", static_cast<unsigned>(hr));
  }
  m_callbacks = *pCallbacks;
  m_useTimeInfo = 0;
  m_hostTimeCode = 0;
  if (m_callbacks.asioMessage != nullptr && m_callbacks.asioMessage(kAsioEngineVersion, 0, nullptr, nullptr) >= 2 &&
      m_callbacks.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0 &&
      m_callbacks.bufferSwitchTimeInfo != nullptr)
    m_useTimeInfo = 1;
  if (m_useTimeInfo && m_callbacks.asioMessage(kAsioSupportsTimeCode, 0, nullptr, nullptr) != 0) m_hostTimeCode = 1;
  // A thread that ended through its fault path left its handle behind.
  if (m_hThread != nullptr && m_hThread != INVALID_HANDLE_VALUE) {
    WaitForSingleObject(m_hThread, kStopWaitMs);
    CloseHandle(m_hThread);
  }
  m_hThread = CreateThread(nullptr, 0, StreamThreadProc, this, 0, nullptr);
  if (m_masterStream != nullptr && m_masterStream->Pin() != nullptr)
    KsRegisterNotificationEvent(m_masterStream->Pin(), m_hNotifyEvent);
  m_state.store(kAsioPrepared, std::memory_order_relaxed);
  return ASE_OK;
}

void CAsio::ToggleBufferIndex() { m_bufferIndex.fetch_xor(1, std::memory_order_relaxed); }

void CAsio::ProcessCaptureStreams() {
  const ULONG index = static_cast<ULONG>(m_bufferIndex.load(std::memory_order_relaxed));
  for (ULONG i = 0; Streams(i); ++i)
    if (m_slots[i].active && m_slots[i].isCapture) m_slots[i].stream->Process(index);
}

void CAsio::ProcessRenderStreams() {
  const ULONG index = static_cast<ULONG>(m_bufferIndex.load(std::memory_order_relaxed));
  for (ULONG i = 0; Streams(i); ++i)
    if (m_slots[i].active && !m_slots[i].isCapture) m_slots[i].stream->Process(index);
}

ASIOError STDMETHODCALLTYPE CAsio::Start() {
  if (State() != kAsioPrepared) return ASE_NotPresent;
  SetFlags(kSystemTimeValid | kSamplePositionValid);
  Store64(&m_asioTime.timeInfo.systemTime.hi, &m_asioTime.timeInfo.systemTime.lo, 0);
  Store64(&m_asioTime.timeInfo.samplePosition.hi, &m_asioTime.timeInfo.samplePosition.lo, 0);
  Store64(&m_asioTime.timeCode.timeCodeSamples.hi, &m_asioTime.timeCode.timeCodeSamples.lo, 0);
  const bool timeCode = m_hostTimeCode != 0 && m_timeCodeEnabled.load(std::memory_order_relaxed) != 0;
  if (timeCode)
    std::atomic_ref<ULONG>(m_asioTime.timeCode.flags).fetch_or(kTcValid | kTcRunning, std::memory_order_relaxed);
  else
    std::atomic_ref<ULONG>(m_asioTime.timeCode.flags).fetch_and(~(kTcValid | kTcRunning), std::memory_order_relaxed);
  m_clockAtFirst = 0;
  m_clockNow = 0;
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  m_qpcFrequency = frequency.QuadPart;
  m_qpcAtFirst = 0;
  m_qpcNow = 0;
  m_switchCount.store(0, std::memory_order_relaxed);
  m_firstStampTaken = 0;
  m_bufferIndex.store(1, std::memory_order_relaxed);
  m_switchPeriodMs =
      static_cast<double>(static_cast<float>(m_bufferSize) * 1000.0f / static_cast<float>(CurrentRate()));

  for (ULONG i = 0; Streams(i); ++i)
    if (m_slots[i].active) m_slots[i].stream->PrepareStart();

  for (int roll = 0; roll < 2; ++roll) {
    Store64(&m_asioTime.timeInfo.systemTime.hi, &m_asioTime.timeInfo.systemTime.lo,
            static_cast<ULONGLONG>(timeGetTime()) * 1000000ull);
    const ULONGLONG position = Load64(&m_asioTime.timeInfo.samplePosition.hi, &m_asioTime.timeInfo.samplePosition.lo) +
                               static_cast<ULONGLONG>(m_bufferSize);
    Store64(&m_asioTime.timeInfo.samplePosition.hi, &m_asioTime.timeInfo.samplePosition.lo, position);
    if (timeCode) Store64(&m_asioTime.timeCode.timeCodeSamples.hi, &m_asioTime.timeCode.timeCodeSamples.lo, position);
    ToggleBufferIndex();
    ProcessCaptureStreams();
    const LONG index = m_bufferIndex.load(std::memory_order_relaxed);
    if (m_useTimeInfo)
      m_callbacks.bufferSwitchTimeInfo(&m_asioTime, index, ASIOTrue);
    else
      m_callbacks.bufferSwitch(index, ASIOTrue);
    ProcessRenderStreams();
  }

  for (ULONG i = 0; Streams(i); ++i)
    if (m_slots[i].active && !m_slots[i].master && m_slots[i].stream->Pin() != nullptr)
      m_slots[i].stream->Pin()->SetState(KSSTATE_RUN);
  if (m_masterStream == nullptr || m_masterStream->Pin() == nullptr ||
      FAILED(m_masterStream->Pin()->SetState(KSSTATE_RUN)))
    return ASE_HWMalfunction;
  m_state.store(kAsioRunning, std::memory_order_relaxed);
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsio::Stop() {
  if (State() != kAsioRunning) return ASE_OK;
  for (ULONG i = 0; Streams(i); ++i)
    if (m_slots[i].stream->Pin() != nullptr) m_slots[i].stream->Pin()->SetState(KSSTATE_STOP);
  for (ULONG i = 0; Streams(i); ++i) {
    if (m_slots[i].stream->AssignedCount() == 0) continue;
    char line[MAX_PATH + 64];
    std::snprintf(line, sizeof(line), "%s%s stopped\n", kDriverPrefix, m_slots[i].stream->Name());
    OutputDebugStringA(line);
  }
  m_state.store(kAsioPrepared, std::memory_order_relaxed);
  return ASE_OK;
}

void CAsio::ReleaseBuffers() {
  if (m_masterStream != nullptr && m_masterStream->Pin() != nullptr)
    KsUnregisterNotificationEvent(m_masterStream->Pin(), m_hNotifyEvent);
}

ASIOError STDMETHODCALLTYPE CAsio::DisposeBuffers() {
  if (State() != kAsioPrepared) return ASE_InvalidMode;
  ReleaseBuffers();
  SetEvent(m_hStopEvent);
  if (m_hThread != nullptr && m_hThread != INVALID_HANDLE_VALUE) {
    if (WaitForSingleObject(m_hThread, kStopWaitMs) == WAIT_TIMEOUT) TerminateThread(m_hThread, 0);
    CloseHandle(m_hThread);
  }
  m_hThread = nullptr;
  m_callbacks = {};
  m_clockRegister = {};
  for (ULONG i = 0; Streams(i); ++i) m_slots[i].stream->DisposeStreamBuffers();
  m_bufferSize = 0;
  ClearAssignments();
  m_state.store(kAsioInitialized, std::memory_order_relaxed);
  return ASE_OK;
}

ASIOError CAsio::ReleaseBuffersFromThread() {
  if (State() != kAsioPrepared) return ASE_InvalidMode;
  ReleaseBuffers();
  // The thread handle stays for DisposeBuffers' successor to close: this
  // thread is still running on it. Init's state means the host may create
  // buffers again, which then closes it.
  m_callbacks = {};
  m_clockRegister = {};
  for (ULONG i = 0; Streams(i); ++i) m_slots[i].stream->DisposeStreamBuffers();
  m_bufferSize = 0;
  ClearAssignments();
  m_state.store(kAsioInitialized, std::memory_order_relaxed);
  return ASE_OK;
}

void CAsio::UpdateTimeInfo() {
  Store64(&m_asioTime.timeInfo.systemTime.hi, &m_asioTime.timeInfo.systemTime.lo,
          static_cast<ULONGLONG>(timeGetTime()) * 1000000ull);
  const ULONGLONG position = Load64(&m_asioTime.timeInfo.samplePosition.hi, &m_asioTime.timeInfo.samplePosition.lo) +
                             static_cast<ULONGLONG>(m_bufferSize);
  Store64(&m_asioTime.timeInfo.samplePosition.hi, &m_asioTime.timeInfo.samplePosition.lo, position);
  if (m_hostTimeCode && m_timeCodeEnabled.load(std::memory_order_relaxed))
    Store64(&m_asioTime.timeCode.timeCodeSamples.hi, &m_asioTime.timeCode.timeCodeSamples.lo, position);
  ULONG raw = 0;
  if (m_clockRegister.Register != nullptr)
    raw = std::atomic_ref<ULONG>(*static_cast<ULONG*>(m_clockRegister.Register)).load(std::memory_order_relaxed);
  ULONGLONG high = m_clockNow >> 32;
  if (raw < static_cast<ULONG>(m_clockNow)) ++high;
  m_clockNow = (high << 32) | raw;
  if (m_clockRegister.Register == nullptr) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    m_qpcNow = now.QuadPart;
  }
  if (!m_firstStampTaken) {
    m_firstStampTaken = 1;
    m_clockAtFirst = m_clockNow;
    m_qpcAtFirst = m_qpcNow;
  }
}

void CAsio::SwitchBuffers() {
  const LONG index = m_bufferIndex.load(std::memory_order_relaxed);
  if (m_useTimeInfo)
    m_callbacks.bufferSwitchTimeInfo(&m_asioTime, index, ASIOTrue);
  else
    m_callbacks.bufferSwitch(index, ASIOTrue);
  ClearFlags(kSampleRateChanged | kClockSourceChanged);
  m_switchCount.fetch_add(1, std::memory_order_relaxed);
}

void CAsio::CatchUpByCounter() {
  if (m_qpcFrequency == 0) return;
  const LONGLONG elapsed = (m_qpcNow - m_qpcAtFirst) * 1000 / m_qpcFrequency;
  while (static_cast<double>(elapsed) >=
         static_cast<double>(m_switchCount.load(std::memory_order_relaxed)) * m_switchPeriodMs) {
    UpdateTimeInfo();
    ToggleBufferIndex();
    SwitchBuffers();
  }
}

void CAsio::StreamLoop() {
  const HANDLE events[2] = {m_hNotifyEvent, m_hStopEvent};
  for (;;) {
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) break;
    UpdateTimeInfo();
    ToggleBufferIndex();
    ProcessCaptureStreams();
    SwitchBuffers();
    ProcessRenderStreams();
    if (m_clockRegister.Register != nullptr) {
      const ULONGLONG elapsed =
          m_clockRegister.Numerator == 0
              ? 0
              : (m_clockNow - m_clockAtFirst) * m_clockRegister.Denominator * 1000 / m_clockRegister.Numerator;
      while (static_cast<double>(elapsed) >=
             static_cast<double>(m_switchCount.load(std::memory_order_relaxed)) * m_switchPeriodMs) {
        UpdateTimeInfo();
        ToggleBufferIndex();
        SwitchBuffers();
      }
    } else {
      CatchUpByCounter();
    }
  }
}

DWORD WINAPI CAsio::StreamThreadProc(LPVOID pvContext) {
  auto* self = static_cast<CAsio*>(pvContext);
  if (self == nullptr) return 0;
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  DWORD taskIndex = 0;
  HANDLE hTask = AvSetMmThreadCharacteristicsA("Pro Audio", &taskIndex);
  if (hTask != nullptr) AvSetMmThreadPriority(hTask, AVRT_PRIORITY_CRITICAL);
  try {
    self->StreamLoop();
  } catch (...) {
    // A fault anywhere in the loop, a host callback included, ends streaming
    // in order and leaves the driver initialized.
    self->Stop();
    self->ReleaseBuffersFromThread();
  }
  if (hTask != nullptr) AvRevertMmThreadCharacteristics(hTask);
  return 0;
}
