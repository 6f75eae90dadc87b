// The card's drivers as the simulated PnP manager loads them: built-in
// driver images, each with its service name.
#pragma once

#include <string_view>

#include "platform/wdm.h"

namespace sim::card {

// The HD Audio bus driver: reports the codec's PDO and answers the HD Audio
// bus interface queries on it.
inline constexpr std::u16string_view kBusService = u"HDAudBus";
inline constexpr std::u16string_view kBusImage = u"HDAudBus.sys";
NTSTATUS NTAPI HdaBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// The codec's kernel-streaming function driver: wave and topology filters,
// WaveRT pins.
inline constexpr std::u16string_view kFunctionService = u"CvHdAud";
inline constexpr std::u16string_view kFunctionImage = u"CvHdAud.sys";
NTSTATUS NTAPI KsFunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// The card's bus component, the named device \Device\KVLNK.
inline constexpr std::u16string_view kKvlnkService = u"Kvlnk";
inline constexpr std::u16string_view kKvlnkImage = u"kvlnk.sys";
NTSTATUS NTAPI KvlnkDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// The upper filter of the codec's stack, loaded from its image file.
inline constexpr std::u16string_view kFilterService = u"OraFilt";

}  // namespace sim::card
