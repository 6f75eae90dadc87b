#include "ks/ks_parse.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

template <typename T>
T ReadAt(const BYTE* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

struct UpstreamWalk {
  const CKsList<KSTOPOLOGY_CONNECTION>& connections;
  KsIsLineConnectorPin pfnIsLine;
  void* pContext;
  ULONG* pfLineIn;
  ULONG ulBudget;
  bool fExhausted;
};

LONG WalkUpstream(UpstreamWalk& walk, ULONG ulNode, ULONG ulPin, ULONG ulDepth) {
  LONG lResult = -1;
  if (ulDepth > walk.connections.Count()) return -1;
  for (auto* pEntry = walk.connections.Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
    if (walk.ulBudget == 0) {
      walk.fExhausted = true;
      return -1;
    }
    --walk.ulBudget;
    const KSTOPOLOGY_CONNECTION& c = *pEntry->pData;
    if (c.ToNode != ulNode || (ulNode == KSFILTER_NODE && c.ToNodePin != ulPin)) continue;
    if (c.FromNode == KSFILTER_NODE) {
      lResult = static_cast<LONG>(c.FromNodePin);
      *walk.pfLineIn = walk.pfnIsLine(walk.pContext, c.FromNodePin) ? 1 : 0;
    } else {
      lResult = WalkUpstream(walk, c.FromNode, c.FromNodePin, ulDepth + 1);
      if (walk.fExhausted) return -1;
    }
    if (*walk.pfLineIn == 1) return lResult;
  }
  return lResult;
}

}  // namespace

bool KsParseMultipleItem(const void* pAnswer, ULONG cb, ULONG cbMinItem, KsItemView* pView) {
  *pView = {0, nullptr, 0};
  if (pAnswer == nullptr || cb < sizeof(KSMULTIPLE_ITEM)) return false;
  const BYTE* p = static_cast<const BYTE*>(pAnswer);
  ULONG ulSize = ReadAt<ULONG>(p + offsetof(KSMULTIPLE_ITEM, Size));
  ULONG ulCount = ReadAt<ULONG>(p + offsetof(KSMULTIPLE_ITEM, Count));
  if (ulSize < sizeof(KSMULTIPLE_ITEM) || ulSize > cb) return false;
  ULONG cbItems = ulSize - sizeof(KSMULTIPLE_ITEM);
  if (cbMinItem != 0 && static_cast<ULONGLONG>(ulCount) * cbMinItem > cbItems) return false;
  *pView = {ulCount, p + sizeof(KSMULTIPLE_ITEM), cbItems};
  return true;
}

bool KsHasIdentifier(const KsItemView& view, const GUID& set, ULONG ulId0, ULONG ulId1) {
  for (ULONG i = 0; i < view.ulCount; ++i) {
    KSIDENTIFIER id = ReadAt<KSIDENTIFIER>(view.pItems + i * sizeof(KSIDENTIFIER));
    if (id.Set == set && (id.Id == ulId0 || id.Id == ulId1)) return true;
  }
  return false;
}

bool KsIsWaveOrWildcardSubFormat(const GUID& subFormat) {
  if (subFormat == KSDATAFORMAT_SUBTYPE_WILDCARD) return true;
  GUID wave = subFormat;
  wave.Data1 &= 0xFFFF0000u;  // the first two bytes hold the format tag
  return wave == KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
}

KsRangeScan KsScanDataRanges(const void* pAnswer, ULONG cb, KsRangeSink pfnSink, void* pContext) {
  KsRangeScan scan{false, false, false, 0};
  KsItemView view;
  if (!KsParseMultipleItem(pAnswer, cb, KS_MIN_DATARANGE, &view)) {
    scan.fMalformed = pAnswer != nullptr;
    return scan;
  }
  ULONG ulOffset = 0;
  for (ULONG i = 0; i < view.ulCount; ++i) {
    if (view.cbItems - ulOffset < KS_MIN_DATARANGE) {
      scan.fMalformed = true;
      break;
    }
    const BYTE* pRange = view.pItems + ulOffset;
    KSDATARANGE header = ReadAt<KSDATARANGE>(pRange);
    if (header.FormatSize < KS_MIN_DATARANGE || header.FormatSize > view.cbItems - ulOffset) {
      scan.fMalformed = true;
      break;
    }
    ulOffset += header.FormatSize;
    if (!scan.fAnyPassed) {
      if (!KsIsWaveOrWildcardSubFormat(header.SubFormat)) continue;
      scan.fAnyPassed = true;
    }
    if (!(header.MajorFormat == KSDATAFORMAT_TYPE_AUDIO) || header.FormatSize < KS_AUDIO_DATARANGE) continue;
    KSDATARANGE_AUDIO range = ReadAt<KSDATARANGE_AUDIO>(pRange);
    if (pfnSink(pContext, range))
      ++scan.ulKept;
    else
      scan.fSinkFailed = true;
  }
  return scan;
}

HRESULT KsCopyTopologyConnections(const void* pAnswer, ULONG cb, CKsList<KSTOPOLOGY_CONNECTION>* pList) {
  KsItemView view;
  if (!KsParseMultipleItem(pAnswer, cb, sizeof(KSTOPOLOGY_CONNECTION), &view)) return E_FAIL;
  ULONG ulBefore = pList->Count();
  for (ULONG i = 0; i < view.ulCount; ++i) {
    auto* pCopy = new (std::nothrow) KSTOPOLOGY_CONNECTION;
    if (pCopy == nullptr) break;
    *pCopy = ReadAt<KSTOPOLOGY_CONNECTION>(view.pItems + i * sizeof(KSTOPOLOGY_CONNECTION));
    if (!pList->Append(pCopy)) {
      delete pCopy;
      break;
    }
  }
  if (pList->Count() - ulBefore != view.ulCount) {
    pList->Clear();
    return E_FAIL;
  }
  return S_OK;
}

bool KsParsePhysicalConnection(const void* pAnswer, ULONG cb, ULONG* pulPin, ULONG* pcchLink) {
  constexpr ULONG kName = offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName);
  if (pAnswer == nullptr || cb < kName + sizeof(WCHAR)) return false;
  const BYTE* p = static_cast<const BYTE*>(pAnswer);
  for (ULONG ulChar = 0; kName + (ulChar + 1) * sizeof(WCHAR) <= cb; ++ulChar) {
    if (ReadAt<WCHAR>(p + kName + ulChar * sizeof(WCHAR)) == 0) {
      *pulPin = ReadAt<ULONG>(p + offsetof(KSPIN_PHYSICALCONNECTION, Pin));
      *pcchLink = ulChar;
      return true;
    }
  }
  return false;
}

bool KsCopyDevicePath(char (&szField)[MAX_PATH], const char* pszPath) {
  std::memset(szField, 0, sizeof(szField));
  size_t cch = std::strlen(pszPath);
  if (cch >= sizeof(szField)) return false;
  for (size_t i = 0; i < cch; ++i) szField[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(pszPath[i])));
  return true;
}

ULONG KsParseDevicePathId(const char* pszPath, const char* pszMarker, const char* pszAltMarker) {
  const char* pszFound = std::strstr(pszPath, pszMarker);
  if (pszFound == nullptr) pszFound = std::strstr(pszPath, pszAltMarker);
  if (pszFound == nullptr) return 0;
  return static_cast<ULONG>(std::strtoul(pszFound + 4, nullptr, 16));
}

LONG KsFindBridgePinDownstream(const CKsList<KSTOPOLOGY_CONNECTION>& connections, ULONG ulNode, ULONG ulPin) {
  for (ULONG ulStep = 0; ulStep <= connections.Count(); ++ulStep) {
    const KSTOPOLOGY_CONNECTION* pFound = nullptr;
    for (auto* pEntry = connections.Head(); pEntry != nullptr; pEntry = pEntry->pNext) {
      const KSTOPOLOGY_CONNECTION& c = *pEntry->pData;
      if (c.FromNode == ulNode && (ulNode != KSFILTER_NODE || c.FromNodePin == ulPin)) {
        pFound = &c;
        break;
      }
    }
    if (pFound == nullptr) return -1;
    if (pFound->ToNode == KSFILTER_NODE) return static_cast<LONG>(pFound->ToNodePin);
    ulNode = pFound->ToNode;
    ulPin = pFound->ToNodePin;
  }
  return -1;
}

LONG KsFindBridgePinUpstream(const CKsList<KSTOPOLOGY_CONNECTION>& connections, ULONG ulNode, ULONG ulPin,
                             KsIsLineConnectorPin pfnIsLine, void* pContext, ULONG* pfLineIn) {
  UpstreamWalk walk{connections, pfnIsLine, pContext, pfLineIn, KS_WALK_BUDGET, false};
  LONG lResult = WalkUpstream(walk, ulNode, ulPin, 0);
  if (walk.fExhausted) {
    *pfLineIn = 0;
    return -1;
  }
  return lResult;
}
