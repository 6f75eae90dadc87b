// HD Audio link facts: command and response words, verbs, parameters and their
// bit fields. One header for the codec model and the kernel filter, so neither
// spells a verb or a mask twice. Constants and constexpr helpers only.
#pragma once

#include "platform/base.h"

namespace hda {

// ---------------------------------------------------------------------------
// Command word (what the controller sends on the link): codec address in bits
// 31-28, node id in bits 27-20, then bits 19-0 hold either a 12-bit verb with an
// 8-bit payload or a 4-bit verb with a 16-bit payload.

inline constexpr ULONG kCodecAddressShift = 28;
inline constexpr ULONG kCodecAddressMask = 0xF;
inline constexpr ULONG kNodeIdShift = 20;
inline constexpr ULONG kNodeIdMask = 0xFF;
inline constexpr ULONG kVerbPayloadMask = 0xFFFFF;

inline constexpr ULONG kVerb12Shift = 8;
inline constexpr ULONG kVerb12Mask = 0xFFF;
inline constexpr ULONG kPayload8Mask = 0xFF;

inline constexpr ULONG kVerb4Shift = 16;
inline constexpr ULONG kVerb4Mask = 0xF;
inline constexpr ULONG kPayload16Mask = 0xFFFF;

// The root node of every codec.
inline constexpr ULONG kRootNode = 0x00;

// ---------------------------------------------------------------------------
// Verbs with an 8-bit payload (12-bit verb ids).

inline constexpr ULONG kVerbGetParameter = 0xF00;
inline constexpr ULONG kVerbGetConnectionSelect = 0xF01;
inline constexpr ULONG kVerbSetConnectionSelect = 0x701;
inline constexpr ULONG kVerbGetConnectionListEntry = 0xF02;
inline constexpr ULONG kVerbGetPowerState = 0xF05;
inline constexpr ULONG kVerbSetPowerState = 0x705;
inline constexpr ULONG kVerbGetConverterStreamChannel = 0xF06;
inline constexpr ULONG kVerbSetConverterStreamChannel = 0x706;
inline constexpr ULONG kVerbGetPinWidgetControl = 0xF07;
inline constexpr ULONG kVerbSetPinWidgetControl = 0x707;
inline constexpr ULONG kVerbGetUnsolicitedResponse = 0xF08;
inline constexpr ULONG kVerbSetUnsolicitedResponse = 0x708;
inline constexpr ULONG kVerbGetPinSense = 0xF09;
inline constexpr ULONG kVerbGetEapdBtlEnable = 0xF0C;
inline constexpr ULONG kVerbSetEapdBtlEnable = 0x70C;
inline constexpr ULONG kVerbGetConfigDefault = 0xF1C;
// Set Configuration Default writes one byte per verb, bytes 0 to 3.
inline constexpr ULONG kVerbSetConfigDefault0 = 0x71C;
inline constexpr ULONG kVerbSetConfigDefault3 = 0x71F;
inline constexpr ULONG kVerbGetSubsystemId = 0xF20;
// Set Subsystem ID writes one byte per verb, bytes 0 to 3.
inline constexpr ULONG kVerbSetSubsystemId0 = 0x720;
inline constexpr ULONG kVerbSetSubsystemId3 = 0x723;
inline constexpr ULONG kVerbFunctionReset = 0x7FF;

// ---------------------------------------------------------------------------
// Verbs with a 16-bit payload (4-bit verb ids).

inline constexpr ULONG kVerbSetConverterFormat = 0x2;
inline constexpr ULONG kVerbSetAmplifierGainMute = 0x3;
inline constexpr ULONG kVerbSetProcessingCoefficient = 0x4;
inline constexpr ULONG kVerbSetCoefficientIndex = 0x5;
inline constexpr ULONG kVerbGetConverterFormat = 0xA;
inline constexpr ULONG kVerbGetAmplifierGainMute = 0xB;
inline constexpr ULONG kVerbGetProcessingCoefficient = 0xC;
inline constexpr ULONG kVerbGetCoefficientIndex = 0xD;

// Whether bits 19-0 of a command carry a 4-bit verb (and so a 16-bit payload):
// the link reserves the top nibbles 0x2-0x5 and 0xA-0xD for them.
constexpr bool IsVerb4(ULONG verbPayload) {
  const ULONG nibble = (verbPayload >> kVerb4Shift) & kVerb4Mask;
  return (nibble >= 0x2 && nibble <= 0x5) || (nibble >= 0xA && nibble <= 0xD);
}

// "ca" of a command word: the codec address in its place.
constexpr ULONG CodecAddressBits(ULONG codecAddress) {
  return (codecAddress & kCodecAddressMask) << kCodecAddressShift;
}

constexpr ULONG MakeCommand12(ULONG codecAddress, ULONG node, ULONG verb, ULONG payload) {
  return CodecAddressBits(codecAddress) | ((node & kNodeIdMask) << kNodeIdShift) |
         ((verb & kVerb12Mask) << kVerb12Shift) | (payload & kPayload8Mask);
}

constexpr ULONG MakeCommand4(ULONG codecAddress, ULONG node, ULONG verb, ULONG payload) {
  return CodecAddressBits(codecAddress) | ((node & kNodeIdMask) << kNodeIdShift) |
         ((verb & kVerb4Mask) << kVerb4Shift) | (payload & kPayload16Mask);
}

constexpr ULONG CommandCodecAddress(ULONG command) { return (command >> kCodecAddressShift) & kCodecAddressMask; }
constexpr ULONG CommandNode(ULONG command) { return (command >> kNodeIdShift) & kNodeIdMask; }
constexpr ULONG CommandVerbPayload(ULONG command) { return command & kVerbPayloadMask; }

// The verb id of a command: the 4-bit id for the long-payload forms, the
// 12-bit id otherwise.
constexpr ULONG CommandVerb(ULONG command) {
  const ULONG vp = CommandVerbPayload(command);
  return IsVerb4(vp) ? (vp >> kVerb4Shift) & kVerb4Mask : (vp >> kVerb12Shift) & kVerb12Mask;
}

constexpr ULONG CommandPayload(ULONG command) {
  const ULONG vp = CommandVerbPayload(command);
  return IsVerb4(vp) ? vp & kPayload16Mask : vp & kPayload8Mask;
}

// ---------------------------------------------------------------------------
// Parameter ids (payload of Get Parameter).

inline constexpr ULONG kParamVendorId = 0x00;
inline constexpr ULONG kParamRevisionId = 0x02;
inline constexpr ULONG kParamSubordinateNodeCount = 0x04;
inline constexpr ULONG kParamFunctionGroupType = 0x05;
inline constexpr ULONG kParamAudioFunctionGroupCaps = 0x08;
inline constexpr ULONG kParamAudioWidgetCaps = 0x09;
inline constexpr ULONG kParamSupportedPcmSizeRates = 0x0A;
inline constexpr ULONG kParamSupportedStreamFormats = 0x0B;
inline constexpr ULONG kParamPinCaps = 0x0C;
inline constexpr ULONG kParamInputAmpCaps = 0x0D;
inline constexpr ULONG kParamConnectionListLength = 0x0E;
inline constexpr ULONG kParamSupportedPowerStates = 0x0F;
inline constexpr ULONG kParamProcessingCaps = 0x10;
inline constexpr ULONG kParamGpioCount = 0x11;
inline constexpr ULONG kParamOutputAmpCaps = 0x12;
inline constexpr ULONG kParamVolumeKnobCaps = 0x13;

// Vendor ID response: vendor in bits 31-16, device in bits 15-0.
constexpr ULONG MakeVendorIdResponse(ULONG vendorId, ULONG deviceId) {
  return ((vendorId & 0xFFFF) << 16) | (deviceId & 0xFFFF);
}
constexpr ULONG ResponseVendorId(ULONG response) { return (response >> 16) & 0xFFFF; }
constexpr ULONG ResponseDeviceId(ULONG response) { return response & 0xFFFF; }

// Subordinate Node Count response: starting node in bits 23-16, count in 7-0.
constexpr ULONG MakeSubordinateNodeCountResponse(ULONG startNode, ULONG count) {
  return ((startNode & 0xFF) << 16) | (count & 0xFF);
}
constexpr ULONG ResponseStartNode(ULONG response) { return (response >> 16) & 0xFF; }
constexpr ULONG ResponseNodeCount(ULONG response) { return response & 0xFF; }

// Function Group Type response: type in bits 7-0, unsolicited-capable bit 8.
inline constexpr ULONG kFunctionGroupTypeMask = 0xFF;
inline constexpr ULONG kFunctionGroupUnsolicitedCapable = 1u << 8;
inline constexpr ULONG kFunctionGroupAudio = 0x01;
inline constexpr ULONG kFunctionGroupModem = 0x02;
inline constexpr ULONG kFunctionGroupVendorFirst = 0x80;
constexpr ULONG ResponseFunctionGroupType(ULONG response) { return response & kFunctionGroupTypeMask; }

// Audio Widget Capabilities: widget type in bits 23-20 and capability bits.
inline constexpr ULONG kWidgetTypeShift = 20;
inline constexpr ULONG kWidgetTypeMask = 0xF;
inline constexpr ULONG kWidgetAudioOutput = 0x0;
inline constexpr ULONG kWidgetAudioInput = 0x1;
inline constexpr ULONG kWidgetAudioMixer = 0x2;
inline constexpr ULONG kWidgetAudioSelector = 0x3;
inline constexpr ULONG kWidgetPinComplex = 0x4;
inline constexpr ULONG kWidgetPower = 0x5;
inline constexpr ULONG kWidgetVolumeKnob = 0x6;
inline constexpr ULONG kWidgetBeepGenerator = 0x7;
inline constexpr ULONG kWidgetVendorDefined = 0xF;
inline constexpr ULONG kWidgetCapStereo = 1u << 0;
inline constexpr ULONG kWidgetCapInAmp = 1u << 1;
inline constexpr ULONG kWidgetCapOutAmp = 1u << 2;
inline constexpr ULONG kWidgetCapAmpOverride = 1u << 3;
inline constexpr ULONG kWidgetCapFormatOverride = 1u << 4;
inline constexpr ULONG kWidgetCapStripe = 1u << 5;
inline constexpr ULONG kWidgetCapProcessing = 1u << 6;
inline constexpr ULONG kWidgetCapUnsolicited = 1u << 7;
inline constexpr ULONG kWidgetCapConnectionList = 1u << 8;
inline constexpr ULONG kWidgetCapDigital = 1u << 9;
inline constexpr ULONG kWidgetCapPowerControl = 1u << 10;
inline constexpr ULONG kWidgetCapLrSwap = 1u << 11;
constexpr ULONG ResponseWidgetType(ULONG response) { return (response >> kWidgetTypeShift) & kWidgetTypeMask; }

// Amplifier Capabilities (input and output): mute capable bit 31, step size
// bits 22-16, number of steps bits 14-8, offset bits 6-0.
inline constexpr ULONG kAmpCapMute = 1u << 31;
inline constexpr ULONG kAmpCapStepSizeShift = 16;
inline constexpr ULONG kAmpCapStepsShift = 8;
inline constexpr ULONG kAmpCapFieldMask = 0x7F;
constexpr ULONG MakeAmpCaps(ULONG offset, ULONG steps, ULONG stepSize, bool mute) {
  return (mute ? kAmpCapMute : 0) | ((stepSize & kAmpCapFieldMask) << kAmpCapStepSizeShift) |
         ((steps & kAmpCapFieldMask) << kAmpCapStepsShift) | (offset & kAmpCapFieldMask);
}

// Pin Capabilities.
inline constexpr ULONG kPinCapImpedanceSense = 1u << 0;
inline constexpr ULONG kPinCapTriggerRequired = 1u << 1;
inline constexpr ULONG kPinCapPresenceDetect = 1u << 2;
inline constexpr ULONG kPinCapHeadphoneDrive = 1u << 3;
inline constexpr ULONG kPinCapOutput = 1u << 4;
inline constexpr ULONG kPinCapInput = 1u << 5;
inline constexpr ULONG kPinCapBalanced = 1u << 6;
inline constexpr ULONG kPinCapHdmi = 1u << 7;
inline constexpr ULONG kPinCapVrefShift = 8;
inline constexpr ULONG kPinCapVrefMask = 0xFF;
inline constexpr ULONG kPinCapEapd = 1u << 16;
inline constexpr ULONG kPinCapDisplayPort = 1u << 24;
inline constexpr ULONG kPinCapHbr = 1u << 27;

// ---------------------------------------------------------------------------
// Payloads and responses of the control verbs.

// Pin Widget Control (payload of the set, response of the get).
inline constexpr ULONG kPinControlVrefMask = 0x07;
inline constexpr ULONG kPinControlInEnable = 0x20;
inline constexpr ULONG kPinControlOutEnable = 0x40;
inline constexpr ULONG kPinControlHeadphoneEnable = 0x80;

// Set Amplifier Gain/Mute payload: which amplifier (output bit 15, input bit
// 14), which channels (left bit 13, right bit 12), index bits 11-8, mute bit 7,
// gain bits 6-0.
inline constexpr ULONG kAmpSetOutput = 1u << 15;
inline constexpr ULONG kAmpSetInput = 1u << 14;
inline constexpr ULONG kAmpSetLeft = 1u << 13;
inline constexpr ULONG kAmpSetRight = 1u << 12;
inline constexpr ULONG kAmpSetIndexShift = 8;
inline constexpr ULONG kAmpIndexMask = 0xF;
inline constexpr ULONG kAmpMute = 1u << 7;
inline constexpr ULONG kAmpGainMask = 0x7F;
constexpr ULONG MakeAmpSetPayload(bool output, bool input, bool left, bool right, ULONG index, bool mute, ULONG gain) {
  return (output ? kAmpSetOutput : 0) | (input ? kAmpSetInput : 0) | (left ? kAmpSetLeft : 0) |
         (right ? kAmpSetRight : 0) | ((index & kAmpIndexMask) << kAmpSetIndexShift) | (mute ? kAmpMute : 0) |
         (gain & kAmpGainMask);
}

// Get Amplifier Gain/Mute payload: output (1) or input (0) in bit 15, left (1)
// or right (0) in bit 13, index in bits 3-0. Its response: mute bit 7, gain
// bits 6-0.
inline constexpr ULONG kAmpGetOutput = 1u << 15;
inline constexpr ULONG kAmpGetLeft = 1u << 13;
constexpr ULONG MakeAmpGetPayload(bool output, bool left, ULONG index) {
  return (output ? kAmpGetOutput : 0) | (left ? kAmpGetLeft : 0) | (index & kAmpIndexMask);
}

// Power State response: actual state in bits 7-4, the setting in bits 3-0.
inline constexpr ULONG kPowerStateActualShift = 4;
inline constexpr ULONG kPowerStateMask = 0xF;

// ---------------------------------------------------------------------------
// Response as the controller delivers it (HDAUDIO_CODEC_RESPONSE, 64 bits):
// the codec's 32-bit response, the SDATA_IN line in bits 35-32, unsolicited bit
// 36, FIFO overrun bit 62, valid bit 63.

inline constexpr ULONGLONG kResponseWordMask = 0xFFFFFFFFull;
inline constexpr ULONG kResponseSDataInShift = 32;
inline constexpr ULONGLONG kResponseSDataInMask = 0xFull;
inline constexpr ULONGLONG kResponseUnsolicited = 1ull << 36;
inline constexpr ULONGLONG kResponseFifoOverrun = 1ull << 62;
inline constexpr ULONGLONG kResponseValid = 1ull << 63;

constexpr ULONGLONG MakeCompleteResponse(ULONG response, bool valid, ULONG sdataIn) {
  return static_cast<ULONGLONG>(response) |
         ((static_cast<ULONGLONG>(sdataIn) & kResponseSDataInMask) << kResponseSDataInShift) |
         (valid ? kResponseValid : 0);
}

// The command words the filter sends, pinned so the helpers cannot drift from them.
static_assert(MakeCommand12(0, kRootNode, kVerbGetParameter, kParamVendorId) == 0xF0000);
static_assert(MakeCommand12(0, kRootNode, kVerbGetParameter, kParamSubordinateNodeCount) == 0xF0004);
static_assert(MakeCommand12(0, 0x01, kVerbGetSubsystemId, 0) == 0x1F2000);
static_assert(MakeCommand12(1, 0x1A, kVerbSetPinWidgetControl, kPinControlInEnable | 0x02) == 0x11A70722);
static_assert(MakeCommand4(0, 0x08, kVerbSetAmplifierGainMute,
                           MakeAmpSetPayload(false, true, true, true, 0, false, 0x27)) == 0x837027);
static_assert(MakeCommand4(0, 0x0D, kVerbSetAmplifierGainMute,
                           MakeAmpSetPayload(false, true, true, true, 0, true, 0)) == 0xD37080);
static_assert(MakeCommand4(0, 0x20, kVerbSetCoefficientIndex, 0x15) == 0x2050015);
static_assert(MakeCommand4(0, 0x20, kVerbSetProcessingCoefficient, 0) == 0x2040000);
static_assert(MakeCommand4(0, 0x20, kVerbGetProcessingCoefficient, 0) == 0x20C0000);
static_assert(CodecAddressBits(2) == 0x20000000);
static_assert(CommandVerb(0x837027) == kVerbSetAmplifierGainMute && CommandPayload(0x837027) == 0x7027);
static_assert(CommandVerb(0x11A70722) == kVerbSetPinWidgetControl && CommandPayload(0x11A70722) == 0x22);
static_assert(CommandNode(0x11A70722) == 0x1A && CommandCodecAddress(0x11A70722) == 1);

}  // namespace hda
