// One stream of the card: a wave filter object with one looped WaveRT pin and
// the host buffers assigned to its channels. Process runs on the stream
// thread once per buffer switch and copies one period; everything it touches
// is set up by CreateStreamBuffers on the host's thread.
#pragma once

#include "asio/asio_types.h"
#include "asio/period_copy.h"
#include "ks/filter.h"

// At most this many channels per stream: the size of the channel table.
inline constexpr ULONG kAsioStreamMaxChannels = 8;

class CAsioStream {
 public:
  // Asks the filter for its channel count; a filter that offers more than
  // the channel table holds is limited to its first eight channels.
  CAsioStream(CKsWaveFilter* pFilter, HRESULT* phr);
  virtual ~CAsioStream();
  CAsioStream(const CAsioStream&) = delete;
  CAsioStream& operator=(const CAsioStream&) = delete;

  virtual void Process(ULONG bufferIndex);

  HRESULT CreateStreamBuffers(ULONG periodFrames, ULONG sampleRate, ULONG bitDepth);
  HRESULT PrepareStart();
  HRESULT DisposeStreamBuffers();
  void UpdateOffset(ULONG fUseGiven, ULONG position);
  void CheckDrift();
  bool IsPairAt(ULONG k) const;

  // Assignment by CAsio::AssignBuffers / ClearAssignments.
  bool Assign(LONG channelNum, void** ppBuffers);
  void ClearAssignment();

  CKsWaveFilter* Filter() const { return m_filter; }
  CKsWavePin* Pin() const { return m_pin; }
  ULONG DataFlow() const { return m_dataFlow; }
  bool IsCapture() const { return m_dataFlow == KS_FILTER_CAPTURE; }
  const char* Name() const { return m_name; }
  LONG FirstChannel() const { return m_firstChannel; }
  void SetFirstChannel(LONG first) { m_firstChannel = first; }
  ULONG PinChannels() const { return m_pinChannels; }
  ULONG AssignedCount() const { return m_assignedCount; }
  const LONG* AssignedChannels() const { return m_assignedChannels; }
  ULONG PeriodFrames() const { return m_periodFrames; }
  ULONG WriteOffset() const { return m_writeOffset; }
  const WAVEFORMATEXTENSIBLE& Format() const { return m_format; }
  bool PairMode() const { return m_pairMode != 0; }
  bool SixChannelMode() const { return m_sixChannelMode != 0; }
  bool EightChannelMode() const { return m_eightChannelMode != 0; }
  const KSRTAUDIO_HWREGISTER& PositionRegister() const { return m_positionRegister; }

 protected:
  PeriodPlacement Placement(ULONG bufferIndex) const;
  // Byte position of the hardware in frames; the register is 32 bits wide.
  ULONG ReadPositionFrames() const;

  CKsWaveFilter* m_filter = nullptr;
  CKsWavePin* m_pin = nullptr;
  ULONG m_dataFlow = 0;
  char m_name[MAX_PATH] = {};
  LONG m_firstChannel = 0;
  ULONG m_pinChannels = 0;
  ULONG m_assignedCount = 0;
  ULONG m_periodFrames = 0;
  ULONG m_cycleFrames = 0;
  LONG* m_assignedChannels = nullptr;
  void*** m_hostBufferSlots = nullptr;
  BYTE* m_hostPool = nullptr;
  ULONG m_hostPoolBytes = 0;
  void* m_channelTable[kAsioStreamMaxChannels] = {};
  BYTE* m_spareBuffer = nullptr;
  void* m_cycleBuffer = nullptr;
  ULONG m_cycleBytes = 0;
  ULONG m_writeOffset = 0;
  ULONG m_offsetValid = 0;
  ULONGLONG m_periodCount = 0;
  ULONG m_half = 0;
  ULONG m_driftArmed = 0;
  ULONG m_pairMode = 0;
  ULONG m_sixChannelMode = 0;
  ULONG m_eightChannelMode = 0;
  WAVEFORMATEXTENSIBLE m_format = {};
  KSRTAUDIO_HWLATENCY m_hwLatency = {};
  KSRTAUDIO_HWREGISTER m_positionRegister = {};
  ULONG m_checkInterval = 0;
  // The copy this stream's shape selects, fixed by CreateStreamBuffers.
  PeriodCopy m_copy = {};
};

class CAsioRenderStream : public CAsioStream {
 public:
  CAsioRenderStream(CKsWaveFilter* pFilter, HRESULT* phr) : CAsioStream(pFilter, phr) {}
  void Process(ULONG bufferIndex) override;
};

class CAsioCaptureStream : public CAsioStream {
 public:
  CAsioCaptureStream(CKsWaveFilter* pFilter, HRESULT* phr) : CAsioStream(pFilter, phr) {}
  void Process(ULONG bufferIndex) override;
};
