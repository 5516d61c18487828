// A level-mesh text that names its files more than once (four levels from
// two files, the first again for a named level) against one that names each
// file once: a file named again is read once, so both should cost the same.
// Each level mesh is a 200 x 200 grid (80,000 triangles). Best of seven.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"
#include "kiv/TempFolder.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

double LoadSeconds(const Kiv::TempFolder& folder, const char* text, size_t& levels) {
  Kiv::ScriptedMaterialManager manager;
  const std::string path = folder.Path(text);
  return BenchReport::Seconds([&] {
    RovanaIndexedMeshLODDefinition definition;
    if (definition.LoadLODText(nullptr, &manager, nullptr, path, 0xFFFFFFFF) != 0) {
      std::fprintf(stderr, "load failed\n");
      std::exit(1);
    }
    levels = definition.GetLevels().size();
  });
}

}  // namespace

int main() {
  Kiv::TempFolder folder("bench-lod-text");
  for (const char* name : {"a.im", "b.im"}) {
    MeshFixture::Mesh mesh;
    mesh.chunks.push_back(MeshFixture::Grid(200, 0.0f));
    const auto bytes = MeshFixture::Write(mesh);
    folder.Write(name, std::string(bytes.begin(), bytes.end()));
  }
  folder.Write("repeated.lm.txt",
               "mesh 0 { name a.im }\nmesh 10 { name b.im }\nmesh 20 { name a.im }\nmesh 30 { name b.im }\n"
               "mesh collision { name a.im }\n");
  folder.Write("once.lm.txt", "mesh 0 { name a.im }\nmesh 10 { name b.im }\n");
  std::vector<double> repeated, once;
  size_t repeatedLevels = 0, onceLevels = 0;
  for (int run = 0; run < 7; ++run) {
    repeated.push_back(LoadSeconds(folder, "repeated.lm.txt", repeatedLevels));
    once.push_back(LoadSeconds(folder, "once.lm.txt", onceLevels));
  }
  std::printf("levels: %zu from the repeating text, %zu from the other\n", repeatedLevels, onceLevels);
  char note[96];
  std::snprintf(note, sizeof note, "(best of 7; spread %.0f%% and %.0f%%)",
                BenchReport::SpreadPercent(repeated), BenchReport::SpreadPercent(once));
  BenchReport::Figure("lod text load, files named again vs once",
                      *std::min_element(repeated.begin(), repeated.end()),
                      *std::min_element(once.begin(), once.end()), "s", note);
  return 0;
}
