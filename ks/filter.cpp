#include "ks/filter.h"

#include <cstdlib>
#include <cstring>

#include "ks/ks_parse.h"
#include "ks/ks_trace.h"
#include "ks/wave_format.h"

// ---- CKsFilter ----

CKsFilter::CKsFilter(const char* pszDevicePath, HRESULT* phr) {
  *phr = S_OK;
  if (pszDevicePath == nullptr) {
    KsTrace(KS_TRACE_ERROR, "pszName cannot be NULL");
    *phr = E_INVALIDARG;
    return;
  }
  // A path that does not fit is refused rather than cut to another name.
  if (!KsCopyDevicePath(m_szDevicePath, pszDevicePath)) *phr = E_INVALIDARG;
}

CKsFilter::~CKsFilter() {
  // Called by name: the derived parts are gone by now.
  CKsFilter::ClearLists();
  if (KsIsValidHandle(m_handle)) CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
#if !ORA_KS_DSD
  std::free(m_pszConnectedLink);
  delete m_pConnectedFilter;
#endif
}

HRESULT CKsFilter::Instantiate() {
  m_handle = CreateFileA(m_szDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!KsIsValidHandle(m_handle)) {
    KsTrace(KS_TRACE_ERROR, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x",
            m_szDevicePath, static_cast<unsigned>(GetLastError()));
    m_handle = INVALID_HANDLE_VALUE;
    return E_FAIL;
  }
  return S_OK;
}

HRESULT CKsFilter::EnumeratePins() {
  ULONG ulPins = 0;
  if (FAILED(GetPinProperty(0, KSPROPERTY_PIN_CTYPES, &ulPins, sizeof(ulPins)))) ulPins = 0;
  for (ULONG ulPin = 0; ulPin < ulPins; ++ulPin) {
    HRESULT hr = S_OK;
    CKsPin* pPin = new (std::nothrow) CKsPin(this, ulPin, &hr);
    if (pPin == nullptr) {
      KsTrace(KS_TRACE_ERROR, "Failed to create pin");
    } else if (FAILED(hr)) {
      KsTrace(KS_TRACE_ERROR, "Failed to construct pin");
      delete pPin;
    } else if (!m_listPins.Append(pPin)) {
      KsTrace(KS_TRACE_ERROR, "Failed to add pin to list");
      delete pPin;
    }
  }
  HRESULT hr = ClassifyPins();
  if (m_listRenderPins.IsEmpty() && m_listCapturePins.IsEmpty() && m_listRenderSourcePins.IsEmpty() &&
      m_listCaptureSourcePins.IsEmpty() && m_listNoCommPins.IsEmpty()) {
    KsTrace(KS_TRACE_ERROR, "Filter is not viable. It has no pins.");
    return E_FAIL;
  }
  return hr;
}

HRESULT CKsFilter::GetTopologyNodes() {
  m_listNodes.Clear();
  void* pvAnswer = nullptr;
  ULONG cbAnswer = 0;
  HRESULT hr = GetPropertyAlloc(KSPROPERTY_TOPOLOGY_NODES, &pvAnswer, &cbAnswer);
  if (FAILED(hr)) {
    KsTrace(KS_TRACE_ENUM, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
    std::free(pvAnswer);
    return hr;
  }
  if (pvAnswer == nullptr) return S_OK;
  KsItemView view;
  hr = KsParseMultipleItem(pvAnswer, cbAnswer, sizeof(GUID), &view) ? S_OK : E_FAIL;
  for (ULONG i = 0; SUCCEEDED(hr) && i < view.ulCount; ++i) {
    auto* pNode = new (std::nothrow) KsTopologyNode{i, {'N', 'O', 'N', 'E'}, {}};
    if (pNode == nullptr) break;
    std::memcpy(&pNode->guidType, view.pItems + i * sizeof(GUID), sizeof(GUID));
    if (!m_listNodes.Append(pNode)) {
      delete pNode;
      break;
    }
  }
  if (SUCCEEDED(hr) && m_listNodes.Count() != view.ulCount) hr = E_FAIL;
  if (FAILED(hr)) m_listNodes.Clear();
  std::free(pvAnswer);
  return hr;
}

HRESULT CKsFilter::ClearLists() {
  m_listNodes.Clear();
#if !ORA_KS_DSD
  m_listConnections.Clear();
#endif
  // The pin lists only borrow; drop their entries before the pins go.
  m_listRenderPins.Clear();
  m_listCaptureSourcePins.Clear();
  m_listCapturePins.Clear();
  m_listRenderSourcePins.Clear();
  m_listNoCommPins.Clear();
  m_listPins.Clear();
  return S_OK;
}

HRESULT CKsFilter::ClassifyPins() {
  for (auto* pEntry = m_listPins.Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
    CKsPin* pPin = pEntry->pData;
    bool fIn = pPin->GetDataFlow() == static_cast<ULONG>(KSPIN_DATAFLOW_IN);
    bool fOk = true;
    switch (pPin->GetCommunication()) {
      case KSPIN_COMMUNICATION_NONE:
        fOk = m_listNoCommPins.Append(pPin);
        break;
      case KSPIN_COMMUNICATION_SINK:
        fOk = (fIn ? m_listRenderPins : m_listCapturePins).Append(pPin);
        break;
      case KSPIN_COMMUNICATION_SOURCE:
        fOk = (fIn ? m_listRenderSourcePins : m_listCaptureSourcePins).Append(pPin);
        break;
      case KSPIN_COMMUNICATION_BOTH:
        fOk = (fIn ? m_listRenderPins : m_listCapturePins).Append(pPin) &&
              (fIn ? m_listRenderSourcePins : m_listCaptureSourcePins).Append(pPin);
        break;
      default:
        KsTrace(KS_TRACE_INFO, "Pin communication type not recognized");
        break;
    }
    if (!fOk) return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CKsFilter::GetPinProperty(ULONG nPinId, ULONG ulId, void* pvOut, ULONG cbOut) {
  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = ulId;
  property.Property.Flags = KSPROPERTY_TYPE_GET;
  property.PinId = nPinId;
  return SyncIoctl(m_handle, &property, sizeof(property), pvOut, cbOut, nullptr);
}

HRESULT CKsFilter::GetPinPropertyAlloc(ULONG nPinId, ULONG ulId, void** ppvBuffer, ULONG* pcbBuffer) {
  if (pcbBuffer != nullptr) *pcbBuffer = 0;
  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = ulId;
  property.Property.Flags = KSPROPERTY_TYPE_GET;
  property.PinId = nPinId;
  ULONG cbNeeded = 0;
  HRESULT hr = SyncIoctl(m_handle, &property, sizeof(property), nullptr, 0, &cbNeeded);
  if (FAILED(hr)) return hr;
  if (cbNeeded == 0) return E_FAIL;
  // Zero-filled, so an answer shorter than announced reads as zeros.
  void* pvBuffer = std::calloc(1, cbNeeded);
  if (pvBuffer == nullptr) return E_OUTOFMEMORY;
  *ppvBuffer = pvBuffer;
  if (pcbBuffer != nullptr) *pcbBuffer = cbNeeded;
  return SyncIoctl(m_handle, &property, sizeof(property), pvBuffer, cbNeeded, nullptr);
}

ULONG CKsFilter::GetVendorId() const { return KsParseDevicePathId(m_szDevicePath, "VEN_", "VID_"); }
ULONG CKsFilter::GetDeviceId() const { return KsParseDevicePathId(m_szDevicePath, "DEV_", "PID_"); }

#if !ORA_KS_DSD
HRESULT CKsFilter::SelectPin(KsPinSelection) { return E_FAIL; }
HRESULT CKsFilter::FollowPhysicalConnection() { return E_FAIL; }
BOOL CKsFilter::IsSpeakerOut() { return FALSE; }
BOOL CKsFilter::IsHeadphoneOut() { return FALSE; }
BOOL CKsFilter::IsSpdifOut() { return FALSE; }
BOOL CKsFilter::IsMicrophoneIn() { return FALSE; }
BOOL CKsFilter::IsLineIn() { return FALSE; }
BOOL CKsFilter::IsAnalogIn() { return FALSE; }
BOOL CKsFilter::IsSpdifIn() { return FALSE; }
BOOL CKsFilter::IsDigitalIn() { return FALSE; }
#endif

// ---- CKsWaveFilter ----

HRESULT CKsWaveFilter::EnumeratePins() {
  ULONG ulPins = 0;
  if (FAILED(GetPinProperty(0, KSPROPERTY_PIN_CTYPES, &ulPins, sizeof(ulPins)))) {
    KsTrace(KS_TRACE_ERROR, "Failed to retrieve count of pins in audio filter");
    ulPins = 0;
  }
  for (ULONG ulPin = 0; ulPin < ulPins; ++ulPin) {
    ULONG ulCommunication = 0;
    if (FAILED(GetPinProperty(ulPin, KSPROPERTY_PIN_COMMUNICATION, &ulCommunication, sizeof(ulCommunication)))) {
      KsTrace(KS_TRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
      continue;
    }
    if (ulCommunication != static_cast<ULONG>(KSPIN_COMMUNICATION_SINK) &&
        ulCommunication != static_cast<ULONG>(KSPIN_COMMUNICATION_SOURCE) &&
        ulCommunication != static_cast<ULONG>(KSPIN_COMMUNICATION_BOTH)) {
      KsTrace(KS_TRACE_ERROR, "Pin communication value doesn't make sense");
      continue;
    }
    ULONG ulDataFlow = 0;
    if (FAILED(GetPinProperty(ulPin, KSPROPERTY_PIN_DATAFLOW, &ulDataFlow, sizeof(ulDataFlow)))) {
      KsTrace(KS_TRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
      continue;
    }
    HRESULT hr = S_OK;
    CKsWavePin* pPin = new (std::nothrow) CKsWavePin(this, ulPin, &hr);
    bool fOutOfMemory = false;
    if (pPin == nullptr) {
      KsTrace(KS_TRACE_ERROR, "Failed to create audio pin");
      fOutOfMemory = true;
    } else if (FAILED(hr)) {
      delete pPin;
    } else if (!m_listPins.Append(pPin)) {
      delete pPin;
      KsTrace(KS_TRACE_ERROR, "Unable to allocate list entry to save pin in");
      fOutOfMemory = true;
    }
    if (fOutOfMemory) {
      KsTrace(KS_TRACE_ERROR, "Ran out of memory enumerating pins - deleting all pins");
      m_listPins.Clear();
      return E_OUTOFMEMORY;
    }
  }
#if !ORA_KS_DSD
  if (ulPins == 0) {
    KsTrace(KS_TRACE_ERROR, "No pins found on the filter");
    return E_FAIL;
  }
#endif
  ClassifyPins();
  if (m_listRenderPins.IsEmpty() && m_listRenderSourcePins.IsEmpty() && m_listCapturePins.IsEmpty() &&
      m_listCaptureSourcePins.IsEmpty()) {
    KsTrace(KS_TRACE_ERROR, "No valid pins found on the filter");
#if ORA_KS_DSD
    return E_FAIL;
#endif
  }
  return S_OK;
}

HRESULT CKsWaveFilter::ReleaseCurrentPin() {
  if (m_pCurrentPin == nullptr) return S_OK;
  HRESULT hr = m_pCurrentPin->ClosePin();
  if (SUCCEEDED(hr)) m_pCurrentPin = nullptr;
  return hr;
}

CKsWavePin* CKsWaveFilter::CreateStreamPin(const WAVEFORMATEX* pwfx, BOOL fLooped) {
  const bool fCapture = m_nFilterType == KS_FILTER_CAPTURE;
  ReleaseCurrentPin();
#if !ORA_KS_DSD
  CKsWavePin* pPin = SelectedPin();
#else
  CKsWavePin* pPin = nullptr;
  for (auto* pEntry = StreamPins().Head(); pEntry != nullptr && pPin == nullptr; pEntry = pEntry->pNext) {
    auto* pCandidate = static_cast<CKsWavePin*>(pEntry->pData);
    if (pCandidate->IsFormatSupported(pwfx)) pPin = pCandidate;
  }
#endif
  bool fCreated = false;
  if (pPin == nullptr || !pPin->IsFormatSupported(pwfx)) {
    KsTrace(KS_TRACE_ERROR, fCapture ? "Could not find a Capture pin that supports the given wave format"
                                     : "Could not find a Render pin that supports the given wave format");
  } else {
    m_pCurrentPin = pPin;
    if (FAILED(pPin->SetFormat(pwfx))) {
      KsTrace(KS_TRACE_ERROR, fCapture ? "Failed to set Capture Pin format - the pin lied about its supported formats"
                                       : "Failed to set Render Pin format - the pin lied about its supported formats");
    } else if (FAILED(pPin->Instantiate(fLooped))) {
      KsTrace(KS_TRACE_ERROR, fCapture ? "Failed to instantiate Capture Pin" : "Failed to instantiate Render Pin");
    } else {
      fCreated = true;
    }
  }
  if (fCreated) {
    KsTrace(KS_TRACE_INFO,
            fCapture ? "Successfully instantiated Capture Pin.  Handle = 0x%08x"
                     : "Successfully instantiated Render Pin.  Handle = 0x%08x",
            static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pPin->GetHandle())));
    return pPin;
  }
#if ORA_KS_DSD
  // The DSD driver then takes the first pin that accepts the format when asked.
  ReleaseCurrentPin();
  for (auto* pEntry = StreamPins().Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
    auto* pCandidate = static_cast<CKsWavePin*>(pEntry->pData);
    if (SUCCEEDED(pCandidate->SetFormat(pwfx)) && SUCCEEDED(pCandidate->Instantiate(fLooped))) {
      m_pCurrentPin = pCandidate;
      return pCandidate;
    }
  }
#endif
  return nullptr;
}

ULONG CKsWaveFilter::StreamMaxChannels() {
#if !ORA_KS_DSD
  CKsWavePin* pPin = SelectedPin();
  return pPin == nullptr ? 0 : pPin->GetMaxChannels();
#else
  for (auto* pEntry = StreamPins().Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
    ULONG ulChannels = static_cast<CKsWavePin*>(pEntry->pData)->GetFirstRangeMaxChannels();
    if (ulChannels != 0) return ulChannels;
  }
  return 0;
#endif
}

// ---- render and capture ----

CKsWaveRenderFilter::CKsWaveRenderFilter(const char* pszDevicePath, HRESULT* phr) : CKsWaveFilter(pszDevicePath, phr) {
  m_nFilterType = KS_FILTER_RENDER;
}

CKsWaveCaptureFilter::CKsWaveCaptureFilter(const char* pszDevicePath, HRESULT* phr)
    : CKsWaveFilter(pszDevicePath, phr) {
  m_nFilterType = KS_FILTER_CAPTURE;
}

CKsWavePin* CKsWaveRenderFilter::CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) {
  return CreateStreamPin(pwfx, fLooped);
}
CKsWavePin* CKsWaveCaptureFilter::CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) {
  return CreateStreamPin(pwfx, fLooped);
}
ULONG CKsWaveRenderFilter::GetMaxChannels() { return StreamMaxChannels(); }
ULONG CKsWaveCaptureFilter::GetMaxChannels() { return StreamMaxChannels(); }

#if ORA_KS_DSD
namespace {
BOOL AnyPinHoldsRate(const CKsList<CKsPin>& pins, DWORD nSamplesPerSec) {
  for (auto* pEntry = pins.Head(); pEntry != nullptr; pEntry = pEntry->pNext)
    if (static_cast<CKsWavePin*>(pEntry->pData)->IsRateSupported(nSamplesPerSec)) return TRUE;
  return FALSE;
}
}  // namespace

BOOL CKsWaveRenderFilter::IsRateSupported(DWORD nSamplesPerSec) {
  return AnyPinHoldsRate(StreamPins(), nSamplesPerSec);
}
BOOL CKsWaveCaptureFilter::IsRateSupported(DWORD nSamplesPerSec) {
  return AnyPinHoldsRate(StreamPins(), nSamplesPerSec);
}
#else
BOOL CKsWaveRenderFilter::IsFormatInRange(const WAVEFORMATEXTENSIBLE* pwfx) {
  CKsWavePin* pPin = SelectedPin();
  return pPin != nullptr && pPin->IsFormatInRange(pwfx);
}
BOOL CKsWaveCaptureFilter::IsFormatInRange(const WAVEFORMATEXTENSIBLE* pwfx) {
  CKsWavePin* pPin = SelectedPin();
  return pPin != nullptr && pPin->IsFormatInRange(pwfx);
}
LONG CKsWaveRenderFilter::GetSelectedPinId() { return SelectedPinId(); }
LONG CKsWaveCaptureFilter::GetSelectedPinId() { return SelectedPinId(); }
#endif

// ---- CKsFilterList ----

CKsFilterList::~CKsFilterList() { m_listFilters.Clear(); }

HRESULT CKsFilterList::Clear() {
  m_listFilters.Clear();
  return S_OK;
}

namespace {

CKsFilter* NewFilter(ULONG ulKind, const char* pszPath, HRESULT* phr) {
  switch (ulKind) {
    case KS_FILTER_RENDER:
      return new (std::nothrow) CKsWaveRenderFilter(pszPath, phr);
    case KS_FILTER_CAPTURE:
      return new (std::nothrow) CKsWaveCaptureFilter(pszPath, phr);
    default:
      return new (std::nothrow) CKsFilter(pszPath, phr);
  }
}

// The detail buffer: the size field and a path of up to 524 characters.
constexpr DWORD kDetailBytes = 528;

}  // namespace

HRESULT CKsFilterList::EnumerateDevices(ULONG ulKind, const GUID* pClasses, ULONG ulClasses) {
  Clear();
  if (pClasses == nullptr || ulClasses == 0 || pClasses[0] == KSDATAFORMAT_TYPE_WILDCARD) return E_FAIL;
  HDEVINFO hDevInfo = SetupDiGetClassDevsA(&pClasses[0], nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hDevInfo == INVALID_HANDLE_VALUE || hDevInfo == nullptr) {
    KsTrace(KS_TRACE_ENUM, "No devices found");
    return E_FAIL;
  }
  HRESULT hrEnum = S_OK;
#if !ORA_KS_DSD
  LONG nPinIndex = 0;
#endif
  SP_DEVICE_INTERFACE_DATA interfaceData;
  for (DWORD dwIndex = 0;;) {
    std::memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &pClasses[0], dwIndex, &interfaceData)) break;
    auto* pDetail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::calloc(1, kDetailBytes));
    if (pDetail == nullptr) {
      KsTrace(KS_TRACE_ENUM, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure");
      hrEnum = E_OUTOFMEMORY;
      break;
    }
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA devInfo;
    std::memset(&devInfo, 0, sizeof(devInfo));
    devInfo.cbSize = sizeof(devInfo);
    bool fUse = SetupDiGetDeviceInterfaceDetailA(hDevInfo, &interfaceData, pDetail, kDetailBytes, nullptr, &devInfo);
    // The path must end inside the buffer, whatever the call wrote.
    reinterpret_cast<char*>(pDetail)[kDetailBytes - 1] = '\0';
    for (ULONG ulAlias = 1; fUse && ulAlias < ulClasses; ++ulAlias) {
      SP_DEVICE_INTERFACE_DATA aliasData;
      std::memset(&aliasData, 0, sizeof(aliasData));
      aliasData.cbSize = sizeof(aliasData);
      if (!SetupDiGetDeviceInterfaceAlias(hDevInfo, &interfaceData, &pClasses[ulAlias], &aliasData)) {
        KsTrace(KS_TRACE_INFO, "Failed to get requested DeviceInterfaceAlias");
        fUse = false;
      } else if (aliasData.Flags == 0 || (aliasData.Flags & SPINT_REMOVED) != 0) {
        KsTrace(KS_TRACE_INFO, "DeviceInterfaceAlias disabled.");
        fUse = false;
      }
    }
    bool fRepeat = false;
    if (fUse) {
      HRESULT hr = S_OK;
      CKsFilter* pFilter = NewFilter(ulKind, pDetail->DevicePath, &hr);
      if (pFilter == nullptr) {
        KsTrace(KS_TRACE_ERROR, "Failed to create filter for %s", pDetail->DevicePath);
      } else {
        if (SUCCEEDED(hr)) hr = pFilter->Instantiate();
        if (SUCCEEDED(hr)) hr = pFilter->EnumeratePins();
#if !ORA_KS_DSD
        if (SUCCEEDED(hr)) hr = pFilter->GetTopologyConnections();
        if (SUCCEEDED(hr) && SUCCEEDED(pFilter->SelectPin({nPinIndex, 1}))) pFilter->FollowPhysicalConnection();
        ULONG ulStreamPins = ulKind == KS_FILTER_RENDER    ? pFilter->GetRenderPins().Count()
                             : ulKind == KS_FILTER_CAPTURE ? pFilter->GetCapturePins().Count()
                                                           : 0;
        ++nPinIndex;
        if (ulStreamPins > static_cast<ULONG>(nPinIndex))
          fRepeat = true;
        else
          nPinIndex = 0;
#endif
        if (SUCCEEDED(hr) && !m_listFilters.Append(pFilter)) hr = E_OUTOFMEMORY;
        if (FAILED(hr)) {
          delete pFilter;
          KsTrace(KS_TRACE_ERROR, "Failed to create filter for %s", pDetail->DevicePath);
        }
      }
    }
    std::free(pDetail);
    if (!fRepeat) ++dwIndex;
  }
  SetupDiDestroyDeviceInfoList(hDevInfo);
  if (FAILED(hrEnum)) return hrEnum;
  return m_listFilters.IsEmpty() ? E_FAIL : S_OK;
}
