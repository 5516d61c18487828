// The point tree on 1,000,000 random points: inserting and building against a
// plain median-split build with std::nth_element over a point array, and box
// queries against a brute-force scan and against that reference tree, all in
// one run. Prints, last, one line per figure: ours, reference, ratio (times:
// above 1, ours is slower).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench/bench_report.h"
#include "graphics/mesh/RVMapKDTree.h"

namespace {

using BenchReport::Median;

struct Point {
  float p[3];
  int value;
};

// The reference: the same median split, written directly over a point array.
void BuildReference(std::vector<Point>& pts, std::vector<uint8_t>& axes, size_t lo, size_t hi) {
  while (lo < hi) {
    float mn[3], mx[3];
    for (int a = 0; a < 3; ++a) mn[a] = mx[a] = pts[lo].p[a];
    for (size_t i = lo + 1; i <= hi; ++i)
      for (int a = 0; a < 3; ++a) {
        mn[a] = std::min(mn[a], pts[i].p[a]);
        mx[a] = std::max(mx[a], pts[i].p[a]);
      }
    int axis = 0;
    for (int a = 1; a < 3; ++a)
      if (mx[a] - mn[a] > mx[axis] - mn[axis]) axis = a;
    const size_t mid = lo + (hi - lo) / 2;
    std::nth_element(pts.begin() + static_cast<ptrdiff_t>(lo), pts.begin() + static_cast<ptrdiff_t>(mid),
                     pts.begin() + static_cast<ptrdiff_t>(hi) + 1,
                     [axis](const Point& a, const Point& b) { return a.p[axis] < b.p[axis]; });
    axes[mid] = static_cast<uint8_t>(axis);
    if (mid > lo) BuildReference(pts, axes, lo, mid - 1);
    lo = mid + 1;
  }
  if (lo == hi) axes[lo] = 0;
}

void QueryReference(const std::vector<Point>& pts, const std::vector<uint8_t>& axes, size_t lo, size_t hi,
                    const float mn[3], const float mx[3], std::vector<int>& out) {
  for (;;) {
    const size_t mid = lo + (hi - lo) / 2;
    const Point& n = pts[mid];
    const int axis = axes[mid];
    if (mid > lo && mn[axis] <= n.p[axis]) QueryReference(pts, axes, lo, mid - 1, mn, mx, out);
    if (mn[0] <= n.p[0] && n.p[0] <= mx[0] && mn[1] <= n.p[1] && n.p[1] <= mx[1] && mn[2] <= n.p[2] &&
        n.p[2] <= mx[2])
      out.push_back(n.value);
    if (mid < hi && mx[axis] >= n.p[axis]) {
      lo = mid + 1;
      continue;
    }
    return;
  }
}

void QueryBrute(const std::vector<Point>& pts, const float mn[3], const float mx[3], std::vector<int>& out) {
  for (const Point& n : pts)
    if (mn[0] <= n.p[0] && n.p[0] <= mx[0] && mn[1] <= n.p[1] && n.p[1] <= mx[1] && mn[2] <= n.p[2] &&
        n.p[2] <= mx[2])
      out.push_back(n.value);
}

}  // namespace

int main() {
  constexpr size_t kPoints = 1000000;
  constexpr int kQueries = 2000, kBruteQueries = 20;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> coord(0.0f, 1000.0f), side(5.0f, 60.0f);
  std::vector<Point> points(kPoints);
  for (size_t i = 0; i < kPoints; ++i)
    points[i] = {{coord(rng), coord(rng), coord(rng)}, static_cast<int>(i)};
  std::vector<std::array<float, 6>> boxes(kQueries);
  for (auto& b : boxes) {
    for (int a = 0; a < 3; ++a) {
      b[a] = coord(rng);
      b[3 + a] = b[a] + side(rng);
    }
  }

  std::vector<double> buildOurs, buildRef, queryOurs, queryRef, queryBrute;
  size_t found = 0;
  for (int round = 0; round < 5; ++round) {
    RVPointTree tree(kRebuildNever);
    buildOurs.push_back(BenchReport::Seconds([&] {
      // Set-up of the measured data, known to work.
      for (const Point& p : points) (void)tree.Insert(p.p, p.value);
      tree.Build();
    }));
    std::vector<Point> ref;
    std::vector<uint8_t> axes;
    buildRef.push_back(BenchReport::Seconds([&] {
      ref = points;
      axes.assign(ref.size(), 0);
      BuildReference(ref, axes, 0, ref.size() - 1);
    }));
    std::vector<int> a, b, c;
    queryOurs.push_back(BenchReport::Seconds([&] {
                          for (const auto& box : boxes) {
                            a.clear();
                            tree.Query(box.data(), box.data() + 3, a);
                            found += a.size();
                          }
                        }) /
                        kQueries);
    queryRef.push_back(BenchReport::Seconds([&] {
                         for (const auto& box : boxes) {
                           b.clear();
                           QueryReference(ref, axes, 0, ref.size() - 1, box.data(), box.data() + 3, b);
                           found += b.size();
                         }
                       }) /
                       kQueries);
    queryBrute.push_back(BenchReport::Seconds([&] {
                           for (int q = 0; q < kBruteQueries; ++q) {
                             c.clear();
                             QueryBrute(points, boxes[q].data(), boxes[q].data() + 3, c);
                             found += c.size();
                           }
                         }) /
                         kBruteQueries);
    // The answers must agree.
    for (int q = 0; q < kBruteQueries; ++q) {
      a.clear();
      c.clear();
      tree.Query(boxes[q].data(), boxes[q].data() + 3, a);
      QueryBrute(points, boxes[q].data(), boxes[q].data() + 3, c);
      std::sort(a.begin(), a.end());
      if (a != c) {
        std::printf("query %d differs from the brute-force scan\n", q);
        return 1;
      }
    }
  }
  std::printf("(%zu points found in all)\n", found);
  auto line = [](const char* name, const std::vector<double>& ours, const std::vector<double>& ref,
                 double unit, const char* unitName) {
    auto [lo, hi] = std::minmax_element(ours.begin(), ours.end());
    char note[96];
    std::snprintf(note, sizeof note, "(median of the rounds, ours %.2f-%.2f %s)", *lo * unit, *hi * unit,
                  unitName);
    BenchReport::Figure(name, Median(ours) * unit, Median(ref) * unit, unitName, note);
  };
  line("point tree insert and build of 1,000,000 points vs nth_element build", buildOurs, buildRef, 1e3,
       "ms");
  line("point tree box query vs nth_element reference tree", queryOurs, queryRef, 1e6, "us");
  line("point tree box query vs brute-force scan", queryOurs, queryBrute, 1e6, "us");
  return 0;
}
