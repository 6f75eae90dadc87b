// Filter topology, stream-pin selection, physical connections and jack
// types: the PCM driver's build only.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "ks/filter.h"
#include "ks/ks_parse.h"
#include "ks/ks_trace.h"
#include "platform/win32/nls.h"

namespace {

bool IsLineConnectorPin(void* pContext, ULONG ulPin) {
  GUID category{};
  return SUCCEEDED(static_cast<CKsFilter*>(pContext)->GetPinProperty(ulPin, KSPROPERTY_PIN_CATEGORY, &category,
                                                                     sizeof(category))) &&
         category == KSNODETYPE_LINE_CONNECTOR;
}

bool SamePath(const char* pszUpper, const char* pszLink) {
  for (; *pszUpper != '\0' && *pszLink != '\0'; ++pszUpper, ++pszLink)
    if (*pszUpper != static_cast<char>(std::toupper(static_cast<unsigned char>(*pszLink)))) return false;
  return *pszUpper == *pszLink;
}

}  // namespace

HRESULT CKsFilter::GetTopologyConnections() {
  m_listConnections.Clear();
  void* pvAnswer = nullptr;
  ULONG cbAnswer = 0;
  HRESULT hr = GetPropertyAlloc(KSPROPERTY_TOPOLOGY_CONNECTIONS, &pvAnswer, &cbAnswer);
  if (FAILED(hr)) {
    KsTrace(KS_TRACE_ENUM, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_CONNECTIONS");
    std::free(pvAnswer);
    return hr;
  }
  if (pvAnswer == nullptr) return S_OK;
  hr = KsCopyTopologyConnections(pvAnswer, cbAnswer, &m_listConnections);
  std::free(pvAnswer);
  return hr;
}

bool CKsFilter::LinkRepeatsChain(const char* pszLink) const {
  for (const CKsFilter* pFilter = this; pFilter != nullptr; pFilter = pFilter->m_pChainParent)
    if (SamePath(pFilter->m_szDevicePath, pszLink)) return true;
  return false;
}

HRESULT CKsFilter::GetPhysicalConnection() {
  if (m_nBridgePin == -1) return E_FAIL;
  m_nConnectedPin = -1;
  std::free(m_pszConnectedLink);
  m_pszConnectedLink = nullptr;

  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = KSPROPERTY_PIN_PHYSICALCONNECTION;
  property.Property.Flags = KSPROPERTY_TYPE_GET;
  property.PinId = static_cast<ULONG>(m_nBridgePin);
  ULONG cbSize = 0;
  HRESULT hr = SyncIoctl(m_handle, &property, sizeof(property), nullptr, 0, &cbSize);
  if (FAILED(hr)) return hr;
  if (cbSize == 0 || cbSize > 0xFFFFFFFFu - 2) return E_FAIL;
  void* pvAnswer = std::calloc(1, cbSize + 2);
  if (pvAnswer == nullptr) return E_OUTOFMEMORY;
  ULONG cbReturned = 0;
  hr = SyncIoctl(m_handle, &property, sizeof(property), pvAnswer, cbSize, &cbReturned);
  ULONG ulPin = 0;
  ULONG cchLink = 0;
  // The link must end inside what the device returned.
  if (FAILED(hr) || cbReturned == 0 ||
      !KsParsePhysicalConnection(pvAnswer, cbReturned < cbSize ? cbReturned : cbSize, &ulPin, &cchLink)) {
    std::free(pvAnswer);
    return E_FAIL;
  }
  m_nConnectedPin = static_cast<LONG>(ulPin);
  ULONG cbLink = (cbSize + 2) / 2;
  m_pszConnectedLink = static_cast<char*>(std::calloc(1, cbLink));
  if (m_pszConnectedLink == nullptr) {
    std::free(pvAnswer);
    return E_OUTOFMEMORY;
  }
  const WCHAR* pszWide = reinterpret_cast<const WCHAR*>(static_cast<BYTE*>(pvAnswer) +
                                                        offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName));
  if (WideCharToMultiByte(CP_ACP, 0, pszWide, -1, m_pszConnectedLink, static_cast<int>(cbLink), nullptr, nullptr) ==
      0) {
    KsTrace(KS_TRACE_ERROR, "WideCharToMultiByte failed. Error = 0x%08x", static_cast<unsigned>(GetLastError()));
    hr = E_FAIL;
  } else {
    KsTrace(KS_TRACE_INFO, "Connected device: %s (Pin %d)", m_pszConnectedLink, static_cast<int>(m_nConnectedPin));
    hr = S_OK;
  }
  std::free(pvAnswer);
  return hr;
}

// ---- wave filters ----

CKsWavePin* CKsWaveFilter::SelectedPin() const {
  if (m_fSelectByIndex) {
    if (m_nSelectedIndex < 0) return nullptr;
    return static_cast<CKsWavePin*>(StreamPins().At(static_cast<ULONG>(m_nSelectedIndex)));
  }
  if (m_nSelectedIndex == -1) return nullptr;
  for (auto* pEntry = StreamPins().Head(); pEntry != nullptr; pEntry = pEntry->pNext)
    if (pEntry->pData->GetPinId() == static_cast<ULONG>(m_nSelectedIndex))
      return static_cast<CKsWavePin*>(pEntry->pData);
  return nullptr;
}

// No pin is -1: the bridge search, the physical connection and the jack tests then find nothing.
LONG CKsWaveFilter::SelectedPinId() const {
  if (m_fSelectByIndex) {
    CKsPin* pPin = m_nSelectedIndex < 0 ? nullptr : StreamPins().At(static_cast<ULONG>(m_nSelectedIndex));
    return pPin == nullptr ? -1 : static_cast<LONG>(pPin->GetPinId());
  }
  return m_nSelectedIndex;
}

BOOL CKsWaveFilter::TestJack(ULONG ulDataFlow, const GUID& category, BOOL (CKsFilter::*pfnSame)()) {
  if (m_nBridgePin != -1) {
    ULONG ulFlow = 0;
    GUID guid{};
    if (SUCCEEDED(GetPinProperty(static_cast<ULONG>(m_nBridgePin), KSPROPERTY_PIN_DATAFLOW, &ulFlow, sizeof(ulFlow))) &&
        ulFlow == ulDataFlow &&
        SUCCEEDED(GetPinProperty(static_cast<ULONG>(m_nBridgePin), KSPROPERTY_PIN_CATEGORY, &guid, sizeof(guid))) &&
        guid == category)
      return TRUE;
  }
  return m_pConnectedFilter != nullptr && (m_pConnectedFilter->*pfnSame)();
}

BOOL CKsWaveFilter::IsSpeakerOut() {
  return TestJack(KSPIN_DATAFLOW_OUT, KSNODETYPE_SPEAKER, &CKsFilter::IsSpeakerOut);
}
BOOL CKsWaveFilter::IsHeadphoneOut() {
  return TestJack(KSPIN_DATAFLOW_OUT, KSNODETYPE_HEADPHONES, &CKsFilter::IsHeadphoneOut);
}
BOOL CKsWaveFilter::IsSpdifOut() {
  return TestJack(KSPIN_DATAFLOW_OUT, KSNODETYPE_SPDIF_INTERFACE, &CKsFilter::IsSpdifOut);
}
BOOL CKsWaveFilter::IsMicrophoneIn() {
  return TestJack(KSPIN_DATAFLOW_IN, KSNODETYPE_MICROPHONE, &CKsFilter::IsMicrophoneIn);
}
BOOL CKsWaveFilter::IsLineIn() { return TestJack(KSPIN_DATAFLOW_IN, KSNODETYPE_LINE_CONNECTOR, &CKsFilter::IsLineIn); }
BOOL CKsWaveFilter::IsAnalogIn() {
  return TestJack(KSPIN_DATAFLOW_IN, KSNODETYPE_ANALOG_CONNECTOR, &CKsFilter::IsAnalogIn);
}
BOOL CKsWaveFilter::IsSpdifIn() {
  return TestJack(KSPIN_DATAFLOW_IN, KSNODETYPE_SPDIF_INTERFACE, &CKsFilter::IsSpdifIn);
}
BOOL CKsWaveFilter::IsDigitalIn() {
  return TestJack(KSPIN_DATAFLOW_IN, KSNODETYPE_DIGITAL_AUDIO_INTERFACE, &CKsFilter::IsDigitalIn);
}

HRESULT CKsWaveFilter::FollowInto(CKsFilter* pConnected) {
  if (pConnected == nullptr) return E_FAIL;
  HRESULT hr = pConnected->Instantiate();
  if (SUCCEEDED(hr)) hr = pConnected->EnumeratePins();
  if (SUCCEEDED(hr)) hr = pConnected->GetTopologyConnections();
  if (FAILED(hr)) return hr;
  if (SUCCEEDED(pConnected->SelectPin({m_nConnectedPin, 0}))) pConnected->FollowPhysicalConnection();
  return hr;
}

HRESULT CKsWaveRenderFilter::FollowPhysicalConnection() {
  HRESULT hr = GetPhysicalConnection();
  if (FAILED(hr)) return hr;
  delete m_pConnectedFilter;
  m_pConnectedFilter = nullptr;
  // A chain that comes back to a filter it passed, or runs too long, stops here.
  if (LinkRepeatsChain(m_pszConnectedLink) || m_ulChainDepth + 1 > KS_MAX_CONNECTED_FILTERS) return E_FAIL;
  auto* pConnected = new (std::nothrow) CKsWaveRenderFilter(m_pszConnectedLink, &hr);
  m_pConnectedFilter = pConnected;
  if (pConnected == nullptr) return E_FAIL;
  if (FAILED(hr)) return hr;
  pConnected->m_pChainParent = this;
  pConnected->m_ulChainDepth = m_ulChainDepth + 1;
  return FollowInto(pConnected);
}

HRESULT CKsWaveCaptureFilter::FollowPhysicalConnection() {
  HRESULT hr = GetPhysicalConnection();
  if (FAILED(hr)) return hr;
  delete m_pConnectedFilter;
  m_pConnectedFilter = nullptr;
  if (LinkRepeatsChain(m_pszConnectedLink) || m_ulChainDepth + 1 > KS_MAX_CONNECTED_FILTERS) return E_FAIL;
  auto* pConnected = new (std::nothrow) CKsWaveCaptureFilter(m_pszConnectedLink, &hr);
  m_pConnectedFilter = pConnected;
  if (pConnected == nullptr) return E_FAIL;
  if (FAILED(hr)) return hr;
  pConnected->m_pChainParent = this;
  pConnected->m_ulChainDepth = m_ulChainDepth + 1;
  return FollowInto(pConnected);
}

HRESULT CKsWaveRenderFilter::SelectPin(KsPinSelection selection) {
  if (selection.nIndex == -1 && selection.fSelectByIndex == 0) return E_INVALIDARG;
  m_nSelectedIndex = selection.nIndex;
  m_fSelectByIndex = selection.fSelectByIndex;
  LONG nPinId = GetSelectedPinId();
  m_nBridgePin = nPinId == -1 ? -1 : FindBridgePinDownstream(KSFILTER_NODE, static_cast<ULONG>(nPinId));
  return S_OK;
}

HRESULT CKsWaveCaptureFilter::SelectPin(KsPinSelection selection) {
  if (selection.nIndex == -1 && selection.fSelectByIndex == 0) return E_INVALIDARG;
  m_nSelectedIndex = selection.nIndex;
  m_fSelectByIndex = selection.fSelectByIndex;
  LONG nPinId = GetSelectedPinId();
  m_nBridgePin = nPinId == -1 ? -1 : FindBridgePinUpstream(KSFILTER_NODE, static_cast<ULONG>(nPinId));
  return S_OK;
}

LONG CKsWaveRenderFilter::FindBridgePinDownstream(ULONG ulNode, ULONG ulPin) {
  return KsFindBridgePinDownstream(m_listConnections, ulNode, ulPin);
}

LONG CKsWaveCaptureFilter::FindBridgePinUpstream(ULONG ulNode, ULONG ulPin) {
  return KsFindBridgePinUpstream(m_listConnections, ulNode, ulPin, IsLineConnectorPin, this, &m_fLineIn);
}
