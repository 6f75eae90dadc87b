// The DRM audio-stream property set the filter forwards content ids for,
// and the DRM kernel library call that forwards them.
#pragma once

#include "platform/drm.h"

// {2F2C8DDD-4198-4FAC-BA29-61BB05B7DE06}
inline constexpr GUID KSPROPSETID_DrmAudioStream = {
    0x2F2C8DDD, 0x4198, 0x4FAC, {0xBA, 0x29, 0x61, 0xBB, 0x05, 0xB7, 0xDE, 0x06}};
inline constexpr ULONG KSPROPERTY_DRMAUDIOSTREAM_CONTENTID = 0;
