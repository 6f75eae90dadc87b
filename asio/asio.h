// CAsio: the ASIO driver object of OraAsio. One object is one driver
// instance: its settings, the card's streams, the host's buffers and
// callbacks, the stream thread with its two events, the channel lists and
// the time information handed to the host.
//
// Threads: the host calls every method on its own thread, one call at a
// time; the stream thread (between CreateBuffers and DisposeBuffers) writes
// the time information, the buffer index and the switch count. Fields the
// two threads share are read and written with relaxed atomic operations;
// there is no lock.
#pragma once

#include "filter/orafilt_props.h"
#include <atomic>

#include "asio/iasio.h"
#include "asio/stream.h"
#include "ks/filter.h"

// {5E1A7C20-4D3B-4F86-9C21-3A7B90D4E615}
inline constexpr CLSID CLSID_CAsio = {0x5E1A7C20, 0x4D3B, 0x4F86, {0x9C, 0x21, 0x3A, 0x7B, 0x90, 0xD4, 0xE6, 0x15}};

inline constexpr ULONG kAsioMaxSlots = 100;
inline constexpr LONG kAsioMaxChannels = 50;
inline constexpr ULONG kAsioLatencyTable[13] = {1, 2, 4, 5, 6, 8, 10, 20, 40, 50, 60, 80, 100};
inline constexpr const char* kAsioDriverName = "Calvex VN ORA ASIO";

enum AsioState : LONG { kAsioLoaded = 0, kAsioInitialized = 1, kAsioPrepared = 2, kAsioRunning = 3 };

struct AsioStreamSlot {
  ULONG isCapture;
  ULONG active;
  ULONG master;
  CAsioStream* stream;
};

class CAsio : public IAsio {
 public:
  CAsio();
  virtual ~CAsio();
  CAsio(const CAsio&) = delete;
  CAsio& operator=(const CAsio&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IAsio
  ASIOBool STDMETHODCALLTYPE Init(void* pWndMain) override;
  void STDMETHODCALLTYPE GetDriverName(char* szDriverName) override;
  LONG STDMETHODCALLTYPE GetDriverVersion() override;
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
  ASIOError STDMETHODCALLTYPE ControlPanel() override;
  ASIOError STDMETHODCALLTYPE Future(LONG selector, void* pParameter) override;
  ASIOError STDMETHODCALLTYPE OutputReady() override;

  // For tests and the control panel.
  LONG State() const { return m_state.load(std::memory_order_relaxed); }
  ULONG SlotCount() const { return m_slotCount; }
  const AsioStreamSlot& Slot(ULONG i) const { return m_slots[i]; }
  CAsioStream* MasterStream() const { return m_masterStream; }
  ULONGLONG SwitchCount() const { return m_switchCount.load(std::memory_order_relaxed); }

  // Stream engine.
  ULONG NegotiateBufferSize(ULONG candidate, ULONG sampleRate, ULONG bitDepth);
  ULONG CheckPeriod(LONG bufferSize, const ASIOCallbacks* pCallbacks);
  HRESULT AssignBuffers(ASIOBufferInfo* pBufferInfos, LONG numChannels);
  HRESULT ClearAssignments();
  void SelectMaster();

 private:
  // Stream discovery and channel map.
  HRESULT DiscoverStreams();
  HRESULT BuildChannelLists();
  void DestroyStreams();
  void CloseEvents();

  // Stream thread.
  static DWORD WINAPI StreamThreadProc(LPVOID pvContext);
  void StreamLoop();
  void UpdateTimeInfo();
  void SwitchBuffers();
  void ProcessCaptureStreams();
  void ProcessRenderStreams();
  void CatchUpByCounter();
  ASIOError ReleaseBuffersFromThread();
  void ReleaseBuffers();
  void ToggleBufferIndex();

  // Relaxed atomic access to the time information the host may read while
  // the stream thread writes it.
  ULONG LoadFlags() const;
  void SetFlags(ULONG bits);
  void ClearFlags(ULONG bits);
  double CurrentRate() const;
  void StoreRate(double rate);
  static void Store64(ULONG* pHi, ULONG* pLo, ULONGLONG value);
  static ULONGLONG Load64(const ULONG* pHi, const ULONG* pLo);

  bool Streams(ULONG i) const { return i < m_slotCount && m_slots[i].stream != nullptr; }

  LONG m_refCount = 0;
  void* m_hWndMain = nullptr;
  HANDLE m_hThread = nullptr;
  ULONG m_latencyMs = 50;
  double m_periodMs = 50.0;
  ULONG m_bitDepth = 24;
  alignas(8) ASIOTime m_asioTime = {};  // 8-aligned so its double may be accessed atomically
  LONG m_bufferSize = 0;
  LONG m_numInputs = 0;
  LONG m_numOutputs = 0;
  char m_inputNames[kAsioMaxChannels][32] = {};
  char m_outputNames[kAsioMaxChannels][32] = {};
  std::atomic<LONG> m_state{kAsioLoaded};
  ASIOCallbacks m_callbacks = {};
  AsioStreamSlot m_slots[kAsioMaxSlots] = {};
  ULONG m_slotCount = 0;
  HANDLE m_hNotifyEvent = nullptr;
  HANDLE m_hStopEvent = nullptr;
  std::atomic<LONG> m_bufferIndex{0};
  ULONG m_useTimeInfo = 0;
  ULONG m_hostTimeCode = 0;
  std::atomic<ULONG> m_timeCodeEnabled{0};
  char m_errorText[124] = {};
  std::atomic<ULONGLONG> m_switchCount{0};
  ULONG m_firstStampTaken = 0;
  KSRTAUDIO_HWREGISTER m_clockRegister = {};
  ULONGLONG m_clockAtFirst = 0;
  ULONGLONG m_clockNow = 0;
  LONGLONG m_qpcFrequency = 0;
  LONGLONG m_qpcAtFirst = 0;
  LONGLONG m_qpcNow = 0;
  void* m_panel = nullptr;
  ULONG m_cardVendorId = 0;
  ULONG m_cardDeviceId = 0;
  CKsFilterList* m_renderFilters = nullptr;
  CKsFilterList* m_captureFilters = nullptr;
  double m_switchPeriodMs = 0;
  CAsioStream* m_masterStream = nullptr;
};
