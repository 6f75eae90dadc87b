// Records and constants of the ASIO driver interface, as a host and a driver
// exchange them across the IAsio calls and the host's callbacks.
//
// The interface is defined with 4-byte structure packing; on 64-bit Windows a
// C `long` is 32 bits, so every 32-bit field here is LONG/ULONG, never `long`.
#pragma once

#include <cstddef>

#include "platform/base.h"

typedef LONG ASIOBool;
typedef LONG ASIOError;
typedef LONG ASIOSampleType;
typedef double ASIOSampleRate;

inline constexpr ASIOBool ASIOFalse = 0;
inline constexpr ASIOBool ASIOTrue = 1;

// Results.
inline constexpr ASIOError ASE_OK = 0;
inline constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;  // Future's answer for a selector it supports
inline constexpr ASIOError ASE_NotPresent = -1000;
inline constexpr ASIOError ASE_HWMalfunction = -999;
inline constexpr ASIOError ASE_InvalidParameter = -998;
inline constexpr ASIOError ASE_InvalidMode = -997;
inline constexpr ASIOError ASE_SPNotAdvancing = -996;
inline constexpr ASIOError ASE_NoClock = -995;
inline constexpr ASIOError ASE_NoMemory = -994;

// Sample types: how one sample of a host channel buffer is laid out.
inline constexpr ASIOSampleType ASIOSTInt16LSB = 16;
inline constexpr ASIOSampleType ASIOSTInt24LSB = 17;
inline constexpr ASIOSampleType ASIOSTInt32LSB = 18;
inline constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
inline constexpr ASIOSampleType ASIOSTFloat64LSB = 20;
inline constexpr ASIOSampleType ASIOSTDSDInt8LSB1 = 32;  // 8 DSD samples per byte, earliest in bit 0
inline constexpr ASIOSampleType ASIOSTDSDInt8MSB1 = 33;
inline constexpr ASIOSampleType ASIOSTDSDInt8NER8 = 40;

// Selectors of the host's asioMessage callback.
inline constexpr LONG kAsioSelectorSupported = 1;
inline constexpr LONG kAsioEngineVersion = 2;
inline constexpr LONG kAsioResetRequest = 3;
inline constexpr LONG kAsioBufferSizeChange = 4;
inline constexpr LONG kAsioResyncRequest = 5;
inline constexpr LONG kAsioLatenciesChanged = 6;
inline constexpr LONG kAsioSupportsTimeInfo = 7;
inline constexpr LONG kAsioSupportsTimeCode = 8;
inline constexpr LONG kAsioMMCCommand = 9;
inline constexpr LONG kAsioSupportsInputMonitor = 10;
inline constexpr LONG kAsioSupportsInputGain = 11;
inline constexpr LONG kAsioSupportsInputMeter = 12;
inline constexpr LONG kAsioSupportsOutputGain = 13;
inline constexpr LONG kAsioSupportsOutputMeter = 14;
inline constexpr LONG kAsioOverload = 15;

// Selectors of IAsio::Future.
inline constexpr LONG kAsioEnableTimeCodeRead = 1;
inline constexpr LONG kAsioDisableTimeCodeRead = 2;
inline constexpr LONG kAsioSetInputMonitor = 3;
inline constexpr LONG kAsioTransport = 4;
inline constexpr LONG kAsioSetInputGain = 5;
inline constexpr LONG kAsioGetInputMeter = 6;
inline constexpr LONG kAsioSetOutputGain = 7;
inline constexpr LONG kAsioGetOutputMeter = 8;
inline constexpr LONG kAsioCanInputMonitor = 9;
inline constexpr LONG kAsioCanTimeInfo = 10;
inline constexpr LONG kAsioCanTimeCode = 11;
inline constexpr LONG kAsioCanTransport = 12;
inline constexpr LONG kAsioCanInputGain = 13;
inline constexpr LONG kAsioCanInputMeter = 14;
inline constexpr LONG kAsioCanOutputGain = 15;
inline constexpr LONG kAsioCanOutputMeter = 16;
// The I/O-format selectors are dates rather than small numbers, so that an
// older driver cannot mistake them for one of its own.
inline constexpr LONG kAsioSetIoFormat = 0x23111961;
inline constexpr LONG kAsioGetIoFormat = 0x23111983;
inline constexpr LONG kAsioCanDoIoFormat = 0x23112004;

// AsioTimeInfo flags.
inline constexpr ULONG kSystemTimeValid = 0x1;
inline constexpr ULONG kSamplePositionValid = 0x2;
inline constexpr ULONG kSampleRateValid = 0x4;
inline constexpr ULONG kSpeedValid = 0x8;
inline constexpr ULONG kSampleRateChanged = 0x10;
inline constexpr ULONG kClockSourceChanged = 0x20;

// ASIOTimeCode flags.
inline constexpr ULONG kTcValid = 0x1;
inline constexpr ULONG kTcRunning = 0x2;
inline constexpr ULONG kTcReverse = 0x4;
inline constexpr ULONG kTcOnspeed = 0x8;
inline constexpr ULONG kTcStill = 0x10;
inline constexpr ULONG kTcSpeedValid = 0x100;

// ASIOIoFormat FormatType values.
typedef LONG ASIOIoFormatType;
inline constexpr ASIOIoFormatType kASIOFormatInvalid = -1;
inline constexpr ASIOIoFormatType kASIOPCMFormat = 0;
inline constexpr ASIOIoFormatType kASIODSDFormat = 1;

#pragma pack(push, 4)

// A 64-bit count as two unsigned 32-bit halves, high half first.
struct ASIOSamples {
  ULONG hi;
  ULONG lo;
};
static_assert(sizeof(ASIOSamples) == 8);
static_assert(offsetof(ASIOSamples, hi) == 0 && offsetof(ASIOSamples, lo) == 4);

// Nanoseconds, as two unsigned 32-bit halves, high half first.
struct ASIOTimeStamp {
  ULONG hi;
  ULONG lo;
};
static_assert(sizeof(ASIOTimeStamp) == 8);
static_assert(offsetof(ASIOTimeStamp, hi) == 0 && offsetof(ASIOTimeStamp, lo) == 4);

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  ULONG flags;
  char future[64];
};
static_assert(sizeof(ASIOTimeCode) == 84);
static_assert(offsetof(ASIOTimeCode, speed) == 0);
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8);
static_assert(offsetof(ASIOTimeCode, flags) == 16);
static_assert(offsetof(ASIOTimeCode, future) == 20);

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  ULONG flags;
  char reserved[12];
};
static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(offsetof(AsioTimeInfo, speed) == 0);
static_assert(offsetof(AsioTimeInfo, systemTime) == 8);
static_assert(offsetof(AsioTimeInfo, samplePosition) == 16);
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24);
static_assert(offsetof(AsioTimeInfo, flags) == 32);
static_assert(offsetof(AsioTimeInfo, reserved) == 36);

struct ASIOTime {
  LONG reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};
static_assert(sizeof(ASIOTime) == 148);
static_assert(offsetof(ASIOTime, reserved) == 0);
static_assert(offsetof(ASIOTime, timeInfo) == 16);
static_assert(offsetof(ASIOTime, timeCode) == 64);

// The host's callbacks; the driver copies the record at CreateBuffers.
struct ASIOCallbacks {
  void (*bufferSwitch)(LONG doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  LONG (*asioMessage)(LONG selector, LONG value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, LONG doubleBufferIndex, ASIOBool directProcess);
};
static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void*));
static_assert(offsetof(ASIOCallbacks, bufferSwitch) == 0);
static_assert(offsetof(ASIOCallbacks, sampleRateDidChange) == sizeof(void*));
static_assert(offsetof(ASIOCallbacks, asioMessage) == 2 * sizeof(void*));
static_assert(offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 3 * sizeof(void*));

struct ASIOClockSource {
  LONG index;
  LONG associatedChannel;
  LONG associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(offsetof(ASIOClockSource, index) == 0);
static_assert(offsetof(ASIOClockSource, associatedChannel) == 4);
static_assert(offsetof(ASIOClockSource, associatedGroup) == 8);
static_assert(offsetof(ASIOClockSource, isCurrentSource) == 12);
static_assert(offsetof(ASIOClockSource, name) == 16);

struct ASIOChannelInfo {
  LONG channel;
  ASIOBool isInput;
  ASIOBool isActive;
  LONG channelGroup;
  ASIOSampleType type;
  char name[32];
};
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(offsetof(ASIOChannelInfo, channel) == 0);
static_assert(offsetof(ASIOChannelInfo, isInput) == 4);
static_assert(offsetof(ASIOChannelInfo, isActive) == 8);
static_assert(offsetof(ASIOChannelInfo, channelGroup) == 12);
static_assert(offsetof(ASIOChannelInfo, type) == 16);
static_assert(offsetof(ASIOChannelInfo, name) == 20);

// One host channel; the driver fills buffers[] with the two halves.
struct ASIOBufferInfo {
  ASIOBool isInput;
  LONG channelNum;
  void* buffers[2];
};
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void*));
static_assert(offsetof(ASIOBufferInfo, isInput) == 0);
static_assert(offsetof(ASIOBufferInfo, channelNum) == 4);
static_assert(offsetof(ASIOBufferInfo, buffers) == 8);

// What a host learns about the driver it loaded.
struct ASIODriverInfo {
  LONG asioVersion;
  LONG driverVersion;
  char name[32];
  char errorMessage[124];
  void* sysRef;
};
static_assert(offsetof(ASIODriverInfo, asioVersion) == 0);
static_assert(offsetof(ASIODriverInfo, driverVersion) == 4);
static_assert(offsetof(ASIODriverInfo, name) == 8);
static_assert(offsetof(ASIODriverInfo, errorMessage) == 40);
static_assert(offsetof(ASIODriverInfo, sysRef) == 164);
static_assert(sizeof(ASIODriverInfo) == 164 + sizeof(void*));

// Parameter of the I/O-format Future selectors; only FormatType is defined.
struct ASIOIoFormat {
  ASIOIoFormatType FormatType;
  char future[512 - sizeof(ASIOIoFormatType)];
};
static_assert(sizeof(ASIOIoFormat) == 512);
static_assert(offsetof(ASIOIoFormat, FormatType) == 0);
static_assert(offsetof(ASIOIoFormat, future) == 4);

#pragma pack(pop)
