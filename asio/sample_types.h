// Bit depth setting -> what the host is told and what the pin is opened with.
#pragma once

#include "asio/asio_types.h"

struct AsioSampleFormat {
  ULONG bitDepth;             // the "BitDepth" setting
  ASIOSampleType sampleType;  // reported by GetChannelInfo
  ULONG containerBits;        // device container and host sample width: 16 or 32
  ULONG validBits;            // valid bits of the device format
};

// The fixed rows, for 16, 24 and 32 bits.
extern const AsioSampleFormat kAsioSampleFormats[3];

// Any bit depth: a fixed row when there is one, else a container of 16 bits
// for depths up to 16 and of 32 bits above, with the depth as valid bits.
// Host samples are always as wide as the container, so the reported type
// follows the container (ASIOSTInt32LSB for a 32-bit one); reporting 16-bit
// samples over 32-bit containers would have the host fill only half of every
// buffer.
AsioSampleFormat SampleFormatForBitDepth(ULONG bitDepth);
