// The base of every KS object of the library: one kernel handle and
// synchronous property requests on it.
#pragma once

#include "platform/ks.h"
#include "platform/win32.h"

// Both the all-ones value and null mean that no handle is held.
inline bool KsIsValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

class CKsIrpTarget {
 public:
  // One IOCTL_KS_PROPERTY request on an overlapped handle, waited for. A
  // null pcbReturned uses a counter of its own. A size query (no output
  // buffer) answered with the more-data errors succeeds with the size.
  static HRESULT SyncIoctl(HANDLE hHandle, void* pvIn, ULONG cbIn, void* pvOut, ULONG cbOut, ULONG* pcbReturned);

  // KSPROPERTY GET on m_handle; the extra input follows the KSPROPERTY.
  HRESULT GetProperty(const GUID& set, ULONG ulId, void* pvOut, ULONG cbOut, const void* pvExtra = nullptr,
                      ULONG cbExtra = 0);
  // KSPROPERTY SET on m_handle; the value travels in the output buffer.
  HRESULT SetProperty(const GUID& set, ULONG ulId, void* pvValue, ULONG cbValue, const void* pvExtra = nullptr,
                      ULONG cbExtra = 0);
  // Variable-size KSPROPSETID_Topology GET: a size query, then a zero-filled
  // buffer of that size that the caller frees with std::free. With a size of
  // 0 the pointer is left as it was. pcbBuffer receives the allocated size.
  HRESULT GetPropertyAlloc(ULONG ulId, void** ppvBuffer, ULONG* pcbBuffer = nullptr);

  HANDLE GetHandle() const { return m_handle; }

 protected:
  CKsIrpTarget() = default;
  ~CKsIrpTarget() = default;
  CKsIrpTarget(const CKsIrpTarget&) = delete;
  CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

  HRESULT PropertyRequest(const GUID& set, ULONG ulId, ULONG ulFlags, void* pvOut, ULONG cbOut, const void* pvExtra,
                          ULONG cbExtra);

  HANDLE m_handle = INVALID_HANDLE_VALUE;
};
