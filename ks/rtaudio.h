// The WaveRT requests that the drivers send on a created pin besides the
// buffer (CKsWavePin::AllocateRtBuffer), in the layouts of KSPROPSETID_RtAudio.
#pragma once

#include "ks/irp_target.h"

// KSPROPERTY_RTAUDIO_POSITIONREGISTER with base address 0 (36 bytes sent).
HRESULT KsGetPositionRegister(CKsIrpTarget* pPin, KSRTAUDIO_HWREGISTER* pRegister);
// KSPROPERTY_RTAUDIO_CLOCKREGISTER with base address 0 (36 bytes sent).
HRESULT KsGetClockRegister(CKsIrpTarget* pPin, KSRTAUDIO_HWREGISTER* pRegister);
// KSPROPERTY_RTAUDIO_HWLATENCY with 8 zero bytes (36 bytes sent).
HRESULT KsGetHwLatency(CKsIrpTarget* pPin, KSRTAUDIO_HWLATENCY* pLatency);
// KSPROPERTY_RTAUDIO_(UN)REGISTER_NOTIFICATION_EVENT: SET, the handle as extra input, no value.
HRESULT KsRegisterNotificationEvent(CKsIrpTarget* pPin, HANDLE hEvent);
HRESULT KsUnregisterNotificationEvent(CKsIrpTarget* pPin, HANDLE hEvent);

// Milliseconds of a clock register's ticks: ticks x Denominator x 1000 / Numerator
// (0 for a register without a rate).
ULONGLONG KsClockTicksToMilliseconds(ULONGLONG ullTicks, const KSRTAUDIO_HWREGISTER& clock);
