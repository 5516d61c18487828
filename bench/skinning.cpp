// Software skinning of 100,000 vertices, each moved by one of 32 bones of a
// chain, against a plain loop that transforms the same 100,000 points by a
// matrix each (the same bone matrices, no skeleton, no weights). Both write
// every position once per pass; best and median of nine passes.
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench/bench_report.h"
#include "graphics/mesh/RovanaInfluenceMesh.h"

int main() {
  constexpr uint32_t kVertices = 100000, kBones = 32;
  std::vector<Kiv::InfluenceDefinition> records(kBones);
  std::vector<std::shared_ptr<Kiv::Particle>> nodes;
  for (uint32_t b = 0; b < kBones; ++b) {
    records[b].name = Kiv::PString("bone" + std::to_string(b));
    if (b > 0) records[b].parentName = records[b - 1].name;
    records[b].position[0] = b > 0 ? 1.0f : 0.0f;
    records[b].references.resize(1);
    nodes.push_back(std::make_shared<Kiv::Particle>(records[b].name));
    nodes[b]->position[0] = records[b].position[0];
    const float angle = 0.01f * float(b);
    nodes[b]->rotation = {0, 0, std::sin(angle / 2), std::cos(angle / 2)};
    // Set-up of the measured data, known to work.
    if (b > 0) (void)nodes[b - 1]->Add(nodes[b]);
  }
  std::vector<float> source(size_t(kVertices) * 3);
  for (uint32_t v = 0; v < kVertices; ++v) {
    Kiv::VertexInfluence influence;
    influence.vertex = v;
    influence.values[0] = 1.0f;
    influence.values[1] = float(v % 7) * 0.1f;
    influence.values[2] = float(v % 5) * 0.1f;
    influence.values[3] = float(v % 3) * 0.1f;
    std::copy_n(influence.values + 1, 3, &source[size_t(v) * 3]);
    records[v % kBones].references[0].vertices.push_back(influence);
  }
  RovanaInfluenceMesh mesh;
  mesh.BuildFromDefinition(records, false);
  mesh.BindToNodes(nodes[0].get());
  std::vector<float> positions(source.size());
  const SkinnedChunk chunk{positions.data(), kVertices};

  std::vector<Kiv::Matrix4> matrices;
  for (const InfluenceBone& bone : mesh.GetBones()) matrices.push_back(bone.world);
  std::vector<float> plain(source.size());

  std::vector<double> project, reference;
  float sink = 0;
  for (int pass = 0; pass < 9; ++pass) {
    project.push_back(BenchReport::Seconds([&] { mesh.Update({&chunk, 1}, 0, 0); }));
    sink += positions[3];
    reference.push_back(BenchReport::Seconds([&] {
      for (uint32_t v = 0; v < kVertices; ++v) {
        const float* m = matrices[v % kBones].m;
        const float* in = &source[size_t(v) * 3];
        float* out = &plain[size_t(v) * 3];
        out[0] = in[0] * m[0] + in[1] * m[4] + in[2] * m[8] + m[12];
        out[1] = in[0] * m[1] + in[1] * m[5] + in[2] * m[9] + m[13];
        out[2] = in[0] * m[2] + in[1] * m[6] + in[2] * m[10] + m[14];
      }
    }));
    sink += plain[3];
  }
  char note[128];
  std::snprintf(note, sizeof note, "(best of 9; spread %.0f%% / %.0f%%; checksum %.3g)",
                BenchReport::SpreadPercent(project), BenchReport::SpreadPercent(reference), double(sink));
  BenchReport::Figure("software skinning of 100,000 vertices vs matrix times vector",
                      *std::min_element(project.begin(), project.end()) * 1e3,
                      *std::min_element(reference.begin(), reference.end()) * 1e3, "ms", note);
  BenchReport::Figure("software skinning, median", BenchReport::Median(project) * 1e3,
                      BenchReport::Median(reference) * 1e3, "ms");
  return 0;
}
