// One period between a stream's per-channel host buffers and its pin's
// interleaved cyclic buffer. Runs on the stream thread: nothing here
// allocates, locks, throws or calls virtually.
//
// Placement. With N frames per period, the host half of buffer index i starts
// at host sample i x N of every channel, and the period starts at cyclic frame
// s = (half x N + writeOffset) mod 2N. When s + N <= 2N the period is one run
// of N frames; otherwise the first run ends at frame 2N (2N - s frames) and
// the rest continues at frame 0. Frame s + j of the first run pairs with host
// sample i x N + j, frame j of the second with host sample i x N + (2N - s) + j.
//
// Safety rule. Positions always follow the 2N-frame placement above, so every
// frame that exists is exactly where the hardware expects it. When the pin
// granted a cyclic buffer smaller than 2N frames (cycleBytes / frame size,
// rounded down), the frames of a period that would lie at or past its end are
// dropped: a render copy does not write them, a capture copy writes zero host
// samples for them. No byte outside [cycleBuffer, cycleBuffer + cycleBytes) is
// ever touched, and no host sample outside the buffer's half.
//
// Bad input is refused as a whole and moves nothing (result 0): a buffer index
// or half other than 0 or 1, N of 0, a shape that matches no copy, or a cyclic
// buffer or channel buffer not aligned to the container width.
#pragma once

#include <cstdint>

#include "platform/base.h"

// What a stream's copies depend on, fixed when its buffers are created.
struct PeriodCopyShape {
  ULONG containerBits;    // wBitsPerSample of the pin's format: 16 or 32
  ULONG deviceChannels;   // nChannels of the pin's format (D)
  ULONG pinChannels;      // m_pinChannels (n)
  bool pairMode;          // m_pairMode
  bool sixChannelMode;    // m_sixChannelMode
  bool eightChannelMode;  // m_eightChannelMode
  ULONG pairAt;           // bit k set when IsPairAt(k)
};

enum class PeriodCopyKind : ULONG {
  None,          // the shape matches no copy; nothing is moved
  Pair,          // d0-c0, d1-c1 in a two-sample frame
  SixReorder,    // d0-c0, d1-c1, d2-c4, d3-c5, d4-c2, d5-c3
  EightReorder,  // as SixReorder, then d6-c6, d7-c7
  PairAt2,       // d4<-c2, d5<-c3 only (render)
  PairAt4,       // d2<-c4, d3<-c5 only (render)
  PairAt6,       // d6<-c6, d7<-c7 only (render)
  Straight,      // dk-ck for every k of the frame, in ASIO order
};

struct PeriodCopy {
  PeriodCopyKind kind;
  ULONG containerBytes;  // 2 or 4
  ULONG frameChannels;   // samples per device frame (D)
};

// The render copy (host to device): the first row whose condition holds.
//   32 bits: m_sixChannelMode, m_eightChannelMode, m_pairMode, n = 6 with
//            IsPairAt(2) or (4), n = 6 otherwise (six-channel reorder), n = 8
//            with IsPairAt(2), (4) or (6), n = 8 otherwise (eight-channel
//            reorder), any other n (straight);
//   16 bits: m_pairMode, otherwise straight.
// The frame size a row implies must equal deviceChannels (1..8), else None.
PeriodCopy SelectRenderCopy(const PeriodCopyShape& shape);

// The capture copy (device to host): Pair in pair mode, else Straight; the
// device order is kept at both widths.
PeriodCopy SelectCaptureCopy(const PeriodCopyShape& shape);

// Where one period goes.
struct PeriodPlacement {
  void* const* channelTable;  // m_channelTable: 8 entries, half 0 of a 2N-sample buffer each, or null
  ULONG bufferIndex;          // host half, 0 or 1
  ULONG half;                 // m_half, 0 or 1
  ULONG periodFrames;         // N
  ULONG writeOffset;          // m_writeOffset, frames
  void* cycleBuffer;          // m_cycleBuffer
  ULONG cycleBytes;           // m_cycleBytes, actual size
};

// Copy one period; the result is the number of frames moved between host
// and cyclic buffer (N unless frames were dropped by the safety rule). A null
// channel-table entry reads as silence (render) and is skipped (capture).
ULONG RenderPeriod(const PeriodCopy& copy, const PeriodPlacement& at);
ULONG CapturePeriod(const PeriodCopy& copy, const PeriodPlacement& at);

// True when exactly two host buffers are assigned and both carry ASIO channel
// numbers within {firstChannel + k, firstChannel + k + 1}.
bool IsPairAt(const LONG* assignedChannels, ULONG assignedCount, LONG firstChannel, ULONG k);

// IsPairAt for every k below min(pinChannels, 8), as PeriodCopyShape::pairAt.
ULONG PairAtMask(const LONG* assignedChannels, ULONG assignedCount, LONG firstChannel, ULONG pinChannels);
