#include "asio/stream.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ks/ks_trace.h"
#include "ks/rtaudio.h"
#include "ks/wave_format.h"
#include "platform/win32.h"

namespace {
constexpr const char* kDriverPrefix = "Calvex VN ORA ASIO - ";

void WriteStreamLine(const char* name, const char* what) {
  char line[MAX_PATH + 64];
  std::snprintf(line, sizeof(line), "%s%s%s\n", kDriverPrefix, name, what);
  OutputDebugStringA(line);
}
}  // namespace

CAsioStream::CAsioStream(CKsWaveFilter* pFilter, HRESULT* phr) : m_filter(pFilter) {
  HRESULT hr = S_OK;
  m_dataFlow = pFilter->GetFilterType();
  // The name is the part of the upper-cased device path after its first "}\".
  const char* path = pFilter->GetDevicePath();
  const char* tail = std::strstr(path, "}\\");
  if (tail != nullptr) {
    tail += 2;
    size_t i = 0;
    for (; tail[i] != '\0' && i + 1 < sizeof(m_name); ++i)
      m_name[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(tail[i])));
    m_name[i] = '\0';
  }
  m_pinChannels = pFilter->GetMaxChannels();
  if (m_pinChannels > kAsioStreamMaxChannels) m_pinChannels = kAsioStreamMaxChannels;
  const ULONG entries = m_pinChannels == 0 ? 1 : m_pinChannels;
  m_assignedChannels = static_cast<LONG*>(std::calloc(entries, sizeof(LONG)));
  m_hostBufferSlots = static_cast<void***>(std::calloc(entries, sizeof(void**)));
  if (m_assignedChannels == nullptr || m_hostBufferSlots == nullptr) hr = E_OUTOFMEMORY;
  if (phr != nullptr) *phr = hr;
}

CAsioStream::~CAsioStream() {
  std::free(m_hostPool);
  std::free(m_assignedChannels);
  std::free(m_hostBufferSlots);
}

bool CAsioStream::Assign(LONG channelNum, void** ppBuffers) {
  if (m_assignedCount >= m_pinChannels) return false;
  m_assignedChannels[m_assignedCount] = channelNum;
  m_hostBufferSlots[m_assignedCount] = ppBuffers;
  ++m_assignedCount;
  return true;
}

void CAsioStream::ClearAssignment() {
  m_assignedCount = 0;
  if (m_pinChannels == 0) return;
  std::memset(m_assignedChannels, 0, m_pinChannels * sizeof(LONG));
  std::memset(m_hostBufferSlots, 0, m_pinChannels * sizeof(void**));
}

bool CAsioStream::IsPairAt(ULONG k) const { return ::IsPairAt(m_assignedChannels, m_assignedCount, m_firstChannel, k); }

HRESULT CAsioStream::CreateStreamBuffers(ULONG periodFrames, ULONG sampleRate, ULONG bitDepth) {
  m_pairMode = m_sixChannelMode = m_eightChannelMode = 0;
  m_periodFrames = periodFrames;
  m_cycleFrames = 2 * periodFrames;

  ULONG devices = 0;
  if (IsPairAt(0)) {
    devices = 2;
    m_pairMode = 1;
  } else {
    devices = m_pinChannels;
    if (devices == 6 && m_assignedCount != 2) m_sixChannelMode = 1;
    if (devices == 8 && m_assignedCount != 2) m_eightChannelMode = 1;
  }
  MakeWaveFormatExtensible(&m_format, static_cast<WORD>(devices), sampleRate, static_cast<WORD>(bitDepth));

  const ULONG halfBytes = m_format.Format.wBitsPerSample * periodFrames / 8;
  const ULONG requested = m_format.Format.nBlockAlign * 2 * periodFrames;

  // Free a pool left from an earlier CreateBuffers whose dispose never came.
  std::free(m_hostPool);
  m_hostPoolBytes = (devices + 1) * 2 * halfBytes;
  m_hostPool = static_cast<BYTE*>(std::calloc(1, m_hostPoolBytes == 0 ? 1 : m_hostPoolBytes));
  if (m_hostPool == nullptr) {
    m_hostPoolBytes = 0;
    return E_OUTOFMEMORY;
  }
  for (ULONG i = 0; i < m_assignedCount; ++i) {
    m_hostBufferSlots[i][0] = m_hostPool + i * 2 * halfBytes;
    m_hostBufferSlots[i][1] = m_hostPool + i * 2 * halfBytes + halfBytes;
  }
  m_spareBuffer = m_hostPool + devices * 2 * halfBytes;

  std::memset(m_channelTable, 0, sizeof(m_channelTable));
  for (ULONG i = 0; i < m_assignedCount; ++i)
    m_channelTable[m_assignedChannels[i] - m_firstChannel] = m_hostBufferSlots[i][0];
  for (ULONG k = 0; k < m_pinChannels; ++k)
    if (m_channelTable[k] == nullptr) m_channelTable[k] = m_spareBuffer;

  PeriodCopyShape shape{m_format.Format.wBitsPerSample,
                        m_format.Format.nChannels,
                        m_pinChannels,
                        m_pairMode != 0,
                        m_sixChannelMode != 0,
                        m_eightChannelMode != 0,
                        PairAtMask(m_assignedChannels, m_assignedCount, m_firstChannel, m_pinChannels)};
  m_copy = IsCapture() ? SelectCaptureCopy(shape) : SelectRenderCopy(shape);

  const LONG pinId = m_filter->GetSelectedPinId();
  KSPIN_CINSTANCES instances{};
  bool full = false;
  if (SUCCEEDED(m_filter->GetPinProperty(pinId, KSPROPERTY_PIN_CINSTANCES, &instances, sizeof(instances))) &&
      instances.CurrentCount >= instances.PossibleCount)
    full = true;
  if (!full &&
      SUCCEEDED(m_filter->GetPinProperty(pinId, KSPROPERTY_PIN_GLOBALCINSTANCES, &instances, sizeof(instances))) &&
      instances.CurrentCount >= instances.PossibleCount)
    full = true;
  if (!full) m_pin = m_filter->CreatePin(&m_format.Format, TRUE);
  if (m_pin == nullptr) return E_INVALIDARG;

  const HRESULT hr = m_pin->AllocateRtBuffer(&m_cycleBuffer, requested, &m_cycleBytes);
  if (FAILED(hr)) return hr;
  std::memset(m_cycleBuffer, 0, m_cycleBytes);

  HRESULT hrRequest = KsGetPositionRegister(m_pin, &m_positionRegister);
  if (FAILED(hrRequest))
    KsTrace(KS_TRACE_ERROR, "Failed to retrieve audio stream position register - %#08x",
            static_cast<unsigned>(hrRequest));
  hrRequest = KsGetHwLatency(m_pin, &m_hwLatency);
  if (FAILED(hrRequest))
    KsTrace(KS_TRACE_ERROR, "Failed to retrieve audio stream hardware latency - %#08x",
            static_cast<unsigned>(hrRequest));
  return hr;
}

HRESULT CAsioStream::PrepareStart() {
  m_half = 1;
  m_driftArmed = 1;
  m_writeOffset = 0;
  m_offsetValid = 0;
  m_periodCount = 0;
  if (m_hostPool != nullptr) std::memset(m_hostPool, 0, m_hostPoolBytes);
  if (m_cycleBuffer != nullptr) std::memset(m_cycleBuffer, 0, m_cycleBytes);
  m_checkInterval = m_periodFrames == 0 ? 0 : (m_format.Format.nSamplesPerSec / m_periodFrames) / 100;
  if (m_checkInterval == 0) m_checkInterval = 1;
  WriteStreamLine(m_name, " started");
  return 0;
}

HRESULT CAsioStream::DisposeStreamBuffers() {
  m_hwLatency = {};
  m_positionRegister = {};
  m_cycleBuffer = nullptr;
  m_cycleBytes = 0;
  const HRESULT hr = m_filter->ReleaseCurrentPin();
  m_pin = nullptr;
  std::free(m_hostPool);
  m_hostPool = nullptr;
  m_hostPoolBytes = 0;
  m_spareBuffer = nullptr;
  std::memset(m_channelTable, 0, sizeof(m_channelTable));
  m_format = {};
  m_copy = {};
  m_pairMode = m_sixChannelMode = m_eightChannelMode = 0;
  m_periodFrames = m_cycleFrames = 0;
  return hr;
}

ULONG CAsioStream::ReadPositionFrames() const {
  const ULONG bytes =
      std::atomic_ref<ULONG>(*static_cast<ULONG*>(m_positionRegister.Register)).load(std::memory_order_relaxed);
  const ULONG align = m_format.Format.nBlockAlign;
  return align == 0 ? 0 : bytes / align;
}

void CAsioStream::UpdateOffset(ULONG fUseGiven, ULONG position) {
  if (m_cycleFrames == 0) return;
  if (fUseGiven == 0) {
    if (m_positionRegister.Register == nullptr) return;
    position = ReadPositionFrames();
  }
  ULONG offset = position;
  if (m_half == 0) offset += m_periodFrames;
  offset %= m_cycleFrames;
  const ULONG margin = 15 * m_periodFrames / 100;
  if (offset < margin) offset += m_cycleFrames;
  m_writeOffset = offset - margin;
  m_offsetValid = 1;
}

void CAsioStream::CheckDrift() {
  if (m_positionRegister.Register == nullptr || m_cycleFrames == 0) return;
  ULONG p = ReadPositionFrames();
  const ULONG m3 = 3 * m_periodFrames / 100;
  ULONG lo = (m_half * m_periodFrames + m_writeOffset) % m_cycleFrames;
  if (lo < m3) lo += m_cycleFrames;
  lo -= m3;
  if (p < lo) p += m_cycleFrames;
  const bool inside = p >= lo && p < lo + m_periodFrames + m3;
  if (inside && m_driftArmed != 0) {
    m_driftArmed = 0;
  } else if (inside) {
    UpdateOffset(1, p);
    m_driftArmed = 1;
  } else {
    m_driftArmed = 1;
  }
}

void CAsioStream::Process(ULONG /*bufferIndex*/) {
  m_half ^= 1;
  if (m_offsetValid == 0 && m_periodCount >= 2) UpdateOffset(0, 0);
  if (m_checkInterval != 0 && m_periodCount % m_checkInterval == 0) CheckDrift();
  ++m_periodCount;
}

PeriodPlacement CAsioStream::Placement(ULONG bufferIndex) const {
  return PeriodPlacement{m_channelTable, bufferIndex,   m_half,      m_periodFrames,
                         m_writeOffset,  m_cycleBuffer, m_cycleBytes};
}

void CAsioRenderStream::Process(ULONG bufferIndex) {
  CAsioStream::Process(bufferIndex);
  RenderPeriod(m_copy, Placement(bufferIndex));
}

void CAsioCaptureStream::Process(ULONG bufferIndex) {
  CAsioStream::Process(bufferIndex);
  CapturePeriod(m_copy, Placement(bufferIndex));
}
