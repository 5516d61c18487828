#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <unordered_set>
#include <vector>

#include "kiv/PString.h"
#include "kiv/Random.h"
#include "kiv/String.h"

using Kiv::PString;

TEST(PString, EqualTextsShareOneHandleAndDifferentTextsDoNot) {
  PString a("tag-name");
  std::string built = std::string("tag-") + "name";
  PString b(built);
  PString c(std::string_view("tag-name2").substr(0, 8));
  EXPECT_EQ(a.Handle(), b.Handle());
  EXPECT_EQ(a, c);
  EXPECT_FALSE(a == PString("Tag-name"));  // case matters
  EXPECT_EQ(std::hash<PString>()(a), std::hash<PString>()(b));
}

// The text lies in the entry's own block: every length keeps all its bytes
// (a NUL inside included) and a terminator for c_str.
TEST(PString, TextsOfEveryLengthKeepTheirBytesAndATerminator) {
  for (size_t length :
       {size_t(1), size_t(7), size_t(8), size_t(9), size_t(15), size_t(16), size_t(100), size_t(5000)}) {
    std::string text(length, 'x');
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
    text[length / 2] = '\0';
    PString p(text);
    EXPECT_EQ(p.View(), text);
    EXPECT_EQ(p.Length(), length);
    EXPECT_EQ(p.c_str()[length], '\0');
    EXPECT_EQ(PString(std::string_view(text)).Handle(), p.Handle());
    EXPECT_FALSE(PString(text.substr(0, length - 1)) == p);
  }
}

TEST(PString, NullIsDistinctFromTheSharedEmptyString) {
  PString null;
  PString fromNullPointer(static_cast<const char*>(nullptr));
  PString empty("");
  EXPECT_TRUE(null.IsNull());
  EXPECT_TRUE(fromNullPointer.IsNull());
  EXPECT_FALSE(empty.IsNull());
  EXPECT_TRUE(null.IsEmpty());
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_FALSE(null == empty);
  EXPECT_EQ(empty, PString::Empty());
  EXPECT_STREQ(null.c_str(), "");
  EXPECT_EQ(null.Length(), 0u);
}

TEST(PString, ReleasingTheLastHolderRemovesTheText) {
  size_t before = PString::InternedCount();
  {
    PString a("only-held-here-7731");
    PString b = a;
    PString c = std::move(b);
    EXPECT_TRUE(b.IsNull());
    EXPECT_EQ(PString::InternedCount(), before + 1);
    a = PString();
    EXPECT_EQ(PString::InternedCount(), before + 1);  // c still holds it
  }
  EXPECT_EQ(PString::InternedCount(), before);
}

// Texts dropped from the middle of the table must leave every other text
// reachable: a lost one would come back as a second handle for its text.
TEST(PString, TextsStayFoundWhileOthersComeAndGo) {
  const size_t before = PString::InternedCount();
  constexpr int kTexts = 5000;
  std::vector<PString> held;
  std::vector<const void*> handles;
  for (int i = 0; i < kTexts; ++i) {
    held.push_back(PString().Setf("come-and-go-%d", i));
    handles.push_back(held.back().Handle());
  }
  EXPECT_EQ(PString::InternedCount(), before + kTexts);
  for (int i = 0; i < kTexts; i += 3) held[(i * 7919) % kTexts] = PString();
  size_t kept = 0;
  for (int i = 0; i < kTexts; ++i) {
    if (held[i].IsNull()) continue;
    ++kept;
    EXPECT_EQ(PString().Setf("come-and-go-%d", i).Handle(), handles[i]) << i;
  }
  EXPECT_EQ(PString::InternedCount(), before + kept);
  held.clear();
  EXPECT_EQ(PString::InternedCount(), before);
}

// Texts whose hashes share their top 20 bits share a home slot. Runs are kept
// in order of home and a look-up stops at the first text that would come after
// its own, so a run left out of order or with a gap loses texts: they would
// come back as second handles. The runs here sit at the table's last slot
// (wrapping round its end) and at its first, where the order is hardest.
std::vector<std::string> TextsThatShareHomes() {
  // Found by trying numbers: "run-end-N" hashes to top bits 0xFFFFF and
  // "run-start-N" to 0 (with the hash the table uses; checked below).
  static const uint32_t kEnd[] = {125547,   417960,   4628415,  4810848,  5568959,  7487744,  11341857,
                                  11586845, 11941235, 12948906, 13168933, 13469270, 13581067, 15453882,
                                  16592111, 17368071, 17584919, 18087926, 18409129, 18526856, 18665007,
                                  19353110, 20767812, 21937147, 23266091, 24012914, 24175439, 24689901};
  static const uint32_t kStart[] = {787236,   1618304,  1752902,  2205046,  2506144,  4685024,  5365956,
                                    6200071,  6428397,  6432116,  7690365,  7878969,  8388310,  11473449,
                                    13670687, 20024457, 20370003, 20636959, 20861561, 21269005, 24679143,
                                    25231328, 29949178, 30024583, 31733700, 34516861, 34690237, 35188163};
  std::vector<std::string> texts;
  for (uint32_t n : kEnd) texts.push_back("run-end-" + std::to_string(n));
  for (uint32_t n : kStart) texts.push_back("run-start-" + std::to_string(n));
  // Texts that share only the top 12 bits, at either end: their homes lie
  // close together, in the same runs.
  for (uint32_t n = 0, found = 0; found < 120; ++n) {
    std::string text = "run-near-" + std::to_string(n);
    const uint64_t top = std::hash<std::string_view>()(text) >> 52;
    if (top == 0xFFF || top == 0) {
      texts.push_back(std::move(text));
      ++found;
    }
  }
  return texts;
}

TEST(PString, TextsThatShareAHomeStayFoundThroughGrowthAndRemovals) {
  const std::vector<std::string> texts = TextsThatShareHomes();
  for (size_t i = 0; i < 56; ++i)
    ASSERT_EQ(std::hash<std::string_view>()(texts[i]) >> 44, i < 28 ? 0xFFFFFu : 0u) << texts[i];
  const size_t before = PString::InternedCount();
  std::vector<PString> held(texts.size());
  std::vector<const void*> handles(texts.size());
  Kiv::Rand rng(35);
  const auto checkAll = [&](const char* when, size_t others = 0) {
    size_t live = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
      if (held[i].IsNull()) continue;
      ++live;
      ASSERT_EQ(PString(texts[i]).Handle(), handles[i]) << when << ": " << texts[i];
    }
    ASSERT_EQ(PString::InternedCount(), before + live + others) << when;
  };
  for (int round = 0; round < 6; ++round) {
    // Put the missing ones back, in a shuffled order.
    for (size_t k = 0; k < texts.size(); ++k) {
      const size_t i = (k * 37 + static_cast<size_t>(round) * 11) % texts.size();
      if (held[i].IsNull()) {
        held[i] = PString(texts[i]);
        handles[i] = held[i].Handle();
      }
    }
    checkAll("all in");
    // Take about a third out, from anywhere in the runs.
    for (size_t i = 0; i < texts.size(); ++i)
      if (rng.Next() % 3 == 0) held[i] = PString();
    checkAll("some out");
    // Grow the table under the runs, then drop the fillers again.
    std::vector<PString> fillers;
    for (int i = 0; i < 6000 * (round + 1); ++i) fillers.push_back(PString().Setf("filler-%d-%d", round, i));
    checkAll("grown", fillers.size());
    fillers.clear();
    checkAll("fillers out");
  }
  held.clear();
  EXPECT_EQ(PString::InternedCount(), before);
}

// Texts of shared homes looked up without the lock while other threads put
// texts into the same runs and take them out (every change moves the slots
// after it): a look-up may miss and ask again under the lock, but never gets
// another text's entry or a second handle.
TEST(PString, LookUpsInRunsThatMoveGetTheirOwnText) {
  const std::vector<std::string> texts = TextsThatShareHomes();
  const size_t before = PString::InternedCount();
  std::vector<PString> held;
  std::vector<const void*> handles;
  for (size_t i = 0; i < texts.size(); i += 2) {  // every other text stays
    held.push_back(PString(texts[i]));
    handles.push_back(held.back().Handle());
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &texts, &handles, &wrong] {
      for (int round = 0; round < 300; ++round) {
        if (t % 2 == 0) {
          // The others: in and out again, moving the held ones.
          std::vector<std::pair<size_t, PString>> passing;
          for (size_t i = 1 + static_cast<size_t>(round % 2) * 2; i < texts.size(); i += 4)
            passing.emplace_back(i, PString(texts[i]));
          for (const auto& [i, p] : passing)
            if (p.View() != texts[i]) wrong.fetch_add(1);
        } else {
          for (size_t i = 0; i < texts.size(); i += 2)
            if (PString(texts[i]).Handle() != handles[i / 2]) wrong.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(PString::InternedCount(), before + held.size());
  held.clear();
  EXPECT_EQ(PString::InternedCount(), before);
}

// Past 2^20 slots several slots share each home the hash bits a slot keeps
// can name, and the table's size is no power of two: texts still come and
// go there.
TEST(PString, ALargeTableKeepsEveryTextFoundThroughGrowthAndRemovals) {
  const size_t before = PString::InternedCount();
  constexpr int kTexts = 800000;  // a table of over 2^20 slots
  std::vector<PString> held;
  held.reserve(kTexts);
  for (int i = 0; i < kTexts; ++i) held.push_back(PString().Setf("large-table-%d", i));
  ASSERT_EQ(PString::InternedCount(), before + kTexts);
  for (int i = 0; i < kTexts; i += 2) held[i] = PString();
  for (int i = 1; i < kTexts; i += 2)
    ASSERT_EQ(PString().Setf("large-table-%d", i).Handle(), held[i].Handle()) << i;
  EXPECT_EQ(PString::InternedCount(), before + kTexts / 2);
  held.clear();
  EXPECT_EQ(PString::InternedCount(), before);
}

TEST(PString, InterningFromManyThreadsGivesOneHandlePerText) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 200;
  std::vector<std::vector<const void*>> seen(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> done{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen, &done] {
      std::vector<PString> held;
      for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < kTexts; ++i) {
          // Create and drop strings too, so entries die and are reborn
          // while other threads intern the same texts.
          PString transient(PString().Setf("text-%d", (i + t + round) % kTexts));
          if (round == 19) held.push_back(PString(PString().Setf("text-%d", i)));
        }
      }
      for (const PString& s : held) seen[t].push_back(s.Handle());
      // Keep the strings alive until every thread recorded its handles.
      done.fetch_add(1);
      while (done.load() < kThreads) std::this_thread::yield();
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  std::set<const void*> distinct(seen[0].begin(), seen[0].end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kTexts));
}

// Texts already interned are found without the table's lock while other
// threads grow the table, take texts out and put them back: every thread must
// still get the held text's one handle, and a text dying as it is looked up
// must come back as one live entry, never as a freed one or as two.
TEST(PString, LookUpsWithoutTheLockHoldThroughGrowthAndRemovals) {
  const size_t before = PString::InternedCount();
  constexpr int kHeld = 300, kThreads = 6, kRounds = 40;
  std::vector<PString> held;
  std::vector<const void*> handles;
  for (int i = 0; i < kHeld; ++i) {
    held.push_back(PString().Setf("held-%d", i));
    handles.push_back(held.back().Handle());
  }
  std::atomic<int> wrongHandles{0}, splitTexts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &handles, &wrongHandles, &splitTexts] {
      for (int round = 0; round < kRounds; ++round) {
        if (t % 3 == 0) {
          // Grows the table past several sizes, then empties it again.
          std::vector<PString> many;
          for (int i = 0; i < 3000; ++i) many.push_back(PString().Setf("grow-%d-%d-%d", t, round, i));
        }
        for (int i = 0; i < kHeld; ++i)
          if (PString().Setf("held-%d", i).Handle() != handles[i]) wrongHandles.fetch_add(1);
        // Texts that every thread makes and drops: they die and come back
        // while the others look them up.
        for (int i = 0; i < 50; ++i) {
          PString a = PString().Setf("shared-dying-%d", i);
          PString b = PString().Setf("shared-dying-%d", i);
          if (a.Handle() != b.Handle() || a.View() != b.View()) splitTexts.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrongHandles.load(), 0);
  EXPECT_EQ(splitTexts.load(), 0);
  EXPECT_EQ(PString::InternedCount(), before + kHeld);
  held.clear();
  EXPECT_EQ(PString::InternedCount(), before);
}

// A pinned text is no longer counted: it stays after its last holder, copies
// on many threads share it, and a second pin changes nothing.
TEST(PString, APinnedTextStaysAndIsSharedWithoutCounting) {
  const size_t before = PString::InternedCount();
  const void* handle = nullptr;
  {
    PString pinned("pinned-text-4471");
    handle = pinned.Handle();
    pinned.Pin();
    pinned.Pin();
    PString().Pin();  // the null string: nothing to keep
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&pinned, handle, &wrong] {
        for (int i = 0; i < 2000; ++i) {
          PString copy = pinned;
          PString again("pinned-text-4471");
          PString moved = std::move(copy);
          moved.AddReferences(3);
          if (again.Handle() != handle || moved.Handle() != handle) wrong.fetch_add(1);
        }
      });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
  }
  EXPECT_EQ(PString::InternedCount(), before + 1);
  EXPECT_EQ(PString("pinned-text-4471").Handle(), handle);
  EXPECT_EQ(PString("pinned-text-4471").View(), "pinned-text-4471");
  EXPECT_EQ(PString::InternedCount(), before + 1);
}

TEST(PString, FormattingCaseChangesAndEditsMakeNewInternedStrings) {
  PString s;
  s.Setf("%s:%d", "kuid", 42);
  EXPECT_EQ(s, PString("kuid:42"));
  PString mixed("MiXed-Ä1");
  EXPECT_EQ(mixed.ToLower(), PString("mixed-Ä1"));  // ASCII only
  EXPECT_EQ(mixed.ToUpper(), PString("MIXED-Ä1"));
  EXPECT_TRUE(PString().ToLower().IsNull());

  PString text("abcabc");
  EXPECT_EQ(text.Find("bc"), 1);
  EXPECT_EQ(text.Find("bc", 2), 4);
  EXPECT_EQ(text.Find("zz"), -1);
  EXPECT_EQ(text.Find("a", 100), -1);
  EXPECT_EQ(text.Find('c', 3), 5);
  EXPECT_EQ(text.Insert(3, "-"), PString("abc-abc"));
  EXPECT_EQ(text.Insert(99, "!"), PString("abcabc!"));
  EXPECT_EQ(text.Delete(1, 2), PString("aabc"));
  EXPECT_EQ(text.Delete(4, 100), PString("abca"));
  EXPECT_EQ(text.Delete(50, 1), text);
  EXPECT_EQ(text, PString("abcabc"));  // the original is unchanged
}

TEST(String, TokenSkipsEmptyPiecesAndSetfCaseWork) {
  Kiv::String s(",a,,b c,");
  auto parts = s.Token(", ");
  EXPECT_EQ(parts, (std::vector<Kiv::String>{"a", "b", "c"}));
  EXPECT_TRUE(Kiv::String(",,,").Token(",").empty());
  EXPECT_EQ(Kiv::String("a,b").Token("").size(), 1u);

  Kiv::AnsiString a;
  a.Setf("%05.1f|%s", 2.5, "Name");
  EXPECT_EQ(a, "002.5|Name");
  a.ToUpper();
  EXPECT_EQ(a, "002.5|NAME");
  EXPECT_EQ(a.Compare("002.5|name", true), 0);
  EXPECT_LT(a.Compare("002.5|name"), 0);
  EXPECT_EQ(Kiv::CompareNoCase("abc", "ABD"), -1);
  EXPECT_EQ(Kiv::CompareNoCase("abc", "AB"), 1);
  // Equal bytes, then bytes equal only once lowered, then the order of the
  // lowered bytes: 'Z' sorts after 'a' though its byte is smaller.
  EXPECT_EQ(Kiv::CompareNoCase("mesh-Table.TXT", "mesh-table.txt"), 0);
  EXPECT_EQ(Kiv::CompareNoCase("body.Zm", "body.am"), 1);
  EXPECT_EQ(Kiv::CompareNoCase("body.a_", "BODY.A["), 1);
  EXPECT_EQ(Kiv::CompareNoCase("body", "body.im"), -1);
}

namespace {

// A text of `length` bytes that names its own length and number, so that no
// two texts of the test are alike and a text that changed shows.
std::string NumberedText(size_t length, size_t number) {
  std::string text = std::to_string(length) + "/" + std::to_string(number) + ":";
  while (text.size() < length) text += static_cast<char>('a' + (text.size() + number) % 26);
  text.resize(length);
  return text;
}

}  // namespace

// Short texts share pieces of the table's arena by size class (an 8-byte
// header, the bytes and a terminator, in steps of 16), long ones have heap
// blocks of their own. Texts of every length up to past the largest class
// come and go in shuffled order and come back: every text held reads back
// whole, terminated and 16-byte aligned, with the handle it had.
TEST(PString, TextsOfEveryLengthComeAndGoAndReadBackWhole) {
  const size_t before = PString::InternedCount();
  std::mt19937 rng(3);
  struct Held {
    PString text;
    std::string expected;
    const void* handle;
  };
  std::vector<Held> held;
  size_t number = 0;
  auto take = [&](size_t length) {
    // Short texts repeat (there are few of a byte or two): they share one entry.
    const std::string expected = NumberedText(length, ++number);
    PString p(expected);
    held.push_back({p, expected, p.Handle()});
  };
  auto check = [&] {
    for (const Held& h : held) {
      ASSERT_EQ(h.text.View(), h.expected);
      ASSERT_EQ(h.text.c_str()[h.expected.size()], '\0');
      ASSERT_EQ(reinterpret_cast<uintptr_t>(h.text.Handle()) % 16, 0u);
      ASSERT_EQ(PString(h.expected).Handle(), h.handle) << h.expected;
    }
  };
  // The edges of the classes: 7 and 8 bytes (16 and 17 with header and
  // terminator), 23 and 24, and the largest class (247) and one over.
  for (int i = 0; i < 50; ++i)
    for (size_t length : {7, 8, 23, 24, 247, 248}) take(length);
  for (size_t length = 1; length <= 300; ++length)
    for (int i = 0; i < 20; ++i) take(length);
  check();
  for (int round = 0; round < 3; ++round) {
    std::shuffle(held.begin(), held.end(), rng);
    held.resize(held.size() / 2);
    for (int i = 0; i < 3000; ++i) take(1 + rng() % 300);
    check();
  }
  std::set<std::string> distinct;
  for (const Held& h : held) distinct.insert(h.expected);
  ASSERT_EQ(PString::InternedCount(), before + distinct.size());
  held.clear();
  EXPECT_EQ(PString::InternedCount(), before);
}

// A process that interns and drops new texts for a long time (a command host
// validating asset after asset) reuses the memory of the texts it dropped.
TEST(PString, DroppedTextsLeaveTheirMemoryToNewOnes) {
  std::set<const void*> places;
  for (int i = 0; i < 20000; ++i) {
    PString p = PString().Setf("dropped-%d", i);
    places.insert(p.Handle());
  }
  EXPECT_LT(places.size(), 2000u);
}

// Threads intern and drop texts of many lengths at once, some their own and
// some shared: the arena's blocks are taken and freed from every thread, and
// no thread may see a text it holds change, or two handles for one text.
TEST(PString, ThreadsInterningAndDroppingTextsOfManyLengthsKeepEveryTextWhole) {
  const size_t before = PString::InternedCount();
  constexpr int kThreads = 6, kRounds = 30;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      std::mt19937 rng(t);
      std::vector<std::pair<PString, std::string>> mine;
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < 300; ++i) {
          const size_t length = 1 + rng() % 280;
          std::string text = NumberedText(length, static_cast<size_t>(t * 1000000 + round * 1000 + i));
          mine.emplace_back(PString(text), text);
          // Shared texts die and come back while other threads use them.
          const std::string shared = NumberedText(8 + i % 40, i % 60);
          PString a(shared), b(shared);
          if (a.Handle() != b.Handle() || a.View() != shared) wrong.fetch_add(1);
        }
        for (const auto& [p, text] : mine)
          if (p.View() != text || p.c_str()[text.size()] != '\0') wrong.fetch_add(1);
        std::shuffle(mine.begin(), mine.end(), rng);
        mine.resize(mine.size() / 3);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(PString::InternedCount(), before);
}
