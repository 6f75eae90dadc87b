// Wave formats, the pin-creation block and the data-range tests: pure code
// over records in memory.
#pragma once

#include "platform/ks.h"

// The most channels a stream carries: the largest count with a channel mask
// of its own. A pin that offers more is streamed with this many.
inline constexpr ULONG KS_MAX_STREAM_CHANNELS = 8;

// Channel mask of a channel count: 1 centre, 2 stereo, 4 quad, 6 5.1, 8 7.1
// (side surround); any other count gets the stereo mask.
DWORD KsChannelMask(WORD nChannels);

// A PCM WAVEFORMATEXTENSIBLE with 16-bit containers up to 16 valid bits and
// 32-bit containers above.
WAVEFORMATEXTENSIBLE* MakeWaveFormatExtensible(WAVEFORMATEXTENSIBLE* pwfx, WORD nChannels, DWORD nSamplesPerSec,
                                               WORD wValidBitsPerSample);

// Bytes of a wave format as it travels: 18 for WAVE_FORMAT_PCM, else 18 + cbSize.
ULONG KsWaveFormatSize(const WAVEFORMATEX* pwfx);

// The pin-creation block: KSPIN_CONNECT, then KSDATAFORMAT, then the wave format.
inline constexpr ULONG KS_PIN_CREATE_DATAFORMAT = sizeof(KSPIN_CONNECT);
inline constexpr ULONG KS_PIN_CREATE_WAVEFORMAT = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
inline constexpr ULONG KS_PIN_CREATE_INITIAL = KS_PIN_CREATE_WAVEFORMAT + sizeof(WAVEFORMATEX);
static_assert(KS_PIN_CREATE_DATAFORMAT == 72 && KS_PIN_CREATE_WAVEFORMAT == 136 && KS_PIN_CREATE_INITIAL == 154);
static_assert(offsetof(KSPIN_CONNECT, Interface) + offsetof(KSIDENTIFIER, Set) == 0);
static_assert(offsetof(KSPIN_CONNECT, Interface) + offsetof(KSIDENTIFIER, Id) == 16);
static_assert(offsetof(KSPIN_CONNECT, Interface) + offsetof(KSIDENTIFIER, Flags) == 20);
static_assert(offsetof(KSPIN_CONNECT, Medium) + offsetof(KSIDENTIFIER, Set) == 24);
static_assert(offsetof(KSPIN_CONNECT, Medium) + offsetof(KSIDENTIFIER, Id) == 40);
static_assert(offsetof(KSPIN_CONNECT, Medium) + offsetof(KSIDENTIFIER, Flags) == 44);
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48 && offsetof(KSPIN_CONNECT, PinToHandle) == 56);
static_assert(offsetof(KSPIN_CONNECT, Priority) + offsetof(KSPRIORITY, PriorityClass) == 64);
static_assert(offsetof(KSPIN_CONNECT, Priority) + offsetof(KSPRIORITY, PrioritySubClass) == 68);
static_assert(KS_PIN_CREATE_DATAFORMAT + offsetof(KSDATAFORMAT, FormatSize) == 72);
static_assert(KS_PIN_CREATE_DATAFORMAT + offsetof(KSDATAFORMAT, SampleSize) == 80);
static_assert(KS_PIN_CREATE_DATAFORMAT + offsetof(KSDATAFORMAT, MajorFormat) == 88);
static_assert(KS_PIN_CREATE_DATAFORMAT + offsetof(KSDATAFORMAT, SubFormat) == 104);
static_assert(KS_PIN_CREATE_DATAFORMAT + offsetof(KSDATAFORMAT, Specifier) == 120);

// Fills the first 154 bytes of a creation block for a pin: standard
// streaming interface and medium, normal priority, an audio PCM data format
// whose FormatSize covers an 18-byte wave format (left zero).
void KsInitPinCreate(BYTE* pBlock, ULONG ulPinId);

// Puts a wave format at offset 136 of a creation block allocated with
// std::malloc, replacing the block by one of 136 + the format's size when
// that differs (FormatSize follows it), and sets SampleSize. E_OUTOFMEMORY
// leaves the block as it was.
HRESULT KsSetPinCreateFormat(BYTE** ppBlock, ULONG* pcbBlock, const WAVEFORMATEX* pwfx);

// The data-range tests. Every test first requires a null or audio
// MajorFormat and a null or WAVEFORMATEX Specifier.
bool KsRangeHeaderMatches(const KSDATARANGE_AUDIO& range);
// Null, KSDATAFORMAT_SUBTYPE_WAVEFORMATEX or PCM: the sub-formats the ASIO formats fit.
bool KsRangeIsPcmRange(const KSDATARANGE_AUDIO& range);
// Sub-format, channels, bits and rate of any wave format. An extensible
// format whose cbSize is too small to hold its extension fits no range.
bool KsRangeSupportsFormat(const KSDATARANGE_AUDIO& range, const WAVEFORMATEX* pwfx);
// Bits and rate of a PCM extensible format; channels are not tested.
bool KsRangeContainsFormat(const KSDATARANGE_AUDIO& range, const WAVEFORMATEXTENSIBLE* pwfx);
bool KsRangeContainsRate(const KSDATARANGE_AUDIO& range, DWORD nSamplesPerSec);
