// Crc32 against zlib's crc32 on the same 64 MiB buffer in one run; prints, last,
// the rates of both and their ratio (above 1: ours is faster).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/bench_report.h"
#include "foundation/Crc32.h"

namespace {

const std::vector<uint8_t>& Buffer() {
  static const std::vector<uint8_t> buffer = [] {
    std::vector<uint8_t> b(size_t{64} << 20);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i + 8 <= b.size(); i += 8) {
      const uint64_t v = rng();
      for (int k = 0; k < 8; ++k) b[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return b;
  }();
  return buffer;
}

uint32_t ZlibCrc(const std::vector<uint8_t>& b) {
  uLong c = crc32(0, Z_NULL, 0);
  // zlib takes uInt lengths; feed it in 1 GiB pieces to stay general.
  for (size_t off = 0; off < b.size(); off += size_t{1} << 30) {
    const size_t n = std::min(b.size() - off, size_t{1} << 30);
    c = crc32(c, b.data() + off, static_cast<uInt>(n));
  }
  return static_cast<uint32_t>(c);
}

void BM_Crc32(benchmark::State& state) {
  const auto& b = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(Crc32(b.data(), b.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(b.size()));
}

void BM_ZlibCrc32(benchmark::State& state) {
  const auto& b = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(ZlibCrc(b));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(b.size()));
}

double g_oursMiBPerSecond = 0, g_zlibMiBPerSecond = 0;

// Both in one measurement, alternating, so the ratio sees the same machine state.
void BM_Crc32VsZlibRatio(benchmark::State& state) {
  const auto& b = Buffer();
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(Crc32(b.data(), b.size()));
    auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(ZlibCrc(b));
    auto t2 = std::chrono::steady_clock::now();
    ours += std::chrono::duration<double>(t1 - t0).count();
    theirs += std::chrono::duration<double>(t2 - t1).count();
  }
  if (Crc32(b.data(), b.size()) != ZlibCrc(b)) state.SkipWithError("checksums differ");
  const double mib = static_cast<double>(b.size()) / (1 << 20) * static_cast<double>(state.iterations());
  state.counters["ours_MiB_per_s"] = mib / ours;
  state.counters["zlib_MiB_per_s"] = mib / theirs;
  state.counters["speed_ratio"] = theirs / ours;
  g_oursMiBPerSecond = mib / ours;
  g_zlibMiBPerSecond = mib / theirs;
}

}  // namespace

BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32VsZlibRatio)->Unit(benchmark::kMillisecond)->Iterations(10);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_oursMiBPerSecond > 0)
    BenchReport::Figure("Crc32 against zlib's crc32 on 64 MiB, alternating", g_oursMiBPerSecond,
                        g_zlibMiBPerSecond, "MiB/s");
  return 0;
}
