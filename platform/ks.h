// The kernel-streaming user-mode interface and the audio formats that travel
// through it: property requests, pin creation, data ranges, wave formats,
// topology and the real-time (WaveRT) buffer and register requests.
//
// On Windows this defers to the SDK's ks.h and ksmedia.h and adds what their
// MinGW-w64 versions lack. On Linux it is the definition.
#pragma once

#include <cstddef>

#include "platform/base.h"
#include "platform/ioctl.h"

#ifdef _WIN32

// The SDK headers depend on their order.
// clang-format off
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
// clang-format on

// MinGW-w64's libksguid defines KSPROPSETID_Topology with the value of
// KSPROPSETID_TopologyNode; the header's own value is the right one.
#undef KSPROPSETID_Topology
inline constexpr GUID ORA_KSPROPSETID_Topology = {STATIC_KSPROPSETID_Topology};
#define KSPROPSETID_Topology ORA_KSPROPSETID_Topology

#else

#include "platform/layouts/ks.h"

// The enumerations travel as 32-bit values; their enumerators are constants below.
enum KSSTATE : int {};
enum KSPIN_DATAFLOW : int {};
enum KSPIN_COMMUNICATION : int {};
static_assert(sizeof(KSSTATE) == 4 && sizeof(KSPIN_DATAFLOW) == 4 && sizeof(KSPIN_COMMUNICATION) == 4);

typedef KSIDENTIFIER* PKSIDENTIFIER;
typedef KSPROPERTY* PKSPROPERTY;
typedef KSMETHOD* PKSMETHOD;
typedef KSEVENT* PKSEVENT;
typedef KSPIN_INTERFACE* PKSPIN_INTERFACE;
typedef KSPIN_MEDIUM* PKSPIN_MEDIUM;
typedef KSP_PIN* PKSP_PIN;
typedef KSP_NODE* PKSP_NODE;
typedef KSPRIORITY* PKSPRIORITY;
typedef KSPIN_CONNECT* PKSPIN_CONNECT;
typedef KSDATAFORMAT* PKSDATAFORMAT;
typedef KSDATARANGE* PKSDATARANGE;
typedef KSDATARANGE_AUDIO* PKSDATARANGE_AUDIO;
typedef KSMULTIPLE_ITEM* PKSMULTIPLE_ITEM;
typedef KSTOPOLOGY_CONNECTION* PKSTOPOLOGY_CONNECTION;
typedef KSPIN_CINSTANCES* PKSPIN_CINSTANCES;
typedef KSPIN_PHYSICALCONNECTION* PKSPIN_PHYSICALCONNECTION;
typedef KSCOMPONENTID* PKSCOMPONENTID;
typedef KSSTATE* PKSSTATE;
typedef KSPIN_DATAFLOW* PKSPIN_DATAFLOW;
typedef KSPIN_COMMUNICATION* PKSPIN_COMMUNICATION;
typedef WAVEFORMATEX* PWAVEFORMATEX;
typedef WAVEFORMATEX* LPWAVEFORMATEX;
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;
typedef WAVEFORMATEXTENSIBLE* PWAVEFORMATEXTENSIBLE;
typedef KSDATAFORMAT_WAVEFORMATEX* PKSDATAFORMAT_WAVEFORMATEX;

// Values checked against the SDK by the mingw layout check.
#define ORA_VALUE(name, type, value) inline constexpr type name = static_cast<type>(value);
#include "platform/values/audio.def"
#include "platform/values/ks.def"
#undef ORA_VALUE

// GUIDs checked against the SDK by guid_check.exe.
#define ORA_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#include "platform/values/ks_guids.def"
#undef ORA_GUID

#endif  // _WIN32

// What the MinGW-w64 user-mode headers lack, on both platforms.
#include "platform/layouts/ks_rtaudio.h"

typedef KSRTAUDIO_BUFFER_PROPERTY* PKSRTAUDIO_BUFFER_PROPERTY;
typedef KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION* PKSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION;
typedef KSRTAUDIO_BUFFER* PKSRTAUDIO_BUFFER;
typedef KSRTAUDIO_HWREGISTER_PROPERTY* PKSRTAUDIO_HWREGISTER_PROPERTY;
typedef KSRTAUDIO_HWREGISTER* PKSRTAUDIO_HWREGISTER;
typedef KSRTAUDIO_HWLATENCY* PKSRTAUDIO_HWLATENCY;
typedef KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY* PKSRTAUDIO_NOTIFICATION_EVENT_PROPERTY;
typedef KSDATAFORMAT_WAVEFORMATEXTENSIBLE* PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;

#define ORA_VALUE(name, type, value) inline constexpr type name = static_cast<type>(value);
#include "platform/values/ks_rtaudio.def"
#undef ORA_VALUE
