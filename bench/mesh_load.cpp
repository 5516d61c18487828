// A mesh of about 1,000,000 triangles (16 chunks of 181 x 181 vertices with
// two texture sets and colours) loaded into a definition, against a plain
// read of the same file plus a memcpy of its bytes. Each side runs in a fresh
// process of this program, so its peak resident set is its own; the best of
// five runs is kept. Prints the load rate and the peak memory the load adds
// to an idle child of this program against the file size.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "kiv/File.h"
#include "tests/graphics/mesh/MeshFixture.h"
#include "kiv/TempFolder.h"

namespace {

constexpr int kChunks = 16;
constexpr int kGrid = 180;  // 180 x 180 quads: 64,800 triangles per chunk

std::vector<uint8_t> MakeMesh() {
  MeshFixture::Mesh mesh;
  for (int c = 0; c < kChunks; ++c) {
    auto chunk = MeshFixture::Grid(kGrid, float(c * (kGrid + 1)));
    chunk.geometry.version = 104;
    chunk.geometry.sets = 2;
    std::vector<float> uvs;
    uvs.reserve(chunk.geometry.uvs.size() * 2);
    for (size_t v = 0; v + 1 < chunk.geometry.uvs.size(); v += 2) {
      uvs.insert(uvs.end(), {chunk.geometry.uvs[v], chunk.geometry.uvs[v + 1], 0.5f, 0.5f});
    }
    chunk.geometry.uvs = std::move(uvs);
    mesh.chunks.push_back(std::move(chunk));
  }
  return MeshFixture::Write(mesh);
}

// The child's work; prints the seconds it took.
int RunChild(const std::string& mode, const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  size_t check = 0;
  if (mode == "make") {
    const auto bytes = MakeMesh();
    if (!Kiv::File::ReplaceFileAtomic(path, bytes.data(), bytes.size(), false)) return 1;
    check = bytes.size();
  } else if (mode == "load") {
    RovanaIndexedMeshDefinition definition;
    if (definition.OpenMeshFile(nullptr, path) != 0) return 1;
    Kiv::ScriptedMaterialManager manager;
    manager.OnCreate([](Kiv::Material& m) { m.ScriptVertexColour(true); });
    Kiv::Resource resource(Kiv::PString("<kuid:1:1>"), Kiv::PString("meshes/big.im"));
    if (definition.Load(nullptr, &manager, &resource, path, 0xFFFFFFFF) != 0) return 1;
    check = definition.GetTotalFaces();
  } else if (mode == "read") {
    std::vector<uint8_t> bytes;
    if (!Kiv::File::ReadWholeFile(path, bytes)) return 1;
    std::vector<uint8_t> copy(bytes.size());
    std::memcpy(copy.data(), bytes.data(), bytes.size());
    check = copy[copy.size() / 2];
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.9f %zu\n", seconds, check);
  return 0;
}

struct Run {
  double seconds = 0;
  long peakBytes = 0;
};

bool Spawn(const char* mode, const std::string& path, Run& run) {
  std::string text;
  return BenchReport::RunSelf({"--child", mode, path}, text, &run.peakBytes) &&
         std::sscanf(text.c_str(), "%lf", &run.seconds) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child") return RunChild(argv[2], argv[3]);
  const Kiv::TempFolder temp("rovana-meshbench");
  if (temp.Root().empty()) return 1;
  const std::string path = temp.Path("big.im");
  // Made in a child: a child is charged its parent's resident set at its
  // start, so this process stays small.
  Run made;
  if (!Spawn("make", path, made)) return 1;
  const double fileBytes = double(Kiv::File::FileSize(path));
  // What a child holds before it does any work (the program itself).
  Run idle;
  if (!Spawn("idle", path, idle)) return 1;
  std::vector<double> loads, reads;
  long loadPeak = 0, readPeak = 0;
  for (int i = 0; i < 5; ++i) {
    Run load, plain;
    if (!Spawn("load", path, load) || !Spawn("read", path, plain)) {
      std::fprintf(stderr, "a child run failed\n");
      return 1;
    }
    loads.push_back(load.seconds);
    reads.push_back(plain.seconds);
    loadPeak = std::max(loadPeak, load.peakBytes);
    readPeak = std::max(readPeak, plain.peakBytes);
  }
  const double mb = fileBytes / 1e6;
  const double bestLoad = *std::min_element(loads.begin(), loads.end());
  const double bestRead = *std::min_element(reads.begin(), reads.end());
  std::printf("file: %.1f MB, %d triangles\n", mb, kChunks * kGrid * kGrid * 2);
  std::printf("peak RSS: load %.1f MB, read+memcpy %.1f MB, an idle child %.1f MB\n", double(loadPeak) / 1e6,
              double(readPeak) / 1e6, double(idle.peakBytes) / 1e6);
  char note[128];
  std::snprintf(note, sizeof note, "(best of 5; spread load %.0f%%, read %.0f%%)",
                BenchReport::SpreadPercent(loads), BenchReport::SpreadPercent(reads));
  // Time ratio: load time over plain-read time (aim at most 2.5).
  BenchReport::Figure("mesh_load_time", bestLoad * 1e3, bestRead * 1e3, "ms", note);
  BenchReport::Figure("mesh_load_rate", mb / bestLoad, mb / bestRead, "MB/s");
  // Peak resident set the load adds to an idle child, over the file size (aim at most 2.2).
  BenchReport::Figure("mesh_load_peak_rss", double(loadPeak - idle.peakBytes) / 1e6, mb, "MB",
                      "(above an idle child; reference: the file size)");
  return 0;
}
