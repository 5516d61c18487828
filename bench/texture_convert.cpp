// A folder of 64 textures of 1024 x 1024 (three in four opaque, one in four
// with graded alpha) converted by ConvertTexturesInFolder on every core,
// against the reference tool nvcompress run once per file, one after another,
// with the same formats, wrap mode and mipmaps. Prints the ratios of wall
// time and peak memory, and checks that one worker and many give the same
// bytes.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/ResultsLog.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "graphics/texture/TextureConvert.h"

namespace fs = std::filesystem;

namespace {

constexpr int kCount = 64;
constexpr int kSide = 1024;

bool HasAlpha(int i) { return i % 4 == 3; }

// folder/t<i><suffix>, built by appending (keeps g++'s restrict warning quiet).
std::string FileOf(const std::string& folder, int i, const char* suffix) {
  std::string path = folder;
  path.append("/t").append(std::to_string(i)).append(suffix);
  return path;
}

struct Folder {
  std::string root;
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "rovana-texbench-XXXXXX").string();
    if (mkdtemp(pattern.data())) root = pattern;
    fs::create_directories(root + "/src");
    for (int i = 0; i < kCount; ++i) {
      Kiv::Bitmap b;
      b.Create(kSide, kSide, Kiv::Bitmap::FormatRGBA32);
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
          uint32_t r = static_cast<uint32_t>(128 + 120 * std::sin((x + 7 * i) / 37.0));
          uint32_t g = static_cast<uint32_t>(128 + 120 * std::cos((y + 3 * i) / 53.0));
          uint32_t bl = static_cast<uint32_t>((x ^ y) + i) & 255;
          uint32_t a = HasAlpha(i) ? static_cast<uint32_t>(x * 255 / (kSide - 1)) : 255;
          b.SetPixel(x, y, a << 24 | r << 16 | g << 8 | bl);
        }
      const std::string src = root + "/src";
      b.Save(FileOf(src, i, ".png"));
      std::string description = "Primary=t";
      description.append(std::to_string(i)).append(".png\n");
      Kiv::File::WriteWholeFile(FileOf(src, i, ".texture.txt"), description);
    }
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Folder& TheFolder() {
  static Folder folder;
  return folder;
}

struct Run {
  double seconds = 0;
  long peakKiB = 0;
  bool ok = false;
};

// Runs body in a child process: its wall time and its own peak resident size.
template <class Body>
Run InChild(Body body) {
  Run run;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakKiB = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

Run Ours(unsigned workers) {
  const std::string src = TheFolder().root + "/src";
  return InChild([&] {
    SetTextureConversionWorkers(workers);
    ResultsLog log;
    return ConvertTexturesInFolder("", src, log) == kTextureConvertDone;
  });
}

// nvcompress for every file, one after another; the largest child peak.
Run Reference() {
  Run total;
  total.ok = true;
  const std::string src = TheFolder().root + "/src", out = TheFolder().root + "/ref";
  fs::create_directories(out);
  for (int i = 0; i < kCount; ++i) {
    const std::string in = FileOf(src, i, ".png"), dds = FileOf(out, i, ".dds");
    Run one = InChild([&] {
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      if (HasAlpha(i))
        execlp("nvcompress", "nvcompress", "-alpha", "-repeat", "-bc3", in.c_str(), dds.c_str(), nullptr);
      else
        execlp("nvcompress", "nvcompress", "-color", "-repeat", "-bc1", in.c_str(), dds.c_str(), nullptr);
      return false;
    });
    total.ok = total.ok && one.ok;
    total.seconds += one.seconds;
    total.peakKiB = std::max(total.peakKiB, one.peakKiB);
  }
  return total;
}

std::vector<std::pair<std::string, std::string>> Outputs(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().extension() != ".texture") continue;
    std::string bytes;
    Kiv::File::ReadWholeFile(e.path().string(), bytes);
    out.emplace_back(e.path().filename().string(), std::move(bytes));
    fs::remove(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// One process converts a few of the textures with one worker and then with
// many and compares the bytes. (Separate processes are not compared: the
// block compressor's choice for a few blocks follows the process's memory
// layout, which address-space randomisation changes from run to run.)
bool SameBytesForAnyWorkerCount(unsigned workers) {
  const std::string det = TheFolder().root + "/det";
  fs::create_directories(det);
  for (int i = 0; i < 8; ++i) {
    fs::copy_file(FileOf(TheFolder().root + "/src", i, ".png"), FileOf(det, i, ".png"),
                  fs::copy_options::overwrite_existing);
    fs::copy_file(FileOf(TheFolder().root + "/src", i, ".texture.txt"), FileOf(det, i, ".texture.txt"),
                  fs::copy_options::overwrite_existing);
  }
  Run run = InChild([&] {
    ResultsLog log;
    SetTextureConversionWorkers(1);
    if (ConvertTexturesInFolder("", det, log) != kTextureConvertDone) return false;
    auto one = Outputs(det);
    SetTextureConversionWorkers(workers);
    if (ConvertTexturesInFolder("", det, log) != kTextureConvertDone) return false;
    return one == Outputs(det) && one.size() == 8;
  });
  return run.ok;
}

void BM_TextureFolderVsNvcompress(benchmark::State& state) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  TheFolder();
  for (auto _ : state) {
    const std::string src = TheFolder().root + "/src";
    Run one = Ours(1);
    const size_t converted = Outputs(src).size();
    Run many = Ours(cores);
    Outputs(src);
    Run ref = Reference();
    if (!one.ok || !many.ok || !ref.ok) {
      state.SkipWithError("a conversion failed (is nvcompress installed?)");
      return;
    }
    const bool same = converted == static_cast<size_t>(kCount) && SameBytesForAnyWorkerCount(cores);
    state.SetIterationTime(many.seconds);
    state.counters["cores"] = cores;
    state.counters["ours_1_worker_s"] = one.seconds;
    state.counters["ours_all_cores_s"] = many.seconds;
    state.counters["nvcompress_seq_s"] = ref.seconds;
    state.counters["speedup_vs_nvcompress"] = ref.seconds / many.seconds;
    state.counters["speedup_target"] = 0.7 * cores;
    state.counters["peak_mem_ratio"] = static_cast<double>(many.peakKiB) / static_cast<double>(ref.peakKiB);
    state.counters["same_bytes_1_vs_all"] = same ? 1 : 0;
    std::printf(
        "texture_convert: %d textures %dx%d, %u cores\n"
        "  ours, 1 worker      %.2f s, peak %ld KiB\n"
        "  ours, %u workers     %.2f s, peak %ld KiB\n"
        "  nvcompress, per file %.2f s, peak %ld KiB (largest single run)\n"
        "  wall-time ratio nvcompress/ours %.2f (target %.1f); peak-memory ratio ours/nvcompress %.2f; "
        "same bytes for 1 and %u workers: %s\n",
        kCount, kSide, kSide, cores, one.seconds, one.peakKiB, cores, many.seconds, many.peakKiB, ref.seconds,
        ref.peakKiB, ref.seconds / many.seconds, 0.7 * cores, static_cast<double>(many.peakKiB) / ref.peakKiB,
        cores, same ? "yes" : "NO");
  }
}

BENCHMARK(BM_TextureFolderVsNvcompress)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
