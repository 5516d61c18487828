#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <vector>

#include "foundation/BlockList.h"
#include "foundation/KUID.h"

namespace {

template <class L>
std::vector<int> Contents(const L& list) {
  std::vector<int> out;
  for (auto it = list.begin(); !it.IsEnd(); it.Next()) out.push_back(*it);
  return out;
}

template <class L>
size_t BlockCount(const L& list) {
  size_t n = 0;
  auto* first = list.FirstBlock();
  for (auto* b = first; b; b = (b->next == first) ? nullptr : b->next) ++n;
  return n;
}

}  // namespace

TEST(BlockList, PushBackAcrossBlockBoundaries) {
  BlockList<int, 13> list;
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_TRUE(list.begin().IsEnd());
  std::vector<int> expect;
  for (int i = 0; i < 40; ++i) {
    list.PushBack(i);
    expect.push_back(i);
  }
  EXPECT_EQ(Contents(list), expect);
  EXPECT_EQ(list.Size(), 40u);
  EXPECT_EQ(BlockCount(list), 4u);  // 13 + 13 + 13 + 1
  // The blocks form a circle both ways.
  auto* first = list.FirstBlock();
  EXPECT_EQ(first->prev->next, first);
  EXPECT_EQ(first->prev->count, 1u);
}

TEST(BlockList, FindAndEraseKeepOrderAndFreeEmptyBlocks) {
  BlockList<int, 3> list;
  for (int i = 1; i <= 7; ++i) list.PushBack(i);  // [1 2 3] [4 5 6] [7]
  EXPECT_TRUE(list.Find(42).IsEnd());
  auto it = list.Find(5);
  ASSERT_FALSE(it.IsEnd());
  it = list.Erase(it);  // entries behind move down
  EXPECT_EQ(*it, 6);
  EXPECT_EQ(Contents(list), (std::vector<int>{1, 2, 3, 4, 6, 7}));
  it = list.Erase(list.Find(6));  // last of its block: next block's first
  EXPECT_EQ(*it, 7);
  it = list.Erase(list.Find(7));  // the only entry of the last block: block freed, end
  EXPECT_TRUE(it.IsEnd());
  EXPECT_EQ(BlockCount(list), 2u);
  // Emptying the first block moves the list to the next one.
  list.Erase(list.Find(1));
  list.Erase(list.Find(2));
  it = list.Erase(list.Find(3));
  EXPECT_EQ(*it, 4);
  EXPECT_EQ(BlockCount(list), 1u);
  EXPECT_EQ(Contents(list), (std::vector<int>{4}));
  // The only entry of the only block leaves an empty list.
  it = list.Erase(list.begin());
  EXPECT_TRUE(it.IsEnd());
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.FirstBlock(), nullptr);
  EXPECT_TRUE(list.Erase(list.end()).IsEnd());
}

TEST(BlockList, RandomOperationsMatchAStandardList) {
  std::mt19937 rng(7);
  BlockList<int, 5> list;
  std::list<int> model;
  for (int step = 0; step < 5000; ++step) {
    const int op = rng() % 3;
    if (op < 2 || model.empty()) {
      int v = static_cast<int>(rng() % 50);
      list.PushBack(v);
      model.push_back(v);
    } else {
      int v = static_cast<int>(rng() % 50);
      auto found = std::find(model.begin(), model.end(), v);
      auto it = list.Find(v);
      ASSERT_EQ(found == model.end(), it.IsEnd());
      if (found != model.end()) {
        auto nextModel = model.erase(found);
        auto next = list.Erase(it);
        ASSERT_EQ(nextModel == model.end(), next.IsEnd());
        if (!next.IsEnd()) {
          ASSERT_EQ(*next, *nextModel);
        }
      }
    }
    if (step % 500 == 0) {
      ASSERT_EQ(Contents(list), std::vector<int>(model.begin(), model.end()));
    }
  }
  ASSERT_EQ(Contents(list), std::vector<int>(model.begin(), model.end()));
  list.FreeBlocks();
  EXPECT_TRUE(list.IsEmpty());
}

TEST(BlockList, KuidListsCopyAndAppendInOrder) {
  BlockList<KUID, 128> a;
  for (int i = 0; i < 300; ++i) a.PushBack(KUID(i, i * 2, i % 128));
  EXPECT_FALSE(a.Find(KUID(10, 20, 10)).IsEnd());
  EXPECT_TRUE(a.Find(KUID(10, 20, 11)).IsEnd());  // every field must match
  BlockList<KUID, 128> b(a);
  EXPECT_EQ(b.Size(), 300u);
  b.Append(b);  // appending a list to itself doubles it
  EXPECT_EQ(b.Size(), 600u);
  auto it = b.begin();
  it.Advance(300);
  EXPECT_EQ(*it, KUID(0, 0, 0));
  it.Advance(299);
  EXPECT_EQ(*it, KUID(299, 598, 299 % 128));
  it.Advance(1);
  EXPECT_TRUE(it.IsEnd());
  auto far = b.begin();
  far.Advance(1000);
  EXPECT_TRUE(far == b.end());
  BlockList<KUID, 128> c;
  c = a;
  c.Erase(c.begin());
  EXPECT_EQ(a.Size(), 300u);  // the copy is independent
  EXPECT_EQ(*c.begin(), KUID(1, 2, 1));
}
