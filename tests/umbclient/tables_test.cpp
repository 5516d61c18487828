#include <gtest/gtest.h>

#include "umbclient/AssetTypes.h"
#include "umbclient/ContentFolders.h"

namespace {

class AssetTablesTest : public ::testing::Test {
protected:
  void SetUp() override { SetInstallationRoot(std::string(ROVANA_SOURCE_DIR) + "/samples/install"); }
  void TearDown() override { SetInstallationRoot(""); }
};

TEST_F(AssetTablesTest, ShippedLegacyTable) {
  EXPECT_EQ(MapLegacyCategoryClass("traincar", "TR"), "TR");
  EXPECT_EQ(MapLegacyCategoryClass("TrainCar", "tr"), "TR");  // case does not matter
  EXPECT_EQ(MapLegacyCategoryClass("bridge", "TT"), "TT;BR");
  EXPECT_EQ(MapLegacyCategoryClass("anything", "ZX"), "ZX");  // "*" row
  EXPECT_EQ(MapLegacyCategoryClass("traincar", "BU"), "");    // no row for the pair
  EXPECT_EQ(MapLegacyCategoryClass("", ""), "");
}

TEST_F(AssetTablesTest, ShippedAssetTypeTable) {
  EXPECT_EQ(LookupAssetTypeCategories("train", ""), "TR;TV");
  EXPECT_EQ(LookupAssetTypeCategories("scenery", ""), "BU;VE;BR");
  EXPECT_EQ(LookupAssetTypeCategories("scenery", "tree"), "VE");  // subtype row wins
  EXPECT_EQ(LookupAssetTypeCategories("scenery", "rock"), "BU;VE;BR");
  EXPECT_EQ(LookupAssetTypeCategories("spaceship", ""), "");
}

TEST_F(AssetTablesTest, MissingTablesAreEmpty) {
  SetInstallationRoot("/nonexistent-root");
  EXPECT_EQ(MapLegacyCategoryClass("traincar", "TR"), "");
  EXPECT_EQ(LookupAssetTypeCategories("train", ""), "");
}

TEST(AssetTablesParse, RowsCommentsAndShortLines) {
  std::vector<AssetTables::Row> rows;
  EXPECT_EQ(AssetTables::ParseRows("# c\n\n a  b  c d \r\nshort x\nk\tl\tm\n", 3, rows), 2u);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].key1, "a");
  EXPECT_EQ(rows[0].key2, "b");
  EXPECT_EQ(rows[0].value, "c d");  // the last field takes the rest
  EXPECT_EQ(rows[1].value, "m");
  rows.clear();
  EXPECT_EQ(AssetTables::ParseRows("one\ntype  A;B", 2, rows), 1u);
  EXPECT_EQ(rows[0].key1, "type");
  EXPECT_EQ(rows[0].value, "A;B");
}

TEST(AddTagsToListTest, AppendsMissingItemsWithHash) {
  EXPECT_EQ(AddTagsToList("TR;TV", "BU"), "TR;TV;#BU");
  EXPECT_EQ(AddTagsToList("TR;TV", "TV;BU;BU"), "TR;TV;#BU");  // held or already added
  EXPECT_EQ(AddTagsToList("TR;#BU", "BU"), "TR;#BU");
  EXPECT_EQ(AddTagsToList("", "A;;B"), "#A;#B");
  EXPECT_EQ(AddTagsToList("TRX", "TR"), "TRX;#TR");  // whole items only
  EXPECT_EQ(AddTagsToList("A", ""), "A");
}

}  // namespace
