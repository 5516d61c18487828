// Load, verify and link of the library compiled from the generated
// 50,000-line GameScript source, in a fresh script machine each time, against
// reading the same file into memory, timed in the same run.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/gs_bench_support.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Machine.h"
#include "kiv/File.h"

namespace {

constexpr int kLines = 50000;
int g_rounds = 15;  // "bench_gs_load N" runs N rounds (for profiling)

template <class Work>
std::vector<double> Seconds(Work&& work) {
  std::vector<double> samples;
  for (int i = 0; i < g_rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return samples;
}

double Best(const std::vector<double>& samples) { return *std::min_element(samples.begin(), samples.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_rounds = std::max(1, std::atoi(argv[1]));
  const std::string folder = "/tmp/gs_load_bench_" + std::to_string(getpid());
  Kiv::File::CreateDirectories(folder);
  Kiv::File::WriteWholeFile(folder + "/big.gs", GSBench::GameScriptClasses(kLines));
  GSCompiler::CompileLog log;
  if (GSCompiler::CompileFile((folder + "/big.gs").c_str(), (folder + "/").c_str(), {}, &log) != 0) {
    std::printf("the generated source did not compile\n");
    Kiv::File::Prune(folder);
    return 1;
  }
  const std::string path = folder + "/big.gsl";
  const int64_t bytes = Kiv::File::FileSize(path);

  std::size_t classes = 0, functions = 0, checked = 0;
  bool failed = false;
  const auto load = Seconds([&] {
    GSRuntime::GSMachine machine;
    machine.RegisterBuiltins();
    GSRuntime::GSLibrary* library =
        machine.AddLibrary(folder, "big.gsl") ? machine.GetLibraryByName("big.gsl") : nullptr;
    failed |= library == nullptr;
    classes = library ? library->ClassCount() : 0;
    functions = checked = 0;
    for (std::size_t i = 0; i < classes; ++i)
      for (const GSRuntime::GSFunction& f : library->ClassAt(i)->Functions()) {
        ++functions;
        checked += f.depthChecked;
      }
  });
  // The loader reads the file into a buffer of its own each time; so does the reference.
  const auto read = Seconds([&] {
    std::vector<uint8_t> image;
    failed |= !Kiv::File::ReadWholeFile(path, image);
  });
  Kiv::File::Prune(folder);
  if (failed) {
    std::printf("the library did not load\n");
    return 1;
  }
  std::printf(
      "library: %lld bytes, %zu classes, %zu functions (%zu with every call's depth known), best of %d "
      "rounds\n",
      static_cast<long long>(bytes), classes, functions, checked, g_rounds);
  char note[96];
  std::snprintf(note, sizeof note, "(spread %.0f%% / %.0f%%)", BenchReport::SpreadPercent(load),
                BenchReport::SpreadPercent(read));
  BenchReport::Figure("gsl load+verify+link vs file read", Best(load) * 1e3, Best(read) * 1e3, "ms", note);
  return 0;
}
