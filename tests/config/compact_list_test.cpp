// The one-pointer lists that hold a tag's rules and their parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config/CompactList.h"

using OBLLib::CompactList;
using OBLLib::LazyVector;

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

// A list made on demand reads as an empty vector until filled, takes
// vector operations at its ends and in its middle, and owns what it holds
// through copies and moves; emptied, it holds no vector again.
TEST(LazyVectorTest, ActsAsAVectorMadeOnFirstItem) {
  LazyVector<std::shared_ptr<std::string>> list;
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), list.end());
  EXPECT_TRUE(list.View().empty());
  list.reserve(0);  // asks for no room: still nothing made
  EXPECT_EQ(list.begin(), nullptr);
  EXPECT_EQ(std::find(list.begin(), list.end(), nullptr), list.end());

  auto item = [](int i) { return std::make_shared<std::string>(std::to_string(i)); };
  for (int i = 0; i < 4; ++i) list.push_back(item(i));
  const std::vector<std::shared_ptr<std::string>> middle{item(10), item(11)};
  list.insert(list.begin() + 2, middle.begin(), middle.end());
  list.insert(list.end(), middle.begin(), middle.begin());  // an empty range changes nothing
  list.erase(list.begin());                                 // "0" goes
  std::vector<std::string> texts;
  for (const auto& p : list) texts.push_back(*p);
  EXPECT_EQ(texts, (std::vector<std::string>{"1", "10", "11", "2", "3"}));
  const std::vector<std::shared_ptr<std::string>>& asVector = list;  // read where a vector is asked for
  EXPECT_EQ(asVector.size(), 5u);
  EXPECT_EQ(middle[0].use_count(), 2);

  LazyVector<std::shared_ptr<std::string>> copy(list);
  EXPECT_EQ(middle[0].use_count(), 3);
  EXPECT_TRUE(copy == list);
  LazyVector<std::shared_ptr<std::string>> moved(std::move(copy));
  EXPECT_EQ(middle[0].use_count(), 3);
  copy = moved;  // assigned again after the move
  EXPECT_EQ(middle[0].use_count(), 4);
  moved.clear();
  EXPECT_EQ(moved.begin(), nullptr);
  EXPECT_EQ(middle[0].use_count(), 3);
  LazyVector<int> numbers;
  numbers.emplace_back(7);
  EXPECT_TRUE(numbers == std::vector<int>{7});
  LazyVector<int> none;
  EXPECT_TRUE(none == std::vector<int>{});
  numbers = none;
  EXPECT_TRUE(numbers.empty());
}

}  // namespace
