// Tags cut from shared slabs: distinct blocks, freed from any thread, and
// every slab back to the heap, or kept back empty, once its tags are gone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/Container.h"
#include "config/TagSlabs.h"

using namespace OBLLib;

namespace {

TEST(TagSlabsTest, TagsMadeInOneThreadAndFreedInAnotherLeaveNoSlabBehind) {
  const size_t before = TagSlabs::SlabCount();
  std::vector<Tag*> tags;
  std::vector<void*> blocks;
  std::thread maker([&] {
    for (int i = 0; i < 5000; ++i) {
      tags.push_back(new Tag());
      tags.back()->index = i;
      void* block = TagSlabs::Allocate(40 + i % 90);
      std::memset(block, i & 0xFF, 40 + i % 90);
      blocks.push_back(block);
    }
  });
  maker.join();  // the thread's current slab now waits only for its blocks
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto* bytes = static_cast<const unsigned char*>(blocks[i]);
    for (size_t b = 0; b < 40 + i % 90; ++b) ASSERT_EQ(bytes[b], i & 0xFF) << i;  // no block overlaps another
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]) % 8, 0u);
  }
  for (int i = 0; i < 5000; ++i) EXPECT_EQ(tags[i]->index, i);
  for (Tag* tag : tags) delete tag;
  for (void* block : blocks) TagSlabs::Free(block);
  EXPECT_LE(TagSlabs::SlabCount(), before + 1);  // at most the thread's current one
}

// Empty slabs are kept back, boundedly, and a tree built again takes them
// rather than new ones from the heap; their blocks are cut anew.
TEST(TagSlabsTest, EmptySlabsAreKeptBackBoundedlyAndReused) {
  constexpr size_t kBlock = 512, kPerSlab = (size_t(64) << 10) / kBlock;
  auto cut = [](size_t slabs, unsigned char fill) {
    std::vector<void*> blocks;
    for (size_t i = 0; i < slabs * kPerSlab; ++i) {
      blocks.push_back(TagSlabs::Allocate(kBlock));
      std::memset(blocks.back(), fill, kBlock);
    }
    return blocks;
  };
  auto check = [](const std::vector<void*>& blocks, unsigned char fill) {
    for (void* block : blocks)
      for (size_t b = 0; b < kBlock; ++b) ASSERT_EQ(static_cast<unsigned char*>(block)[b], fill);
  };
  const size_t inUse = TagSlabs::SlabCount();
  std::vector<void*> first = cut(20, 1);
  check(first, 1);
  // Under the address sanitizer each block is a heap block of its own.
  if (TagSlabs::SlabCount() == inUse) {
    for (void* block : first) TagSlabs::Free(block);
    GTEST_SKIP() << "no slabs in this build";
  }
  for (void* block : first) TagSlabs::Free(block);
  EXPECT_LE(TagSlabs::SlabCount(), inUse + 1);
  EXPECT_GE(TagSlabs::SpareCount(), 19u);
  const size_t taken = TagSlabs::SlabCount() + TagSlabs::SpareCount();
  std::vector<void*> second = cut(20, 2);
  // None new from the heap but, where the thread's current slab was part cut
  // before, the one more that the blocks then reach into.
  EXPECT_LE(TagSlabs::SlabCount() + TagSlabs::SpareCount(), taken + 1);
  check(second, 2);
  for (void* block : second) TagSlabs::Free(block);
  // A tree far larger than what is kept back returns the rest to the heap.
  std::vector<void*> large = cut(600, 3);
  check(large, 3);
  for (void* block : large) TagSlabs::Free(block);
  EXPECT_LE(TagSlabs::SpareCount() * (size_t(64) << 10), size_t(16) << 20);
  EXPECT_LE(TagSlabs::SlabCount(), inUse + 1);
}

// A tag made and freed by a thread-local object's destructor, after the
// thread's current slab has gone, must not cut from that slab again.
TEST(TagSlabsTest, ATagMadeAtThreadExitTakesASlabOfItsOwn) {
  struct Late {
    ~Late() { delete new Tag(); }
  };
  std::thread thread([] {
    thread_local Late late;  // made first, so it goes last
    (void)late;
    delete new Tag();
  });
  thread.join();
  // Slabs are taken and given back many times over: each tag keeps its own bytes.
  for (int round = 0; round < 4; ++round) {
    std::vector<Tag*> tags;
    for (int i = 0; i < 5000; ++i) {
      tags.push_back(new Tag());
      tags.back()->index = i;
    }
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(tags[i]->index, i);
    for (Tag* tag : tags) delete tag;
  }
}

// Containers share the slabs with tags: a tree of both, built in one thread
// and deleted in another, keeps every object's bytes and leaves no slab.
TEST(TagSlabsTest, ContainersAndTagsOfATreeShareSlabsAndLeaveNoneBehind) {
  const size_t before = TagSlabs::SlabCount();
  const long containersBefore = Container::LiveCount(), tagsBefore = Tag::LiveCount();
  Container* root = nullptr;
  std::thread maker([&] {
    root = new Container();
    for (int i = 0; i < 600; ++i) {
      Container* child = new Container();
      child->index = i;
      child->parent = root;
      root->AddChild(child);
      for (int t = 0; t < 3; ++t) {
        Tag* tag = child->MakeTag(i * 3 + t, child, Kiv::PString());
        tag->value = std::to_string(i * 3 + t);
        child->AddTag(tag);
      }
    }
  });
  maker.join();
  ASSERT_EQ(root->children.size(), 600u);
  for (int i = 0; i < 600; ++i) {
    const Container* child = root->children[i];
    ASSERT_EQ(reinterpret_cast<uintptr_t>(child) % 8, 0u);
    ASSERT_EQ(child->index, i);
    ASSERT_EQ(child->parent, root);
    ASSERT_EQ(child->tags.size(), 3u);
    for (int t = 0; t < 3; ++t) {
      ASSERT_EQ(child->tags[t]->owner, child);
      ASSERT_EQ(child->tags[t]->value.View(), std::to_string(i * 3 + t));
    }
  }
  std::thread([root] { delete root; }).join();
  EXPECT_EQ(Container::LiveCount(), containersBefore);
  EXPECT_EQ(Tag::LiveCount(), tagsBefore);
  EXPECT_LE(TagSlabs::SlabCount(), before + 1);  // at most the thread's current one
}

}  // namespace
