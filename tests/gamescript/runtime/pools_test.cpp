#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "gamescript/runtime/HashNode.h"
#include "gamescript/runtime/Memory.h"
#include "gamescript/runtime/Queue.h"
#include "gamescript/runtime/StringPool.h"

using namespace Utils;

TEST(ByteBuffer, WritesLittleEndianAndReadsBack) {
  ByteBuffer b;
  ASSERT_TRUE(b.Init(8));
  EXPECT_EQ(b.Flags(), 0u);
  for (uint32_t i = 0; i < 1000; ++i) b.WriteU32(i * 0x01010101u);
  EXPECT_EQ(b.Length(), 4000u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.Data()) % 4, 0u);
  EXPECT_EQ(b.Data()[4], 1);
  EXPECT_EQ(b.Data()[7], 1);
  b.SetPosition(0);
  uint32_t v = 0;
  for (uint32_t i = 0; i < 1000; ++i) {
    b.ReadU32(v);
    ASSERT_EQ(v, i * 0x01010101u);
  }
  EXPECT_EQ(b.Flags(), 0u);
}

TEST(ByteBuffer, ReadPastTheEndSetsBitOneAndKeepsTheValue) {
  ByteBuffer b;
  ASSERT_TRUE(b.Init(16));
  b.WriteU32(7);
  b.Ensure(6);  // used length 6: a second word would cross the end
  b.SetPosition(0);
  uint32_t v = 0;
  b.ReadU32(v);
  EXPECT_EQ(v, 7u);
  v = 0xDEADBEEF;
  b.ReadU32(v);
  EXPECT_EQ(v, 0xDEADBEEFu);
  EXPECT_EQ(b.Flags(), ByteBuffer::kReadOverrun);
  EXPECT_EQ(b.Position(), 4u);
}

TEST(ByteBuffer, WithoutStorageWritesAreSkipped) {
  ByteBuffer b;  // never initialised
  b.WriteU32(1);
  EXPECT_EQ(b.Length(), 0u);
  EXPECT_TRUE(b.Flags() & ByteBuffer::kNoStorage);
  ASSERT_TRUE(b.Init(4));
  b.WriteU32(5);
  b.Reset();
  EXPECT_EQ(b.Length(), 0u);
  EXPECT_EQ(b.Capacity(), 4u);
}

TEST(FrameMemory, AllocatesAlignedAndStartsTheNextBlockWhenFull) {
  FrameMemory m;
  EXPECT_EQ(m.BlockSize(), 2048u);
  EXPECT_EQ(m.Alloc(2049, 1), nullptr);
  EXPECT_EQ(m.Alloc(2046, 4), nullptr);  // size + alignment - 1 exceeds the block
  auto* a = static_cast<char*>(m.Alloc(2000, 1));
  ASSERT_NE(a, nullptr);
  auto* b = static_cast<char*>(m.Alloc(100, 8));  // does not fit: next block
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 8, 0u);
  EXPECT_TRUE(b < a || b >= a + 2048);
  EXPECT_EQ(m.TotalBytes(), 2000u + 107u);
  EXPECT_EQ(m.AllocCount(), 2u);
  std::memset(a, 1, 2000);
  std::memset(b, 2, 100);
  EXPECT_EQ(a[1999], 1);
}

TEST(FrameMemory, StrDupCopiesAnyLengthAndFreeAllZeroes) {
  FrameMemory m;
  EXPECT_EQ(m.StrDup(nullptr), nullptr);
  char* s = m.StrDup("hello");
  EXPECT_STREQ(s, "hello");
  std::string big(5000, 'x');
  char* copy = m.StrDup(big.c_str());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::string(copy), big);
  char* after = m.StrDup("after");  // small texts still go to the ordinary blocks
  EXPECT_STREQ(after, "after");
  EXPECT_STREQ(s, "hello");
  m.FreeAll();
  EXPECT_EQ(m.BlockSize(), 0u);
  EXPECT_EQ(m.Alloc(1, 1), nullptr);
  ASSERT_TRUE(m.Init(256));
  EXPECT_EQ(m.Alloc(300, 1), nullptr);
  EXPECT_NE(m.Alloc(200, 1), nullptr);
}

// A pool of many blocks (past the size where blocks come from huge pages):
// every allocation keeps its own bytes, blocks never overlap, and oversized
// texts in between do not disturb the chain. Runs twice over one pool to
// check that FreeAll and Init start clean.
TEST(FrameMemory, ManyBlocksKeepTheirBytesAcrossFreeAllAndInit) {
  FrameMemory m;
  for (int round = 0; round < 2; ++round) {
    std::vector<std::pair<unsigned char*, std::size_t>> got;
    std::size_t expectTotal = 0;
    for (std::size_t i = 0; i < 6000; ++i) {
      const std::size_t size = 700 + (i * 37) % 1300;  // at most two per block
      auto* p = static_cast<unsigned char*>(m.Alloc(size, 8));
      ASSERT_NE(p, nullptr) << i;
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0u);
      std::memset(p, static_cast<int>(i & 0xFF), size);
      got.emplace_back(p, size);
      expectTotal += size + 7;
      if (i % 1000 == 500) {
        const std::string big(3000 + i, static_cast<char>('a' + round));
        char* copy = m.StrDup(big.c_str());
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(std::string(copy), big);
        expectTotal += big.size() + 1;
      }
    }
    EXPECT_EQ(m.TotalBytes(), expectTotal);
    for (std::size_t i = 0; i < got.size(); ++i) {
      const auto [p, size] = got[i];
      ASSERT_EQ(p[0], i & 0xFF) << i;
      ASSERT_EQ(p[size - 1], i & 0xFF) << i;
    }
    m.FreeAll();
    EXPECT_EQ(m.TotalBytes(), 0u);
    ASSERT_TRUE(m.Init(FrameMemory::kDefaultBlockSize));
  }
}

// A rewound pool gives its blocks out again: refilling it as before takes
// nothing more from the system, the first allocation lands where the first
// one did, and an oversized text's own block is returned at once.
TEST(FrameMemory, RewindReusesBlocksAndCountsWhatIsHeld) {
  FrameMemory m;
  std::size_t held = 0;
  void* first = nullptr;
  for (int round = 0; round < 3; ++round) {
    void* p = m.Alloc(100, 8);
    if (round == 0) first = p;
    EXPECT_EQ(p, first) << round;
    for (int i = 0; i < 500; ++i) ASSERT_NE(m.Alloc(900, 8), nullptr);
    const std::size_t before = m.HeldBytes();
    const std::string big(10000, 'b');
    ASSERT_NE(m.StrDup(big.c_str()), nullptr);
    EXPECT_GT(m.HeldBytes(), before + big.size());
    if (round == 0) held = m.HeldBytes();
    EXPECT_EQ(m.HeldBytes(), held) << round;
    EXPECT_EQ(m.PeakHeldBytes(), held) << round;
    m.Rewind();
    EXPECT_EQ(m.TotalBytes(), 0u);
    EXPECT_EQ(m.HeldBytes(), before) << round;
  }
  // Past what the blocks held, the pool grows again; FreeAll forgets the peak.
  for (int i = 0; i < 1500; ++i) ASSERT_NE(m.Alloc(900, 8), nullptr);
  EXPECT_GT(m.PeakHeldBytes(), held);
  m.FreeAll();
  EXPECT_EQ(m.HeldBytes(), 0u);
  EXPECT_EQ(m.PeakHeldBytes(), 0u);
}

TEST(BlockMemory, AllocatesDistinctElementsAndRefusesBadFrees) {
  BlockMemory m;
  ASSERT_TRUE(m.Init(10, 6, 0));
  EXPECT_EQ(m.ElementsPerBlock(), 32u);
  EXPECT_EQ(m.ElementSize(), 8u);
  std::vector<void*> got;
  std::set<void*> unique;
  for (int i = 0; i < 100; ++i) {
    void* p = m.Alloc();
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, 8);
    got.push_back(p);
    unique.insert(p);
  }
  EXPECT_EQ(unique.size(), 100u);
  EXPECT_EQ(m.InUse(), 100u);
  EXPECT_EQ(m.BlockCount(), 4u);

  int outside = 0;
  EXPECT_FALSE(m.Free(&outside));
  EXPECT_FALSE(m.Free(static_cast<char*>(got[3]) + 2));  // inside an element
  EXPECT_TRUE(m.Free(got[3]));
  EXPECT_FALSE(m.Free(got[3]));  // already free
  EXPECT_EQ(m.InUse(), 99u);
  // The current block still has room: no new block, and no live element reused.
  void* again = m.Alloc();
  EXPECT_EQ(m.BlockCount(), 4u);
  for (int i = 0; i < 100; ++i) {
    if (i != 3) {
      EXPECT_NE(again, got[i]);
    }
  }
  // Fill every free slot: the freed element is among them, still no new block.
  std::set<void*> refill;
  for (int i = 0; i < 28; ++i) refill.insert(m.Alloc());
  refill.insert(again);
  EXPECT_EQ(m.BlockCount(), 4u);
  EXPECT_TRUE(refill.count(got[3]));
}

// Elements come from the last bitmap word first and, within a word, lowest
// element first; a freed element is the next one taken from its word.
TEST(BlockMemory, TakesTheLastWordFirstAndItsLowestElement) {
  BlockMemory m;
  ASSERT_TRUE(m.Init(64, 4, 100));
  std::vector<char*> got;
  for (int i = 0; i < 64; ++i) got.push_back(static_cast<char*>(m.Alloc()));
  EXPECT_EQ(m.BlockCount(), 1u);
  for (int i = 1; i < 32; ++i) ASSERT_EQ(got[i], got[0] + 4 * i);
  EXPECT_EQ(got[32], got[0] - 32 * 4);  // then word 0, element 0
  for (int i = 33; i < 64; ++i) ASSERT_EQ(got[i], got[32] + 4 * (i - 32));
  ASSERT_TRUE(m.Free(got[40]));
  ASSERT_TRUE(m.Free(got[35]));
  // The block with room is used again (no second block); word 0 holds both
  // free elements and the lower one is taken first.
  EXPECT_EQ(m.Alloc(), got[35]);
  EXPECT_EQ(m.Alloc(), got[40]);
  EXPECT_EQ(m.BlockCount(), 1u);
}

TEST(BlockMemory, EmptyBlockIsFreedPastTheSpareThreshold) {
  BlockMemory m;
  ASSERT_TRUE(m.Init(32, 4, 0));
  std::vector<void*> got;
  for (int i = 0; i < 64; ++i) got.push_back(m.Alloc());
  ASSERT_EQ(m.BlockCount(), 2u);
  // Empty whichever block holds the first element.
  for (int i = 0; i < 64; ++i) {
    if (i % 2 == 0) continue;
    ASSERT_TRUE(m.Free(got[i]));
  }
  EXPECT_EQ(m.BlockCount(), 2u);
  for (int i = 0; i < 64; i += 2) ASSERT_TRUE(m.Free(got[i]));
  // Both became empty in turn; with threshold 0 the first empty one went.
  EXPECT_EQ(m.BlockCount(), 1u);
  EXPECT_EQ(m.InUse(), 0u);
  m.Reset();
  EXPECT_EQ(m.BlockCount(), 1u);
  EXPECT_NE(m.Alloc(), nullptr);
  m.Clear();
  EXPECT_EQ(m.BlockCount(), 0u);
}

namespace {

struct Num : IHashNode {
  explicit Num(int v, int tag = 0) : value(v), tag(tag) {}
  int value;
  int tag;
  uint32_t Hash() const override { return uint32_t(value % 3); }
  int Compare(const IHashNode& other) const override {
    int o = static_cast<const Num&>(other).value;
    return value < o ? -1 : value > o ? 1 : 0;
  }
};

}  // namespace

TEST(HashTables, NodeTableKeepsChainsSortedAndRefusesDuplicates) {
  IHashNodeTable t;
  ASSERT_TRUE(t.Init(3));
  std::vector<Num> nums = {Num(9), Num(3), Num(6), Num(1), Num(4)};
  for (Num& n : nums) EXPECT_TRUE(t.Insert(&n));
  Num dup(6, 99);
  EXPECT_FALSE(t.Insert(&dup));
  EXPECT_EQ(t.Count(), 5u);
  auto it = t.Find(Num(6));
  ASSERT_TRUE(it);
  EXPECT_EQ(static_cast<Num*>(*it)->tag, 0);
  EXPECT_FALSE(t.Find(Num(7)));

  std::vector<int> order;
  for (auto i = t.Begin(); i; t.Advance(i)) order.push_back(static_cast<Num*>(*i)->value);
  EXPECT_EQ(order, (std::vector<int>{3, 6, 9, 1, 4}));

  auto e = t.Find(Num(3));
  EXPECT_EQ(static_cast<Num*>(t.Erase(e))->value, 3);
  EXPECT_FALSE(t.Find(Num(3)));
  EXPECT_EQ(t.Count(), 4u);
  t.Clear();
  EXPECT_FALSE(t.Begin());
}

TEST(HashTables, StringHashTakesBytesAsSigned) {
  EXPECT_EQ(StringHash(""), 0u);
  EXPECT_EQ(StringHash("a"), 97u);
  EXPECT_EQ(StringHash("ab"), 97u * 3 + 98);
  EXPECT_EQ(StringHash("\x80"), 0xFFFFFF80u);
  EXPECT_EQ(StringHash("a\xff"), 97u * 3 - 1);
}

TEST(HashTables, KeyedTablesRefuseDuplicatesAndKeepTheFirst) {
  StringKeyTable<int> s(7);
  EXPECT_TRUE(s.Insert("alpha", 1));
  EXPECT_TRUE(s.Insert("beta", 2));
  EXPECT_FALSE(s.Insert("alpha", 3));
  ASSERT_NE(s.Find("alpha"), nullptr);
  EXPECT_EQ(s.Find("alpha")->value, 1);
  EXPECT_EQ(s.Find("gamma"), nullptr);
  EXPECT_EQ(s.Count(), 2u);
  int released = 0;
  s.Clear([&](int& v) { released += v; });
  EXPECT_EQ(released, 3);
  EXPECT_EQ(s.Find("beta"), nullptr);

  IdKeyTable<std::string> ids(5);
  EXPECT_TRUE(ids.Insert(10, 1, "a"));
  EXPECT_TRUE(ids.Insert(10, 2, "b"));  // same bucket, ordered by the high word
  EXPECT_TRUE(ids.Insert(15, 1, "c"));
  EXPECT_FALSE(ids.Insert(10, 2, "d"));
  EXPECT_EQ(ids.Find(10, 2)->value, "b");
  EXPECT_EQ(ids.Find(15, 1)->value, "c");
  EXPECT_EQ(ids.Find(15, 2), nullptr);
}

TEST(TextHelpers, FileNamePart) {
  EXPECT_EQ(FileNamePart("c:\\scripts\\a.gs"), "a.gs");
  EXPECT_EQ(FileNamePart("dir/sub/b.gs"), "b.gs");
  EXPECT_EQ(FileNamePart("c:x.gs"), "x.gs");
  EXPECT_EQ(FileNamePart("plain"), "plain");
  EXPECT_EQ(FileNamePart("dir/"), "");
}

TEST(TextHelpers, UnquoteLiteral) {
  EXPECT_EQ(UnquoteLiteral("\"abc\"", true), "abc");
  EXPECT_EQ(UnquoteLiteral("L\"abc\"", true), "abc");
  EXPECT_EQ(UnquoteLiteral("'x'", true), "x");
  EXPECT_EQ(UnquoteLiteral("abc", true), "");
  EXPECT_EQ(UnquoteLiteral("", true), "");
  EXPECT_EQ(UnquoteLiteral("\"a\\n\\t\\v\\r\\f\\b\\a\\\\\\'\\\"\"", true), "a\n\t\v\r\f\b\a\\'\"");
  EXPECT_EQ(UnquoteLiteral("\"\\q\"", true), "q");
  EXPECT_EQ(UnquoteLiteral("\"a\\0b\"", true), std::string("a\0b", 3));
  EXPECT_EQ(UnquoteLiteral("\"ab\\", true), "ab");  // a backslash at the very end ends the text
  EXPECT_EQ(UnquoteLiteral("\"a\\nb\"", false), "a\\nb");
  // Long literals are taken whole.
  std::string body(5000, 'z');
  EXPECT_EQ(UnquoteLiteral("\"" + body + "\"", true), body);
}

TEST(QueueRing, GrowsBy128AndKeepsArrivalOrder) {
  Queue<int> q;
  EXPECT_EQ(q.Capacity(), 0u);
  // Set-up; the checks below show a failure.
  for (int i = 0; i < 100; ++i) (void)q.Push(i);
  int v = -1;
  // Set-up; the checks below show a failure.
  for (int i = 0; i < 60; ++i) (void)q.Pop(v);
  EXPECT_EQ(v, 59);
  // Set-up; the checks below show a failure.
  for (int i = 100; i < 300; ++i) (void)q.Push(i);  // wraps, then grows while wrapped
  EXPECT_EQ(q.Capacity(), 256u);
  EXPECT_EQ(q.Count(), 240u);
  for (std::size_t i = 0; i < q.Count(); ++i) ASSERT_EQ(q.At(i), int(60 + i));
  for (int i = 60; i < 300; ++i) {
    ASSERT_TRUE(q.Pop(v));
    ASSERT_EQ(v, i);
  }
  EXPECT_FALSE(q.Pop(v));
}
