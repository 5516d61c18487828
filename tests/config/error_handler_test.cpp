#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "kiv/TempFolder.h"

using OBLLib::Container;
using OBLLib::ErrorHandler;
using OBLLib::Tag;

namespace {

class ErrorHandlerTest : public ::testing::Test {
protected:
  void SetUp() override { EXPECT_TRUE(ErrorHandler::Create()); }
  void TearDown() override { ErrorHandler::Destroy(); }
};

TEST_F(ErrorHandlerTest, RepeatsAreRefusedPerOwnerAndForm) {
  ErrorHandler& h = *ErrorHandler::Instance();
  Container a, b;
  Tag t;
  const Kiv::PString text("same text");
  EXPECT_TRUE(h.Error(text, &a));
  EXPECT_FALSE(h.Warning(text, &a));  // any severity counts as a repeat
  EXPECT_TRUE(h.Error(text, &b));
  EXPECT_TRUE(h.Error(text, &t));
  EXPECT_FALSE(h.Message(text, &t));
  EXPECT_EQ(h.GetEntries().size(), 3u);
  // An unattributed report is refused when any entry holds the text...
  EXPECT_FALSE(h.Error(text));
  EXPECT_FALSE(h.IsNotReported(text));
  // ...while an attributed one is refused only for its own owner.
  const Kiv::PString other("other text");
  EXPECT_TRUE(h.Warning(other));
  EXPECT_FALSE(h.Warning(other));
  EXPECT_TRUE(h.Warning(other, &a));
  EXPECT_EQ(h.GetEntries().back().severity, ErrorHandler::kWarning);
  EXPECT_EQ(h.GetEntries().back().container, a.Id());

  h.Clear();
  EXPECT_TRUE(h.GetEntries().empty());
  EXPECT_TRUE(h.IsNotReported(text));
  EXPECT_TRUE(h.Error(text, &a));

  // A null owner is compared in the field its form names: an entry of a
  // container does not stop the tag form with no tag, and the other way round.
  h.Clear();
  EXPECT_TRUE(h.Error(text, &a));
  EXPECT_TRUE(h.Error(text, static_cast<const Container*>(nullptr)));
  EXPECT_FALSE(h.Error(text, static_cast<const Container*>(nullptr)));
  h.Clear();
  EXPECT_TRUE(h.Error(text, &t));
  EXPECT_TRUE(h.Error(text, static_cast<const Tag*>(nullptr)));
  EXPECT_FALSE(h.Warning(text, static_cast<const Tag*>(nullptr)));
}

TEST_F(ErrorHandlerTest, DestroyedOwnerTakesOnlyItsFirstEntry) {
  ErrorHandler& h = *ErrorHandler::Instance();
  const Kiv::PString first("first"), second("second"), kept("kept");
  Container c;
  h.Error(kept, &c);
  auto tag = std::make_unique<Tag>();
  const uint64_t oldId = tag->Id();
  h.Error(first, tag.get());
  h.Warning(second, tag.get());
  tag.reset();
  ASSERT_EQ(h.GetEntries().size(), 2u);
  EXPECT_EQ(h.GetEntries().back().text, second);
  EXPECT_EQ(h.GetEntries().back().tag, oldId);

  // A new tag is a new owner, even where the allocator reuses the address:
  // the left-over entry must not swallow its findings.
  for (int i = 0; i < 8; ++i) {
    auto fresh = std::make_unique<Tag>();
    EXPECT_NE(fresh->Id(), oldId);
    EXPECT_TRUE(h.Warning(second, fresh.get()));
  }
  h.ForgetContainer(&c);
  for (const auto& e : h.GetEntries()) EXPECT_NE(e.text, kept);
}

// Thousands of owners, each with a finding or two, dropped out of order:
// every owner still finds its own entries and repeats, whatever the others did.
TEST_F(ErrorHandlerTest, ManyOwnersDroppedInAnyOrderKeepTheirOwnEntries) {
  ErrorHandler& h = *ErrorHandler::Instance();
  const Kiv::PString shared("shared"), own("own");
  std::vector<std::unique_ptr<Tag>> tags(3000);
  for (size_t i = 0; i < tags.size(); ++i) {
    tags[i] = std::make_unique<Tag>();
    ASSERT_TRUE(h.Error(shared, tags[i].get()));
    if (i % 3 == 0) {
      ASSERT_TRUE(h.Warning(own, tags[i].get()));
    }
  }
  // Every seventh tag, in a scattered order, goes away with its first entry.
  for (size_t k = 0; k < tags.size(); ++k) {
    const size_t i = k * 1237 % tags.size();
    if (i % 7 == 0) tags[i].reset();
  }
  size_t sharedLeft = 0, ownLeft = 0;
  for (const ErrorHandler::Entry& e : h.GetEntries()) (e.text == shared ? sharedLeft : ownLeft)++;
  EXPECT_EQ(sharedLeft, 3000u - 429u);  // 429 multiples of 7 below 3000
  EXPECT_EQ(ownLeft, 1000u);            // the multiples of 21 keep their second entry
  for (size_t i = 0; i < tags.size(); ++i) {
    if (!tags[i]) continue;
    EXPECT_FALSE(h.Error(shared, tags[i].get()));
    EXPECT_EQ(h.Warning(own, tags[i].get()), i % 3 != 0);
  }
  tags.clear();
  EXPECT_TRUE(h.IsNotReported(shared));
  // Only a tag's first entry goes with it: each "own" entry outlives its tag
  // (1000 made at first, 1714 for the tags left that had none).
  EXPECT_FALSE(h.IsNotReported(own));
  EXPECT_EQ(h.GetEntries().size(), 2714u);
}

TEST_F(ErrorHandlerTest, EchoIsOffUnlessSwitchedOn) {
  ErrorHandler& h = *ErrorHandler::Instance();
  ::testing::internal::CaptureStdout();
  h.Error(Kiv::PString("quiet finding"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  h.SetEcho(true);
  ::testing::internal::CaptureStdout();
  h.Error(Kiv::PString("loud finding"));
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("loud finding\n"), std::string::npos);
  EXPECT_EQ(h.GetEntries().back().text, Kiv::PString("loud finding"));  // the entry keeps the bare text
}

TEST_F(ErrorHandlerTest, SetEntriesCopiesAndKeepsRepeatTest) {
  ErrorHandler& h = *ErrorHandler::Instance();
  Container c;
  h.Error(Kiv::PString("a"), &c);
  ErrorHandler::EntryList saved = h.GetEntries();
  h.Clear();
  h.SetEntries(saved);
  EXPECT_EQ(h.GetEntries().size(), 1u);
  EXPECT_FALSE(h.Error(Kiv::PString("a"), &c));
  h.ForgetContainer(&c);
  EXPECT_TRUE(h.GetEntries().empty());
  EXPECT_EQ(saved.size(), 1u);
}

// Deleted owners skip the look-up unless reported against; entries put back
// by SetEntries name owners that never were, and still go with them.
TEST_F(ErrorHandlerTest, RestoredEntriesGoWithTheirUnmarkedOwners) {
  ErrorHandler& h = *ErrorHandler::Instance();
  auto tag = std::make_unique<Tag>();
  auto container = std::make_unique<Container>();
  Tag quiet;
  ErrorHandler::EntryList restored;
  restored.push_back({0, tag->Id(), Kiv::PString("restored"), ErrorHandler::kError});
  restored.push_back({container->Id(), 0, Kiv::PString("restored too"), ErrorHandler::kWarning});
  h.SetEntries(restored);
  EXPECT_FALSE(tag->reported || container->reported || quiet.reported);
  tag.reset();
  container.reset();
  EXPECT_TRUE(h.GetEntries().empty());

  h.Clear();
  EXPECT_FALSE(h.HoldsUnmarkedOwners());
  EXPECT_TRUE(h.Error(Kiv::PString("marked"), &quiet));
  EXPECT_TRUE(quiet.reported);
}

// A tree deleted whole takes its tags' findings back in one batch: each
// reported tag's first entry goes, as when the tags go one by one, whether
// the tag's own word held its id or its registry place, and restored entries
// of tags never reported against go with them too.
TEST(ErrorHandlerBatch, ATreeDeletedWholeTakesBackEachTagsFirstEntry) {
  Kiv::TempFolder temp{"eh-batch"};
  ASSERT_FALSE(temp.Root().empty());
  EXPECT_TRUE(ErrorHandler::Create());
  EXPECT_TRUE(OBLLib::DataManager::Create((temp.Root() + "/").c_str()));
  ErrorHandler& h = *ErrorHandler::Instance();
  OBLLib::DataManager& dm = *OBLLib::DataManager::Instance();
  const Kiv::PString first("first"), second("second"), own("own"), restored("restored"), key("batch-key");
  auto keep = std::make_unique<Container>();
  Tag* kept = keep->MakeTag(0, keep.get(), Kiv::PString("kept"));
  keep->AddTag(kept);
  dm.RegisterTagBySource(key, kept);
  h.Error(first, kept);

  auto named = [](char prefix, int i) {
    std::string name = std::to_string(i);
    name.insert(name.begin(), prefix);
    return Kiv::PString(name);
  };
  auto root = std::make_unique<Container>();
  std::vector<uint64_t> quietIds;
  size_t seconds = 0;
  for (int i = 0; i < 300; ++i) {
    Tag* tag = root->MakeTag(i, root.get(), named('t', i));
    root->AddTag(tag);
    const bool filed = i % 5 == 0, filedFirst = i % 2 == 0;
    if (filed && filedFirst) dm.RegisterTagBySource(key, tag);  // its word: the place; the id beside
    if (i % 3 == 0) {
      EXPECT_TRUE(h.Error(first, tag));
      if (i % 9 == 0) {
        EXPECT_TRUE(h.Warning(second, tag));
        ++seconds;
      }
    } else if (i % 7 == 0) {
      quietIds.push_back(tag->Id());  // an id, no finding of its own
    }
    if (filed && !filedFirst) dm.RegisterTagBySource(key, tag);  // its word: the id, if reported
  }
  Container* child = new Container();
  child->parent = root.get();
  root->AddChild(child);
  for (int i = 0; i < 40; ++i) {
    Tag* tag = child->MakeTag(i, child, named('c', i));
    child->AddTag(tag);
    if (i % 2 == 0) {
      EXPECT_TRUE(h.Error(first, tag));
    }
  }
  EXPECT_TRUE(h.Error(own, root.get()));
  ErrorHandler::EntryList entries = h.GetEntries();
  for (uint64_t id : quietIds) entries.push_back({0, id, restored, ErrorHandler::kMessage});
  h.SetEntries(entries);
  ASSERT_EQ(dm.TagsBySource(key)->Size(), 61u);

  root.reset();
  // Left: the kept tag's entry and the second entries of the tree's tags.
  ASSERT_EQ(h.GetEntries().size(), 1 + seconds);
  EXPECT_EQ(h.GetEntries().front().tag, kept->Id());
  for (const ErrorHandler::Entry& e : h.GetEntries()) {
    if (e.tag != kept->Id()) {
      EXPECT_EQ(e.text, second);
    }
  }
  EXPECT_TRUE(h.IsNotReported(restored));
  EXPECT_TRUE(h.IsNotReported(own));
  EXPECT_EQ(dm.TagsBySource(key)->Size(), 1u);  // the tree's tags left the registry
  EXPECT_FALSE(h.Error(first, kept));           // the kept tag still finds its own
  keep.reset();
  EXPECT_EQ(h.GetEntries().size(), seconds);
  EXPECT_EQ(dm.TagsBySource(key)->Size(), 0u);
  OBLLib::DataManager::Destroy();
  ErrorHandler::Destroy();
}

TEST(ErrorHandlerLifetime, TreesOutliveTheHandler) {
  ASSERT_TRUE(ErrorHandler::Create());
  ErrorHandler::Instance()->Error(Kiv::PString("x"));
  ErrorHandler::Destroy();
  EXPECT_EQ(ErrorHandler::Instance(), nullptr);
  { Container c; }
}

}  // namespace
