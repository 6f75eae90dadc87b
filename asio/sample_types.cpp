#include "asio/sample_types.h"

const AsioSampleFormat kAsioSampleFormats[3] = {
    {16, ASIOSTInt16LSB, 16, 16},
    {24, ASIOSTInt32LSB, 32, 24},
    {32, ASIOSTInt32LSB, 32, 32},
};

AsioSampleFormat SampleFormatForBitDepth(ULONG bitDepth) {
  for (const AsioSampleFormat& row : kAsioSampleFormats)
    if (row.bitDepth == bitDepth) return row;
  if (bitDepth <= 16) return {bitDepth, ASIOSTInt16LSB, 16, bitDepth};
  return {bitDepth, ASIOSTInt32LSB, 32, bitDepth};
}
