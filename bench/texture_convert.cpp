// A folder of 64 textures of 1024 x 1024 (three in four opaque, one in four
// with graded alpha) converted by ConvertTexturesInFolder on every core the
// process may use, against the reference tool nvcompress on the same files
// with the same formats, wrap mode and mipmaps: once per file one after
// another, and as many processes at a time as there are usable cores. Each
// is timed as whole processes, several rounds in turn (ROVANA_BENCH_ROUNDS,
// default 3); the figures are medians with the spread beside them. The
// processor time of both is printed too: on a busy machine it still tells
// what the conversion costs per texture. Also
// checks that one worker and many, and separate runs, give the same bytes.
//
// Our conversion filters colour mipmaps with nvtt's filter value 3, which
// nvtt 2.0.8 runs as its Kaiser filter; nvcompress has no switch for it and
// uses the cheaper box filter, so it does less work per file. The equal-work
// reference is therefore this program itself run once per file as nvcompress
// runs (`--nvtt-reference`: decode, one nvtt pass with mipmaps, a DDS file),
// with the same filter as ours; run with the box filter it costs what
// nvcompress costs, which the benchmark prints as its calibration.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_report.h"
#include "foundation/ResultsLog.h"
#include "graphics/texture/TextureConvert.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "kiv/Thread.h"
#include "kiv/TempFolder.h"

#include <nvtt/nvtt.h>

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
  Kiv::TempFolder temp{"rovana-texbench"};
  std::string root = temp.Root();
  Folder() {
    fs::create_directories(root + "/src");
    fs::create_directories(root + "/ref");
    for (int i = 0; i < kCount; ++i) {
      Kiv::Bitmap b;
      // Set-up of the measured data, known to work.
      (void)b.Create(kSide, kSide, Kiv::Bitmap::FormatRGBA32);
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
          uint32_t r = static_cast<uint32_t>(128 + 120 * std::sin((x + 7 * i) / 37.0));
          uint32_t g = static_cast<uint32_t>(128 + 120 * std::cos((y + 3 * i) / 53.0));
          uint32_t bl = static_cast<uint32_t>((x ^ y) + i) & 255;
          uint32_t a = HasAlpha(i) ? static_cast<uint32_t>(x * 255 / (kSide - 1)) : 255;
          b.SetPixel(x, y, a << 24 | r << 16 | g << 8 | bl);
        }
      const std::string src = root + "/src";
      // Set-up of the measured data, known to work.
      (void)b.Save(FileOf(src, i, ".png"));
      std::string description = "Primary=t";
      description.append(std::to_string(i)).append(".png\nTile=st\n");
      // Set-up of the measured data, known to work.
      (void)Kiv::File::WriteWholeFile(FileOf(src, i, ".texture.txt"), description);
    }
  }
  std::string Src() const { return root + "/src"; }
};

struct Run {
  double seconds = 0;
  long peakKiB = 0;       // the largest resident size of any one process
  double cpuSeconds = 0;  // user and system time of every process
  bool ok = false;
};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Waits for pid (-1: any child); folds its peak resident size into run.
// True when it exited with status 0.
bool Reap(pid_t pid, Run& run) {
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) <= 0) return false;
  run.peakKiB = std::max(run.peakKiB, static_cast<long>(usage.ru_maxrss));
  run.cpuSeconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs body in a child process: its wall time and peak resident size.
template <class Body>
Run InChild(Body body) {
  Run run;
  const double start = Now();
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  run.ok = pid > 0 && Reap(pid, run);
  run.seconds = Now() - start;
  return run;
}

Run Ours(const std::string& folder, unsigned workers) {
  return InChild([&] {
    // The per-file log lines of the missing asset database are not figures.
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) return false;
    SetTextureConversionWorkers(workers);
    ResultsLog log;
    return ConvertTexturesInFolder("", folder, log) == kTextureConvertDone;
  });
}

// The reference processes: nvcompress itself, or this program compressing one
// file with nvtt and the given mip filter.
enum class Tool { Nvcompress, NvttKaiser, NvttBox };

struct DdsFile : nvtt::OutputHandler {
  std::FILE* file = nullptr;
  void beginImage(int, int, int, int, int, int) override {}
  bool writeData(const void* data, int size) override {
    return std::fwrite(data, 1, static_cast<size_t>(size), file) == static_cast<size_t>(size);
  }
};

// `--nvtt-reference <in.png> <out.dds> <filter> <alpha 0|1>`: what nvcompress
// does for one file with "-repeat" and "-bc1" or "-alpha -bc3".
int NvttReference(char** argv) {
  Kiv::Bitmap image;
  if (!image.Load(argv[0]) || image.GetFormat() != Kiv::Bitmap::FormatRGBA32) return 1;
  const bool alpha = std::atoi(argv[3]) != 0;
  nvtt::InputOptions input;
  input.setTextureLayout(nvtt::TextureType_2D, image.Width(), image.Height(), 1);
  input.setMipmapData(image.Data(), image.Width(), image.Height(), 1, 0, 0);
  input.setWrapMode(nvtt::WrapMode_Repeat);
  input.setMipmapFilter(static_cast<nvtt::MipmapFilter>(std::atoi(argv[2])));
  if (alpha) input.setAlphaMode(nvtt::AlphaMode_Transparency);
  nvtt::CompressionOptions compression;
  compression.setFormat(alpha ? nvtt::Format_DXT5 : nvtt::Format_DXT1);
  DdsFile out;
  out.file = std::fopen(argv[1], "wb");
  if (!out.file) return 1;
  nvtt::OutputOptions output;
  output.setOutputHandler(&out);
  nvtt::Compressor compressor;
  compressor.enableCudaAcceleration(false);
  const bool ok = compressor.process(input, compression, output);
  return std::fclose(out.file) == 0 && ok ? 0 : 1;
}

pid_t StartReference(const Folder& f, int i, Tool tool) {
  const std::string in = FileOf(f.Src(), i, ".png"), dds = FileOf(f.root + "/ref", i, ".dds");
  // nvtt's filter values: 0 box, 2 Kaiser; ours passes 3, which runs as 2.
  const char* filter = tool == Tool::NvttBox ? "0" : "3";
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(1);
  if (tool != Tool::Nvcompress)
    execl("/proc/self/exe", "bench_texture_convert", "--nvtt-reference", in.c_str(), dds.c_str(), filter,
          HasAlpha(i) ? "1" : "0", nullptr);
  else if (HasAlpha(i))
    execlp("nvcompress", "nvcompress", "-alpha", "-repeat", "-bc3", in.c_str(), dds.c_str(), nullptr);
  else
    execlp("nvcompress", "nvcompress", "-color", "-repeat", "-bc1", in.c_str(), dds.c_str(), nullptr);
  _exit(127);
}

// The reference tool for every file, at most `parallel` processes at a time.
Run Reference(const Folder& f, unsigned parallel, Tool tool = Tool::Nvcompress) {
  Run run;
  run.ok = true;
  const double start = Now();
  unsigned running = 0;
  for (int i = 0; i < kCount; ++i) {
    if (running == parallel) {
      run.ok = Reap(-1, run) && run.ok;
      --running;
    }
    if (StartReference(f, i, tool) < 0) run.ok = false;
    ++running;
  }
  for (; running > 0; --running) run.ok = Reap(-1, run) && run.ok;
  run.seconds = Now() - start;
  return run;
}

// The ".texture" files of a folder with their bytes, removed after reading.
std::vector<std::pair<std::string, std::string>> TakeOutputs(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().extension() != ".texture") continue;
    std::string bytes;
    // Set-up of the measured data, known to work.
    (void)Kiv::File::ReadWholeFile(e.path().string(), bytes);
    out.emplace_back(e.path().filename().string(), std::move(bytes));
    fs::remove(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A few of the textures with one worker and with many, each in its own process.
bool SameBytesForOneAndManyWorkers(const Folder& f, unsigned workers) {
  const std::string det = f.root + "/det";
  fs::create_directories(det);
  for (int i = 0; i < 8; ++i) {
    fs::copy_file(FileOf(f.Src(), i, ".png"), FileOf(det, i, ".png"), fs::copy_options::overwrite_existing);
    fs::copy_file(FileOf(f.Src(), i, ".texture.txt"), FileOf(det, i, ".texture.txt"),
                  fs::copy_options::overwrite_existing);
  }
  if (!Ours(det, 1).ok) return false;
  auto one = TakeOutputs(det);
  if (!Ours(det, workers).ok) return false;
  return one.size() == 8 && one == TakeOutputs(det);
}

struct Spread {
  double median, low, high;
};

Spread SpreadOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--nvtt-reference") return NvttReference(argv + 2);
  if (std::system("command -v nvcompress >/dev/null 2>&1") != 0) {
    std::printf("texture_convert: nvcompress is not installed\n");
    return 1;
  }
  const unsigned cores = Kiv::UsableCores();
  int rounds = 3;
  if (const char* r = std::getenv("ROVANA_BENCH_ROUNDS")) rounds = std::max(1, std::atoi(r));
  Folder folder;
  std::vector<double> ours, sequential, parallel, kaiser, oursCpu, refCpu, kaiserCpu;
  long oursPeak = 0, refPeak = 0;
  std::vector<std::pair<std::string, std::string>> firstOutput;
  bool sameAcrossRuns = true;
  std::printf("texture_convert: %d textures %dx%d, %u usable cores, %d rounds\n", kCount, kSide, kSide, cores,
              rounds);
  for (int round = 0; round < rounds; ++round) {
    Run o = Ours(folder.Src(), 0);
    auto output = TakeOutputs(folder.Src());
    if (round == 0) firstOutput = output;
    sameAcrossRuns = sameAcrossRuns && output.size() == static_cast<size_t>(kCount) && output == firstOutput;
    Run p = Reference(folder, cores);
    Run s = Reference(folder, 1);
    Run k = Reference(folder, cores, Tool::NvttKaiser);
    if (!o.ok || !p.ok || !s.ok || !k.ok) {
      std::printf("texture_convert: a conversion failed\n");
      return 1;
    }
    ours.push_back(o.seconds);
    oursCpu.push_back(o.cpuSeconds);
    refCpu.push_back(s.cpuSeconds);
    parallel.push_back(p.seconds);
    kaiser.push_back(k.seconds);
    kaiserCpu.push_back(k.cpuSeconds);
    sequential.push_back(s.seconds);
    oursPeak = std::max(oursPeak, o.peakKiB);
    refPeak = std::max({refPeak, p.peakKiB, s.peakKiB});
    std::printf(
        "  round %d: ours %.2f s (peak %ld KiB), nvcompress x%u %.2f s, nvcompress one by one %.2f s "
        "(peak %ld KiB per process), nvtt with our filter x%u %.2f s\n",
        round + 1, o.seconds, o.peakKiB, cores, p.seconds, s.seconds, std::max(p.peakKiB, s.peakKiB), cores,
        k.seconds);
  }
  const bool sameWorkers = SameBytesForOneAndManyWorkers(folder, cores);
  // The stand-in with nvcompress's own filter: its processor time should be
  // nvcompress's, which shows the equal-work reference does nothing else.
  const Run box = Reference(folder, cores, Tool::NvttBox);
  const Spread o = SpreadOf(ours), p = SpreadOf(parallel), s = SpreadOf(sequential);
  const Spread oc = SpreadOf(oursCpu), rc = SpreadOf(refCpu), k = SpreadOf(kaiser), kc = SpreadOf(kaiserCpu);
  std::printf("  ours %.2f s [%.2f-%.2f], nvcompress x%u %.2f s [%.2f-%.2f], one by one %.2f s [%.2f-%.2f]\n",
              o.median, o.low, o.high, cores, p.median, p.low, p.high, s.median, s.low, s.high);
  std::printf("  cpu: ours %.1f s [%.1f-%.1f], nvcompress %.1f s [%.1f-%.1f]\n", oc.median, oc.low, oc.high,
              rc.median, rc.low, rc.high);
  std::printf(
      "  nvtt with our filter x%u %.2f s [%.2f-%.2f], cpu %.1f s; with the box filter cpu %.1f s "
      "(nvcompress %.1f s)\n",
      cores, k.median, k.low, k.high, kc.median, box.cpuSeconds, rc.median);
  std::printf("  same bytes for 1 and %u workers: %s; same bytes in every round: %s\n", cores,
              sameWorkers ? "yes" : "NO", sameAcrossRuns ? "yes" : "NO");
  std::printf("  speed-up aim %.1f against one by one, 0.9 against %u processes; memory aim 2.0\n",
              0.7 * cores, cores);
  // Aims as ratios project / reference: time at most 1 / (0.7 x cores) of one
  // by one and 1 / 0.9 of the parallel processes; memory at most 2.
  char note[160];
  std::snprintf(note, sizeof note, "(aim <= %.3f; spread %.0f%% / %.0f%%)", 1 / (0.7 * cores),
                BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(sequential));
  BenchReport::Figure("wall time vs nvcompress one by one", o.median, s.median, "s", note);
  std::snprintf(note, sizeof note, "(%u processes; aim <= 1.111; spread %.0f%% / %.0f%%)", cores,
                BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(parallel));
  BenchReport::Figure("wall time vs parallel nvcompress", o.median, p.median, "s", note);
  std::snprintf(note, sizeof note, "(%u processes, equal work; aim <= 1.111; spread %.0f%% / %.0f%%)", cores,
                BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(kaiser));
  BenchReport::Figure("wall time vs parallel nvtt with our mip filter", o.median, k.median, "s", note);
  BenchReport::Figure("processor time vs nvcompress", oc.median, rc.median, "s",
                      "(does not depend on the load)");
  BenchReport::Figure("processor time vs nvtt with our mip filter", oc.median, kc.median, "s",
                      "(equal work)");
  std::snprintf(note, sizeof note, "(reference: %u x the largest nvcompress; aim <= 2)", cores);
  BenchReport::Figure("peak memory", static_cast<double>(oursPeak), static_cast<double>(cores) * refPeak,
                      "KiB", note);
  return sameWorkers && sameAcrossRuns ? 0 : 1;
}
