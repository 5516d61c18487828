#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Stream.h"
#include "kiv/Bytes.h"
#include "scriptlib/WorldList.h"

namespace {

constexpr uint32_t kTestType = WorldTypeCode('t', 'e', 's', 't');

// An item whose record is its text (a stream string) and whose extra data is a u32.
class TestItem : public WorldListItem {
public:
  explicit TestItem(std::string text = {}, uint32_t type = kTestType) : text(std::move(text)), type(type) {}
  uint32_t GetTypeCode() const override { return type; }
  uint32_t GetFlags() override { return flags; }
  KUID GetKUID() const override { return KUID(7, 8, 1); }
  bool SaveRecord(TStream& s) override {
    s.WriteString(text);
    return true;
  }
  bool LoadRecord(TStream& s) override {
    text = s.ReadString();
    ++loads;
    return s.GetError() == 0;
  }
  bool SaveExtra(TStream& s) override {
    s.WriteU32(extra);
    return true;
  }
  bool LoadExtra(TStream& s) override {
    extra = s.ReadU32();
    return true;
  }
  bool SaveSectionData(TStream& s) override { return SaveRecord(s); }
  bool LoadSectionData(TStream& s) override { return LoadRecord(s); }
  void OnAdded() override { ++added; }
  void OnRemoved() override { ++removed; }
  void Dispatch(void*, uint32_t mask) override { dispatched = mask; }
  WorldBounds GetWorldBounds() const override { return bounds; }

  std::string text;
  uint32_t type;
  uint32_t flags = 1;
  uint32_t extra = 0;
  uint32_t dispatched = 0;
  int loads = 0, added = 0, removed = 0;
  WorldBounds bounds;
};

// Makes TestItems of kTestType from their records.
class TestFactory : public WorldItemFactory {
public:
  TestFactory() : WorldItemFactory(kTestType, Kiv::PString("test")) {}
  std::unique_ptr<WorldFactoryItem> CreateItem(uintptr_t, TStream& stream) override {
    auto item = std::make_unique<TestItem>();
    item->LoadRecord(stream);
    return item;
  }
};

uint32_t AddItem(WorldList& list, std::string text, uint32_t type = kTestType) {
  std::unique_ptr<WorldListItem> item = std::make_unique<TestItem>(std::move(text), type);
  return list.Add(item);
}

TestItem* ItemAt(const WorldList& list, uint32_t index) { return dynamic_cast<TestItem*>(list.At(index)); }

std::vector<uint8_t> Bytes(const TBuffer& b) { return std::vector<uint8_t>(b.Data(), b.Data() + b.Size()); }

// Overwrites the word at offset.
void Patch(std::vector<uint8_t>& bytes, size_t offset, uint32_t word) {
  for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(word >> (8 * i));
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> out;
  for (uint32_t w : words) Kiv::AppendLE32(out, w);
  return out;
}

// Saves a list of three items "a", "bb", "ccc" at 0, 2, 4 (extras 10, 20, 30)
// followed by the sentinel word 0x5A5A5A5A.
std::vector<uint8_t> ThreeItemStream() {
  WorldList list;
  list.SetStamp(99);
  for (const char* text : {"a", "bb", "ccc"}) AddItem(list, text);
  for (uint32_t i = 0; i < 3; ++i) {
    ItemAt(list, 2 * i)->extra = 10 * (i + 1);
    ItemAt(list, 2 * i)->flags = 1 | WorldList::kFlagExtra;  // the filter below asks for the flag
  }
  TBuffer out;
  EXPECT_TRUE(list.Save(out, WorldList::kFlagExtra, WorldList::kFlagExtra));
  out.WriteU32(0x5A5A5A5A);
  return Bytes(out);
}

TEST(WorldList, EmptySaveIsThirtyTwoBytes) {
  WorldList list;
  list.SetStamp(0x1234);
  TBuffer out;
  ASSERT_TRUE(list.Save(out, 0, 0));
  EXPECT_EQ(Bytes(out), Words({5, 0x1234, 0xFFFFFFFF, 16, 0xFEEDCEEB, 5, 0x1234, 0xFFFFFFFF}));
}

TEST(WorldList, SlotsAreHandedOutEvenAndReused) {
  WorldList list;
  EXPECT_EQ(AddItem(list, "a"), 0u);
  EXPECT_EQ(AddItem(list, "b"), 2u);
  EXPECT_EQ(AddItem(list, "c"), 4u);
  EXPECT_EQ(list.SlotCount(), 6u);
  TestItem* b = ItemAt(list, 2);
  std::unique_ptr<WorldListItem> taken = list.Remove(b);
  ASSERT_EQ(taken.get(), b);
  EXPECT_EQ(b->removed, 1);
  EXPECT_EQ(b->GetIndex(), WorldListItem::kNoIndex);
  EXPECT_EQ(AddItem(list, "d"), 2u);
  EXPECT_EQ(list.SlotCount(), 6u);

  // An item in a list is refused, and stays with its caller.
  std::unique_ptr<WorldListItem> again(ItemAt(list, 0));
  WorldList other;
  EXPECT_EQ(other.Add(again), WorldListItem::kNoIndex);
  EXPECT_FALSE(other.AddAt(3, again));
  again.release();
  // A busy slot is refused; a far slot grows the list, across pages.
  EXPECT_FALSE(list.AddAt(4, taken));
  ASSERT_TRUE(list.AddAt(1024, taken));
  EXPECT_EQ(list.SlotCount(), 1025u);
  EXPECT_EQ(list.At(1024), b);
  EXPECT_EQ(list.At(1023), nullptr);
  EXPECT_EQ(list.At(5000), nullptr);
  // Deleting an item takes it out of its list.
  delete list.At(1024);
  EXPECT_EQ(list.At(1024), nullptr);
  EXPECT_EQ(list.ItemCount(), 3u);
}

TEST(WorldList, FiltersNotifyDispatchAndDelete) {
  WorldList list;
  for (const char* text : {"a", "b", "c"}) AddItem(list, text);
  ItemAt(list, 2)->flags = 1 | 8;
  list.Dispatch(nullptr, 8);
  EXPECT_EQ(ItemAt(list, 0)->dispatched, 0u);
  EXPECT_EQ(ItemAt(list, 2)->dispatched, 9u);

  TBuffer out;
  ASSERT_TRUE(list.Save(out, 8, 8));  // only the item with flag 8
  WorldList copy;
  TestFactory factory;
  EXPECT_TRUE(out.Rewind());
  copy.Load(out, true, 0);
  EXPECT_EQ(copy.ItemCount(), 1u);
  ASSERT_NE(ItemAt(copy, 2), nullptr);
  EXPECT_EQ(ItemAt(copy, 2)->text, "b");

  list.DeleteItems(8, 0);  // every item without flag 8
  EXPECT_EQ(list.ItemCount(), 1u);
  EXPECT_NE(list.At(2), nullptr);
}

TEST(WorldList, RoundTripReloadsItemsInPlace) {
  const auto bytes = ThreeItemStream();
  WorldList list;
  for (const char* text : {"x", "y", "z"}) AddItem(list, text);
  TestItem* first = ItemAt(list, 0);
  TBuffer in(bytes.data(), bytes.size());
  list.Load(in, false, WorldList::kFlagExtra);
  EXPECT_EQ(ItemAt(list, 0), first);
  EXPECT_EQ(first->loads, 1);
  EXPECT_EQ(ItemAt(list, 0)->text, "a");
  EXPECT_EQ(ItemAt(list, 2)->text, "bb");
  EXPECT_EQ(ItemAt(list, 4)->text, "ccc");
  EXPECT_EQ(ItemAt(list, 4)->extra, 30u);
  EXPECT_EQ(list.GetStamp(), 0u);  // the stream's stamp holds only while loading
  EXPECT_EQ(in.ReadU32(), 0x5A5A5A5Au);

  // Without the extra flag the flag section is skipped whole.
  WorldList skipped;
  TestFactory factory;
  TBuffer again(bytes.data(), bytes.size());
  skipped.Load(again, true, 0);
  ASSERT_EQ(skipped.ItemCount(), 3u);
  EXPECT_EQ(ItemAt(skipped, 4)->extra, 0u);
  EXPECT_EQ(again.ReadU32(), 0x5A5A5A5Au);
}

TEST(WorldList, FactoriesMakeMissingItems) {
  const auto bytes = ThreeItemStream();
  {
    WorldList list;
    TBuffer in(bytes.data(), bytes.size());
    list.Load(in, true, 0);  // no factory: every slot stays empty, the load goes on
    EXPECT_EQ(list.ItemCount(), 0u);
    EXPECT_EQ(in.ReadU32(), 0x5A5A5A5Au);
    EXPECT_EQ(WorldItemFactory::Create(kTestType, 0, in), nullptr);
  }
  {
    TestFactory factory;
    EXPECT_EQ(WorldItemFactory::RegisteredCount(), 1u);
    WorldList list;
    AddItem(list, "other type", WorldTypeCode('o', 't', 'h', 'r'));  // replaced by the record at 0
    TBuffer in(bytes.data(), bytes.size());
    list.Load(in, false, WorldList::kFlagExtra);
    ASSERT_EQ(list.ItemCount(), 3u);
    EXPECT_EQ(ItemAt(list, 0)->type, kTestType);
    EXPECT_EQ(ItemAt(list, 0)->text, "a");
    EXPECT_EQ(ItemAt(list, 2)->extra, 20u);
  }
  EXPECT_EQ(WorldItemFactory::RegisteredCount(), 0u);
}

TEST(WorldList, OldVersionsAndTheUnmarkedFlagSection) {
  WorldList list;
  TestFactory factory;
  // Version 1: the version word only.
  auto v1 = Words({1, 0x77});
  TBuffer in1(v1.data(), v1.size());
  list.Load(in1, true, WorldList::kFlagExtra);
  EXPECT_EQ(in1.ReadU32(), 0x77u);

  // Version 4 with a flag section of version 0: no marker, no type codes;
  // every record counts as the type "    ".
  constexpr uint32_t blank = WorldTypeCode(' ', ' ', ' ', ' ');
  AddItem(list, "", blank);
  auto v4 =
      Words({4, 0xFFFFFFFF, /*section*/ 16, /*index*/ 0, /*length*/ 4, 0xABCD, 0xFFFFFFFF, /*after*/ 0x77});
  TBuffer in4(v4.data(), v4.size());
  list.Load(in4, false, WorldList::kFlagExtra);
  EXPECT_EQ(ItemAt(list, 0)->extra, 0xABCDu);
  EXPECT_EQ(in4.ReadU32(), 0x77u);
}

// Malformed streams: the load stops at the first bad record, keeps what it
// loaded, allocates nothing large and never reads past a section.
TEST(WorldList, MalformedRecordsStopTheLoad) {
  const auto good = ThreeItemStream();
  // Offsets in the three-item stream: header 8 bytes, then records of
  // 20 + (4 + text) bytes: "a" at 8, "bb" at 33, "ccc" at 59.
  const size_t second = 8 + 25;
  struct Case {
    const char* name;
    size_t offset;
    uint32_t word;
    int itemsLoaded;  // -1: any prefix
  } cases[] = {
      {"record length over 0xFFFFFF", second + 16, 0x01000000, 1},
      {"index 0xFFFFFFFE", second, 0xFFFFFFFE, 1},
      {"index at the loaded-slot bound", second, WorldList::kMaxLoadedSlots, 1},
      {"record length past the data", second + 16, 0x00FFFFFF, 1},
      {"zero-length record", second + 16, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = good;
    Patch(bytes, c.offset, c.word);
    TestFactory factory;
    WorldList list;
    TBuffer in(bytes.data(), bytes.size());
    list.Load(in, true, WorldList::kFlagExtra);
    if (c.itemsLoaded >= 0) {
      EXPECT_EQ(list.ItemCount(), static_cast<size_t>(c.itemsLoaded));
    }
    EXPECT_LE(list.ItemCount(), 3u);
    ASSERT_NE(ItemAt(list, 0), nullptr);
    EXPECT_EQ(ItemAt(list, 0)->text, "a");
    EXPECT_LE(list.SlotCount(), 6u);
  }

  // A repeated record reloads the same slot; the last one wins.
  auto repeated = good;
  Patch(repeated, second, 0);
  TestFactory factory;
  WorldList list;
  TBuffer in(repeated.data(), repeated.size());
  list.Load(in, true, WorldList::kFlagExtra);
  EXPECT_EQ(ItemAt(list, 0)->text, "bb");
  EXPECT_EQ(ItemAt(list, 0)->loads, 2);

  // Every truncation of the stream loads a prefix of the items.
  for (size_t n = 0; n < good.size(); ++n) {
    WorldList part;
    TBuffer cut(good.data(), n);
    part.Load(cut, true, WorldList::kFlagExtra);
    EXPECT_LE(part.ItemCount(), 3u) << n;
  }
}

TEST(WorldList, MalformedFlagRecordsLeaveTheStreamAtTheSectionEnd) {
  const auto good = ThreeItemStream();
  // The flag section starts after the records and the end word.
  const size_t section = 8 + 25 + 26 + 27 + 4;
  const size_t firstRecord = section + 16;  // length, marker, version, stamp
  struct Case {
    const char* name;
    size_t offset;
    uint32_t word;
  } cases[] = {
      {"record end past the section", firstRecord + 8, 0xFFFFFFF0},
      {"index past the slots", firstRecord, 6},
      {"unpatched record length", firstRecord + 8, 0xFEEDCEEB},
      {"section version 6", section + 8, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = good;
    Patch(bytes, c.offset, c.word);
    WorldList list;
    for (const char* text : {"x", "y", "z"}) AddItem(list, text);
    TBuffer in(bytes.data(), bytes.size());
    list.Load(in, false, WorldList::kFlagExtra);
    EXPECT_EQ(ItemAt(list, 4)->text, "ccc");
    EXPECT_EQ(ItemAt(list, 2)->extra, 0u);
    EXPECT_EQ(in.ReadU32(), 0x5A5A5A5Au);
  }
}

TEST(WorldList, ObjectSectionRoundTrip) {
  constexpr uint32_t object = kWorldTypeObject;
  WorldList list;
  AddItem(list, "first", object);
  AddItem(list, "not an object");
  AddItem(list, "second", object);
  TBuffer out;
  ASSERT_TRUE(list.SaveSection(out));
  out.WriteU32(0x5A5A5A5A);
  const auto bytes = Bytes(out);

  ItemAt(list, 0)->text.clear();
  ItemAt(list, 4)->text.clear();
  TBuffer in(bytes.data(), bytes.size());
  list.LoadSection(in);
  EXPECT_EQ(ItemAt(list, 0)->text, "first");
  EXPECT_EQ(ItemAt(list, 2)->loads, 0);
  EXPECT_EQ(ItemAt(list, 4)->text, "second");
  EXPECT_EQ(in.ReadU32(), 0x5A5A5A5Au);

  // A section length still holding the placeholder loads nothing.
  auto unfinished = bytes;
  Patch(unfinished, 0, 0xFEEDCEEB);
  ItemAt(list, 0)->text.clear();
  TBuffer in2(unfinished.data(), unfinished.size());
  list.LoadSection(in2);
  EXPECT_EQ(ItemAt(list, 0)->text, "");
}

TEST(WorldList, GridFindsTheTilesAnItemCovers) {
  WorldList list;
  std::unique_ptr<WorldListItem> item = std::make_unique<TestItem>("wide");
  auto* wide = static_cast<TestItem*>(item.get());
  wide->bounds.minX = -10.0f;   // tile -1
  wide->bounds.maxX = 1440.0f;  // tile 2
  wide->bounds.maxY = 700.0f;   // tile 0
  list.Add(item);
  list.EnableGrid();
  EXPECT_TRUE(list.ItemsInTile(-2, 0).empty());
  for (int16_t x = -1; x <= 2; ++x) EXPECT_EQ(list.ItemsInTile(x, 0), std::vector<WorldListItem*>{wide}) << x;
  EXPECT_TRUE(list.ItemsInTile(0, 1).empty());
  std::unique_ptr<WorldListItem> gone = list.Remove(wide);
  EXPECT_TRUE(list.ItemsInTile(0, 0).empty());
}

}  // namespace
