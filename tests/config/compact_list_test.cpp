// The one-pointer lists that hold a tag's rules and their parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

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

// The operations a container's rarely filled lists take: they start with no
// block, take items at their ends and in their middle, read as a span and
// compare with a vector, and own what they hold through copies and moves.
TEST(CompactListTest, TakesTheVectorOperationsOfAContainersLists) {
  CompactList<std::shared_ptr<std::string>> list;
  list.reserve(0);  // asks for no room: still no block
  EXPECT_EQ(list.begin(), nullptr);
  EXPECT_EQ(std::find(list.begin(), list.end(), nullptr), list.end());
  EXPECT_TRUE(std::span<const std::shared_ptr<std::string>>(list).empty());

  auto item = [](int i) { return std::make_shared<std::string>(std::to_string(i)); };
  list.reserve(3);
  for (int i = 0; i < 4; ++i) list.push_back(item(i));  // past the room reserved
  const std::vector<std::shared_ptr<std::string>> middle{item(10), item(11), item(12)};
  list.insert(list.begin() + 2, middle.begin(), middle.begin() + 2);
  list.insert(list.end(), middle.begin() + 2, middle.end());
  list.insert(list.begin(), middle.begin(), middle.begin());  // an empty range changes nothing
  list.erase(list.begin());                                   // "0" goes
  std::vector<std::string> texts;
  for (const auto& p : std::span<const std::shared_ptr<std::string>>(list)) texts.push_back(*p);
  EXPECT_EQ(texts, (std::vector<std::string>{"1", "10", "11", "2", "3", "12"}));
  EXPECT_EQ(middle[0].use_count(), 2);

  CompactList<std::shared_ptr<std::string>> copy(list);
  EXPECT_EQ(middle[0].use_count(), 3);
  EXPECT_TRUE(copy == list);
  CompactList<std::shared_ptr<std::string>> moved(std::move(copy));
  EXPECT_EQ(middle[0].use_count(), 3);
  copy = moved;  // assigned again after the move
  EXPECT_EQ(middle[0].use_count(), 4);
  moved.clear();
  EXPECT_EQ(moved.begin(), nullptr);
  EXPECT_EQ(middle[0].use_count(), 3);

  CompactList<int> numbers;
  numbers.emplace_back(7);
  numbers.emplace_back(9);
  EXPECT_TRUE(numbers == std::vector<int>({7, 9}));
  EXPECT_FALSE(numbers == std::vector<int>({7}));
  EXPECT_TRUE(CompactList<int>() == std::vector<int>{});
}

}  // namespace
