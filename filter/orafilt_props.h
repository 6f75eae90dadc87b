// The private kernel-streaming property sets that OraFilt answers on the
// card's filters and pins. Shared by the filter and the ASIO drivers, so it
// needs nothing beyond the basic types.
#pragma once

#include <cstddef>

#include "platform/base.h"

// {3F9A6C21-7B4E-4D05-A8E2-915C0D7B6E34}
inline constexpr GUID KSPROPSETID_OraFilt = {
    0x3F9A6C21, 0x7B4E, 0x4D05, {0xA8, 0xE2, 0x91, 0x5C, 0x0D, 0x7B, 0x6E, 0x34}};

// GET: ULONG 1 on every filter and pin of the card.
inline constexpr ULONG KSPROPERTY_ORAFILT_PRESENT = 0;
// GET: ULONG 1 on a DSD-capable line output, else 0. SET: ULONG DSD mode 0-3.
inline constexpr ULONG KSPROPERTY_ORAFILT_DSD = 32;

// The DSD modes of KSPROPERTY_ORAFILT_DSD SET; any other value means PCM.
inline constexpr ULONG ORAFILT_DSD_MODE_PCM = 0;
inline constexpr ULONG ORAFILT_DSD_MODE_1 = 1;
inline constexpr ULONG ORAFILT_DSD_MODE_2 = 2;
inline constexpr ULONG ORAFILT_DSD_MODE_3 = 3;

// {7E4A2C91-05D3-4B6F-9A18-C3F52E07D4B6}. Requests of this set are recognised
// only with KSPROPERTY_TYPE_BASICSUPPORT (0x200) among their flags.
inline constexpr GUID KSPROPSETID_OraFiltCodec = {
    0x7E4A2C91, 0x05D3, 0x4B6F, {0x9A, 0x18, 0xC3, 0xF5, 0x2E, 0x07, 0xD4, 0xB6}};

// ULONG 1.
inline constexpr ULONG KSPROPERTY_ORAFILTCODEC_PRESENT = 0;
// ULONG: in, an HD Audio command word; out, the codec's response.
inline constexpr ULONG KSPROPERTY_ORAFILTCODEC_VERB = 16;
// ORAFILT_BUSDWORD: one 32-bit word of the bus component's memory blocks.
inline constexpr ULONG KSPROPERTY_ORAFILTCODEC_BUSDWORD = 17;

// The value of KSPROPERTY_ORAFILTCODEC_VERB when no verb could be sent (the
// HD Audio bus interface is not available, or the transfer failed).
inline constexpr ULONG ORAFILTCODEC_VERB_NO_RESPONSE = 0xFFFFFFFFu;

// The value of KSPROPERTY_ORAFILTCODEC_BUSDWORD.
struct ORAFILT_BUSDWORD {
  ULONG Write;     // not 0: store Value first
  ULONG Selector;  // 0: the control block; anything else: the auxiliary block
  ULONG Offset;    // byte offset of the word in the block
  ULONG Value;     // in: the word to store; out: the word read back (0 when refused)
};
static_assert(sizeof(ORAFILT_BUSDWORD) == 16);
static_assert(offsetof(ORAFILT_BUSDWORD, Write) == 0 && offsetof(ORAFILT_BUSDWORD, Selector) == 4 &&
              offsetof(ORAFILT_BUSDWORD, Offset) == 8 && offsetof(ORAFILT_BUSDWORD, Value) == 12);
