// Period copies between per-channel host buffers and an interleaved cyclic
// buffer: device positions, halves, wrap-around, spare channels, undersized
// buffers and bad input.
#include "asio/period_copy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr LONG kFirstChannel = 10;  // streams rarely start at ASIO channel 0
constexpr ULONG kGuardSamples = 16;

// Host sample j (counted over both halves) of relative channel c; device
// sample of slot s in frame f. Neither can equal the fill pattern.
// Bit 11 of a 16-bit value tells device samples from host samples.
uint32_t HostValue(ULONG bits, ULONG c, size_t j) {
  return bits == 32 ? ((c + 1) << 24 | static_cast<uint32_t>(j)) : ((c + 1) << 12 | static_cast<uint32_t>(j & 0x7FF));
}
uint32_t DeviceValue(ULONG bits, ULONG s, size_t f) {
  return bits == 32 ? ((s + 0x11) << 24 | static_cast<uint32_t>(f))
                    : ((s + 1) << 12 | 0x800 | static_cast<uint32_t>(f & 0x7FF));
}
uint32_t Fill(ULONG bits) { return bits == 32 ? 0xA5A5A5A5u : 0xA5A5u; }

// Samples of either width kept as 32-bit words, written to memory in the
// stream's container width.
class Samples {
 public:
  Samples(ULONG bits, size_t count) : bits_(bits), bytes_(count * bits / 8) {}
  void* data() { return bytes_.data(); }
  size_t count() const { return bytes_.size() * 8 / bits_; }
  uint32_t Get(size_t i) const {
    if (bits_ == 32) {
      uint32_t v;
      std::memcpy(&v, &bytes_[i * 4], 4);
      return v;
    }
    uint16_t v;
    std::memcpy(&v, &bytes_[i * 2], 2);
    return v;
  }
  void Set(size_t i, uint32_t v) {
    if (bits_ == 32) {
      std::memcpy(&bytes_[i * 4], &v, 4);
    } else {
      const uint16_t h = static_cast<uint16_t>(v);
      std::memcpy(&bytes_[i * 2], &h, 2);
    }
  }
  void FillWith(uint32_t v) {
    for (size_t i = 0; i < count(); ++i) Set(i, v);
  }

 private:
  ULONG bits_;
  std::vector<unsigned char> bytes_;
};

// A stream's host side: a buffer of 2N samples per relative channel, a spare
// buffer, and the channel table the engine builds from the assignments.
struct HostSide {
  HostSide(ULONG bits, ULONG n, ULONG pinChannels, const std::vector<LONG>& assigned) : spare(bits, 2 * n) {
    for (ULONG c = 0; c < 8; ++c) channels.emplace_back(bits, 2 * n);
    spare.FillWith(0);
    for (ULONG c = 0; c < 8; ++c) table[c] = nullptr;
    for (ULONG c = 0; c < pinChannels; ++c) table[c] = spare.data();
    for (LONG rel : assigned) {
      table[rel] = channels[rel].data();
      for (size_t j = 0; j < 2 * n; ++j) channels[rel].Set(j, HostValue(bits, rel, j));
    }
  }
  std::vector<Samples> channels;
  Samples spare;
  void* table[8];
};

std::vector<LONG> Absolute(const std::vector<LONG>& relative) {
  std::vector<LONG> v;
  for (LONG rel : relative) v.push_back(kFirstChannel + rel);
  return v;
}

struct RenderCase {
  const char* name;
  ULONG bits;
  ULONG n;  // pin channels
  ULONG d;  // device channels
  bool pair, six, eight;
  std::vector<LONG> assigned;  // relative channels with a host buffer
  PeriodCopyKind kind;
  std::vector<int> slots;  // relative channel written into each frame slot; -1: left as it is
};

PeriodCopyShape ShapeOf(const RenderCase& c) {
  const std::vector<LONG> abs = Absolute(c.assigned);
  return {c.bits,
          c.d,
          c.n,
          c.pair,
          c.six,
          c.eight,
          PairAtMask(abs.data(), static_cast<ULONG>(abs.size()), kFirstChannel, c.n)};
}

const std::vector<RenderCase>& RenderCases() {
  using K = PeriodCopyKind;
  static const std::vector<RenderCase> cases = {
      {"six channel mode", 32, 6, 6, false, true, false, {0, 1, 2, 3, 4, 5}, K::SixReorder, {0, 1, 4, 5, 2, 3}},
      {"six channel mode, three buffers", 32, 6, 6, false, true, false, {0, 2, 5}, K::SixReorder, {0, 1, 4, 5, 2, 3}},
      {"eight channel mode",
       32,
       8,
       8,
       false,
       false,
       true,
       {0, 1, 2, 3, 4, 5, 6, 7},
       K::EightReorder,
       {0, 1, 4, 5, 2, 3, 6, 7}},
      {"pair mode on a six channel pin", 32, 6, 2, true, false, false, {0, 1}, K::Pair, {0, 1}},
      {"pair mode, buffers given in reverse", 32, 2, 2, true, false, false, {1, 0}, K::Pair, {0, 1}},
      {"six channels, pair at 2", 32, 6, 6, false, false, false, {2, 3}, K::PairAt2, {-1, -1, -1, -1, 2, 3}},
      {"six channels, pair at 4", 32, 6, 6, false, false, false, {5, 4}, K::PairAt4, {-1, -1, 4, 5, -1, -1}},
      {"six channels, two buffers not a pair",
       32,
       6,
       6,
       false,
       false,
       false,
       {1, 4},
       K::SixReorder,
       {0, 1, 4, 5, 2, 3}},
      {"eight channels, pair at 2", 32, 8, 8, false, false, false, {2, 3}, K::PairAt2, {-1, -1, -1, -1, 2, 3, -1, -1}},
      {"eight channels, pair at 4", 32, 8, 8, false, false, false, {4, 5}, K::PairAt4, {-1, -1, 4, 5, -1, -1, -1, -1}},
      {"eight channels, pair at 6", 32, 8, 8, false, false, false, {6, 7}, K::PairAt6, {-1, -1, -1, -1, -1, -1, 6, 7}},
      {"eight channels, two buffers not a pair",
       32,
       8,
       8,
       false,
       false,
       false,
       {0, 7},
       K::EightReorder,
       {0, 1, 4, 5, 2, 3, 6, 7}},
      {"four channels", 32, 4, 4, false, false, false, {0, 1, 2, 3}, K::Straight, {0, 1, 2, 3}},
      {"two channel pin, one buffer", 32, 2, 2, false, false, false, {1}, K::Straight, {0, 1}},
      {"mono pin", 32, 1, 1, false, false, false, {0}, K::Straight, {0}},
      {"seven channels", 32, 7, 7, false, false, false, {0, 3, 6}, K::Straight, {0, 1, 2, 3, 4, 5, 6}},
      {"16 bits, pair mode", 16, 8, 2, true, false, false, {0, 1}, K::Pair, {0, 1}},
      {"16 bits, eight channels in ASIO order",
       16,
       8,
       8,
       false,
       false,
       true,
       {0, 1, 2, 3, 4, 5, 6, 7},
       K::Straight,
       {0, 1, 2, 3, 4, 5, 6, 7}},
      // The partial-pair rows are for 32-bit frames; at 16 bits the whole
      // frame is written, the other channels from the spare buffer.
      {"16 bits, eight channels, pair at 4",
       16,
       8,
       8,
       false,
       false,
       false,
       {4, 5},
       K::Straight,
       {0, 1, 2, 3, 4, 5, 6, 7}},
      {"16 bits, six channel mode", 16, 6, 6, false, true, false, {0, 1, 2, 3, 4, 5}, K::Straight, {0, 1, 2, 3, 4, 5}},
      {"16 bits, mono pin", 16, 1, 1, false, false, false, {0}, K::Straight, {0}},
  };
  return cases;
}

bool IsAssigned(const RenderCase& c, int rel) {
  for (LONG a : c.assigned)
    if (a == rel) return true;
  return false;
}

struct Where {
  ULONG index, half, offset;
};

// Every combination of buffer index and half, with offsets that keep the
// period in one run and offsets that wrap it.
std::vector<Where> Placements(ULONG n) {
  std::vector<Where> v;
  for (ULONG index : {0u, 1u})
    for (ULONG half : {0u, 1u})
      for (ULONG offset : {0u, 3u, 2 * n - 10, n + 7}) v.push_back({index, half, offset});
  return v;
}

ULONG CycleFrame(ULONG n, const Where& w, ULONG j) { return (w.half * n + w.offset + j) % (2 * n); }

PeriodPlacement PlacementOf(HostSide& host, const Where& w, ULONG n, Samples& cycle, size_t cycleBytes) {
  return {host.table, w.index, w.half, n, w.offset, cycle.data(), static_cast<ULONG>(cycleBytes)};
}

TEST(PeriodCopySelect, RenderRowsPickTheCopyOfTheFirstMatchingCondition) {
  for (const RenderCase& c : RenderCases()) {
    SCOPED_TRACE(c.name);
    const PeriodCopy copy = SelectRenderCopy(ShapeOf(c));
    EXPECT_EQ(c.kind, copy.kind);
    EXPECT_EQ(c.d, copy.frameChannels);
    EXPECT_EQ(c.bits / 8, copy.containerBytes);
  }
}

TEST(PeriodCopySelect, ShapesThatMatchNoCopy) {
  struct Case {
    const char* name;
    PeriodCopyShape shape;
  };
  const Case cases[] = {
      {"24-bit container", {24, 2, 2, true, false, false, 0}},
      {"pair mode on a six channel format", {32, 6, 6, true, false, false, 1}},
      {"more than eight device channels", {32, 10, 10, false, false, false, 0}},
      {"no channels", {16, 0, 0, false, false, false, 0}},
      {"format channels differ from the pin's", {16, 4, 6, false, false, false, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PeriodCopyKind::None, SelectRenderCopy(c.shape).kind);
    EXPECT_EQ(PeriodCopyKind::None, SelectCaptureCopy(c.shape).kind);
  }
}

TEST(PeriodCopySelect, SixChannelModeOnAnEightChannelFormatHasNoRenderCopy) {
  EXPECT_EQ(PeriodCopyKind::None, SelectRenderCopy({32, 8, 8, false, true, false, 0}).kind);
}

TEST(PeriodCopySelect, CaptureKeepsDeviceOrder) {
  EXPECT_EQ(PeriodCopyKind::Pair, SelectCaptureCopy({32, 2, 2, true, false, false, 1}).kind);
  EXPECT_EQ(PeriodCopyKind::Pair, SelectCaptureCopy({16, 2, 6, true, false, false, 1}).kind);
  const PeriodCopy six = SelectCaptureCopy({32, 6, 6, false, true, false, 0});
  EXPECT_EQ(PeriodCopyKind::Straight, six.kind);
  EXPECT_EQ(6u, six.frameChannels);
  EXPECT_EQ(PeriodCopyKind::Straight, SelectCaptureCopy({16, 8, 8, false, false, true, 0}).kind);
}

TEST(PeriodCopy, IsPairAt) {
  struct Case {
    std::vector<LONG> assigned;  // absolute
    ULONG k;
    bool expected;
  };
  const Case cases[] = {
      {{10, 11}, 0, true},      {{11, 10}, 0, true}, {{12, 13}, 2, true}, {{12, 13}, 0, false},
      {{12, 13}, 1, false},     {{13, 12}, 2, true}, {{12, 12}, 2, true}, {{10, 12}, 0, false},
      {{10, 11, 12}, 0, false}, {{10}, 0, false},    {{16, 17}, 6, true}, {{9, 10}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "k=" << c.k << " first=" << c.assigned[0]);
    EXPECT_EQ(c.expected, IsPairAt(c.assigned.data(), static_cast<ULONG>(c.assigned.size()), kFirstChannel, c.k));
  }
  EXPECT_FALSE(IsPairAt(nullptr, 2, kFirstChannel, 0));
  const LONG pair[] = {14, 15};
  EXPECT_EQ(1u << 4, PairAtMask(pair, 2, kFirstChannel, 8));
  EXPECT_EQ(0u, PairAtMask(pair, 2, kFirstChannel, 4));  // beyond the pin's channels
  // Channel numbers near the ends of the range do not overflow.
  const LONG high[] = {0x7FFFFFFF, 0x7FFFFFFE};
  EXPECT_TRUE(IsPairAt(high, 2, 0x7FFFFFFE, 0));
  EXPECT_FALSE(IsPairAt(high, 2, 0x7FFFFFFE, 1));
}

// Every render row, for every placement: each written slot holds the right
// host sample of the right half, other slots and bytes past the cyclic buffer
// are untouched.
TEST(PeriodCopy, RenderPlacesEveryChannelAtItsDevicePosition) {
  constexpr ULONG N = 16;
  for (const RenderCase& c : RenderCases()) {
    const PeriodCopy copy = SelectRenderCopy(ShapeOf(c));
    for (const Where& w : Placements(N)) {
      SCOPED_TRACE(::testing::Message() << c.name << ", index " << w.index << ", half " << w.half << ", offset "
                                        << w.offset);
      HostSide host(c.bits, N, c.n, c.assigned);
      Samples cycle(c.bits, 2 * N * c.d + kGuardSamples);
      cycle.FillWith(Fill(c.bits));
      const size_t cycleBytes = 2 * N * c.d * c.bits / 8;
      ASSERT_EQ(N, RenderPeriod(copy, PlacementOf(host, w, N, cycle, cycleBytes)));

      std::vector<uint32_t> expected(cycle.count(), Fill(c.bits));
      for (ULONG j = 0; j < N; ++j) {
        const ULONG f = CycleFrame(N, w, j);
        for (ULONG s = 0; s < c.d; ++s) {
          const int rel = c.slots[s];
          if (rel < 0) continue;
          expected[f * c.d + s] = IsAssigned(c, rel) ? HostValue(c.bits, rel, w.index * N + j) : 0;
        }
      }
      for (size_t i = 0; i < cycle.count(); ++i) {
        if (expected[i] != cycle.Get(i)) {
          ADD_FAILURE() << "sample " << i << " (frame " << i / c.d << ", slot " << i % c.d << "): expected 0x"
                        << std::hex << expected[i] << ", got 0x" << cycle.Get(i);
          break;
        }
      }
    }
  }
}

TEST(PeriodCopy, PeriodStartingTenFramesBeforeTheEndWrapsToFrameZero) {
  constexpr ULONG N = 64;
  HostSide host(32, N, 2, {0, 1});
  Samples cycle(32, 2 * N * 2);
  cycle.FillWith(Fill(32));
  const PeriodCopy copy = SelectRenderCopy({32, 2, 2, true, false, false, 1});
  const PeriodPlacement at{host.table, 1, 0, N, 2 * N - 10, cycle.data(), 2 * N * 2 * 4};
  ASSERT_EQ(N, RenderPeriod(copy, at));
  EXPECT_EQ(HostValue(32, 0, N + 0), cycle.Get((2 * N - 10) * 2));
  EXPECT_EQ(HostValue(32, 1, N + 9), cycle.Get((2 * N - 1) * 2 + 1));
  EXPECT_EQ(HostValue(32, 0, N + 10), cycle.Get(0));
  EXPECT_EQ(HostValue(32, 1, N + 63), cycle.Get((N - 11) * 2 + 1));
  EXPECT_EQ(Fill(32), cycle.Get((N - 10) * 2));  // between the two runs
  EXPECT_EQ(Fill(32), cycle.Get((2 * N - 11) * 2 + 1));
}

TEST(PeriodCopy, WriteOffsetBeyondTheCycleIsTakenModuloTwoPeriods) {
  constexpr ULONG N = 32;
  HostSide host(32, N, 2, {0, 1});
  const PeriodCopy copy = SelectRenderCopy({32, 2, 2, true, false, false, 1});
  Samples a(32, 4 * N), b(32, 4 * N);
  a.FillWith(0);
  b.FillWith(0);
  ASSERT_EQ(N, RenderPeriod(copy, {host.table, 0, 1, N, 5 * N + 3, a.data(), 4 * N * 4}));
  ASSERT_EQ(N, RenderPeriod(copy, {host.table, 0, 1, N, N + 3, b.data(), 4 * N * 4}));
  for (size_t i = 0; i < a.count(); ++i) ASSERT_EQ(b.Get(i), a.Get(i)) << i;
  EXPECT_EQ(HostValue(32, 0, 0), a.Get(3 * 2));  // half 1 + (N + 3) wraps to frame 3
}

struct CaptureCase {
  const char* name;
  ULONG bits;
  ULONG n;
  ULONG d;
  bool pair;
  std::vector<LONG> assigned;
};

const std::vector<CaptureCase>& CaptureCases() {
  static const std::vector<CaptureCase> cases = {
      {"pair mode", 32, 2, 2, true, {0, 1}},
      {"pair mode on a six channel pin", 32, 6, 2, true, {1, 0}},
      {"six channels, no reordering", 32, 6, 6, false, {0, 1, 2, 3, 4, 5}},
      {"eight channels, no reordering", 32, 8, 8, false, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"stereo pin, one buffer", 32, 2, 2, false, {1}},
      {"six channels, one buffer, rest on the spare", 32, 6, 6, false, {3}},
      {"16 bits, pair mode", 16, 2, 2, true, {0, 1}},
      {"16 bits, eight channels", 16, 8, 8, false, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"16 bits, four channels, two buffers", 16, 4, 4, false, {0, 2}},
  };
  return cases;
}

// Device slot k goes to relative channel k in the host half of the buffer
// index; the other half and channels without a host buffer keep their content.
TEST(PeriodCopy, CaptureReadsEveryDevicePositionIntoItsChannel) {
  constexpr ULONG N = 16;
  for (const CaptureCase& c : CaptureCases()) {
    const std::vector<LONG> abs = Absolute(c.assigned);
    const PeriodCopy copy =
        SelectCaptureCopy({c.bits, c.d, c.n, c.pair, false, false,
                           PairAtMask(abs.data(), static_cast<ULONG>(abs.size()), kFirstChannel, c.n)});
    for (const Where& w : Placements(N)) {
      SCOPED_TRACE(::testing::Message() << c.name << ", index " << w.index << ", half " << w.half << ", offset "
                                        << w.offset);
      HostSide host(c.bits, N, c.n, c.assigned);
      for (Samples& ch : host.channels) ch.FillWith(Fill(c.bits));
      Samples cycle(c.bits, 2 * N * c.d);
      for (ULONG f = 0; f < 2 * N; ++f)
        for (ULONG s = 0; s < c.d; ++s) cycle.Set(f * c.d + s, DeviceValue(c.bits, s, f));
      ASSERT_EQ(N, CapturePeriod(copy, PlacementOf(host, w, N, cycle, 2 * N * c.d * c.bits / 8)));

      for (ULONG rel = 0; rel < 8; ++rel) {
        bool assigned = false;
        for (LONG a : c.assigned) assigned = assigned || a == static_cast<LONG>(rel);
        for (ULONG j = 0; j < 2 * N; ++j) {
          uint32_t expected = Fill(c.bits);
          const bool inHalf = j / N == w.index;
          if (assigned && inHalf && rel < c.d) expected = DeviceValue(c.bits, rel, CycleFrame(N, w, j % N));
          ASSERT_EQ(expected, host.channels[rel].Get(j)) << "channel " << rel << " sample " << j;
        }
      }
    }
  }
}

// Capturing what a render copy wrote gives back each slot's source channel:
// the host's own samples where the order is kept, the speaker order where the
// six- and eight-channel copies reorder, the untouched content elsewhere.
TEST(PeriodCopy, CaptureOfARenderedPeriodRoundTrips) {
  constexpr ULONG N = 16;
  for (const RenderCase& c : RenderCases()) {
    for (const Where& w : Placements(N)) {
      SCOPED_TRACE(::testing::Message() << c.name << ", index " << w.index << ", half " << w.half << ", offset "
                                        << w.offset);
      HostSide source(c.bits, N, c.n, c.assigned);
      Samples cycle(c.bits, 2 * N * c.d);
      cycle.FillWith(Fill(c.bits));
      const size_t bytes = 2 * N * c.d * c.bits / 8;
      ASSERT_EQ(N, RenderPeriod(SelectRenderCopy(ShapeOf(c)), PlacementOf(source, w, N, cycle, bytes)));

      std::vector<LONG> all;
      for (ULONG k = 0; k < c.d; ++k) all.push_back(static_cast<LONG>(k));
      HostSide back(c.bits, N, c.d, all);
      const PeriodCopy capture = SelectCaptureCopy({c.bits, c.d, c.d, c.d == 2, false, false, c.d == 2 ? 1u : 0u});
      ASSERT_EQ(N, CapturePeriod(capture, PlacementOf(back, w, N, cycle, bytes)));
      for (ULONG k = 0; k < c.d; ++k) {
        const int rel = c.slots[k];
        for (ULONG j = 0; j < N; ++j) {
          uint32_t expected = Fill(c.bits);
          if (rel >= 0) expected = IsAssigned(c, rel) ? HostValue(c.bits, rel, w.index * N + j) : 0;
          ASSERT_EQ(expected, back.channels[k].Get(w.index * N + j)) << "slot " << k << " sample " << j;
        }
      }
    }
  }
}

// An exact-size allocation, so that the address sanitizer sees any access past it.
struct ExactBuffer {
  explicit ExactBuffer(size_t n) : bytes(n), data(new unsigned char[n]) { std::memset(data.get(), 0xA5, n); }
  uint32_t Word(size_t i) const {
    uint32_t v;
    std::memcpy(&v, data.get() + i * 4, 4);
    return v;
  }
  size_t bytes;
  std::unique_ptr<unsigned char[]> data;
};

// A pin that granted less than two periods: frames past its end are dropped,
// the rest keep their usual positions.
TEST(PeriodCopy, RenderIntoACyclicBufferSmallerThanTwoPeriods) {
  constexpr ULONG N = 16, D = 6;
  constexpr ULONG kAvail = 2 * N - 7;
  struct Case {
    Where w;
    ULONG moved;
  };
  const Case cases[] = {
      {{0, 0, 0}, N},              // frames 0..15: all inside
      {{1, 1, 0}, kAvail - N},     // frames 16..31: 25..31 dropped
      {{0, 1, 10}, 10},            // frames 26..31 dropped, then 0..9
      {{1, 0, 2 * N - 3}, N - 3},  // frames 29..31 dropped, then 0..12
  };
  const std::vector<LONG> all = {0, 1, 2, 3, 4, 5};
  const PeriodCopy copy = SelectRenderCopy({32, D, D, false, true, false, 0});
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "half " << c.w.half << ", offset " << c.w.offset);
    HostSide host(32, N, D, all);
    ExactBuffer cycle(kAvail * D * 4 + 3);  // and a partial frame
    const PeriodPlacement at{
        host.table, c.w.index, c.w.half, N, c.w.offset, cycle.data.get(), static_cast<ULONG>(cycle.bytes)};
    EXPECT_EQ(c.moved, RenderPeriod(copy, at));
    std::vector<uint32_t> expected(kAvail * D, 0xA5A5A5A5u);
    const ULONG order[D] = {0, 1, 4, 5, 2, 3};
    for (ULONG j = 0; j < N; ++j) {
      const ULONG f = CycleFrame(N, c.w, j);
      if (f >= kAvail) continue;
      for (ULONG s = 0; s < D; ++s) expected[f * D + s] = HostValue(32, order[s], c.w.index * N + j);
    }
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(expected[i], cycle.Word(i)) << i;
    for (size_t b = kAvail * D * 4; b < cycle.bytes; ++b) EXPECT_EQ(0xA5, cycle.data[b]);
  }
}

TEST(PeriodCopy, CaptureFromACyclicBufferSmallerThanTwoPeriodsSilencesTheMissingFrames) {
  constexpr ULONG N = 16, D = 2;
  constexpr ULONG kAvail = 2 * N - 5;
  HostSide host(32, N, D, {0, 1});
  ExactBuffer cycle(kAvail * D * 4);
  for (ULONG f = 0; f < kAvail; ++f)
    for (ULONG s = 0; s < D; ++s) {
      const uint32_t v = DeviceValue(32, s, f);
      std::memcpy(cycle.data.get() + (f * D + s) * 4, &v, 4);
    }
  const Where w{1, 0, 2 * N - 8};  // frames 24..31, then 0..7
  const PeriodPlacement at{host.table, w.index, w.half, N, w.offset, cycle.data.get(), static_cast<ULONG>(cycle.bytes)};
  EXPECT_EQ(N - 5, CapturePeriod(SelectCaptureCopy({32, 2, 2, true, false, false, 1}), at));
  for (ULONG ch = 0; ch < D; ++ch)
    for (ULONG j = 0; j < N; ++j) {
      const ULONG f = CycleFrame(N, w, j);
      const uint32_t expected = f < kAvail ? DeviceValue(32, ch, f) : 0;
      EXPECT_EQ(expected, host.channels[ch].Get(N + j)) << "channel " << ch << " sample " << j;
      EXPECT_EQ(HostValue(32, ch, j), host.channels[ch].Get(j));  // the other half is not touched
    }
}

TEST(PeriodCopy, CyclicBufferLargerThanTwoPeriodsIsUsedOnlyForTwoPeriods) {
  constexpr ULONG N = 16;
  HostSide host(16, N, 2, {0, 1});
  Samples cycle(16, (2 * N + 8) * 2);
  cycle.FillWith(Fill(16));
  const PeriodCopy copy = SelectRenderCopy({16, 2, 2, true, false, false, 1});
  ASSERT_EQ(N, RenderPeriod(copy, {host.table, 0, 1, N, N - 4, cycle.data(), static_cast<ULONG>(cycle.count() * 2)}));
  EXPECT_EQ(HostValue(16, 0, 0), cycle.Get((2 * N - 4) * 2));
  EXPECT_EQ(HostValue(16, 0, 4), cycle.Get(0));
  for (size_t i = 2 * N * 2; i < cycle.count(); ++i) EXPECT_EQ(Fill(16), cycle.Get(i)) << i;
}

TEST(PeriodCopy, NoCyclicBuffer) {
  constexpr ULONG N = 8;
  HostSide host(32, N, 2, {0, 1});
  const PeriodCopy copy = SelectRenderCopy({32, 2, 2, true, false, false, 1});
  EXPECT_EQ(0u, RenderPeriod(copy, {host.table, 0, 0, N, 0, nullptr, 0}));
  Samples tiny(32, 1);  // less than one frame
  tiny.FillWith(Fill(32));
  EXPECT_EQ(0u, RenderPeriod(copy, {host.table, 0, 0, N, 0, tiny.data(), 4}));
  EXPECT_EQ(Fill(32), tiny.Get(0));
  // Capture has nothing to read: the host half becomes silence.
  EXPECT_EQ(0u, CapturePeriod(copy, {host.table, 1, 0, N, 0, nullptr, 0}));
  for (ULONG j = 0; j < N; ++j) {
    EXPECT_EQ(0u, host.channels[0].Get(N + j));
    EXPECT_EQ(0u, host.channels[1].Get(N + j));
    EXPECT_EQ(HostValue(32, 0, j), host.channels[0].Get(j));
  }
}

TEST(PeriodCopy, BadInputMovesNothing) {
  constexpr ULONG N = 8;
  const PeriodCopy pair = SelectRenderCopy({32, 2, 2, true, false, false, 1});
  struct Case {
    const char* name;
    PeriodCopy copy;
    ULONG index, half, frames;
    size_t cycleShift;
    bool misalignHost;
  };
  const Case cases[] = {
      {"buffer index 2", pair, 2, 0, N, 0, false},
      {"half 2", pair, 0, 2, N, 0, false},
      {"no frames", pair, 0, 0, 0, 0, false},
      {"no copy", {PeriodCopyKind::None, 4, 2}, 0, 0, N, 0, false},
      {"nine channel frame", {PeriodCopyKind::Straight, 4, 9}, 0, 0, N, 0, false},
      {"odd container width", {PeriodCopyKind::Pair, 3, 2}, 0, 0, N, 0, false},
      {"slots past the frame", {PeriodCopyKind::PairAt6, 4, 6}, 0, 0, N, 0, false},
      {"misaligned cyclic buffer", pair, 0, 0, N, 1, false},
      {"misaligned host buffer", pair, 0, 0, N, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSide host(32, N, 8, {0, 1, 2, 3, 4, 5, 6, 7});
    std::vector<unsigned char> raw(4 * N * 8 * 4 + 8, 0xA5);
    std::vector<unsigned char> hostBefore(16 * N * 4 + 4, 0x5A);
    if (c.misalignHost) host.table[1] = hostBefore.data() + 1;
    const PeriodPlacement at{host.table, c.index, c.half, c.frames, 0, raw.data() + c.cycleShift, 2 * N * 8 * 4};
    EXPECT_EQ(0u, RenderPeriod(c.copy, at));
    for (unsigned char b : raw) ASSERT_EQ(0xA5, b);
    EXPECT_EQ(0u, CapturePeriod(c.copy, at));
    for (ULONG k = 0; k < 8; ++k)
      for (ULONG j = 0; j < 2 * N; ++j) ASSERT_EQ(HostValue(32, k, j), host.channels[k].Get(j));
    for (unsigned char b : hostBefore) ASSERT_EQ(0x5A, b);
  }
}

TEST(PeriodCopy, RenderOfAMissingChannelWritesSilence) {
  constexpr ULONG N = 8;
  HostSide host(32, N, 2, {0, 1});
  host.table[1] = nullptr;
  Samples cycle(32, 4 * N);
  cycle.FillWith(Fill(32));
  ASSERT_EQ(N, RenderPeriod(SelectRenderCopy({32, 2, 2, true, false, false, 1}),
                            {host.table, 0, 0, N, 0, cycle.data(), 4 * N * 4}));
  for (ULONG j = 0; j < N; ++j) {
    EXPECT_EQ(HostValue(32, 0, j), cycle.Get(j * 2));
    EXPECT_EQ(0u, cycle.Get(j * 2 + 1));
  }
}

TEST(PeriodCopy, CaptureSkipsAMissingChannel) {
  constexpr ULONG N = 8;
  HostSide host(16, N, 2, {0, 1});
  host.table[0] = nullptr;
  Samples cycle(16, 4 * N);
  for (ULONG f = 0; f < 2 * N; ++f)
    for (ULONG s = 0; s < 2; ++s) cycle.Set(f * 2 + s, DeviceValue(16, s, f));
  ASSERT_EQ(N, CapturePeriod(SelectCaptureCopy({16, 2, 2, true, false, false, 1}),
                             {host.table, 1, 1, N, 0, cycle.data(), 4 * N * 2}));
  for (ULONG j = 0; j < N; ++j) {
    EXPECT_EQ(HostValue(16, 0, N + j), host.channels[0].Get(N + j));
    EXPECT_EQ(DeviceValue(16, 1, N + j), host.channels[1].Get(N + j));
  }
}

}  // namespace
