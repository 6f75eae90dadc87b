// Which filter objects of the card become streams, how the channel numbers
// of each direction are laid over them, and what each channel is called.
#include <cstdio>
#include <cstring>
#include <new>

#include "asio/asio.h"
#include "asio/sample_types.h"

namespace {
const GUID kRenderClasses[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
const GUID kCaptureClasses[2] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
constexpr ULONG kNoPresentAnswerVendor = 0x5A3C;

bool AnswersPresent(CKsFilter* filter) {
  ULONG present = 0;
  return SUCCEEDED(filter->GetProperty(KSPROPSETID_OraFilt, KSPROPERTY_ORAFILT_PRESENT, &present, sizeof(present))) &&
         present != 0;
}

void NameChannels(char (*names)[32], LONG base, ULONG count, const char* const* texts) {
  for (ULONG i = 0; i < count; ++i) {
    const LONG channel = base + static_cast<LONG>(i);
    if (channel < 0 || channel >= kAsioMaxChannels) continue;
    std::snprintf(names[channel], 32, "%s", texts[i]);
  }
}

ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }
}  // namespace

void CAsio::DestroyStreams() {
  for (ULONG i = 0; i < kAsioMaxSlots; ++i) {
    delete m_slots[i].stream;
    m_slots[i] = {};
  }
  m_slotCount = 0;
  m_masterStream = nullptr;
}

HRESULT CAsio::DiscoverStreams() {
  if (m_renderFilters == nullptr || m_captureFilters == nullptr) return E_OUTOFMEMORY;
  const HRESULT hrRender = m_renderFilters->EnumerateDevices(KS_FILTER_RENDER, kRenderClasses, 2);
  const HRESULT hrCapture = m_captureFilters->EnumerateDevices(KS_FILTER_CAPTURE, kCaptureClasses, 2);
  if (FAILED(hrRender) && FAILED(hrCapture)) return E_FAIL;

  m_cardVendorId = 0;
  m_cardDeviceId = 0;
  CKsFilter* last = nullptr;
  for (CKsFilterList* list : {m_renderFilters, m_captureFilters}) {
    for (auto* e = list->GetFilters().Head(); e != nullptr; e = e->pNext) {
      if (m_cardVendorId != 0 && m_cardDeviceId != 0) break;
      last = e->pData;
      if (AnswersPresent(last)) {
        m_cardVendorId = last->GetVendorId();
        m_cardDeviceId = last->GetDeviceId();
      }
    }
  }
  if (m_cardVendorId == 0 && last != nullptr && last->GetVendorId() == kNoPresentAnswerVendor)
    m_cardVendorId = kNoPresentAnswerVendor;
  if (m_cardVendorId == 0) return E_FAIL;

  DestroyStreams();
  for (CKsFilterList* list : {m_renderFilters, m_captureFilters}) {
    const bool capture = list == m_captureFilters;
    for (auto* e = list->GetFilters().Head(); e != nullptr; e = e->pNext) {
      // The slot table is full: further filter objects get no stream.
      if (m_slotCount >= kAsioMaxSlots) break;
      auto* filter = static_cast<CKsWaveFilter*>(e->pData);
      const bool taken = m_cardVendorId == kNoPresentAnswerVendor || AnswersPresent(filter) ||
                         (filter->GetVendorId() == m_cardVendorId && filter->GetDeviceId() == m_cardDeviceId);
      if (!taken) continue;
      if (filter->IsSpdifOut() || filter->IsDigitalIn()) continue;
      HRESULT hr = S_OK;
      CAsioStream* stream = capture ? static_cast<CAsioStream*>(new (std::nothrow) CAsioCaptureStream(filter, &hr))
                                    : new (std::nothrow) CAsioRenderStream(filter, &hr);
      if (stream == nullptr) continue;
      if (FAILED(hr)) {
        delete stream;
        continue;
      }
      m_slots[m_slotCount] = {capture ? 1u : 0u, 0, 0, stream};
      ++m_slotCount;
    }
  }
  return m_slotCount != 0 ? S_OK : E_FAIL;
}

HRESULT CAsio::BuildChannelLists() {
  static const char* const kSpeaker8[8] = {"Front L/R",  "Front L/R",  "Rear L/R", "Rear L/R",
                                           "Center/Sub", "Center/Sub", "Side L/R", "Side L/R"};
  static const char* const kLineOut[2] = {"Line-Out L/R", "Line-Out L/R"};
  static const char* const kHeadphones[2] = {"Headphones L/R", "Headphones L/R"};
  static const char* const kMic[2] = {"Mic L/R", "Mic L/R"};
  static const char* const kLineIn[2] = {"Line-In L/R", "Line-In L/R"};
  static const char* const kAuxIn[2] = {"Aux-In L/R", "Aux-In L/R"};
  static const char* const kSpdifIn[2] = {"SPDIF-In L/R", "SPDIF-In L/R"};

  m_numOutputs = 0;
  m_numInputs = 0;
  for (ULONG i = 0; Streams(i); ++i) {
    CAsioStream* stream = m_slots[i].stream;
    CKsWaveFilter* filter = stream->Filter();
    const ULONG n = stream->PinChannels();
    if (!m_slots[i].isCapture) {
      const LONG b = m_numOutputs;
      stream->SetFirstChannel(b);
      if (filter->IsSpeakerOut()) {
        if (n >= 7)
          NameChannels(m_outputNames, b, Min(n, 8), kSpeaker8);
        else if (n >= 3)
          NameChannels(m_outputNames, b, Min(n, 6), kSpeaker8);
        else
          NameChannels(m_outputNames, b, n, kLineOut);
      }
      if (filter->IsHeadphoneOut()) NameChannels(m_outputNames, b, Min(n, 2), kHeadphones);
      m_numOutputs += static_cast<LONG>(n);
    } else {
      const LONG b = m_numInputs;
      stream->SetFirstChannel(b);
      if (filter->IsMicrophoneIn()) NameChannels(m_inputNames, b, Min(n, 2), kMic);
      if (filter->IsLineIn()) NameChannels(m_inputNames, b, Min(n, 2), kLineIn);
      if (filter->IsAnalogIn()) NameChannels(m_inputNames, b, Min(n, 2), kAuxIn);
      if (filter->IsSpdifIn()) NameChannels(m_inputNames, b, Min(n, 2), kSpdifIn);
      m_numInputs += static_cast<LONG>(n);
    }
  }
  HRESULT hr = S_OK;
  if (m_numOutputs > kAsioMaxChannels) {
    m_numOutputs = kAsioMaxChannels;
    hr = E_FAIL;
  }
  if (m_numInputs > kAsioMaxChannels) {
    m_numInputs = kAsioMaxChannels;
    hr = E_FAIL;
  }
  return hr;
}

ASIOError STDMETHODCALLTYPE CAsio::GetChannelInfo(ASIOChannelInfo* pChannelInfo) {
  if (pChannelInfo == nullptr || pChannelInfo->channel < 0 || pChannelInfo->channel >= kAsioMaxChannels)
    return ASE_InvalidParameter;
  const LONG c = pChannelInfo->channel;
  const bool wantCapture = pChannelInfo->isInput == 1;
  ASIOBool active = ASIOFalse;
  LONG group = 0;
  LONG position = 0;
  bool grouped = false;
  for (ULONG i = 0; Streams(i); ++i) {
    const CAsioStream* stream = m_slots[i].stream;
    if (stream->IsCapture() != wantCapture) continue;
    const LONG first = stream->FirstChannel();
    if (first <= c && c < first + static_cast<LONG>(stream->AssignedCount())) active = ASIOTrue;
    if (!grouped && first <= c && c < first + static_cast<LONG>(stream->PinChannels())) {
      group = position;
      grouped = true;
    }
    ++position;
  }
  pChannelInfo->isActive = active;
  pChannelInfo->channelGroup = group;
  pChannelInfo->type = SampleFormatForBitDepth(m_bitDepth).sampleType;
  std::snprintf(pChannelInfo->name, sizeof(pChannelInfo->name), "%s",
                pChannelInfo->isInput != 0 ? m_inputNames[c] : m_outputNames[c]);
  return ASE_OK;
}
