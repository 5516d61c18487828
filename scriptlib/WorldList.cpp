#include "scriptlib/WorldList.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "foundation/Stream.h"
#include "foundation/SubFile.h"
#include "kiv/Bytes.h"
#include "kiv/Memory.h"
#include "kiv/render/WorldCoordinate.h"

// ---- item hooks ----

bool WorldBaseItem::LoadRecord(TStream&) { return false; }
bool WorldBaseItem::SaveRecord(TStream&) { return false; }
void WorldBaseItem::Dispatch(void*, uint32_t) {}
bool WorldBaseItem::LoadExtra(TStream&) { return false; }
bool WorldBaseItem::SaveExtra(TStream&) { return false; }
bool WorldBaseItem::LoadSectionData(TStream&) { return false; }
bool WorldBaseItem::SaveSectionData(TStream&) { return false; }

WorldListItem::~WorldListItem() {
  // Remove hands the item back; it is being destroyed already.
  if (m_list) m_list->Remove(this).release();
}

// ---- factory registry ----

namespace {
struct FactoryRegistry {
  std::recursive_mutex mutex;  // a factory may make nested items
  std::vector<WorldItemFactory*> factories;
};
FactoryRegistry& Factories() {
  static FactoryRegistry registry;
  return registry;
}
}  // namespace

WorldItemFactory::WorldItemFactory(uint32_t typeCode, Kiv::PString name)
    : m_typeCode(typeCode), m_name(std::move(name)) {
  FactoryRegistry& r = Factories();
  std::lock_guard lock(r.mutex);
  r.factories.push_back(this);
}

WorldItemFactory::~WorldItemFactory() {
  FactoryRegistry& r = Factories();
  std::lock_guard lock(r.mutex);
  std::erase(r.factories, this);
  if (r.factories.empty()) r.factories.shrink_to_fit();
}

std::unique_ptr<WorldFactoryItem> WorldItemFactory::Create(uint32_t typeCode, uintptr_t context,
                                                           TStream& stream) {
  FactoryRegistry& r = Factories();
  std::lock_guard lock(r.mutex);
  for (WorldItemFactory* factory : r.factories)
    if (factory->m_typeCode == typeCode) return factory->CreateItem(context, stream);
  return nullptr;
}

size_t WorldItemFactory::RegisteredCount() {
  FactoryRegistry& r = Factories();
  std::lock_guard lock(r.mutex);
  return r.factories.size();
}

// ---- stream helpers ----

namespace {
constexpr uint32_t kEndOfRecords = 0xFFFFFFFFu;
constexpr uint32_t kBlankType = WorldTypeCode(' ', ' ', ' ', ' ');

}  // namespace

// Reads words and record windows of a stream, keeping the stream's position
// itself so that a file is not asked for it at every record.
class RecordCursor {
public:
  explicit RecordCursor(TStream& stream) : m_stream(stream), m_pos(stream.Tell()) {}

  TStream& Stream() { return m_stream; }
  int64_t Pos() const { return m_pos; }

  // Reads n (at most 4) words; false, with the stream's short-read error set,
  // when the stream ends first.
  bool Words(uint32_t* out, size_t n) {
    uint8_t bytes[16];
    const size_t got = m_stream.ReadBytes(bytes, n * 4);
    m_pos += static_cast<int64_t>(got);
    Kiv::ByteReader reader(bytes, got);
    for (size_t i = 0; i < n; ++i) out[i] = reader.U32();
    if (reader.Failed()) {
      m_stream.SetError(TStream::kErrorShortRead);
      return false;
    }
    return true;
  }
  bool Word(uint32_t& out) { return Words(&out, 1); }
  // Reads up to n (at most 5) words in one go; returns the bytes read.
  size_t UpTo(uint32_t* out, size_t n) {
    uint8_t bytes[20];
    const size_t got = m_stream.ReadBytes(bytes, n * 4);
    m_pos += static_cast<int64_t>(got);
    Kiv::ByteReader reader(bytes, got);
    for (size_t i = 0; i < n; ++i) out[i] = reader.U32();
    return got;
  }

  // A window over the next bytes up to end.
  TSubFile Window(int64_t end) { return TSubFile(m_stream, {.start = m_pos, .end = end}, m_pos); }
  // Takes the stream's position back from a window that was read.
  void After(const TSubFile& window) { m_pos = window.ParentPosition(); }
  // After code that read the stream itself.
  void Resync() { m_pos = m_stream.Tell(); }

  // Places the stream at offset; false when it did not get there.
  bool MoveTo(int64_t offset) {
    if (offset == m_pos) return true;
    // The sub-file seeks within its parent's range.
    (void)m_stream.SeekTo(offset, 0);
    m_pos = m_stream.Tell();
    return m_pos == offset;
  }

private:
  TStream& m_stream;
  int64_t m_pos;
};

namespace {

// A stream over a byte vector, for staging what a save writes.
class StageStream final : public TStream {
public:
  std::vector<uint8_t>& Bytes() { return m_bytes; }
  // Appends a word; the stream must be at its end.
  void AppendWord(uint32_t word) {
    Kiv::AppendLE32(m_bytes, word);
    m_pos = m_bytes.size();
  }
  // Continues at the end (after the owner changed Bytes()).
  void ToEnd() {
    DropReadAhead();
    m_pos = m_bytes.size();
  }
  void Clear() {
    m_bytes.clear();
    m_pos = 0;
  }

  void Reset() override {
    TStream::Reset();
    Clear();
  }
  int64_t GetPosition() override { return static_cast<int64_t>(m_pos); }
  bool IsOpen() override { return true; }
  int64_t GetLength() override { return static_cast<int64_t>(m_bytes.size()); }
  size_t Write(const void* data, size_t n) override {
    const auto* p = static_cast<const uint8_t*>(data);
    if (m_pos == m_bytes.size()) {
      m_bytes.insert(m_bytes.end(), p, p + n);
    } else {
      if (m_pos + n > m_bytes.size()) m_bytes.resize(m_pos + n);
      std::memcpy(m_bytes.data() + m_pos, p, n);
    }
    m_pos += n;
    return n;
  }
  size_t Read(void* data, size_t n) override {
    if (m_pos >= m_bytes.size()) return 0;
    n = std::min(n, m_bytes.size() - m_pos);
    std::memcpy(data, m_bytes.data() + m_pos, n);
    m_pos += n;
    return n;
  }
  bool Seek(int64_t offset, int whence) override {
    const int64_t base = whence == 0   ? 0
                         : whence == 1 ? static_cast<int64_t>(m_pos)
                                       : static_cast<int64_t>(m_bytes.size());
    int64_t target;
    if (whence < 0 || whence > 2 || __builtin_add_overflow(base, offset, &target) || target < 0 ||
        static_cast<uint64_t>(target) > Kiv::DynamicBuffer::MaxSize)
      return false;
    m_pos = static_cast<size_t>(target);
    return true;
  }
  bool IsEOF() override { return m_readAheadLeft == 0 && m_pos >= m_bytes.size(); }

private:
  std::vector<uint8_t> m_bytes;
  size_t m_pos = 0;
};

}  // namespace

// Save writes through a staging buffer: the list's own words are appended
// straight to it, each record's length is patched in memory, and the stream
// gets the bytes in large pieces, so a file sees few writes and no seeks.
class RecordWriter {
public:
  static constexpr size_t kFlushBytes = 64 * 1024;

  explicit RecordWriter(TStream& target) : m_target(target) {}

  void Word(uint32_t word) { m_stage.AppendWord(word); }
  // Writes a length placeholder and returns its offset.
  size_t OpenLength() {
    ++m_open;
    const size_t at = m_stage.Bytes().size();
    Word(WorldList::kSectionMarker);
    return at;
  }
  // The stream an item writes its data to, at the end of what is staged.
  TStream& Data() {
    m_stage.ToEnd();
    return m_stage;
  }
  // Ends the data at the stream's position and patches its length over the
  // placeholder. False when the data went back before the placeholder or
  // outgrew limit.
  bool CloseLength(size_t at, uint32_t limit) {
    --m_open;
    std::vector<uint8_t>& bytes = m_stage.Bytes();
    const int64_t position = m_stage.Tell();
    size_t end = static_cast<size_t>(std::max<int64_t>(position, 0));
    bool ok = end >= at + 4;
    if (!ok) end = at + 4;  // nothing usable was written: an empty record
    bytes.resize(end);      // bytes past the position are not the item's
    const uint64_t length = end - at - 4;
    Kiv::StoreLE32(bytes.data() + at, static_cast<uint32_t>(std::min<uint64_t>(length, 0xFFFFFFFFu)));
    m_stage.ToEnd();
    return ok && length <= limit;
  }
  // Hands the staged bytes to the stream once there are enough of them (all
  // of them when forced); never while a length is open. False once a write
  // came up short.
  bool Flush(bool force) {
    std::vector<uint8_t>& bytes = m_stage.Bytes();
    if (m_open != 0 || bytes.empty() || (!force && bytes.size() < kFlushBytes)) return m_ok;
    if (m_target.WriteBytes(bytes.data(), bytes.size()) != bytes.size()) m_ok = false;
    m_stage.Clear();
    return m_ok;
  }

private:
  TStream& m_target;
  StageStream m_stage;
  int m_open = 0;
  bool m_ok = true;
};

namespace {

std::unique_ptr<WorldListItem> AsListItem(std::unique_ptr<WorldFactoryItem> made) {
  auto* item = dynamic_cast<WorldListItem*>(made.get());
  if (!item) return nullptr;  // not a list item: deleted with made
  made.release();
  return std::unique_ptr<WorldListItem>(item);
}

}  // namespace

// ---- the list ----

WorldList::WorldList() = default;

WorldList::~WorldList() { Clear(); }

WorldListItem* WorldList::At(uint32_t index) const {
  if (index >= m_slotCount) return nullptr;
  const size_t page = index / kPageSlots;
  if (page >= m_pages.size() || !m_pages[page]) return nullptr;
  return (*m_pages[page])[index % kPageSlots];
}

WorldListItem** WorldList::SlotFor(uint32_t index) {
  const size_t page = index / kPageSlots;
  if (page >= m_pages.size()) m_pages.resize(page + 1);
  if (!m_pages[page]) m_pages[page] = std::make_unique<Page>();
  return &(*m_pages[page])[index % kPageSlots];
}

void WorldList::Enter(uint32_t index, std::unique_ptr<WorldListItem>& item) {
  WorldListItem* raw = item.get();
  *SlotFor(index) = item.release();
  raw->m_list = this;
  raw->m_index = index;
  ++m_itemCount;
  raw->OnAdded();
  if (m_grid) GridInsert(raw);
}

uint32_t WorldList::Add(std::unique_ptr<WorldListItem>& item) {
  if (!item || item->m_list) return kNoIndex;
  while (m_evenHint < m_slotCount && At(m_evenHint)) m_evenHint += 2;
  if (m_evenHint >= m_slotCount) {
    if (m_slotCount > kNoIndex - 2) return kNoIndex;  // the index space is used up
    m_slotCount += 2;
  }
  const uint32_t index = m_evenHint;
  m_evenHint = index + 2;
  Enter(index, item);
  return index;
}

bool WorldList::AddAt(uint32_t index, std::unique_ptr<WorldListItem>& item) {
  if (!item || item->m_list || index == kNoIndex) return false;
  if (index < m_slotCount && At(index)) return false;
  if (index >= m_slotCount) m_slotCount = index + 1;
  Enter(index, item);
  return true;
}

std::unique_ptr<WorldListItem> WorldList::Remove(WorldListItem* item) {
  if (!item || item->m_list != this) return nullptr;
  if (m_grid) GridErase(item);
  item->OnRemoved();
  const uint32_t index = item->m_index;
  *SlotFor(index) = nullptr;
  --m_itemCount;
  item->m_list = nullptr;
  item->m_index = kNoIndex;
  if (index % 2 == 0 && index < m_evenHint) m_evenHint = index;
  return std::unique_ptr<WorldListItem>(item);
}

void WorldList::Clear() {
  if (m_grid) m_grid->clear();
  ForEach([this](uint32_t, WorldListItem* item) { Remove(item); });
  m_pages.clear();
  m_slotCount = 0;
  m_itemCount = 0;
  m_evenHint = 0;
}

void WorldList::DeleteItems(uint32_t mask, uint32_t value) {
  if (m_grid && mask == 0) m_grid->clear();
  ForEach([&](uint32_t, WorldListItem* item) {
    if (Passes(*item, mask, value)) Remove(item);
  });
}

void WorldList::Notify() {
  ForEach([](uint32_t, WorldListItem* item) { item->Notify(); });
}

void WorldList::Dispatch(void* argument, uint32_t mask) {
  const uint32_t m = mask | 1;
  ForEach([&](uint32_t, WorldListItem* item) {
    if ((item->GetFlags() & m) == m) item->Dispatch(argument, m);
  });
}

// ---- grid ----

namespace {
// Most cells one item may cover; bounds beyond it are taken as bad data.
constexpr int64_t kMaxCellsPerItem = 1 << 16;

uint32_t CellKey(int32_t x, int32_t y) {
  return static_cast<uint32_t>(static_cast<uint16_t>(x)) | static_cast<uint32_t>(static_cast<uint16_t>(y))
                                                               << 16;
}
}  // namespace

void WorldList::EnableGrid() {
  if (m_grid) return;
  m_grid = std::make_unique<Grid>();
  ForEach([this](uint32_t, WorldListItem* item) { GridInsert(item); });
}

void WorldList::GridInsert(WorldListItem* item) {
  const WorldBounds b = item->GetWorldBounds();
  Kiv::WorldCoordinate lo{b.tileX, b.tileY, b.minX, b.minY, b.minZ, false};
  Kiv::WorldCoordinate hi{b.tileX, b.tileY, b.maxX, b.maxY, b.maxZ, false};
  lo.Normalize();
  hi.Normalize();
  const int64_t width = int64_t{hi.tileX} - lo.tileX + 1;
  const int64_t height = int64_t{hi.tileY} - lo.tileY + 1;
  if (width <= 0 || height <= 0 || width * height > kMaxCellsPerItem) return;
  for (int32_t y = lo.tileY; y <= hi.tileY; ++y)
    for (int32_t x = lo.tileX; x <= hi.tileX; ++x) (*m_grid)[CellKey(x, y)].insert(item);
}

void WorldList::GridErase(WorldListItem* item) {
  for (auto it = m_grid->begin(); it != m_grid->end();) {
    it->second.erase(item);
    it = it->second.empty() ? m_grid->erase(it) : std::next(it);
  }
}

std::vector<WorldListItem*> WorldList::ItemsInTile(int16_t x, int16_t y) const {
  std::vector<WorldListItem*> items;
  if (!m_grid) return items;
  auto it = m_grid->find(CellKey(x, y));
  if (it == m_grid->end()) return items;
  items.assign(it->second.begin(), it->second.end());
  std::sort(items.begin(), items.end(), [](auto* a, auto* b) { return a->GetIndex() < b->GetIndex(); });
  return items;
}

// ---- record stream ----

bool WorldList::Save(TStream& stream, uint32_t mask, uint32_t value) {
  RecordWriter out(stream);
  bool ok = true;
  out.Word(5);
  out.Word(m_stamp);
  ForEach([&](uint32_t index, WorldListItem* item) {
    if (!Passes(*item, mask, value)) return;
    const KUID kuid = item->GetKUID();
    out.Word(index);
    out.Word(item->GetTypeCode());
    out.Word(static_cast<uint32_t>(kuid.content));
    out.Word(kuid.PackedWord());
    const size_t length = out.OpenLength();
    // An item with nothing of its own writes nothing; the record's length frames what it wrote.
    (void)item->SaveRecord(out.Data());
    ok = out.CloseLength(length, kMaxRecordLength) && ok;
    out.Flush(false);
  });
  out.Word(kEndOfRecords);
  ok = SaveFlagSection(out, mask, value) && ok;
  return out.Flush(true) && ok;
}

void WorldList::Load(TStream& stream, bool clearFirst, uint32_t flags) {
  if (clearFirst) Clear();
  RecordCursor in(stream);
  uint32_t version;
  if (!in.Word(version) || version < 1 || version > 5) return;
  const uint32_t stamp = m_stamp;
  if (version == 5) in.Word(m_stamp);
  if (version == 2)
    LoadRecordsV2(in);
  else if (version >= 3)
    LoadRecords(in);
  m_stamp = stamp;
  if (version >= 4) LoadFlagSection(in, flags);
}

void WorldList::LoadRecordsV2(RecordCursor& in) {
  for (;;) {
    uint32_t index, type;
    if (!in.Word(index) || index == kEndOfRecords) return;
    if (!in.Word(type)) type = 0;
    if (index >= kMaxLoadedSlots) return;
    // Version 2 records carry no length: the item reads the stream itself.
    WorldListItem* item = At(index);
    if (item && item->GetTypeCode() == type) {
      // An item that cannot read its record stays as it was; the reader goes on at the next record.
      (void)item->LoadRecord(in.Stream());
      in.Resync();
      continue;
    }
    if (item) Remove(item);
    std::unique_ptr<WorldListItem> made =
        AsListItem(WorldItemFactory::Create(type, m_factoryContext, in.Stream()));
    in.Resync();
    if (!made) return;
    // A refused item is deleted by AddAt.
    (void)AddAt(index, made);  // a refused item is deleted here
  }
}

void WorldList::LoadRecords(RecordCursor& in) {
  const int64_t streamLength = in.Stream().GetLength();  // 0 when the stream cannot tell
  for (;;) {
    // The record's head in one read: index, type, KUID (two words), length.
    const int64_t at = in.Pos();
    uint32_t head[5];
    const size_t got = in.UpTo(head, 5);
    if (got >= 4 && head[0] == kEndOfRecords) {
      in.MoveTo(at + 4);  // give back what follows the end word
      return;
    }
    if (got < sizeof head) {
      in.Stream().SetError(TStream::kErrorShortRead);
      return;
    }
    const uint32_t index = head[0];
    const uint32_t type = head[1];
    const uint32_t length = head[4];
    if (length > kMaxRecordLength || index >= kMaxLoadedSlots) return;
    const int64_t end = in.Pos() + length;
    if (streamLength > 0 && end > streamLength) return;  // a truncated record
    WorldListItem* loaded = nullptr;
    {
      TSubFile record = in.Window(end);
      WorldListItem* item = At(index);
      if (item && item->GetTypeCode() == type) {
        // An item that cannot read its record stays as it was; the reader goes on at the next record.
        (void)item->LoadRecord(record);
        loaded = item;
      } else {
        if (item) Remove(item);
        std::unique_ptr<WorldListItem> made =
            AsListItem(WorldItemFactory::Create(type, m_factoryContext, record));
        WorldListItem* raw = made.get();
        if (made && AddAt(index, made)) loaded = raw;
      }
      in.After(record);
    }
    if (!in.MoveTo(end)) {
      if (loaded) Remove(loaded);
      return;
    }
  }
}

// ---- flag section ----

bool WorldList::SaveFlagSection(RecordWriter& out, uint32_t mask, uint32_t value) {
  bool ok = true;
  const size_t section = out.OpenLength();
  out.Word(kSectionMarker);
  out.Word(5);
  out.Word(m_stamp);
  if (mask & value & kFlagExtra) {
    ForEach([&](uint32_t index, WorldListItem* item) {
      if (!Passes(*item, mask, value)) return;
      out.Word(index);
      out.Word(item->GetTypeCode());
      const size_t length = out.OpenLength();
      // An item with nothing of its own writes nothing; the record's length frames what it wrote.
      (void)item->SaveExtra(out.Data());
      ok = out.CloseLength(length, kMaxRecordLength) && ok;
    });
  }
  out.Word(kEndOfRecords);
  return out.CloseLength(section, 0xFFFFFFFFu) && ok;
}

void WorldList::LoadFlagSection(RecordCursor& in, uint32_t flags) {
  uint32_t length;
  if (!in.Word(length)) return;  // nothing follows
  const int64_t body = in.Pos();
  const int64_t sectionEnd = body + length;
  if (!(flags & kFlagExtra)) {
    in.MoveTo(sectionEnd);
    return;
  }
  uint32_t marker, version = 0;
  if (in.Word(marker) && marker == kSectionMarker) {
    if (!in.Word(version) || version >= 6) {
      in.MoveTo(sectionEnd);
      return;
    }
  } else {
    version = 0;  // no marker: the records start right after the length
    if (!in.MoveTo(body)) return;
  }
  const uint32_t stamp = m_stamp;
  if (version >= 2) in.Word(m_stamp);
  for (;;) {
    uint32_t index, type = kBlankType, recordLength;
    if (!in.Word(index) || index == kEndOfRecords) break;
    if (version != 0 && !in.Word(type)) type = 0;
    if (index >= m_slotCount) break;
    if (!in.Word(recordLength) || recordLength == kSectionMarker || recordLength == kEndOfRecords) break;
    const int64_t end = in.Pos() + recordLength;
    if (end > sectionEnd) break;
    WorldListItem* item = At(index);
    if (item && item->GetTypeCode() == type) {
      TSubFile record = in.Window(end);
      // An item that cannot read its record stays as it was; the reader goes on at the next record.
      (void)item->LoadExtra(record);
      in.After(record);
    }
    if (!in.MoveTo(end)) break;
  }
  m_stamp = stamp;
  in.MoveTo(sectionEnd);
}

// ---- object section ----

bool WorldList::SaveSection(TStream& stream) {
  RecordWriter out(stream);
  bool ok = true;
  const size_t section = out.OpenLength();
  out.Word(kSectionMarker);
  out.Word(1);
  ForEach([&](uint32_t index, WorldListItem* item) {
    if (item->GetTypeCode() != kWorldTypeObject) return;
    out.Word(index);
    const size_t length = out.OpenLength();
    // An item with nothing of its own writes nothing; the record's length frames what it wrote.
    (void)item->SaveSectionData(out.Data());
    ok = out.CloseLength(length, kMaxRecordLength) && ok;
  });
  out.Word(kEndOfRecords);
  ok = out.CloseLength(section, 0xFFFFFFFFu) && ok;
  return out.Flush(true) && ok;
}

void WorldList::LoadSection(TStream& stream) {
  RecordCursor in(stream);
  uint32_t length;
  if (!in.Word(length)) return;
  const int64_t sectionEnd = in.Pos() + length;
  uint32_t head[2];
  if (in.Words(head, 2) && head[0] == kSectionMarker && head[1] <= 1) {
    uint32_t previousLength = length;
    for (;;) {
      uint32_t index, recordLength;
      if (previousLength == kSectionMarker) break;  // an unpatched placeholder: the writer never finished
      if (!in.Word(index) || index == kEndOfRecords || index >= m_slotCount) break;
      if (!in.Word(recordLength)) recordLength = 0;
      previousLength = recordLength;
      const int64_t end = in.Pos() + recordLength;
      if (end > sectionEnd) break;
      WorldListItem* item = At(index);
      if (item && item->GetTypeCode() == kWorldTypeObject && recordLength != 0) {
        TSubFile record = in.Window(end);
        // An item that cannot read its record stays as it was; the reader goes on at the next record.
        (void)item->LoadSectionData(record);
        in.After(record);
      }
      if (!in.MoveTo(end)) break;
    }
  }
  in.MoveTo(sectionEnd);
}
