#pragma once
// The world list: an indexed container of world items. Each item sits in one
// numbered slot of one list, and its slot index is its identity in the list's
// streams. A list saves its items' records to a stream and loads them back,
// reloading the items in place or making new ones through the item factory
// registered for their four-byte type code. An optional grid finds the items
// covering a world tile.
//
// Streams (little-endian u32 words; "placeholder" is a length word 0xFEEDCEEB
// patched with the byte count that follows it):
//   record stream: 5, stamp, {index, type, KUID (8 bytes), placeholder, data}*,
//                  0xFFFFFFFF, flag section
//   flag section:  placeholder, 0xFEEDCEEB, 5, stamp, {index, type, placeholder, extra}*, 0xFFFFFFFF
//   object section: placeholder, 0xFEEDCEEB, 1, {index, placeholder, data}*, 0xFFFFFFFF
// Loading stops at the first malformed record, keeps what it loaded so far and
// always leaves a section at its end. Each record is handed to its item
// through a window over exactly its bytes.
#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "foundation/Identifiable.h"
#include "foundation/KUID.h"
#include "kiv/PString.h"

class RecordCursor;
class RecordWriter;
class TStream;
class WorldList;

// The hooks shared by the list and its items. Operations that answer return
// false by default, the others do nothing.
class WorldBaseItem {
public:
  virtual ~WorldBaseItem() = default;
  // Reloads this item in place from its record.
  [[nodiscard]] virtual bool LoadRecord(TStream& stream);
  [[nodiscard]] virtual bool SaveRecord(TStream& stream);
  virtual void Notify() {}
  // The flag word the list's filters test.
  virtual uint32_t GetFlags() { return 1; }
  virtual void Dispatch(void* argument, uint32_t mask);
  [[nodiscard]] virtual bool LoadExtra(TStream& stream);
  [[nodiscard]] virtual bool SaveExtra(TStream& stream);
  [[nodiscard]] virtual bool LoadSectionData(TStream& stream);
  [[nodiscard]] virtual bool SaveSectionData(TStream& stream);
};

// Four bytes in memory order, compared as a little-endian u32.
constexpr uint32_t WorldTypeCode(char a, char b, char c, char d) {
  return static_cast<uint8_t>(a) | static_cast<uint8_t>(b) << 8 | static_cast<uint8_t>(c) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
// Script libraries, and the items of the object section.
inline constexpr uint32_t kWorldTypeLibrary = WorldTypeCode('b', 'l', 's', 'g');
inline constexpr uint32_t kWorldTypeObject = WorldTypeCode('b', 'O', 'n', 'j');

class WorldFactoryItem {
public:
  virtual ~WorldFactoryItem() = default;
  virtual uint32_t GetTypeCode() const = 0;
};

struct WorldBounds {
  uint8_t flag = 1;
  int16_t tileX = 0;
  int16_t tileY = 0;
  float minX = 0.0f, maxX = 0.0f;
  float minY = 0.0f, maxY = 0.0f;
  float minZ = 0.0f, maxZ = 0.0f;
};

class WorldListItem : public WorldBaseItem, public WorldFactoryItem, public IdentifiableType {
public:
  static constexpr uint32_t kNoIndex = 0xFFFFFFFFu;

  WorldListItem() = default;
  // An item still in a list leaves it first.
  ~WorldListItem() override;
  WorldListItem(const WorldListItem&) = delete;
  WorldListItem& operator=(const WorldListItem&) = delete;

  // The null KUID unless an item says otherwise.
  virtual KUID GetKUID() const { return KUID::Null(); }
  virtual void OnAdded() {}
  virtual void OnRemoved() {}
  virtual WorldBounds GetWorldBounds() const { return {}; }

  WorldList* GetList() const { return m_list; }
  uint32_t GetIndex() const { return m_index; }

private:
  friend class WorldList;
  WorldList* m_list = nullptr;
  uint32_t m_index = kNoIndex;
};

// Makes items of one type code from their stored records. A factory is in the
// process-wide registry from construction to destruction; make factories at
// start-up, before any list loads.
class WorldItemFactory {
public:
  WorldItemFactory(uint32_t typeCode, Kiv::PString name);
  virtual ~WorldItemFactory();
  WorldItemFactory(const WorldItemFactory&) = delete;
  WorldItemFactory& operator=(const WorldItemFactory&) = delete;

  uint32_t TypeCode() const { return m_typeCode; }
  const Kiv::PString& Name() const { return m_name; }

  // A new item read from stream, or null.
  virtual std::unique_ptr<WorldFactoryItem> CreateItem(uintptr_t context, TStream& stream) = 0;

  // The item made by the first registered factory of typeCode; null when
  // there is none or it made nothing.
  static std::unique_ptr<WorldFactoryItem> Create(uint32_t typeCode, uintptr_t context, TStream& stream);
  static size_t RegisteredCount();

private:
  uint32_t m_typeCode;
  Kiv::PString m_name;
};

class WorldList : public WorldBaseItem {
public:
  static constexpr uint32_t kNoIndex = WorldListItem::kNoIndex;
  // Slots per page of the slot table.
  static constexpr uint32_t kPageSlots = 1024;
  // Highest slot count a stream can make the list grow to: an index at or
  // above it is malformed.
  static constexpr uint32_t kMaxLoadedSlots = 1u << 24;
  // Largest record a stream may hold.
  static constexpr uint32_t kMaxRecordLength = 0xFFFFFF;
  static constexpr uint32_t kSectionMarker = 0xFEEDCEEBu;
  static constexpr uint32_t kFlagExtra = 0x4;

  WorldList();
  // Deletes every item.
  ~WorldList() override;
  WorldList(const WorldList&) = delete;
  WorldList& operator=(const WorldList&) = delete;

  // Enters an item in the lowest free even slot at or above the even-slot
  // hint (appending two slots when none is free) and takes ownership; item
  // becomes null. kNoIndex (item kept by the caller) when it is already in a list.
  uint32_t Add(std::unique_ptr<WorldListItem>& item);
  // Enters an item at index, growing the list to reach it, and takes
  // ownership. False (item kept by the caller) when the slot is busy or the
  // item is in a list.
  [[nodiscard]] bool AddAt(uint32_t index, std::unique_ptr<WorldListItem>& item);
  // Takes an item out of this list and hands it back; null when it is not here.
  std::unique_ptr<WorldListItem> Remove(WorldListItem* item);
  // Deletes every item and empties the list.
  void Clear();
  // Deletes every item whose flags pass the filter (mask, value).
  void DeleteItems(uint32_t mask, uint32_t value);

  // The item at index; null for an empty slot or an index past the end.
  WorldListItem* At(uint32_t index) const;
  uint32_t SlotCount() const { return m_slotCount; }
  // Calls f(index, item) for every item in slot order; f may remove items.
  template <class F>
  void ForEach(F&& f) const {
    for (size_t page = 0; page < m_pages.size(); ++page) {
      for (uint32_t slot = 0; slot < kPageSlots; ++slot) {
        // Read the slot each time: f may empty it, or empty the whole list.
        if (page >= m_pages.size() || !m_pages[page]) break;
        WorldListItem* item = (*m_pages[page])[slot];
        if (item) f(static_cast<uint32_t>(page * kPageSlots + slot), item);
      }
    }
  }
  size_t ItemCount() const { return m_itemCount; }

  // Every item's Notify, in slot order.
  void Notify() override;
  // Dispatch(argument, mask | 1) of every item whose flags hold all of mask | 1.
  void Dispatch(void* argument, uint32_t mask) override;

  // Writes the record stream of the items passing the filter. False when a
  // write failed or a record outgrew the length limit (a later load would
  // stop there).
  [[nodiscard]] bool Save(TStream& stream, uint32_t mask, uint32_t value);
  // Reads a record stream (versions 1 to 5); with clearFirst the list is
  // emptied first. flags: kFlagExtra reads the flag section's item data.
  void Load(TStream& stream, bool clearFirst, uint32_t flags);
  // The object section of the items of type kWorldTypeObject.
  [[nodiscard]] bool SaveSection(TStream& stream);
  void LoadSection(TStream& stream);
  [[nodiscard]] bool SaveSectionData(TStream& stream) override { return SaveSection(stream); }
  [[nodiscard]] bool LoadSectionData(TStream& stream) override {
    LoadSection(stream);
    return true;
  }

  uint32_t GetStamp() const { return m_stamp; }
  void SetStamp(uint32_t stamp) { m_stamp = stamp; }
  // The word handed to every item factory.
  void SetFactoryContext(uintptr_t context) { m_factoryContext = context; }

  // Keeps a grid of the tiles each item covers from now on (items already in
  // the list are entered).
  void EnableGrid();
  [[nodiscard]] bool HasGrid() const { return m_grid != nullptr; }
  // The items covering tile (x, y); empty without a grid.
  std::vector<WorldListItem*> ItemsInTile(int16_t x, int16_t y) const;

  [[nodiscard]] static bool Passes(WorldBaseItem& item, uint32_t mask, uint32_t value) {
    return (item.GetFlags() & mask) == (mask & value);
  }

private:
  using Page = std::array<WorldListItem*, kPageSlots>;
  using Grid = std::unordered_map<uint32_t, std::unordered_set<WorldListItem*>>;

  // The slot at index, making its page; null when memory runs out.
  WorldListItem** SlotFor(uint32_t index);
  void Enter(uint32_t index, std::unique_ptr<WorldListItem>& item);
  void GridInsert(WorldListItem* item);
  void GridErase(WorldListItem* item);

  void LoadRecordsV2(RecordCursor& in);
  void LoadRecords(RecordCursor& in);
  void LoadFlagSection(RecordCursor& in, uint32_t flags);
  [[nodiscard]] bool SaveFlagSection(RecordWriter& out, uint32_t mask, uint32_t value);

  std::vector<std::unique_ptr<Page>> m_pages;  // pages are made when a slot in them is filled
  uintptr_t m_factoryContext = 0;
  uint32_t m_slotCount = 0;
  size_t m_itemCount = 0;
  std::unique_ptr<Grid> m_grid;
  uint32_t m_stamp = 0;
  uint32_t m_evenHint = 0;
};
