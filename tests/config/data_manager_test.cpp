#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ConfigFixture.h"
#include "config/PtrList.h"
#include "config/TagNames.h"
#include "umbclient/ContentFolders.h"

using OBLLib::Container;
using OBLLib::DataManager;
using OBLLib::Tag;
namespace tn = OBLLib::tn;

namespace {

class DataManagerTest : public ConfigFixture {};

TEST_F(DataManagerTest, LaterSchemaFileWinsAndReplacedDefinitionsMoveToTheEnd) {
  Write("inheritance.txt", "A { x 1 }\nB { from \"inheritance\" }\n");
  Write("kind.txt", "A { x 2 }\nlooseValue 5\n");
  Write("container.txt", "C { y 3 }\nB { from \"container\" }\n");
  DataManager* dm = Start(false);
  ASSERT_TRUE(dm->LoadSchema());
  const SoupRef& schema = dm->Schema();
  ASSERT_EQ(schema.CountTags(), 3u);  // the loose value is not a definition
  EXPECT_EQ(schema.GetIndexedTagName(0), Kiv::PString("A"));
  EXPECT_EQ(schema.GetIndexedTagName(1), Kiv::PString("C"));
  EXPECT_EQ(schema.GetIndexedTagName(2), Kiv::PString("B"));
  EXPECT_EQ(schema.GetNamedSoup(Kiv::PString("A")).GetNamedTagAsInt(Kiv::PString("x")), 2);
  EXPECT_EQ(schema.GetNamedSoup(Kiv::PString("B")).GetNamedTag(tn::from), Kiv::PString("container"));
}

TEST_F(DataManagerTest, SchemaFailureIsRememberedNotRetried) {
  Write("inheritance.txt", "A { unclosed");
  Write("kind.txt", "");
  DataManager* dm = Start(false);
  EXPECT_FALSE(dm->LoadSchema());
  Write("container.txt", "C { y 3 }\n");
  EXPECT_FALSE(dm->LoadSchema());  // the earlier failure stands
  EXPECT_FALSE(dm->Schema());
}

TEST_F(DataManagerTest, OneBrokenSchemaFileLeavesTheOthers) {
  Write("inheritance.txt", "\x01\x02 { { }");
  Write("container.txt", "C { y 3 }\n");
  DataManager* dm = Start();
  EXPECT_TRUE(dm->Schema().GetNamedSoup(Kiv::PString("C")));
  EXPECT_TRUE(dm->LoadSchema());
}

TEST_F(DataManagerTest, DataFilesAreReadAsWholeKeyValueLines) {
  Write("container.txt", "C { y 3 }\n");
  const std::string longValue(1000, 'v');
  Write("Lists.txt", "three word line\r\nsingle\nblank \n\nkey " + longValue + "\n");
  Write("binary.dat", std::string("ok line\n\0after nul\n", 20));
  std::filesystem::create_directory(m_dir / "sub");
  Write("huge.txt", "");
  std::filesystem::resize_file(m_dir / "huge.txt", 17u << 20);
  DataManager* dm = Start();
  EXPECT_EQ(dm->GetDataFile(Kiv::PString("huge.txt")), nullptr);

  const OBLLib::DataFileList* lists = dm->GetDataFile(Kiv::PString("lists.TXT"));
  ASSERT_NE(lists, nullptr);
  ASSERT_EQ(lists->lines.size(), 5u);
  EXPECT_EQ(lists->lines[0].first, Kiv::PString("three"));
  EXPECT_EQ(lists->lines[0].second, Kiv::PString("word line"));
  EXPECT_EQ(lists->lines[1].first, Kiv::PString("single"));
  EXPECT_TRUE(lists->lines[1].second.IsNull());
  EXPECT_FALSE(lists->lines[2].second.IsNull());
  EXPECT_TRUE(lists->lines[2].second.IsEmpty());
  EXPECT_EQ(lists->lines[4].second.Str(), longValue);
  EXPECT_TRUE(lists->HasKey("SINGLE"));

  const OBLLib::DataFileList* binary = dm->GetDataFile(Kiv::PString("binary.dat"));
  ASSERT_NE(binary, nullptr);
  // A NUL byte ends its line's text; the lines after it are read.
  ASSERT_EQ(binary->lines.size(), 3u);
  EXPECT_EQ(binary->lines[0].second, Kiv::PString("line"));
  EXPECT_TRUE(binary->lines[1].first.IsEmpty());
  EXPECT_EQ(dm->GetDataFile(Kiv::PString("sub")), nullptr);
  EXPECT_NE(dm->GetDataFile(Kiv::PString("container.txt")), nullptr);  // every file is a data file
}

TEST_F(DataManagerTest, PersonalDetailsRoundTripInTagOrder) {
  Write("personalDetails.txt", "license \"CC\"\nauthor \"Ann\"\nisinputboxon 1\n");
  DataManager* dm = Start(false);
  EXPECT_EQ(dm->Personal().author, Kiv::PString("Ann"));
  EXPECT_EQ(dm->Personal().license, Kiv::PString("CC"));
  EXPECT_TRUE(dm->Personal().email.IsEmpty());
  EXPECT_TRUE(dm->Personal().isInputBoxOn);
  dm->Personal().email = Kiv::PString("ann@example.org");
  DataManager::Destroy();

  const std::string text = ReadFile(m_dir / "personalDetails.txt");
  size_t at = 0;
  for (const char* name : {"author", "organisation", "email", "website", "license", "isinputboxon"}) {
    size_t found = text.find(name, at);
    ASSERT_NE(found, std::string::npos) << name << " missing or out of order in:\n" << text;
    at = found;
  }
  SoupRef back = Soup(text);
  EXPECT_EQ(back.GetNamedTag(tn::email), Kiv::PString("ann@example.org"));
  EXPECT_EQ(back.GetNamedTagAsInt(tn::isinputboxon), 1);
}

// Shut-down rewrites the file only when a detail changed: an unchanged file
// keeps its own layout (and costs no write and disk sync at every exit).
TEST_F(DataManagerTest, UnchangedPersonalDetailsAreNotRewritten) {
  const std::string mine = "author   \"Ann\"\n\n";
  Write("personalDetails.txt", mine);
  Start(false);
  DataManager::Destroy();
  EXPECT_EQ(ReadFile(m_dir / "personalDetails.txt"), mine);

  DataManager* dm = Start(false);
  dm->Personal().website = Kiv::PString("example.org");
  DataManager::Destroy();
  EXPECT_NE(ReadFile(m_dir / "personalDetails.txt").find("example.org"), std::string::npos);
}

// A command that never touched the data manager (a script compile) must not
// replace the user's details with empty ones at shut-down.
TEST_F(DataManagerTest, PersonalDetailsNeverReadAreNotOverwritten) {
  const std::string mine = "author \"Ann\"\nemail \"ann@example.org\"\n";
  Write("personalDetails.txt", mine);
  EXPECT_TRUE(DataManager::Create(Root().c_str()));
  DataManager::Destroy();
  EXPECT_EQ(ReadFile(m_dir / "personalDetails.txt"), mine);
}

TEST_F(DataManagerTest, UnreadablePersonalDetailsAreNotOverwritten) {
  const std::string broken = "author { \"never closed\"";
  Write("personalDetails.txt", broken);
  Start(false);
  DataManager::Destroy();
  EXPECT_EQ(ReadFile(m_dir / "personalDetails.txt"), broken);

  // An oversized file is not read, and not replaced either.
  std::filesystem::resize_file(m_dir / "personalDetails.txt", 3u << 20);
  Start(false);
  DataManager::Destroy();
  EXPECT_EQ(std::filesystem::file_size(m_dir / "personalDetails.txt"), 3u << 20);
}

TEST_F(DataManagerTest, MissingRootFolderLeavesAnEmptyRecord) {
  EXPECT_TRUE(DataManager::Create((Root() + "absent/").c_str()));
  DataManager* dm = DataManager::Instance();
  EXPECT_FALSE(dm->EnsureInitialised());
  EXPECT_TRUE(dm->Personal().author.IsEmpty());
  EXPECT_FALSE(dm->LoadSchema());
}

TEST_F(DataManagerTest, TagListsStayConsistentThroughRegisterAndUnregister) {
  DataManager* dm = Start(false);
  std::vector<std::unique_ptr<Tag>> t;
  for (int i = 0; i < 4; ++i) t.push_back(std::make_unique<Tag>());
  dm->RegisterTag(t[0].get());
  dm->RegisterTag(t[1].get());
  dm->RegisterTag(t[0].get());  // already there: unchanged
  dm->RegisterTag(t[2].get());
  EXPECT_EQ(dm->FirstTagList().Items(), (std::vector<Tag*>{t[0].get(), t[1].get(), t[2].get()}));
  dm->RegisterUniqueTag(t[3].get());
  dm->RegisterUniqueTag(t[1].get());
  dm->RegisterTagBySource(tn::mesh_table, t[1].get());
  dm->RegisterTagBySource(tn::queues, t[1].get());
  dm->RegisterTagBySource(tn::queues, t[2].get());

  dm->UnregisterTag(t[1].get());
  EXPECT_EQ(dm->FirstTagList().Items(), (std::vector<Tag*>{t[0].get(), t[2].get()}));
  EXPECT_EQ(dm->SecondTagList().Items(), (std::vector<Tag*>{t[3].get()}));
  EXPECT_TRUE(dm->TagsBySource(tn::mesh_table)->Empty());
  EXPECT_EQ(dm->TagsBySource(tn::queues)->Items(), (std::vector<Tag*>{t[2].get()}));

  // A place left behind by a cleared list: the tag is filed there and
  // elsewhere again, and taken out of both.
  dm->ClearKeyList(tn::queues);
  dm->RegisterTag(t[1].get());
  dm->RegisterTagBySource(tn::queues, t[1].get());
  dm->RegisterTagBySource(tn::queues, t[0].get());
  EXPECT_EQ(dm->TagsBySource(tn::queues)->Items(), (std::vector<Tag*>{t[1].get(), t[0].get()}));
  dm->UnregisterTag(t[1].get());
  EXPECT_EQ(dm->TagsBySource(tn::queues)->Items(), std::vector<Tag*>{t[0].get()});
  EXPECT_EQ(dm->FirstTagList().Items(), (std::vector<Tag*>{t[0].get(), t[2].get()}));

  t.clear();  // destroyed tags unregister themselves
  EXPECT_TRUE(dm->FirstTagList().Empty());
  EXPECT_TRUE(dm->SecondTagList().Empty());
  EXPECT_TRUE(dm->TagsBySource(tn::queues)->Empty());
}

// A tag's id and its registry place share one word, whichever comes first;
// the other must not overwrite it: a tag reported and then filed, one filed
// and then reported, each keeps its findings and its places, and its
// deletion takes out exactly those.
TEST_F(DataManagerTest, ATagsIdAndItsRegistryPlaceNeverOverwriteEachOther) {
  DataManager* dm = Start(false);
  const Kiv::PString late("reported after filing"), early("reported before filing");
  auto filedFirst = std::make_unique<Tag>();
  auto reportedFirst = std::make_unique<Tag>();
  Tag other;
  dm->RegisterTag(&other);
  EXPECT_TRUE(EH().Error(early, reportedFirst.get()));
  const uint64_t reportedId = reportedFirst->Id();
  dm->RegisterTag(filedFirst.get());
  dm->RegisterTag(reportedFirst.get());
  dm->RegisterTagBySource(tn::queues, filedFirst.get());
  EXPECT_TRUE(EH().Error(late, filedFirst.get()));
  const uint64_t filedId = filedFirst->Id();
  EXPECT_NE(filedId, reportedId);
  EXPECT_EQ(reportedFirst->Id(), reportedId);
  EXPECT_FALSE(EH().Error(late, filedFirst.get()));  // a repeat for the same owner
  EXPECT_EQ(dm->FirstTagList().Items(), (std::vector<Tag*>{&other, filedFirst.get(), reportedFirst.get()}));
  dm->RegisterTag(filedFirst.get());  // already there, found by its place
  EXPECT_EQ(dm->FirstTagList().Size(), 3u);

  filedFirst.reset();
  EXPECT_EQ(dm->FirstTagList().Items(), (std::vector<Tag*>{&other, reportedFirst.get()}));
  EXPECT_TRUE(dm->TagsBySource(tn::queues)->Empty());
  ASSERT_EQ(EH().GetEntries().size(), 1u);
  EXPECT_EQ(EH().GetEntries().front().tag, reportedId);
  reportedFirst.reset();
  EXPECT_TRUE(EH().GetEntries().empty());
  EXPECT_EQ(dm->FirstTagList().Items(), std::vector<Tag*>{&other});
}

// A container keeps the keys it is filed under, so its deletion takes it out
// of each of them (a key given twice too) and of no other.
TEST_F(DataManagerTest, ContainersLeaveEveryKeyTheyWereFiledUnder) {
  DataManager* dm = Start(false);
  auto kept = std::make_unique<Container>();
  auto kept2 = std::make_unique<Container>();
  auto doomed = std::make_unique<Container>();
  dm->RegisterObjectByKey(tn::mesh, doomed.get());
  dm->RegisterObjectByKey(tn::light, doomed.get());
  dm->RegisterObjectByKey(tn::mesh, doomed.get());
  dm->RegisterObjectByKey(tn::mesh, kept.get());
  EXPECT_EQ(dm->ObjectsByKey(tn::mesh)->Size(), 3u);
  doomed.reset();
  EXPECT_EQ(dm->ObjectsByKey(tn::mesh)->Items(), (std::vector<Container*>{kept.get()}));
  EXPECT_TRUE(dm->ObjectsByKey(tn::light)->Empty());
  kept.reset();
  EXPECT_TRUE(dm->ObjectsByKey(tn::mesh)->Empty());
  // The first key is kept in place and the others in a list: a null key
  // (a parent without a name) given first, then a key, leaves both.
  auto unnamed = std::make_unique<Container>();
  dm->RegisterObjectByKey(Kiv::PString(), unnamed.get());
  dm->RegisterObjectByKey(tn::light, unnamed.get());
  dm->RegisterObjectByKey(Kiv::PString(), kept2.get());
  unnamed.reset();
  EXPECT_EQ(dm->ObjectsByKey(Kiv::PString())->Items(), (std::vector<Container*>{kept2.get()}));
  EXPECT_TRUE(dm->ObjectsByKey(tn::light)->Empty());
}

// A container keeps its place in the first list it is filed in: through the
// compaction of that list, beside a second key and a repeat, each list keeps
// exactly its containers in order.
TEST_F(DataManagerTest, ManyContainersKeepTheirPlacesThroughRemovals) {
  DataManager* dm = Start(false);
  std::vector<std::unique_ptr<Container>> all(300);
  for (size_t i = 0; i < all.size(); ++i) {
    all[i] = std::make_unique<Container>();
    dm->RegisterObjectByKey(tn::mesh, all[i].get());
    if (i % 3 == 0) dm->RegisterObjectByKey(tn::light, all[i].get());
    if (i % 5 == 0) dm->RegisterObjectByKey(tn::mesh, all[i].get());
  }
  auto expect = [&](const Kiv::PString& key, auto filed) {
    std::vector<Container*> want;
    for (size_t i = 0; i < all.size(); ++i) {
      if (!all[i] || !filed(i)) continue;
      want.push_back(all[i].get());
      if (key == tn::mesh && i % 5 == 0) want.push_back(all[i].get());  // the repeat
    }
    EXPECT_EQ(dm->ObjectsByKey(key)->Items(), want);
  };
  // Two thirds go, which compacts both lists on the way.
  for (size_t i = 0; i < all.size(); ++i)
    if (i % 3 != 1) all[i].reset();
  expect(tn::mesh, [](size_t) { return true; });
  expect(tn::light, [](size_t i) { return i % 3 == 0; });
  // A survivor filed again after its list was emptied and filled anew.
  dm->RegisterObjectByKey(tn::light, all[1].get());
  EXPECT_EQ(dm->ObjectsByKey(tn::light)->Items(), std::vector<Container*>{all[1].get()});
  all.clear();
  EXPECT_TRUE(dm->ObjectsByKey(tn::mesh)->Empty());
  EXPECT_TRUE(dm->ObjectsByKey(tn::light)->Empty());
}

// The registry list keeps its order through removals of single and repeated
// entries, across the compactions that many removals cause, and refuses null.
TEST(PtrList, OrderSurvivesRemovalsRepeatsAndCompaction) {
  std::vector<int> objects(1000);
  OBLLib::PtrList<int> list;
  std::vector<int*> expected;
  for (int& o : objects) list.Append(&o);
  list.Append(&objects[5]);
  list.Append(nullptr);
  EXPECT_FALSE(list.AppendUnique(&objects[7]));
  EXPECT_EQ(list.Size(), 1001u);
  list.RemoveAll(&objects[5]);  // both places
  for (size_t i = 0; i < objects.size(); ++i) {
    if (i % 3 != 0)
      list.RemoveAll(&objects[i]);
    else if (i != 5)
      expected.push_back(&objects[i]);
  }
  list.RemoveAll(&objects[1]);  // no longer there: unchanged
  EXPECT_EQ(list.Items(), expected);
  EXPECT_EQ(list.Size(), expected.size());
  for (size_t i = 0; i < objects.size(); ++i)
    EXPECT_EQ(list.Contains(&objects[i]), i % 3 == 0 && i != 5) << i;
  EXPECT_TRUE(list.AppendUnique(&objects[1]));
  list.Append(&objects[0]);
  expected.push_back(&objects[1]);
  expected.push_back(&objects[0]);
  EXPECT_EQ(std::vector<int*>(list.begin(), list.end()), expected);
  list.RemoveAll(&objects[0]);
  expected.erase(expected.begin());
  expected.pop_back();
  EXPECT_EQ(list.Items(), expected);
  list.Clear();
  EXPECT_TRUE(list.Empty());
  EXPECT_FALSE(list.Contains(&objects[3]));
  EXPECT_EQ(list.begin(), list.end());
}

struct FakeMesh : OBLLib::LiveObject {
  explicit FakeMesh(int* deaths) : deaths(deaths) {}
  ~FakeMesh() override { ++*deaths; }
  bool ListsFile(const Kiv::PString& path) const override { return path == Kiv::PString("body.im"); }
  int* deaths;
};

}  // namespace

// Objects that keep their place in the first list they are filed in, as tags
// and containers do.
namespace placed {
struct Item {
  mutable OBLLib::ListPlace place;
};
OBLLib::ListPlace* ListPlaceOf(const Item* item) { return &item->place; }
}  // namespace placed

namespace {

// Two lists of placed objects against plain vectors: removals from the front
// (a tree deleted in the order it was filed, whose holes are cut off without
// renumbering the entries after them), from the middle (compaction, which
// renumbers), repeats, objects filed again after they left, and objects whose
// place names the other list.
TEST(PtrList, PlacedObjectsSurviveFrontDropsCompactionsAndRefiling) {
  std::vector<placed::Item> items(600);
  OBLLib::PtrList<placed::Item> lists[2];
  std::vector<placed::Item*> models[2];
  auto append = [&](int l, placed::Item* p) {
    lists[l].Append(p);
    models[l].push_back(p);
  };
  auto remove = [&](int l, placed::Item* p) {
    lists[l].RemoveAll(p);
    std::erase(models[l], p);
  };
  auto check = [&](const char* when) {
    for (int l = 0; l < 2; ++l) {
      ASSERT_EQ(lists[l].Items(), models[l]) << when << ", list " << l;
      ASSERT_EQ(lists[l].Size(), models[l].size()) << when;
      for (const placed::Item& item : items)
        ASSERT_EQ(lists[l].Contains(&item), std::count(models[l].begin(), models[l].end(), &item) > 0)
            << when << ", list " << l << ", item " << (&item - items.data());
    }
  };
  for (int i = 0; i < 500; ++i) append(0, &items[i]);
  for (int i = 0; i < 500; i += 7) append(1, &items[i]);  // placed in list 0
  append(0, &items[3]);                                   // a repeat
  // The first two stay, as a tree's definition tags do while its other tags
  // go: they move up, and only they are renumbered.
  for (int i = 2; i < 450; ++i) {
    remove(0, &items[i]);
    if (i % 50 == 0) check("front removals");
  }
  check("front removals");
  remove(0, &items[1]);
  check("front removals");
  // Filed again: a new place, numbered after every entry the list ever had.
  for (int i = 0; i < 200; ++i) append(i % 3 ? 0 : 1, &items[i]);
  for (int i = 500; i < 600; ++i) append(0, &items[i]);
  check("refiled");
  for (int i = 0; i < 600; i += 2) remove(0, &items[i]);
  check("middle removals");
  // Then mixed at random, with a fixed seed.
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  for (int step = 0; step < 20000; ++step) {
    const int l = static_cast<int>(next(2));
    placed::Item* p = &items[next(static_cast<uint32_t>(items.size()))];
    switch (next(4)) {
      case 0:
      case 1: append(l, p); break;
      case 2: remove(l, p); break;
      default:
        if (!models[l].empty())
          remove(l, models[l][next(static_cast<uint32_t>(std::min<size_t>(models[l].size(), 8)))]);
    }
    if (step % 2000 == 0) check("mixed");
  }
  check("mixed");
  for (int l = 0; l < 2; ++l) {
    while (!models[l].empty()) remove(l, models[l].front());
    lists[l].Clear();
  }
  check("emptied");
}

TEST_F(DataManagerTest, LiveObjectsGoWithTheirContainersAndTheCurrentMeshWithThem) {
  DataManager* dm = Start(false);
  int deaths = 0;
  auto root = std::make_unique<Container>();
  auto* child = new Container();
  child->parent = root.get();
  child->name = Kiv::PString("mesh-a");
  root->AddChild(child);
  dm->SetLiveObject(child, std::make_unique<FakeMesh>(&deaths));
  dm->SetCurrentMesh(dm->GetLiveObject(child));
  dm->RegisterObjectByKey(tn::mesh, child);

  EXPECT_TRUE(dm->IsPathRegistered(Kiv::PString("mesh-a"), tn::mesh));
  EXPECT_FALSE(dm->IsPathRegistered(Kiv::PString("mesh-a"), tn::light));
  EXPECT_TRUE(dm->IsPathRegistered(Kiv::PString("body.im"), tn::light));

  delete child;
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(dm->CurrentMesh(), nullptr);
  EXPECT_TRUE(root->children.empty());
  EXPECT_TRUE(dm->ObjectsByKey(tn::mesh)->Empty());

  dm->SetLiveObject(root.get(), std::make_unique<FakeMesh>(&deaths));
  dm->SetCurrentMesh(dm->GetLiveObject(root.get()));
  dm->ClearLiveObjects();
  EXPECT_EQ(deaths, 2);
  EXPECT_EQ(dm->CurrentMesh(), nullptr);

  dm->SetLiveObject(root.get(), std::make_unique<FakeMesh>(&deaths));
  root.reset();  // deleting the root empties the map
  EXPECT_EQ(deaths, 3);
  EXPECT_EQ(dm->LiveObjectCount(), 0u);
}

TEST_F(DataManagerTest, CurrentAssetHoldsOneContentFolderReference) {
  SetContentRootPath(m_dir.string());
  DataManager* dm = Start(false);
  ContentFolder* first = dm->SetCurrentAsset(Kiv::PString("assetA"), Kiv::File::Path(Root() + "assetA"));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(dm->GetCurrentAssetPath(), Kiv::PString("assetA"));
  EXPECT_EQ(first->RefCount(), 1);
  ContentFolder* second = dm->SetCurrentAsset(Kiv::PString("assetB"), Kiv::File::Path(Root() + "assetB"));
  EXPECT_EQ(first->RefCount(), 0);
  ASSERT_NE(second, nullptr);
  DataManager::Destroy();
  EXPECT_EQ(second->RefCount(), 0);
  FolderCache::Purge();
  SetContentRootPath("");
}

TEST(DataManagerDeathTest, InstanceBeforeCreateEndsTheProcess) {
  EXPECT_EXIT(DataManager::Instance(), ::testing::ExitedWithCode(1),
              "DataManager::Instance> datamanger not initialised");
}

}  // namespace
