#include "asio/period_copy.h"

#include <cstddef>

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
  uint64_t avail = at.cycleBuffer ? at.cycleBytes / frameBytes : 0;
  if (avail > cycle) avail = cycle;

  const uint64_t start = (at.half * n + at.writeOffset) % cycle;
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

// Plain indexed loops over restrict-qualified pointers: the compiler turns
// each into vector loads and interleaving shuffles. Slots past D are unused.
template <typename T, ULONG D>
void Interleave(T* __restrict d, [[maybe_unused]] const T* __restrict s0, [[maybe_unused]] const T* __restrict s1,
                [[maybe_unused]] const T* __restrict s2, [[maybe_unused]] const T* __restrict s3,
                [[maybe_unused]] const T* __restrict s4, [[maybe_unused]] const T* __restrict s5,
                [[maybe_unused]] const T* __restrict s6, [[maybe_unused]] const T* __restrict s7, size_t frames) {
  for (size_t j = 0; j < frames; ++j) {
    if constexpr (D > 0) d[j * D + 0] = s0[j];
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
void Deinterleave(const T* __restrict d, [[maybe_unused]] T* __restrict s0, [[maybe_unused]] T* __restrict s1,
                  [[maybe_unused]] T* __restrict s2, [[maybe_unused]] T* __restrict s3,
                  [[maybe_unused]] T* __restrict s4, [[maybe_unused]] T* __restrict s5,
                  [[maybe_unused]] T* __restrict s6, [[maybe_unused]] T* __restrict s7, size_t frames) {
  for (size_t j = 0; j < frames; ++j) {
    if constexpr (D > 0) s0[j] = d[j * D + 0];
    if constexpr (D > 1) s1[j] = d[j * D + 1];
    if constexpr (D > 2) s2[j] = d[j * D + 2];
    if constexpr (D > 3) s3[j] = d[j * D + 3];
    if constexpr (D > 4) s4[j] = d[j * D + 4];
    if constexpr (D > 5) s5[j] = d[j * D + 5];
    if constexpr (D > 6) s6[j] = d[j * D + 6];
    if constexpr (D > 7) s7[j] = d[j * D + 7];
  }
}

// Two adjacent slots of a wider frame; the rest of the frame is left as it is.
template <typename T, ULONG D>
void InterleavePairInto(T* __restrict d, const T* __restrict a, const T* __restrict b, size_t frames) {
  for (size_t j = 0; j < frames; ++j) {
    d[j * D + 0] = a[j];
    d[j * D + 1] = b[j];
  }
}

// One channel of a frame, for the capture paths whose destinations may share
// a buffer (several channels on the spare buffer).
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
using InterleaveFn = void (*)(T*, const T*, const T*, const T*, const T*, const T*, const T*, const T*, const T*,
                              size_t);
template <typename T>
using DeinterleaveFn = void (*)(const T*, T*, T*, T*, T*, T*, T*, T*, T*, size_t);

template <typename T>
constexpr InterleaveFn<T> kInterleave[kMaxFrameChannels + 1] = {nullptr,          Interleave<T, 1>, Interleave<T, 2>,
                                                                Interleave<T, 3>, Interleave<T, 4>, Interleave<T, 5>,
                                                                Interleave<T, 6>, Interleave<T, 7>, Interleave<T, 8>};
template <typename T>
constexpr DeinterleaveFn<T> kDeinterleave[kMaxFrameChannels + 1] = {nullptr,
                                                                    Deinterleave<T, 1>,
                                                                    Deinterleave<T, 2>,
                                                                    Deinterleave<T, 3>,
                                                                    Deinterleave<T, 4>,
                                                                    Deinterleave<T, 5>,
                                                                    Deinterleave<T, 6>,
                                                                    Deinterleave<T, 7>,
                                                                    Deinterleave<T, 8>};

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
      kInterleave<T>[frame](d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], run.frames);
    } else if (frame == 8) {
      InterleavePairInto<T, 8>(d, src[0] + h, src[1] + h, run.frames);
    } else {
      InterleavePairInto<T, 6>(d, src[0] + h, src[1] + h, run.frames);
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
      kDeinterleave<T>[frame](d, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], run.frames);
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
