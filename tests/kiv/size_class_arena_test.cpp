#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "kiv/Memory.h"

using Kiv::SizeClassArena;

namespace {

struct Held {
  unsigned char* block;
  size_t size;
  unsigned char mark;
};

void Fill(const Held& h) { std::memset(h.block, h.mark, h.size); }

bool Intact(const Held& h) {
  for (size_t i = 0; i < h.size; ++i)
    if (h.block[i] != h.mark) return false;
  return true;
}

// Blocks of every size, each filled to its last byte: a block cut or reused
// into another's room, or a piece given back with blocks still held, shows
// as a changed byte (or, under the address sanitizer, as a use after free).
void CheckAll(const std::vector<Held>& held) {
  std::vector<std::pair<uintptr_t, size_t>> spans;
  for (const Held& h : held) {
    ASSERT_EQ(reinterpret_cast<uintptr_t>(h.block) % 16, 0u) << h.size;
    ASSERT_TRUE(Intact(h)) << "block of " << h.size << " bytes changed";
    spans.emplace_back(reinterpret_cast<uintptr_t>(h.block), h.size);
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i)
    ASSERT_LE(spans[i - 1].first + spans[i - 1].second, spans[i].first) << "blocks overlap";
}

}  // namespace

TEST(SizeClassArena, BlocksOfEverySizeKeepTheirBytesThroughShuffledFreesAndReuse) {
  SizeClassArena arena;
  std::mt19937 rng(7);
  std::vector<Held> held;
  unsigned char mark = 0;
  auto take = [&](size_t size) {
    Held h{static_cast<unsigned char*>(arena.Allocate(size)), size, ++mark};
    Fill(h);
    held.push_back(h);
  };
  // Each size at least twice, the ends of each class among them, then many
  // of random sizes: several pieces per class.
  for (size_t size = 1; size <= SizeClassArena::kLargest; ++size) {
    take(size);
    take(size);
  }
  for (int i = 0; i < 40000; ++i) take(1 + rng() % SizeClassArena::kLargest);
  CheckAll(held);

  for (int round = 0; round < 3; ++round) {
    std::shuffle(held.begin(), held.end(), rng);
    const size_t keep = held.size() / 3;
    for (size_t i = keep; i < held.size(); ++i) arena.Free(held[i].block);
    held.resize(keep);
    CheckAll(held);
    const size_t pieces = arena.PieceCount();
    // The freed room is used again before any new piece is taken.
    for (int i = 0; i < 20000; ++i) take(1 + rng() % SizeClassArena::kLargest);
    EXPECT_LE(arena.PieceCount(), pieces) << round;
    CheckAll(held);
  }
  // The arena's destructor returns the pieces whose blocks are still held.
}

// A block takes its size rounded up to the class, 16 bytes a step: one byte
// more than a class holds goes to the next. Filled to the last byte, blocks
// of the wrong class would overwrite their neighbours.
TEST(SizeClassArena, SizesAtTheEdgesOfTheClassesGetRoomForEveryByte) {
  SizeClassArena arena;
  std::vector<Held> held;
  unsigned char mark = 0;
  for (int i = 0; i < 600; ++i) {
    for (size_t size : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17), size_t(31), size_t(32),
                        size_t(33), size_t(240), size_t(241), size_t(255), SizeClassArena::kLargest}) {
      Held h{static_cast<unsigned char*>(arena.Allocate(size)), size, ++mark};
      Fill(h);
      held.push_back(h);
    }
  }
  CheckAll(held);
  EXPECT_THROW(arena.Allocate(SizeClassArena::kLargest + 1), std::bad_alloc);
  for (const Held& h : held) arena.Free(h.block);
}

// A process that takes and frees blocks over a long time keeps no more than
// its peak: freed blocks are used again, and pieces left empty go back but
// for a few kept for the next round.
TEST(SizeClassArena, EmptyPiecesGoBackAndRoundsStayWithinThePeak) {
  SizeClassArena arena;
  std::mt19937 rng(11);
  std::vector<void*> blocks;
  for (int i = 0; i < 100000; ++i) blocks.push_back(arena.Allocate(16));
  const size_t peak = arena.PieceCount();
  EXPECT_GE(peak, 100000 * 16 / SizeClassArena::kPieceBytes);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  for (void* b : blocks) arena.Free(b);
  blocks.clear();
  EXPECT_LE(arena.PieceCount(), 5u);  // the last of its class and four kept back

  // Rounds of many sizes that end with everything freed, in shuffled order:
  // each round's pieces stay within the first round's.
  size_t firstRound = 0;
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 30000; ++i) blocks.push_back(arena.Allocate(1 + rng() % SizeClassArena::kLargest));
    if (round == 0) firstRound = arena.PieceCount();
    EXPECT_LE(arena.PieceCount(), firstRound + 5) << round;
    std::shuffle(blocks.begin(), blocks.end(), rng);
    for (void* b : blocks) arena.Free(b);
    blocks.clear();
    EXPECT_LE(arena.PieceCount(), SizeClassArena::kLargest / SizeClassArena::kStep + 4) << round;
  }
}
