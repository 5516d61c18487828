#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "kiv/TempFolder.h"
#include "kiv/render/Resource.h"
#include "kiv/render/StdMath.h"
#include "kiv/render/WorldCoordinate.h"

namespace {

TEST(WorldCoordinate, NormalizeEdgeTable) {
  struct Case {
    int16_t tile;
    float offset;
    int16_t wantTile;
    float wantOffset;
  } cases[] = {
      {3, 1440.0f, 5, 0.0f},   {0, -10.0f, -1, 710.0f}, {0, 719.9f, 0, 719.9f},
      {0, 719.95f, 1, -0.05f}, {0, -720.0f, -1, 0.0f},  {32767, 720.0f, -32768, 0.0f},
  };
  for (const Case& c : cases) {
    for (int axis = 0; axis < 2; ++axis) {
      SCOPED_TRACE(testing::Message() << c.tile << " + " << c.offset << " axis " << axis);
      Kiv::WorldCoordinate w;
      (axis ? w.tileY : w.tileX) = c.tile;
      (axis ? w.y : w.x) = c.offset;
      w.Normalize();
      EXPECT_TRUE(w.changed);
      EXPECT_EQ(axis ? w.tileY : w.tileX, c.wantTile);
      EXPECT_NEAR(axis ? w.y : w.x, c.wantOffset, 1e-3);
    }
  }
  // Non-finite or absurd offsets leave the whole coordinate unchanged.
  for (float bad :
       {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -3e38f}) {
    Kiv::WorldCoordinate w{1, 2, 1440.0f, bad, 0.0f, false};
    w.Normalize();
    EXPECT_FALSE(w.changed);
    EXPECT_EQ(w.tileX, 1);
    EXPECT_EQ(w.x, 1440.0f);
  }
}

TEST(StdMath, SquareRootTableIsAccurateAfterTwoNewtonSteps) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> component(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-40, 40);
  double worst = 0.0;
  for (int i = 0; i < 1000000; ++i) {
    const float scale = std::ldexp(1.0f, exponent(rng));
    const float v[3] = {component(rng) * scale, component(rng) * scale, component(rng) * scale};
    const float s = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    if (s == 0.0f) continue;
    const double exact = std::sqrt(static_cast<double>(s));
    worst = std::max(worst, std::abs(Kiv::StdMath::Sqrt(s) - exact) / exact);
  }
  EXPECT_LT(worst, 1e-6);
  // The table estimate alone is within the bucket's width.
  EXPECT_NEAR(Kiv::StdMath::InvSqrtEstimate(4.0f), 0.5f, 0.5f / 128);
  EXPECT_EQ(Kiv::StdMath::Sqrt(0.0f), 0.0f);
  EXPECT_TRUE(std::isinf(Kiv::StdMath::Sqrt(std::numeric_limits<float>::infinity())));
  EXPECT_TRUE(std::isnan(Kiv::StdMath::Sqrt(-1.0f)));
  EXPECT_NEAR(Kiv::StdMath::Sqrt(1e-40f), std::sqrt(static_cast<double>(1e-40f)),
              1e-26);  // subnormal: exact path
}

TEST(ResourceDatabase, NamesResolveInsideTheFolderWhateverTheCase) {
  Kiv::TempFolder folder("Content");
  folder.Write("Meshes/Body.IM", "x");
  folder.MakeDir("meshes/parts");
  // The folder given in another case is the same folder.
  std::string upper = folder.Root();
  const size_t at = upper.rfind("Content");
  upper.replace(at, 7, "CONTENT");
  Kiv::ResourceDatabase database(upper);
  const auto found = database.ResolveName("meshes\\body.im");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, folder.Path("Meshes/Body.IM"));
  EXPECT_FALSE(database.ResolveName("meshes/parts"));  // a folder is no resource
  EXPECT_FALSE(database.ResolveName("../x"));
  EXPECT_FALSE(database.ResolveName("meshes/late.im"));
  folder.Write("meshes/late.im", "x");
  EXPECT_TRUE(database.ResolveName("meshes/late.im"));

  // A database that remembers looks each name up once.
  Kiv::ResourceDatabase once(folder.Root());
  once.RememberLookups();
  EXPECT_FALSE(once.ResolveName("meshes/later.im"));
  folder.Write("meshes/later.im", "x");
  EXPECT_FALSE(once.ResolveName("meshes/later.im"));
  EXPECT_EQ(once.ResolveName("meshes/body.im"), found);

  // A look-up answers for the disk where it knows the answer, with names
  // normalised; the rest, and names outside the folder, go to the disk.
  Kiv::ResourceDatabase listed(folder.Root());
  std::vector<std::string> asked;
  listed.SetLookup([&](std::string_view name) -> Kiv::ResourceDatabase::KnownPath {
    asked.emplace_back(name);
    if (name == "meshes/known.im") return std::optional<std::string>("/known/path");
    if (name == "meshes/body.im") return std::optional<std::string>();
    return std::nullopt;
  });
  EXPECT_EQ(listed.ResolveName("meshes\\known.im"), std::optional<std::string>("/known/path"));
  EXPECT_FALSE(listed.ResolveName("meshes/./body.im"));  // answered: none, though the file is there
  EXPECT_EQ(listed.ResolveName("meshes/later.im"), database.ResolveName("meshes/later.im"));
  EXPECT_FALSE(listed.ResolveName("../x"));
  EXPECT_EQ(asked, (std::vector<std::string>{"meshes/known.im", "meshes/body.im", "meshes/later.im"}));
}

}  // namespace
