// Real-time (WaveRT) audio records of KSPROPSETID_RtAudio and the extensible
// data format. The MinGW-w64 user-mode headers lack these, so they are pinned
// by their documented 64-bit layouts here, on Windows builds as well.
//
// Structure definitions only, after platform/layouts/ks.h.

// KSPROPERTY_RTAUDIO_BUFFER request.
struct KSRTAUDIO_BUFFER_PROPERTY {
  KSPROPERTY Property;
  PVOID BaseAddress;
  ULONG RequestedBufferSize;
};
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY) == 40);
static_assert(offsetof(KSRTAUDIO_BUFFER_PROPERTY, Property) == 0 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY, BaseAddress) == 24 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY, RequestedBufferSize) == 32);

// KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION request.
struct KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION {
  KSPROPERTY Property;
  PVOID BaseAddress;
  ULONG RequestedBufferSize;
  ULONG NotificationCount;
};
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) == 40);
static_assert(offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, Property) == 0 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, BaseAddress) == 24 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, RequestedBufferSize) == 32 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount) == 36);

// Answer of both buffer requests.
struct KSRTAUDIO_BUFFER {
  PVOID BufferAddress;
  ULONG ActualBufferSize;
  BOOL CallMemoryBarrier;
};
static_assert(sizeof(KSRTAUDIO_BUFFER) == 16);
static_assert(offsetof(KSRTAUDIO_BUFFER, BufferAddress) == 0 && offsetof(KSRTAUDIO_BUFFER, ActualBufferSize) == 8 &&
              offsetof(KSRTAUDIO_BUFFER, CallMemoryBarrier) == 12);

// KSPROPERTY_RTAUDIO_POSITIONREGISTER and _CLOCKREGISTER request.
struct KSRTAUDIO_HWREGISTER_PROPERTY {
  KSPROPERTY Property;
  PVOID BaseAddress;
};
static_assert(sizeof(KSRTAUDIO_HWREGISTER_PROPERTY) == 32);
static_assert(offsetof(KSRTAUDIO_HWREGISTER_PROPERTY, Property) == 0 &&
              offsetof(KSRTAUDIO_HWREGISTER_PROPERTY, BaseAddress) == 24);

// A register mapped into the caller's address space; the counter runs at
// Numerator / Denominator ticks per second.
struct KSRTAUDIO_HWREGISTER {
  PVOID Register;
  ULONG Width;
  ULONGLONG Numerator;
  ULONGLONG Denominator;
  ULONG Accuracy;
};
static_assert(sizeof(KSRTAUDIO_HWREGISTER) == 40);
static_assert(offsetof(KSRTAUDIO_HWREGISTER, Register) == 0 && offsetof(KSRTAUDIO_HWREGISTER, Width) == 8 &&
              offsetof(KSRTAUDIO_HWREGISTER, Numerator) == 16 && offsetof(KSRTAUDIO_HWREGISTER, Denominator) == 24 &&
              offsetof(KSRTAUDIO_HWREGISTER, Accuracy) == 32);

struct KSRTAUDIO_HWLATENCY {
  ULONG FifoSize;
  ULONG ChipsetDelay;
  ULONG CodecDelay;
};
static_assert(sizeof(KSRTAUDIO_HWLATENCY) == 12);
static_assert(offsetof(KSRTAUDIO_HWLATENCY, FifoSize) == 0 && offsetof(KSRTAUDIO_HWLATENCY, ChipsetDelay) == 4 &&
              offsetof(KSRTAUDIO_HWLATENCY, CodecDelay) == 8);

// KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT and _UNREGISTER_ request.
struct KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY {
  KSPROPERTY Property;
  HANDLE NotificationEvent;
};
static_assert(sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY) == 32);
static_assert(offsetof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, Property) == 0 &&
              offsetof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, NotificationEvent) == 24);

// Byte-packed like its neighbour KSDATAFORMAT_WAVEFORMATEX.
#pragma pack(push, 1)
struct KSDATAFORMAT_WAVEFORMATEXTENSIBLE {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEXTENSIBLE WaveFormatExt;
};
#pragma pack(pop)
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104);
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, DataFormat) == 0 &&
              offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt) == 64);
