// The collision tree on random triangle soups of 100,000 and 1,000,000
// triangles: build, 1,000,000 random segment queries and memory, against
// Embree (one thread, single rays limited to the segment) building and
// intersecting the same triangles; the vertex weld of the build against
// meshoptimizer's vertex remap. A sample of queries is checked against a
// brute-force scan. Prints, last, one line per figure: ours, reference, ratio.
#include <embree3/rtcore.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench/bench_report.h"
#include "foundation/Geometry.h"
#include "graphics/mesh/RVAxisBoxTree.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Soup : RVAxisBoxTreeExternalGeometry {
  std::vector<float> corners;  // 9 per triangle
  bool GetTriangle(uint32_t id, float out[9]) const override {
    const size_t i = CollisionTriangleFirstIndex(id) / 3;
    if (9 * i + 9 > corners.size()) return false;
    std::copy(corners.begin() + ptrdiff_t(9 * i), corners.begin() + ptrdiff_t(9 * i + 9), out);
    return true;
  }
};

// Triangles of about 1% of the cube's side, and a shared corner for a third of
// them so the weld has work to do.
Soup MakeSoup(size_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> where(0.0f, 1000.0f), corner(-10.0f, 10.0f);
  Soup soup;
  soup.corners.reserve(9 * count);
  float shared[3] = {0, 0, 0};
  while (soup.corners.size() < 9 * count) {
    float t[9];
    // Every third triangle shares a corner with the one before it.
    const bool share = soup.corners.size() % 27 == 0 && !soup.corners.empty();
    const float c[3] = {share ? shared[0] : where(rng), share ? shared[1] : where(rng),
                        share ? shared[2] : where(rng)};
    for (int v = 0; v < 3; ++v)
      for (int k = 0; k < 3; ++k) t[3 * v + k] = c[k] + corner(rng);
    if (share) std::copy(shared, shared + 3, t);
    std::copy(t + 3, t + 6, shared);
    if (!IsTriangleNonDegenerate(t, t + 3, t + 6)) continue;
    soup.corners.insert(soup.corners.end(), t, t + 9);
  }
  return soup;
}

struct MemoryCount {
  long long bytes = 0, peak = 0;
};
bool Monitor(void* user, ssize_t bytes, bool) {
  auto* m = static_cast<MemoryCount*>(user);
  m->bytes += bytes;
  m->peak = std::max(m->peak, m->bytes);
  return true;
}

void Run(size_t triangles, size_t queries, uint32_t leafItems, std::mt19937& rng) {
  const Soup soup = MakeSoup(triangles, rng);
  char label[24];
  std::snprintf(label, sizeof label, "%zuk", triangles / 1000);

  // Ours: weld (begin and add), then build.
  auto t0 = Clock::now();
  RVAxisBoxTree tree;
  tree.BeginBuild(soup, leafItems);
  tree.ReserveTriangles(uint32_t(triangles));
  // Set-up of the measured data, known to work.
  for (size_t i = 0; i < triangles; ++i) (void)tree.AddTriangle(0, uint32_t(3 * i), &soup.corners[9 * i]);
  const double addSeconds = Seconds(t0);
  t0 = Clock::now();
  if (!tree.Build() || tree.GetErrorCount() != 0) {
    std::fprintf(stderr, "build failed\n");
    std::exit(1);
  }
  const double buildSeconds = Seconds(t0);

  // meshoptimizer's remap of the same corner positions.
  std::vector<unsigned> remap(3 * triangles);
  t0 = Clock::now();
  const size_t unique = meshopt_generateVertexRemap(remap.data(), nullptr, 3 * triangles, soup.corners.data(),
                                                    3 * triangles, 12);
  const double remapSeconds = Seconds(t0);

  // The weld alone against the remap, more rounds each, interleaved: one
  // round takes milliseconds, which one burst of page faults or another
  // process can double.
  std::vector<double> weldRounds{addSeconds}, remapRounds{remapSeconds};
  for (int round = 0; round < 6; ++round) {
    t0 = Clock::now();
    {
      RVAxisBoxTree weld;
      weld.BeginBuild(soup, leafItems);
      weld.ReserveTriangles(uint32_t(triangles));
      // Set-up of the measured data, known to work.
      for (size_t i = 0; i < triangles; ++i) (void)weld.AddTriangle(0, uint32_t(3 * i), &soup.corners[9 * i]);
      weldRounds.push_back(Seconds(t0));
    }
    t0 = Clock::now();
    meshopt_generateVertexRemap(remap.data(), nullptr, 3 * triangles, soup.corners.data(), 3 * triangles, 12);
    remapRounds.push_back(Seconds(t0));
  }

  // Embree on one thread.
  MemoryCount memory;
  RTCDevice device = rtcNewDevice("threads=1");
  rtcSetDeviceMemoryMonitorFunction(device, Monitor, &memory);
  t0 = Clock::now();
  RTCScene scene = rtcNewScene(device);
  RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
  auto* vertices = static_cast<float*>(
      rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 12, 3 * triangles));
  std::copy(soup.corners.begin(), soup.corners.end(), vertices);
  auto* indices = static_cast<unsigned*>(
      rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 12, triangles));
  for (unsigned i = 0; i < 3 * triangles; ++i) indices[i] = i;
  rtcCommitGeometry(geometry);
  rtcAttachGeometry(scene, geometry);
  rtcReleaseGeometry(geometry);
  rtcCommitScene(scene);
  const double embreeBuildSeconds = Seconds(t0);

  std::uniform_real_distribution<float> where(0.0f, 1000.0f);
  std::vector<std::array<float, 6>> segments(queries);
  for (auto& s : segments)
    for (float& v : s) v = where(rng);

  t0 = Clock::now();
  size_t ourHits = 0;
  double fractionSum = 0;
  for (const auto& s : segments) {
    RVSegmentHit hit;
    if (tree.QuerySegment(s.data(), s.data() + 3, hit)) {
      ++ourHits;
      fractionSum += hit.fraction;
    }
  }
  const double querySeconds = Seconds(t0);

  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  t0 = Clock::now();
  size_t embreeHits = 0;
  for (const auto& s : segments) {
    RTCRayHit rh{};
    rh.ray.org_x = s[0];
    rh.ray.org_y = s[1];
    rh.ray.org_z = s[2];
    rh.ray.dir_x = s[3] - s[0];
    rh.ray.dir_y = s[4] - s[1];
    rh.ray.dir_z = s[5] - s[2];
    rh.ray.tnear = 0.0f;
    rh.ray.tfar = 1.0f;
    rh.ray.mask = 0xFFFFFFFF;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(scene, &context, &rh);
    if (rh.hit.geomID != RTC_INVALID_GEOMETRY_ID) ++embreeHits;
  }
  const double embreeQuerySeconds = Seconds(t0);
  rtcReleaseScene(scene);

  // Brute-force check of the first 200 queries.
  int mismatches = 0;
  for (size_t q = 0; q < 200 && q < queries; ++q) {
    const auto& s = segments[q];
    float best = FLT_MAX;
    for (size_t i = 0; i < triangles; ++i) {
      float fraction, point[3], normal[3];
      if (RVAxisBoxTree::SegmentHitsTriangle(&soup.corners[9 * i], s.data(), s.data() + 3, fraction, point,
                                             normal))
        best = std::min(best, fraction);
    }
    RVSegmentHit hit;
    const bool found = tree.QuerySegment(s.data(), s.data() + 3, hit);
    if (found != (best != FLT_MAX) || (found && hit.fraction != best)) ++mismatches;
  }
  rtcReleaseDevice(device);

  std::printf(
      "%s: %zu triangles, %zu unique corners; hits ours %zu, embree %zu; "
      "brute-force mismatches %d of 200; mean fraction %.4f; depth %u\n",
      label, triangles, unique, ourHits, embreeHits, mismatches,
      ourHits ? fractionSum / double(ourHits) : 0.0, tree.GetMaxDepth());
  char name[200], note[96];
  std::snprintf(name, sizeof name, "collision build %s (weld+build vs embree build)", label);
  BenchReport::Figure(name, addSeconds + buildSeconds, embreeBuildSeconds, "s");
  std::snprintf(name, sizeof name, "collision weld %s (vs meshopt remap)", label);
  std::snprintf(note, sizeof note, "(median of %zu rounds each; spread %.0f%% / %.0f%%)", weldRounds.size(),
                BenchReport::SpreadPercent(weldRounds), BenchReport::SpreadPercent(remapRounds));
  BenchReport::Figure(name, BenchReport::Median(weldRounds), BenchReport::Median(remapRounds), "s", note);
  std::snprintf(name, sizeof name, "collision queries %s", label);
  BenchReport::Figure(name, double(queries) / querySeconds, double(queries) / embreeQuerySeconds,
                      "queries/s");
  std::snprintf(name, sizeof name, "collision bytes per triangle %s", label);
  BenchReport::Figure(name, double(tree.MemoryBytes()) / double(triangles),
                      double(memory.peak) / double(triangles), "B", "(embree: peak device memory)");
}

}  // namespace

int main(int argc, char** argv) {
  // Arguments: query count (1,000,000), items per leaf (64, the tree's own).
  const size_t queries = argc > 1 ? size_t(std::atol(argv[1])) : 1000000;
  const uint32_t leafItems = argc > 2 ? uint32_t(std::atoi(argv[2])) : 64;
  std::mt19937 rng(26);
  Run(100000, queries, leafItems, rng);
  Run(1000000, queries, leafItems, rng);
  return 0;
}
