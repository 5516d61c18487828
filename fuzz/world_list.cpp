// World-list streams: any bytes load without a crash, a hang or a large
// allocation, a failed load keeps the list usable, and what was loaded saves
// and reloads to the same items.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "foundation/Stream.h"
#include "scriptlib/WorldList.h"

namespace {

constexpr uint32_t kFuzzType = WorldTypeCode('f', 'u', 'z', 'z');

// Reads its record as a stream string and its extra data as a u32.
class FuzzItem : public WorldListItem {
public:
  explicit FuzzItem(uint32_t type) : m_type(type) {}
  uint32_t GetTypeCode() const override { return m_type; }
  bool LoadRecord(TStream& s) override {
    text = s.ReadString();
    return s.GetError() == 0;
  }
  bool SaveRecord(TStream& s) override {
    s.WriteString(text);
    return true;
  }
  bool LoadExtra(TStream& s) override {
    extra = s.ReadU32();
    return true;
  }
  bool SaveExtra(TStream& s) override {
    s.WriteU32(extra);
    return true;
  }
  bool LoadSectionData(TStream& s) override { return LoadRecord(s); }
  bool SaveSectionData(TStream& s) override { return SaveRecord(s); }
  uint32_t GetFlags() override { return 1 | WorldList::kFlagExtra; }

  std::string text;
  uint32_t extra = 0;

private:
  uint32_t m_type;
};

class FuzzFactory : public WorldItemFactory {
public:
  FuzzFactory() : WorldItemFactory(kFuzzType, Kiv::PString("fuzz")) {}
  std::unique_ptr<WorldFactoryItem> CreateItem(uintptr_t, TStream& stream) override {
    auto item = std::make_unique<FuzzItem>(kFuzzType);
    item->LoadRecord(stream);
    return item;
  }
};

void AddItem(WorldList& list, uint32_t type) {
  std::unique_ptr<WorldListItem> item = std::make_unique<FuzzItem>(type);
  list.Add(item);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFactory factory;
  WorldList list;
  AddItem(list, kFuzzType);
  AddItem(list, kWorldTypeObject);
  AddItem(list, WorldTypeCode(' ', ' ', ' ', ' '));
  TBuffer in(data, size);
  list.Load(in, false, WorldList::kFlagExtra);
  list.LoadSection(in);
  if (list.SlotCount() > WorldList::kMaxLoadedSlots) std::abort();

  // Everything loaded saves and reloads as the same set of items.
  TBuffer out;
  if (!list.Save(out, 0, 0)) std::abort();
  // Any result will do: the run looks for faults, not answers.
  (void)out.Rewind();
  WorldList copy;
  copy.Load(out, true, WorldList::kFlagExtra);
  size_t fuzzItems = 0;
  list.ForEach([&](uint32_t index, WorldListItem* listed) {
    auto* item = dynamic_cast<FuzzItem*>(listed);
    if (!item || item->GetTypeCode() != kFuzzType) return;
    ++fuzzItems;
    auto* again = dynamic_cast<FuzzItem*>(copy.At(index));
    if (!again || again->text != item->text) std::abort();
  });
  if (copy.ItemCount() != fuzzItems) std::abort();
  return 0;
}
