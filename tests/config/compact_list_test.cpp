// The one-pointer lists that hold a tag's rules and their parameters.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/CompactList.h"

using OBLLib::CompactList;

namespace {

// Items that own memory survive growth, copies and moves whole (a leak or a
// double free shows under the sanitizers), and an item of the list itself
// can be appended while the list grows.
TEST(CompactListTest, ItemsSurviveGrowthCopiesAndMoves) {
  CompactList<std::shared_ptr<std::string>> list;
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), list.end());
  for (int i = 0; i < 8; ++i) list.push_back(std::make_shared<std::string>(std::to_string(i)));
  list.push_back(list[0]);  // from inside the block, as it grows from 8 to 16
  list.push_back(list[1]);
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(*list[8], "0");
  EXPECT_EQ(*list[9], "1");
  EXPECT_EQ(list[0].use_count(), 2);

  CompactList<std::shared_ptr<std::string>> copy(list);
  EXPECT_EQ(list[0].use_count(), 4);
  CompactList<std::shared_ptr<std::string>> moved(std::move(copy));
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(list[0].use_count(), 4);
  moved = list;  // the old items go, the copies come
  EXPECT_EQ(list[0].use_count(), 4);
  moved.clear();
  EXPECT_EQ(list[0].use_count(), 2);
  int n = 0;
  for (const auto& item : list) n += item != nullptr;
  EXPECT_EQ(n, 10);
}

}  // namespace
