#include "asio/period_copy.h"

#include <bit>
#include <cstddef>
#include <type_traits>

namespace {

constexpr ULONG kMaxFrameChannels = 8;

// One contiguous stretch of a period: device frames from devFrame, host
// samples from hostSample, `frames` long.
struct CopyRun {
  size_t devFrame;
  size_t hostSample;
  size_t frames;
};

// A period as at most two runs inside the buffer, plus what the safety rule
// dropped (as host sample ranges) so capture can silence it.
struct PeriodRuns {
  CopyRun run[2];
  ULONG count;
  CopyRun dropped[2];
  ULONG droppedCount;
};

void AddRun(PeriodRuns& runs, size_t devFrame, size_t hostSample, size_t frames, size_t availFrames) {
  size_t inside = 0;
  if (devFrame < availFrames) inside = availFrames - devFrame < frames ? availFrames - devFrame : frames;
  if (inside != 0) runs.run[runs.count++] = {devFrame, hostSample, inside};
  if (inside != frames) runs.dropped[runs.droppedCount++] = {0, hostSample + inside, frames - inside};
}

bool PlacePeriod(const PeriodCopy& copy, const PeriodPlacement& at, PeriodRuns& runs) {
  runs.count = 0;
  runs.droppedCount = 0;
  if (copy.kind == PeriodCopyKind::None || copy.frameChannels == 0 || copy.frameChannels > kMaxFrameChannels)
    return false;
  if (at.bufferIndex > 1 || at.half > 1 || at.periodFrames == 0) return false;
  const size_t width = copy.containerBytes;
  if (reinterpret_cast<uintptr_t>(at.cycleBuffer) % width != 0) return false;

  const uint64_t n = at.periodFrames;
  const uint64_t cycle = 2 * n;
  const uint64_t frameBytes = uint64_t{copy.frameChannels} * width;
  // Divisions only off the usual path: a full buffer and an offset below 2N.
  uint64_t avail = cycle;
  if (at.cycleBuffer == nullptr)
    avail = 0;
  else if (at.cycleBytes < cycle * frameBytes)
    avail = at.cycleBytes / frameBytes;

  uint64_t start = at.half * n + at.writeOffset;
  if (start >= cycle) start -= cycle;
  if (start >= cycle) start %= cycle;
  const uint64_t host = at.bufferIndex * n;
  const uint64_t first = start + n <= cycle ? n : cycle - start;
  AddRun(runs, start, host, first, avail);
  if (first != n) AddRun(runs, 0, host + first, n - first, avail);
  return true;
}

// Sources of each frame slot of a render copy, and the slots it writes.
struct SlotMap {
  ULONG firstSlot;
  ULONG slotCount;
  ULONG channel[kMaxFrameChannels];  // relative channel feeding slot firstSlot + i
};

SlotMap MapSlots(const PeriodCopy& copy) {
  switch (copy.kind) {
    case PeriodCopyKind::SixReorder:
      return {0, 6, {0, 1, 4, 5, 2, 3}};
    case PeriodCopyKind::EightReorder:
      return {0, 8, {0, 1, 4, 5, 2, 3, 6, 7}};
    case PeriodCopyKind::PairAt2:
      return {4, 2, {2, 3}};
    case PeriodCopyKind::PairAt4:
      return {2, 2, {4, 5}};
    case PeriodCopyKind::PairAt6:
      return {6, 2, {6, 7}};
    case PeriodCopyKind::Pair:
      return {0, 2, {0, 1}};
    case PeriodCopyKind::Straight:
      return {0, copy.frameChannels, {0, 1, 2, 3, 4, 5, 6, 7}};
    case PeriodCopyKind::None:
      break;
  }
  return {0, 0, {}};
}

// The kernels are plain indexed loops over restrict-qualified pointers, which
// the compiler turns into vector loads, shuffles and stores.
//
// A lane is two adjacent samples of a frame handled as one word of twice the
// width: every 32-bit copy moves whole pairs of samples, and a frame of pairs
// is a group of 1 to 4 lanes, which the vectoriser interleaves far better than
// a group of 6 samples. The lane types may alias the samples and need only
// the samples' alignment.
static_assert(std::endian::native == std::endian::little, "a lane holds its first sample in the low half");
template <typename T>
struct LaneTraits;
template <>
struct LaneTraits<uint16_t> {
  typedef uint32_t __attribute__((may_alias, aligned(2))) Lane;
  typedef uint32_t Value;
};
template <>
struct LaneTraits<uint32_t> {
  typedef uint64_t __attribute__((may_alias, aligned(4))) Lane;
  typedef uint64_t Value;
};
typedef LaneTraits<uint32_t>::Lane Lane32;

template <typename T>
using LaneOf = typename LaneTraits<T>::Lane;
template <typename T>
using LaneValue = typename LaneTraits<T>::Value;
static_assert(alignof(LaneOf<uint16_t>) == 2 && alignof(LaneOf<uint32_t>) == 4);

template <typename T>
inline LaneValue<T> Pack(T first, T second) {
  return LaneValue<T>{first} | LaneValue<T>{second} << (8 * sizeof(T));
}
template <typename T>
inline T Low(LaneValue<T> v) {
  return static_cast<T>(v);
}
template <typename T>
inline T High(LaneValue<T> v) {
  return static_cast<T>(v >> (8 * sizeof(T)));
}

// Frames of P lanes; lane p of a frame takes slots 2p and 2p + 1.
template <typename T, ULONG P>
void InterleaveLanes(LaneOf<T>* __restrict d, const T* __restrict s0, const T* __restrict s1,
                     [[maybe_unused]] const T* __restrict s2, [[maybe_unused]] const T* __restrict s3,
                     [[maybe_unused]] const T* __restrict s4, [[maybe_unused]] const T* __restrict s5,
                     [[maybe_unused]] const T* __restrict s6, [[maybe_unused]] const T* __restrict s7, size_t frames) {
  for (size_t j = 0; j < frames; ++j) {
    d[j * P + 0] = Pack(s0[j], s1[j]);
    if constexpr (P > 1) d[j * P + 1] = Pack(s2[j], s3[j]);
    if constexpr (P > 2) d[j * P + 2] = Pack(s4[j], s5[j]);
    if constexpr (P > 3) d[j * P + 3] = Pack(s6[j], s7[j]);
  }
}

template <typename T, ULONG P>
void DeinterleaveLanes(const LaneOf<T>* __restrict d, T* __restrict s0, T* __restrict s1,
                       [[maybe_unused]] T* __restrict s2, [[maybe_unused]] T* __restrict s3,
                       [[maybe_unused]] T* __restrict s4, [[maybe_unused]] T* __restrict s5,
                       [[maybe_unused]] T* __restrict s6, [[maybe_unused]] T* __restrict s7, size_t frames) {
  for (size_t j = 0; j < frames; ++j) {
    const LaneValue<T> a = d[j * P + 0];
    s0[j] = Low<T>(a);
    s1[j] = High<T>(a);
    if constexpr (P > 1) {
      const LaneValue<T> b = d[j * P + 1];
      s2[j] = Low<T>(b);
      s3[j] = High<T>(b);
    }
    if constexpr (P > 2) {
      const LaneValue<T> c = d[j * P + 2];
      s4[j] = Low<T>(c);
      s5[j] = High<T>(c);
    }
    if constexpr (P > 3) {
      const LaneValue<T> e = d[j * P + 3];
      s6[j] = Low<T>(e);
      s7[j] = High<T>(e);
    }
  }
}

// One lane of a frame of P lanes; the rest of the frame is left as it is.
template <typename T, ULONG P>
void InsertLane(LaneOf<T>* __restrict d, const T* __restrict a, const T* __restrict b, size_t frames) {
  for (size_t j = 0; j < frames; ++j) d[j * P] = Pack(a[j], b[j]);
}

// Frames sample by sample: groups of 1, 2, 4 and 8 samples interleave well;
// groups of 3, 5 and 7 stay scalar.
template <typename T, ULONG D>
void Interleave(T* __restrict d, const T* __restrict s0, [[maybe_unused]] const T* __restrict s1,
                [[maybe_unused]] const T* __restrict s2, [[maybe_unused]] const T* __restrict s3,
                [[maybe_unused]] const T* __restrict s4, [[maybe_unused]] const T* __restrict s5,
                [[maybe_unused]] const T* __restrict s6, [[maybe_unused]] const T* __restrict s7, size_t frames) {
  for (size_t j = 0; j < frames; ++j) {
    d[j * D + 0] = s0[j];
    if constexpr (D > 1) d[j * D + 1] = s1[j];
    if constexpr (D > 2) d[j * D + 2] = s2[j];
    if constexpr (D > 3) d[j * D + 3] = s3[j];
    if constexpr (D > 4) d[j * D + 4] = s4[j];
    if constexpr (D > 5) d[j * D + 5] = s5[j];
    if constexpr (D > 6) d[j * D + 6] = s6[j];
    if constexpr (D > 7) d[j * D + 7] = s7[j];
  }
}

template <typename T, ULONG D>
void Deinterleave(const T* __restrict d, T* __restrict s0, [[maybe_unused]] T* __restrict s1,
                  [[maybe_unused]] T* __restrict s2, [[maybe_unused]] T* __restrict s3,
                  [[maybe_unused]] T* __restrict s4, [[maybe_unused]] T* __restrict s5,
                  [[maybe_unused]] T* __restrict s6, size_t frames) {
  for (size_t j = 0; j < frames; ++j) {
    s0[j] = d[j * D + 0];
    if constexpr (D > 1) s1[j] = d[j * D + 1];
    if constexpr (D > 2) s2[j] = d[j * D + 2];
    if constexpr (D > 3) s3[j] = d[j * D + 3];
    if constexpr (D > 4) s4[j] = d[j * D + 4];
    if constexpr (D > 5) s5[j] = d[j * D + 5];
    if constexpr (D > 6) s6[j] = d[j * D + 6];
  }
}

// Whole frames of D samples, slot k from s[k]. Measured: sample-wise stores
// are fastest for 1, 2, 4 and 8 samples, lanes for the six-sample frame of
// 32-bit containers; lane loads are fastest for every even frame in capture.
template <typename T>
void InterleaveFrames(T* d, ULONG D, const T* const* s, size_t frames) {
  switch (D) {
    case 1:
      Interleave<T, 1>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 2:
      Interleave<T, 2>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 3:
      Interleave<T, 3>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 4:
      Interleave<T, 4>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 5:
      Interleave<T, 5>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 7:
      Interleave<T, 7>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 8:
      Interleave<T, 8>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 6:
      if constexpr (sizeof(T) == 4)
        InterleaveLanes<T, 3>(reinterpret_cast<LaneOf<T>*>(d), s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      else
        Interleave<T, 6>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
  }
}

template <typename T>
void DeinterleaveFrames(const T* d, ULONG D, T* const* s, size_t frames) {
  const LaneOf<T>* const lanes = reinterpret_cast<const LaneOf<T>*>(d);
  switch (D) {
    case 1:
      Deinterleave<T, 1>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], frames);
      break;
    case 2:
      DeinterleaveLanes<T, 1>(lanes, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 3:
      Deinterleave<T, 3>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], frames);
      break;
    case 4:
      DeinterleaveLanes<T, 2>(lanes, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 5:
      Deinterleave<T, 5>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], frames);
      break;
    case 6:
      DeinterleaveLanes<T, 3>(lanes, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
    case 7:
      Deinterleave<T, 7>(d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], frames);
      break;
    case 8:
      DeinterleaveLanes<T, 4>(lanes, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], frames);
      break;
  }
}

// One channel of a frame at a time: for channels without a buffer, and for
// capture destinations that share one (several channels on the spare buffer).
template <typename T>
void ExtractSlot(const T* __restrict d, size_t stride, T* __restrict c, size_t frames) {
  for (size_t j = 0; j < frames; ++j) c[j] = d[j * stride];
}

template <typename T>
void PutSlot(T* __restrict d, size_t stride, const T* __restrict c, size_t frames) {
  for (size_t j = 0; j < frames; ++j) d[j * stride] = c[j];
}

template <typename T>
void SilenceSlot(T* __restrict d, size_t stride, size_t frames) {
  for (size_t j = 0; j < frames; ++j) d[j * stride] = 0;
}

template <typename T>
bool Aligned(const void* p) {
  return reinterpret_cast<uintptr_t>(p) % alignof(T) == 0;
}

template <typename T>
ULONG Render(const PeriodCopy& copy, const PeriodPlacement& at) {
  PeriodRuns runs;
  if (!PlacePeriod(copy, at, runs)) return 0;
  const SlotMap map = MapSlots(copy);
  if (map.firstSlot + map.slotCount > copy.frameChannels) return 0;
  const T* src[kMaxFrameChannels] = {};
  bool anyNull = false;
  for (ULONG i = 0; i < map.slotCount; ++i) {
    src[i] = static_cast<const T*>(at.channelTable ? at.channelTable[map.channel[i]] : nullptr);
    if (!Aligned<T>(src[i])) return 0;
    anyNull = anyNull || src[i] == nullptr;
  }
  const size_t frame = copy.frameChannels;
  T* const cycle = static_cast<T*>(at.cycleBuffer);
  ULONG moved = 0;
  for (ULONG r = 0; r < runs.count; ++r) {
    const CopyRun& run = runs.run[r];
    T* const d = cycle + run.devFrame * frame + map.firstSlot;
    const size_t h = run.hostSample;
    if (anyNull) {
      for (ULONG i = 0; i < map.slotCount; ++i) {
        if (src[i])
          PutSlot(d + i, frame, src[i] + h, run.frames);
        else
          SilenceSlot(d + i, frame, run.frames);
      }
    } else if (map.slotCount == frame) {
      const T* s[kMaxFrameChannels] = {};
      for (ULONG i = 0; i < map.slotCount; ++i) s[i] = src[i] + h;
      InterleaveFrames<T>(d, copy.frameChannels, s, run.frames);
    } else if (map.firstSlot % 2 == 0 && (frame == 6 || frame == 8)) {
      // A pair of slots starting at an even slot is one lane of the frame.
      LaneOf<T>* const lane = reinterpret_cast<LaneOf<T>*>(d);
      if (frame == 8)
        InsertLane<T, 4>(lane, src[0] + h, src[1] + h, run.frames);
      else
        InsertLane<T, 3>(lane, src[0] + h, src[1] + h, run.frames);
    } else {
      for (ULONG i = 0; i < map.slotCount; ++i) PutSlot(d + i, frame, src[i] + h, run.frames);
    }
    moved += static_cast<ULONG>(run.frames);
  }
  return moved;
}

template <typename T>
ULONG Capture(const PeriodCopy& copy, const PeriodPlacement& at) {
  PeriodRuns runs;
  if (!PlacePeriod(copy, at, runs)) return 0;
  const size_t frame = copy.frameChannels;
  T* dst[kMaxFrameChannels] = {};
  bool distinct = true;
  for (ULONG k = 0; k < frame; ++k) {
    dst[k] = static_cast<T*>(at.channelTable ? at.channelTable[k] : nullptr);
    if (!Aligned<T>(dst[k])) return 0;
    if (dst[k] == nullptr) distinct = false;
    for (ULONG e = 0; e < k; ++e)
      if (dst[e] == dst[k]) distinct = false;
  }
  const T* const cycle = static_cast<const T*>(at.cycleBuffer);
  ULONG moved = 0;
  for (ULONG r = 0; r < runs.count; ++r) {
    const CopyRun& run = runs.run[r];
    const T* const d = cycle + run.devFrame * frame;
    const size_t h = run.hostSample;
    if (distinct) {
      T* s[kMaxFrameChannels] = {};
      for (ULONG k = 0; k < frame; ++k) s[k] = dst[k] + h;
      DeinterleaveFrames<T>(d, copy.frameChannels, s, run.frames);
    } else {
      // Null entries are skipped; a buffer shared by several channels (the
      // spare) receives the last of them.
      for (ULONG k = 0; k < frame; ++k)
        if (dst[k]) ExtractSlot(d + k, frame, dst[k] + h, run.frames);
    }
    moved += static_cast<ULONG>(run.frames);
  }
  for (ULONG r = 0; r < runs.droppedCount; ++r) {
    const CopyRun& gap = runs.dropped[r];
    for (ULONG k = 0; k < frame; ++k)
      if (dst[k])
        for (size_t j = 0; j < gap.frames; ++j) dst[k][gap.hostSample + j] = 0;
  }
  return moved;
}

PeriodCopy Checked(PeriodCopyKind kind, ULONG frameChannels, const PeriodCopyShape& shape) {
  if (frameChannels == 0 || frameChannels > kMaxFrameChannels || frameChannels != shape.deviceChannels)
    return {PeriodCopyKind::None, 0, 0};
  return {kind, shape.containerBits / 8, frameChannels};
}

bool PairAtBit(const PeriodCopyShape& shape, ULONG k) { return (shape.pairAt >> k) & 1; }

}  // namespace

PeriodCopy SelectRenderCopy(const PeriodCopyShape& shape) {
  const ULONG n = shape.pinChannels;
  if (shape.containerBits == 32) {
    if (shape.sixChannelMode) return Checked(PeriodCopyKind::SixReorder, 6, shape);
    if (shape.eightChannelMode) return Checked(PeriodCopyKind::EightReorder, 8, shape);
    if (shape.pairMode) return Checked(PeriodCopyKind::Pair, 2, shape);
    if (n == 6) {
      if (PairAtBit(shape, 2)) return Checked(PeriodCopyKind::PairAt2, 6, shape);
      if (PairAtBit(shape, 4)) return Checked(PeriodCopyKind::PairAt4, 6, shape);
      return Checked(PeriodCopyKind::SixReorder, 6, shape);
    }
    if (n == 8) {
      if (PairAtBit(shape, 2)) return Checked(PeriodCopyKind::PairAt2, 8, shape);
      if (PairAtBit(shape, 4)) return Checked(PeriodCopyKind::PairAt4, 8, shape);
      if (PairAtBit(shape, 6)) return Checked(PeriodCopyKind::PairAt6, 8, shape);
      return Checked(PeriodCopyKind::EightReorder, 8, shape);
    }
    return Checked(PeriodCopyKind::Straight, n, shape);
  }
  if (shape.containerBits == 16) {
    if (shape.pairMode) return Checked(PeriodCopyKind::Pair, 2, shape);
    return Checked(PeriodCopyKind::Straight, n, shape);
  }
  return {PeriodCopyKind::None, 0, 0};
}

PeriodCopy SelectCaptureCopy(const PeriodCopyShape& shape) {
  if (shape.containerBits != 16 && shape.containerBits != 32) return {PeriodCopyKind::None, 0, 0};
  if (shape.pairMode) return Checked(PeriodCopyKind::Pair, 2, shape);
  return Checked(PeriodCopyKind::Straight, shape.pinChannels, shape);
}

ULONG RenderPeriod(const PeriodCopy& copy, const PeriodPlacement& at) {
  if (copy.containerBytes == 4) return Render<uint32_t>(copy, at);
  if (copy.containerBytes == 2) return Render<uint16_t>(copy, at);
  return 0;
}

ULONG CapturePeriod(const PeriodCopy& copy, const PeriodPlacement& at) {
  // Only device order exists in this direction.
  if (copy.kind != PeriodCopyKind::Pair && copy.kind != PeriodCopyKind::Straight) return 0;
  if (copy.containerBytes == 4) return Capture<uint32_t>(copy, at);
  if (copy.containerBytes == 2) return Capture<uint16_t>(copy, at);
  return 0;
}

bool IsPairAt(const LONG* assignedChannels, ULONG assignedCount, LONG firstChannel, ULONG k) {
  if (assignedChannels == nullptr || assignedCount != 2) return false;
  const int64_t low = int64_t{firstChannel} + k;
  for (ULONG i = 0; i < 2; ++i) {
    const int64_t c = assignedChannels[i];
    if (c != low && c != low + 1) return false;
  }
  return true;
}

ULONG PairAtMask(const LONG* assignedChannels, ULONG assignedCount, LONG firstChannel, ULONG pinChannels) {
  ULONG mask = 0;
  for (ULONG k = 0; k < pinChannels && k < kMaxFrameChannels; ++k)
    if (IsPairAt(assignedChannels, assignedCount, firstChannel, k)) mask |= 1u << k;
  return mask;
}
