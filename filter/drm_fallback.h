// The DRM kernel library call that forwards content rights to the driver
// below, and the DRM audio-stream property set.
//
// platform/drmk.h is where they belong; until it is there this file declares
// them with their WDK layout and signature and records itself as
// ORA_DRM_FALLBACK. On the simulated PC the call is provided by whoever hosts
// the filter (the tests provide a recording fake).
#pragma once

#if __has_include("platform/drmk.h")
#include "platform/drmk.h"
#else

#include <cstddef>

#include "platform/wdm.h"

#define ORA_DRM_FALLBACK 1

// {2F2C8DDD-4198-4FAC-BA29-61BB05B7DE06}
inline constexpr GUID KSPROPSETID_DrmAudioStream = {
    0x2F2C8DDD, 0x4198, 0x4FAC, {0xBA, 0x29, 0x61, 0xBB, 0x05, 0xB7, 0xDE, 0x06}};
inline constexpr ULONG KSPROPERTY_DRMAUDIOSTREAM_CONTENTID = 0;

struct DRMFORWARD {
  DWORD Flags;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID Context;
};
typedef DRMFORWARD* PDRMFORWARD;
typedef const DRMFORWARD* PCDRMFORWARD;
static_assert(sizeof(DRMFORWARD) == 32);
static_assert(offsetof(DRMFORWARD, Flags) == 0 && offsetof(DRMFORWARD, DeviceObject) == 8 &&
              offsetof(DRMFORWARD, FileObject) == 16 && offsetof(DRMFORWARD, Context) == 24);

extern "C" NTSTATUS NTAPI DrmForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward);

#endif
