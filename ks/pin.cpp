#include "ks/pin.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ks/filter.h"
#include "ks/ks_trace.h"
#include "ks/wave_format.h"

namespace {

// Kept for the life of the process; two first uses at once store the same values.
std::atomic<HMODULE> g_hKsUser{nullptr};
std::atomic<KsCreatePinFunction> g_pfnKsCreatePin{nullptr};

KsCreatePinFunction LookUpKsCreatePin() {
  KsCreatePinFunction pfn = g_pfnKsCreatePin.load(std::memory_order_relaxed);
  if (pfn != nullptr) return pfn;
  HMODULE hModule = g_hKsUser.load(std::memory_order_relaxed);
  if (hModule == nullptr) {
    hModule = LoadLibraryA("ksuser.dll");
    if (hModule == nullptr) return nullptr;
    g_hKsUser.store(hModule, std::memory_order_relaxed);
  }
  pfn = reinterpret_cast<KsCreatePinFunction>(reinterpret_cast<void*>(GetProcAddress(hModule, "KsCreatePin")));
  if (pfn != nullptr) g_pfnKsCreatePin.store(pfn, std::memory_order_relaxed);
  return pfn;
}

bool KeepDataRange(void* pContext, const KSDATARANGE_AUDIO& range) {
  auto* pList = static_cast<CKsList<KSDATARANGE_AUDIO>*>(pContext);
  auto* pCopy = new (std::nothrow) KSDATARANGE_AUDIO(range);
  if (pCopy == nullptr) {
    KsTrace(KS_TRACE_ERROR, "Unable to allocate memory to save datarange in");
    return false;
  }
  if (!pList->Append(pCopy)) {
    KsTrace(KS_TRACE_ERROR, "Unable to allocate list entry to save datarange in");
    delete pCopy;
    return false;
  }
  return true;
}

}  // namespace

CKsPin::CKsPin(CKsFilter* pFilter, ULONG nPinId, HRESULT* phr) : m_nPinId(nPinId), m_pFilter(pFilter) {
  *phr = ReadPinProperties();
}

CKsPin::~CKsPin() {
  ClosePin();
  std::free(m_pksPinCreate);
  std::free(m_pvDataRangesAnswer);
  std::free(m_pvMediumsAnswer);
  std::free(m_pvInterfacesAnswer);
}

HRESULT CKsPin::ReadPinProperties() {
  bool fFailed = false;
  auto readFixed = [&](ULONG ulId, void* pv, ULONG cb, const char* pszMessage) {
    if (FAILED(m_pFilter->GetPinProperty(m_nPinId, ulId, pv, cb))) {
      KsTrace(KS_TRACE_PIN, pszMessage, static_cast<int>(m_nPinId));
      fFailed = true;
    }
  };
  // Items are used only when the answer's header fits the bytes it came in.
  auto readItems = [&](ULONG ulId, void** ppvAnswer, ULONG* pcbAnswer, KsItemView* pView, ULONG cbMinItem,
                       const char* pszMessage) {
    ULONG cbAnswer = 0;
    HRESULT hr = m_pFilter->GetPinPropertyAlloc(m_nPinId, ulId, ppvAnswer, &cbAnswer);
    if (pcbAnswer != nullptr) *pcbAnswer = cbAnswer;
    if (FAILED(hr) || !KsParseMultipleItem(*ppvAnswer, cbAnswer, cbMinItem, pView)) {
      *pView = {0, nullptr, 0};
      KsTrace(KS_TRACE_PIN, pszMessage, static_cast<int>(m_nPinId));
      fFailed = true;
    }
  };

  readFixed(KSPROPERTY_PIN_COMMUNICATION, &m_ulCommunication, sizeof(m_ulCommunication),
            "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d");
  readItems(KSPROPERTY_PIN_INTERFACES, &m_pvInterfacesAnswer, nullptr, &m_interfaces, sizeof(KSIDENTIFIER),
            "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d");
  readItems(KSPROPERTY_PIN_MEDIUMS, &m_pvMediumsAnswer, nullptr, &m_mediums, sizeof(KSIDENTIFIER),
            "Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d");
  readItems(KSPROPERTY_PIN_DATARANGES, &m_pvDataRangesAnswer, &m_cbDataRangesAnswer, &m_dataRanges, KS_MIN_DATARANGE,
            "Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d");
  readFixed(KSPROPERTY_PIN_DATAFLOW, &m_ulDataFlow, sizeof(m_ulDataFlow),
            "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d");
  readFixed(KSPROPERTY_PIN_CINSTANCES, &m_cInstances, sizeof(m_cInstances),
            "Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d");
  readFixed(KSPROPERTY_PIN_GLOBALCINSTANCES, &m_cGlobalInstances, sizeof(m_cGlobalInstances),
            "Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d");
  readFixed(KSPROPERTY_PIN_CATEGORY, &m_guidCategory, sizeof(m_guidCategory),
            "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d");
  readFixed(KSPROPERTY_PIN_NAME, m_szPinName, KS_PIN_NAME_READ,
            "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d");
  // The name field keeps its terminating zero whatever the device wrote.
  m_szPinName[KS_PIN_NAME_FIELD / sizeof(WCHAR) - 1] = 0;
  return fFailed ? 1 : 0;
}

HRESULT CKsPin::Instantiate(BOOL fLooped) {
  if (m_pksPinCreate == nullptr) return S_OK;
  ULONG ulInterfaceId = fLooped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
  std::memcpy(m_pksPinCreate + offsetof(KSPIN_CONNECT, Interface) + offsetof(KSIDENTIFIER, Id), &ulInterfaceId,
              sizeof(ulInterfaceId));
  HRESULT hr;
  KsCreatePinFunction pfnKsCreatePin = LookUpKsCreatePin();
  if (pfnKsCreatePin == nullptr) {
    hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  } else {
    DWORD dwResult = pfnKsCreatePin(m_pFilter->GetHandle(), reinterpret_cast<PKSPIN_CONNECT>(m_pksPinCreate),
                                    GENERIC_READ | GENERIC_WRITE, &m_handle);
    hr = HRESULT_FROM_WIN32(dwResult);
    if (dwResult != 0 && SUCCEEDED(hr)) hr = E_FAIL;
  }
  if (FAILED(hr)) KsTrace(KS_TRACE_ERROR, "Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(hr));
  return hr;
}

HRESULT CKsPin::SetState(KSSTATE state) {
  ULONG ulState = static_cast<ULONG>(state);
  HRESULT hr = SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &ulState, sizeof(ulState));
  if (FAILED(hr)) KsTrace(KS_TRACE_ERROR, "Failed to Set Pin State");
  return hr;
}

HRESULT CKsPin::ClosePin() {
  if (!KsIsValidHandle(m_handle)) return E_FAIL;
  HRESULT hr = SetState(KSSTATE_STOP);
  if (FAILED(hr)) return hr;
  BOOL fClosed = CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
  return fClosed ? hr : E_FAIL;
}

CKsWavePin::CKsWavePin(CKsFilter* pFilter, ULONG nPinId, HRESULT* phr) : CKsPin(pFilter, nPinId, phr) {
  m_pksPinCreate = static_cast<BYTE*>(std::malloc(KS_PIN_CREATE_INITIAL));
  if (m_pksPinCreate == nullptr) {
    KsTrace(KS_TRACE_ERROR, "Failed to allocate m_pksPinCreate");
    *phr = E_OUTOFMEMORY;
    return;
  }
  m_cbPinCreate = KS_PIN_CREATE_INITIAL;
  KsInitPinCreate(m_pksPinCreate, m_nPinId);
  m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(m_pksPinCreate + KS_PIN_CREATE_DATAFORMAT);
  *phr = ScanDataRanges();
}

CKsWavePin::~CKsWavePin() { m_listDataRanges.Clear(); }

HRESULT CKsWavePin::ScanDataRanges() {
  if (!KsHasIdentifier(m_interfaces, KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING,
                       KSINTERFACE_STANDARD_LOOPED_STREAMING)) {
    KsTrace(KS_TRACE_ERROR, "No standard streaming interfaces on the pin");
    return E_FAIL;
  }
  if (!KsHasIdentifier(m_mediums, KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, KSMEDIUM_TYPE_ANYINSTANCE)) {
    KsTrace(KS_TRACE_ERROR, "No standard streaming mediums on the pin");
    return E_FAIL;
  }
  KsRangeScan scan = KsScanDataRanges(m_pvDataRangesAnswer, m_cbDataRangesAnswer, KeepDataRange, &m_listDataRanges);
  if (!scan.fAnyPassed) {
    KsTrace(KS_TRACE_ERROR, "No audio dataranges on the pin");
    return E_FAIL;
  }
  return scan.fSinkFailed ? E_OUTOFMEMORY : S_OK;
}

HRESULT CKsWavePin::SetFormat(const WAVEFORMATEX* pwfx) {
  if (pwfx == nullptr || m_pksDataFormatWfx == nullptr) {
    KsTrace(KS_TRACE_ERROR, "pwfx or m_pksDataFormatWfx are NULL");
    return E_FAIL;
  }
  if (FAILED(KsSetPinCreateFormat(&m_pksPinCreate, &m_cbPinCreate, pwfx))) {
    KsTrace(KS_TRACE_ERROR, "Unable to allocate KSPIN_CONNECT structure");
    return E_OUTOFMEMORY;
  }
  m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(m_pksPinCreate + KS_PIN_CREATE_DATAFORMAT);
  return S_OK;
}

BOOL CKsWavePin::IsFormatSupported(const WAVEFORMATEX* pwfx) const {
  for (auto* pEntry = m_listDataRanges.Head(); pEntry != nullptr; pEntry = pEntry->pNext)
    if (KsRangeSupportsFormat(*pEntry->pData, pwfx)) return TRUE;
  return FALSE;
}

BOOL CKsWavePin::IsFormatInRange(const WAVEFORMATEXTENSIBLE* pwfx) const {
  for (auto* pEntry = m_listDataRanges.Head(); pEntry != nullptr; pEntry = pEntry->pNext)
    if (KsRangeContainsFormat(*pEntry->pData, pwfx)) return TRUE;
  return FALSE;
}

ULONG CKsWavePin::GetMaxChannels() const {
  ULONG ulMax = 0;
  for (auto* pEntry = m_listDataRanges.Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
    const KSDATARANGE_AUDIO& range = *pEntry->pData;
    if (KsRangeHeaderMatches(range) && KsRangeIsPcmRange(range) && range.MaximumChannels > ulMax)
      ulMax = range.MaximumChannels;
  }
  return ulMax < KS_MAX_STREAM_CHANNELS ? ulMax : KS_MAX_STREAM_CHANNELS;
}

ULONG CKsWavePin::GetFirstRangeMaxChannels() const {
  for (auto* pEntry = m_listDataRanges.Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
    const KSDATARANGE_AUDIO& range = *pEntry->pData;
    if (KsRangeHeaderMatches(range) && KsRangeIsPcmRange(range))
      return range.MaximumChannels < KS_MAX_STREAM_CHANNELS ? range.MaximumChannels : KS_MAX_STREAM_CHANNELS;
  }
  return 0;
}

BOOL CKsWavePin::IsRateSupported(DWORD nSamplesPerSec) const {
  for (auto* pEntry = m_listDataRanges.Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
    const KSDATARANGE_AUDIO& range = *pEntry->pData;
    if (KsRangeHeaderMatches(range) && KsRangeIsPcmRange(range) && KsRangeContainsRate(range, nSamplesPerSec))
      return TRUE;
  }
  return FALSE;
}
