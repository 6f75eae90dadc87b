// Throughput of every period copy against memcpy of the same bytes.
//
// bytes_per_second counts the host samples moved per period (N frames times
// the channels a copy moves times the container width). vs_memcpy is the
// copy's throughput divided by memcpy's for the same byte count (timed just
// before the benchmark runs, best of seven batches): 1.0 is memcpy speed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "asio/period_copy.h"

namespace {

struct Routine {
  const char* name;
  bool capture;
  PeriodCopyShape shape;
  ULONG hostChannels;  // channels with a host buffer; the rest share the spare
};

// One shape per copy row (render) and per capture path.
const Routine kRoutines[] = {
    {"render/pair32", false, {32, 2, 2, true, false, false, 1}, 2},
    {"render/six32_reorder", false, {32, 6, 6, false, true, false, 0}, 6},
    {"render/eight32_reorder", false, {32, 8, 8, false, false, true, 0}, 8},
    {"render/six32_pair_at2", false, {32, 6, 6, false, false, false, 1u << 2}, 6},
    {"render/six32_pair_at4", false, {32, 6, 6, false, false, false, 1u << 4}, 6},
    {"render/eight32_pair_at2", false, {32, 8, 8, false, false, false, 1u << 2}, 8},
    {"render/eight32_pair_at4", false, {32, 8, 8, false, false, false, 1u << 4}, 8},
    {"render/eight32_pair_at6", false, {32, 8, 8, false, false, false, 1u << 6}, 8},
    {"render/mono32", false, {32, 1, 1, false, false, false, 0}, 1},
    {"render/four32", false, {32, 4, 4, false, false, false, 0}, 4},
    {"render/pair16", false, {16, 2, 2, true, false, false, 1}, 2},
    {"render/six16", false, {16, 6, 6, false, true, false, 0}, 6},
    {"render/eight16", false, {16, 8, 8, false, false, true, 0}, 8},
    {"capture/pair32", true, {32, 2, 2, true, false, false, 1}, 2},
    {"capture/six32", true, {32, 6, 6, false, false, false, 0}, 6},
    {"capture/eight32", true, {32, 8, 8, false, false, false, 0}, 8},
    {"capture/six32_one_buffer", true, {32, 6, 6, false, false, false, 0}, 1},
    {"capture/pair16", true, {16, 2, 2, true, false, false, 1}, 2},
    {"capture/eight16", true, {16, 8, 8, false, false, false, 0}, 8},
};

ULONG MovedChannels(const PeriodCopy& copy, bool capture) {
  if (capture) return copy.frameChannels;
  switch (copy.kind) {
    case PeriodCopyKind::PairAt2:
    case PeriodCopyKind::PairAt4:
    case PeriodCopyKind::PairAt6:
      return 2;
    default:
      return copy.frameChannels;
  }
}

// Best of several timed batches of memcpy of `bytes`, in seconds per copy.
double MemcpySeconds(size_t bytes) {
  std::vector<unsigned char> src(bytes, 1), dst(bytes);
  const int reps = static_cast<int>(std::max<size_t>(16, (size_t{4} << 20) / bytes));
  double best = 1e9;
  for (int batch = 0; batch < 7; ++batch) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) {
      benchmark::DoNotOptimize(src.data());
      std::memcpy(dst.data(), src.data(), bytes);
      benchmark::ClobberMemory();
    }
    const std::chrono::duration<double> t = std::chrono::steady_clock::now() - t0;
    best = std::min(best, t.count() / reps);
  }
  return best;
}

void BenchCopy(benchmark::State& state, const Routine& r) {
  const ULONG n = static_cast<ULONG>(state.range(0));
  const PeriodCopy copy = r.capture ? SelectCaptureCopy(r.shape) : SelectRenderCopy(r.shape);
  if (copy.kind == PeriodCopyKind::None) {
    state.SkipWithError("shape matches no copy");
    return;
  }
  const size_t width = copy.containerBytes;
  std::vector<std::vector<unsigned char>> host(8, std::vector<unsigned char>(2 * n * width, 3));
  std::vector<unsigned char> spare(2 * n * width);
  std::vector<unsigned char> cycle(2 * n * copy.frameChannels * width, 7);
  void* table[8] = {};
  for (ULONG k = 0; k < 8; ++k) table[k] = k < r.hostChannels ? host[k].data() : spare.data();

  const size_t bytes = size_t{n} * MovedChannels(copy, r.capture) * width;
  const double memcpySeconds = MemcpySeconds(bytes);

  PeriodPlacement at{table, 0, 0, n, 0, cycle.data(), static_cast<ULONG>(cycle.size())};
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    at.bufferIndex ^= 1;
    at.half ^= 1;
    benchmark::DoNotOptimize(r.capture ? CapturePeriod(copy, at) : RenderPeriod(copy, at));
    benchmark::ClobberMemory();
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
  const double copySeconds = elapsed.count() / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["memcpy_Bps"] = static_cast<double>(bytes) / memcpySeconds;
  state.counters["vs_memcpy"] = memcpySeconds / copySeconds;
}

}  // namespace

int main(int argc, char** argv) {
  for (const Routine& r : kRoutines)
    benchmark::RegisterBenchmark(r.name, [&r](benchmark::State& s) { BenchCopy(s, r); })
        ->RangeMultiplier(2)
        ->Range(64, 4096)
        ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
