// Asynchronous loader throughput: 100,000 requests through 8 collectors, each
// queuing a batch and then collecting it, against the same load and complete
// steps run directly by the 8 threads. Also the peak resident memory after
// each.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_report.h"
#include "kiv/render/OverlappedResource.h"

namespace {

using BenchReport::Median;
using BenchReport::StatusBytes;

constexpr int kThreads = 8;
constexpr int kPerThread = 12500;
constexpr int kBatch = 500;
constexpr int kRuns = 3;

std::atomic<uint64_t> g_sink{0};

bool LoadStep(int id) {
  uint64_t sum = 0;
  for (int i = 0; i < 256; ++i) sum += static_cast<uint64_t>(id * 31 + i) * 2654435761u;
  g_sink += sum;
  return true;
}

// Wall time of kThreads threads, thread t running perThread(t).
template <typename PerThread>
double Seconds(PerThread perThread) {
  return BenchReport::Seconds([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(perThread, t);
    for (std::thread& thread : threads) thread.join();
  });
}

}  // namespace

int main() {
  const double requests = static_cast<double>(kThreads) * kPerThread;
  std::vector<double> direct, loader;
  for (int run = 0; run < kRuns; ++run) {
    direct.push_back(Seconds([](int t) {
      for (int i = 0; i < kPerThread; ++i) {
        const int id = t * kPerThread + i;
        if (LoadStep(id)) g_sink += 1;
      }
    }));
  }
  const long directPeak = StatusBytes("VmHWM");
  Kiv::OverlappedResourceSystem system;
  std::atomic<int> failures{0};
  for (int run = 0; run < kRuns; ++run) {
    loader.push_back(Seconds([&](int t) {
      for (int start = 0; start < kPerThread; start += kBatch) {
        std::vector<std::unique_ptr<Kiv::Overlapped>> handles;
        for (int i = 0; i < kBatch; ++i) {
          const int id = t * kPerThread + start + i;
          handles.push_back(std::make_unique<Kiv::Overlapped>());
          Kiv::OverlappedResourceSystem::Request(
              *handles.back(), &system, [id] { return LoadStep(id); },
              [] {
                g_sink += 1;
                return true;
              });
        }
        for (auto& handle : handles)
          if (!handle->Collect()) ++failures;
      }
    }));
  }
  const long loaderPeak = StatusBytes("VmHWM");
  std::printf("checksum %llu, failures %d\n", static_cast<unsigned long long>(g_sink.load()),
              failures.load());
  char note[96];
  std::snprintf(note, sizeof note, "(median of %d, spread %.0f%% / %.0f%%)", kRuns,
                BenchReport::SpreadPercent(loader), BenchReport::SpreadPercent(direct));
  BenchReport::Figure("loader requests per second, 8 collectors", requests / Median(loader),
                      requests / Median(direct), "req/s", note);
  BenchReport::Figure("loader peak resident memory", loaderPeak / 1048576.0, directPeak / 1048576.0, "MiB",
                      "(reference: peak before the loader ran)");
  return failures.load() == 0 ? 0 : 1;
}
