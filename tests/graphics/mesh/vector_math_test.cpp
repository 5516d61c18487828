#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "graphics/mesh/RVDebugVp.h"
#include "graphics/mesh/RVMemoryChain.h"
#include "graphics/mesh/VectorMath.h"

namespace {

TEST(VectorMath, LengthsAndNormals) {
  const float v[3] = {3, 4, 0};
  EXPECT_NEAR(VectorLength(v), 5.0f, 1e-5f);
  float n[3] = {0, 0, 2};
  EXPECT_NEAR(NormalizeVector(n), 2.0f, 1e-6f);
  EXPECT_NEAR(n[2], 1.0f, 1e-6f);
  float zero[3] = {0, 0, 0};
  EXPECT_EQ(NormalizeVector(zero), 0.0f);
  EXPECT_EQ(zero[0], 0.0f);

  const float a[3] = {0, 0, 0}, b[3] = {1, 0, 0}, c[3] = {0, 1, 0}, d[3] = {2, 0, 0};
  float normal[3];
  ComputeTriangleNormal(a, b, c, normal);
  EXPECT_NEAR(normal[2], 1.0f, 1e-6f);
  ComputeTriangleNormal(a, b, d, normal);  // degenerate: stays zero
  EXPECT_EQ(normal[0], 0.0f);
  EXPECT_EQ(normal[1], 0.0f);
  EXPECT_EQ(normal[2], 0.0f);
}

TEST(VectorMath, QuaternionsAndMatrices) {
  const float identityQ[4] = {0, 0, 0, 1};
  float m3[9];
  QuaternionToMatrix3(identityQ, m3);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(m3[i], (i % 4 == 0) ? 1.0f : 0.0f) << i;

  // 90 degrees about z takes the row vector (1, 0, 0) to (0, 1, 0).
  const float h = std::sqrt(0.5f);
  const float zq[4] = {0, 0, h, h};
  float m4[16];
  QuaternionToMatrix4(zq, m4);
  const float p[3] = {1, 0, 0};
  float out[3];
  TransformPoint(p, m4, out);
  EXPECT_NEAR(out[0], 0.0f, 1e-6f);
  EXPECT_NEAR(out[1], 1.0f, 1e-6f);
  EXPECT_NEAR(out[2], 0.0f, 1e-6f);
  EXPECT_EQ(m4[12], 0.0f);
  EXPECT_EQ(m4[15], 1.0f);

  // A point transform divides by w; a translation sits in the last row.
  float rows[16] = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 4, 6, 8, 2};
  const float q[3] = {1, 1, 1};
  TransformPoint(q, rows, out);
  EXPECT_EQ(out[0], 3.0f);
  EXPECT_EQ(out[1], 4.0f);
  EXPECT_EQ(out[2], 5.0f);

  float set[16];
  MatrixSetRows(set, rows);
  EXPECT_EQ(set[3], 4.0f);  // stored column by column
  EXPECT_EQ(set[12], 0.0f);

  float product[16];
  MatrixCopy(product, rows);
  MatrixMultiplyInPlace(product, rows);
  EXPECT_EQ(product[0], 4.0f);
  EXPECT_EQ(product[12], 16.0f);  // 4*2 + 2*4
  EXPECT_EQ(product[15], 4.0f);
}

TEST(VectorMath, ColoursAndBoxes) {
  RVColour c{2.0f, -1.0f, 0.5f, std::numeric_limits<float>::quiet_NaN()};
  ColourClamp(c);
  EXPECT_EQ(c.r, 1.0f);
  EXPECT_EQ(c.g, 0.0f);
  EXPECT_EQ(c.b, 0.5f);
  EXPECT_EQ(c.a, 0.0f);
  const RVColour p = ColourProduct(ColourScale({1, 2, 3, 4}, 0.5f), {2, 2, 2, 2});
  EXPECT_EQ(p.r, 1.0f);
  EXPECT_EQ(p.a, 4.0f);

  const RVQuantisedBox q{{-2, 0, 1}, {4, 1, 0}};
  const RVBox box = q.Decode(0.5f);
  EXPECT_EQ(box.min[0], -1.0f);
  EXPECT_EQ(box.max[0], 1.0f);
  EXPECT_EQ(box.max[2], 0.5f);
  RVBox grown = box;
  const float far[3] = {5, -5, 0.5f};
  grown.Grow(far);
  EXPECT_EQ(grown.max[0], 5.0f);
  EXPECT_EQ(grown.min[1], -5.0f);
  EXPECT_TRUE(grown.Contains(far));
}

TEST(RVMemoryChain, AllocationsAreAlignedAndBlocksReused) {
  RVMemoryChain chain(100);
  void* a = chain.Allocate(40);
  void* b = chain.Allocate(40);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % alignof(std::max_align_t), 0u);
  chain.Allocate(80);  // does not fit: a second block
  EXPECT_EQ(chain.BlockCount(), 2u);
  void* big = chain.Allocate(1000);  // a block of its own size
  ASSERT_NE(big, nullptr);
  std::memset(big, 0xAB, 1000);
  EXPECT_EQ(chain.BlockCount(), 3u);
  chain.Rewind();
  EXPECT_EQ(chain.Allocate(40), a);
  EXPECT_EQ(chain.BlockCount(), 3u);
  chain.Clear();
  EXPECT_EQ(chain.BlockCount(), 0u);
}

TEST(RVDebugVp, DrawsThroughTheCurrentViewportAndRestoresTheDefault) {
  Kiv::Display display;
  {
    RVDebugVp vp(display);
    EXPECT_EQ(Kiv::CurrentViewport(), &vp);
    const float from[3] = {1, 2, 3}, to[3] = {4, 5, 6};
    vp.Draw(from, to, 7.0f);
    const auto requests = display.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].values, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 0, 1}));
  }
  EXPECT_EQ(Kiv::CurrentViewport(), &Kiv::DefaultViewport());
}

}  // namespace
