#include "ks/irp_target.h"

#include <cstdlib>
#include <cstring>

#include "ks/ks_trace.h"

HRESULT CKsIrpTarget::SyncIoctl(HANDLE hHandle, void* pvIn, ULONG cbIn, void* pvOut, ULONG cbOut, ULONG* pcbReturned) {
  ULONG cbInternal = 0;
  if (pcbReturned == nullptr) pcbReturned = &cbInternal;
  if (!KsIsValidHandle(hHandle)) {
    KsTrace(KS_TRACE_ERROR, "CKsIrpTarget::SyncIoctl Invalid Handle");
    return E_FAIL;
  }
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (hEvent == nullptr) {
    KsTrace(KS_TRACE_ERROR, "CKsIrpTarget::SyncIoctl CreateEvent failed");
    return E_OUTOFMEMORY;
  }
  // The low bit keeps the completion from being posted to a completion port.
  HANDLE hTagged = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(hEvent) | 1);
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof(overlapped));
  overlapped.hEvent = hTagged;

  HRESULT hr = S_OK;
  DWORD cbReturned = *pcbReturned;
  if (!DeviceIoControl(hHandle, IOCTL_KS_PROPERTY, pvIn, cbIn, pvOut, cbOut, &cbReturned, &overlapped)) {
    DWORD dwError = GetLastError();
    if (dwError == ERROR_IO_PENDING) {
      DWORD dwWait = WaitForSingleObject(hTagged, INFINITE);
      if (dwWait != WAIT_OBJECT_0) {
        KsTrace(KS_TRACE_ERROR, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                static_cast<unsigned>(dwWait));
        hr = E_FAIL;
      }
      cbReturned = 0;
    } else if ((dwError == ERROR_INSUFFICIENT_BUFFER || dwError == ERROR_MORE_DATA) && cbOut == 0) {
      // A size query: the needed size is the answer.
    } else {
      hr = E_FAIL;
      cbReturned = 0;
    }
  }
  *pcbReturned = cbReturned;
  CloseHandle(hTagged);
  return hr;
}

HRESULT CKsIrpTarget::PropertyRequest(const GUID& set, ULONG ulId, ULONG ulFlags, void* pvOut, ULONG cbOut,
                                      const void* pvExtra, ULONG cbExtra) {
  // Four zero bytes beyond the property and its extra input, as the devices expect.
  ULONG cbIn = cbExtra == 0 ? sizeof(KSPROPERTY) : sizeof(KSPROPERTY) + cbExtra + 4;
  BYTE* pbIn = static_cast<BYTE*>(std::calloc(1, cbIn));
  if (pbIn == nullptr) return E_OUTOFMEMORY;
  KSPROPERTY property{};
  property.Set = set;
  property.Id = ulId;
  property.Flags = ulFlags;
  std::memcpy(pbIn, &property, sizeof(property));
  if (pvExtra != nullptr && cbExtra != 0) std::memcpy(pbIn + sizeof(KSPROPERTY), pvExtra, cbExtra);
  HRESULT hr = SyncIoctl(m_handle, pbIn, cbIn, pvOut, cbOut, nullptr);
  std::free(pbIn);
  return hr;
}

HRESULT CKsIrpTarget::GetProperty(const GUID& set, ULONG ulId, void* pvOut, ULONG cbOut, const void* pvExtra,
                                  ULONG cbExtra) {
  return PropertyRequest(set, ulId, KSPROPERTY_TYPE_GET, pvOut, cbOut, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::SetProperty(const GUID& set, ULONG ulId, void* pvValue, ULONG cbValue, const void* pvExtra,
                                  ULONG cbExtra) {
  return PropertyRequest(set, ulId, KSPROPERTY_TYPE_SET, pvValue, cbValue, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::GetPropertyAlloc(ULONG ulId, void** ppvBuffer, ULONG* pcbBuffer) {
  if (pcbBuffer != nullptr) *pcbBuffer = 0;
  KSPROPERTY property{};
  property.Set = KSPROPSETID_Topology;
  property.Id = ulId;
  property.Flags = KSPROPERTY_TYPE_GET;
  ULONG cbNeeded = 0;
  HRESULT hr = SyncIoctl(m_handle, &property, sizeof(property), nullptr, 0, &cbNeeded);
  if (FAILED(hr)) return hr;
  if (cbNeeded == 0) return S_OK;
  // Zero-filled, so an answer shorter than announced reads as zeros.
  void* pvBuffer = std::calloc(1, cbNeeded);
  if (pvBuffer == nullptr) return E_OUTOFMEMORY;
  *ppvBuffer = pvBuffer;
  if (pcbBuffer != nullptr) *pcbBuffer = cbNeeded;
  return SyncIoctl(m_handle, &property, sizeof(property), pvBuffer, cbNeeded, nullptr);
}
