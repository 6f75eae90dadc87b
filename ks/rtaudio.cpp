#include "ks/rtaudio.h"

#include "ks/ks_trace.h"
#include "ks/pin.h"

namespace {

// What follows the KSPROPERTY in the buffer request.
struct BufferRequestTail {
  PVOID BaseAddress;
  ULONG RequestedBufferSize;
  ULONG NotificationCount;
};
static_assert(sizeof(BufferRequestTail) == 16);
static_assert(sizeof(KSPROPERTY) + sizeof(BufferRequestTail) == sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION));
static_assert(offsetof(BufferRequestTail, RequestedBufferSize) + sizeof(KSPROPERTY) ==
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, RequestedBufferSize));
static_assert(offsetof(BufferRequestTail, NotificationCount) + sizeof(KSPROPERTY) ==
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount));

HRESULT GetRegister(CKsIrpTarget* pPin, ULONG ulId, KSRTAUDIO_HWREGISTER* pRegister) {
  PVOID pBaseAddress = nullptr;
  return pPin->GetProperty(KSPROPSETID_RtAudio, ulId, pRegister, sizeof(*pRegister), &pBaseAddress,
                           sizeof(pBaseAddress));
}

}  // namespace

HRESULT CKsWavePin::AllocateRtBuffer(PVOID* ppBuffer, ULONG cbRequested, ULONG* pcbActual) {
  if (ppBuffer == nullptr || pcbActual == nullptr) return E_INVALIDARG;
  // Two notifications per pass: one at each half of the cyclic buffer.
  BufferRequestTail request{nullptr, cbRequested, 2};
  KSRTAUDIO_BUFFER answer{};
  HRESULT hr = GetProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, &answer, sizeof(answer),
                           &request, sizeof(request));
  if (FAILED(hr)) {
    KsTrace(KS_TRACE_ERROR, "KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION failed - %#08x", static_cast<unsigned>(hr));
    return hr;
  }
  *ppBuffer = answer.BufferAddress;
  *pcbActual = answer.ActualBufferSize;
  return hr;
}

HRESULT KsGetPositionRegister(CKsIrpTarget* pPin, KSRTAUDIO_HWREGISTER* pRegister) {
  return GetRegister(pPin, KSPROPERTY_RTAUDIO_POSITIONREGISTER, pRegister);
}

HRESULT KsGetClockRegister(CKsIrpTarget* pPin, KSRTAUDIO_HWREGISTER* pRegister) {
  return GetRegister(pPin, KSPROPERTY_RTAUDIO_CLOCKREGISTER, pRegister);
}

HRESULT KsGetHwLatency(CKsIrpTarget* pPin, KSRTAUDIO_HWLATENCY* pLatency) {
  ULONGLONG ullZero = 0;
  return pPin->GetProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_HWLATENCY, pLatency, sizeof(*pLatency), &ullZero,
                           sizeof(ullZero));
}

HRESULT KsRegisterNotificationEvent(CKsIrpTarget* pPin, HANDLE hEvent) {
  return pPin->SetProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, nullptr, 0, &hEvent,
                           sizeof(hEvent));
}

HRESULT KsUnregisterNotificationEvent(CKsIrpTarget* pPin, HANDLE hEvent) {
  return pPin->SetProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, nullptr, 0, &hEvent,
                           sizeof(hEvent));
}

ULONGLONG KsClockTicksToMilliseconds(ULONGLONG ullTicks, const KSRTAUDIO_HWREGISTER& clock) {
  if (clock.Numerator == 0) return 0;
  return ullTicks * clock.Denominator * 1000 / clock.Numerator;
}
