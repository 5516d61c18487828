// The plain-function natives of "LinkedList" (sorting and adding LinkedData
// items of a script array) and "ConstructorsBase" (new native objects).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "gamescript/runtime/Class.h"
#include "scriptlib/GSOImage.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

// The three cells a LinkedData item is read by: its key text, int and object.
struct LinkedItem {
  std::string_view key;  // a null key reads as the empty text
  int32_t value = 0;
  const GSScriptInstance* object = nullptr;
};

// Where a class keeps the three cells of its LinkedData block. A list holds
// items of one class or few: the layout is found once per class met, not
// once per item.
struct LinkedLayout {
  const GSClass* cls = nullptr;
  bool valid = false;
  bool gameObject = false;  // a script-made game object's cells are not read
  int64_t cells[3] = {};    // from the start of the instance's cells
};

void FindLayout(GSScriptInstance* instance, LinkedLayout& layout) {
  GSClass* cls = instance->cls;
  layout = LinkedLayout();
  layout.cls = cls;
  GSClass* data = cls->Name() == "LinkedData" ? cls : nullptr;
  for (const GSAncestor& a : cls->Ancestors())
    if (!data && a.cls && a.cls->Name() == "LinkedData") data = a.cls;
  if (!data) return;
  const uint32_t* block = cls->GetClassData(instance, data);
  // The first three members in cell order: key, value, data.
  const LibraryClass::Variable* members[3] = {};
  for (const LibraryClass::Variable& v : data->Record().variables) {
    const LibraryClass::Variable* m = &v;
    for (auto& slot : members)
      if (!slot || m->cell < slot->cell) std::swap(slot, m);
  }
  if (!block || !members[2]) return;
  for (int i = 0; i < 3; ++i) {
    if (members[i]->cell < 0) return;
    layout.cells[i] = int64_t(block - instance->cells) + members[i]->cell;
  }
  layout.gameObject = cls->IsDerivedFrom("GameObject");
  layout.valid = true;
}

// The cells of the LinkedData block of the object behind `handle`; false when
// it is null or not a LinkedData, so a differently shaped object is never read.
bool ReadLinkedItem(uint32_t handle, LinkedItem& out, LinkedLayout& layout) {
  out = LinkedItem();
  GSScriptInstance* instance = HandleTable::Instance().Get(handle);
  if (!instance || !instance->cls) return false;
  // A game object made by a script has no cells of its own to read.
  if (instance->cls != layout.cls || (!instance->native && layout.gameObject)) {
    FindLayout(instance, layout);
    // The layout stays for the class's native instances: look again next time.
    if (!instance->native && layout.gameObject) layout.cls = nullptr;
  }
  if (!layout.valid || (!instance->native && layout.gameObject)) return false;
  uint32_t cells[3];
  for (int i = 0; i < 3; ++i) {
    if (uint64_t(layout.cells[i]) >= instance->words) return false;
    cells[i] = instance->cells[layout.cells[i]];
  }
  const GSObjectReference* key = GetObject(cells[0]);
  if (key && key->Type() == ObjectString) out.key = static_cast<const GSString*>(key)->Text();
  out.value = int32_t(cells[1]);
  out.object = HandleTable::Instance().Get(cells[2]);
  return true;
}

// What reading one item costs beside its key's bytes: its handle's slot,
// the object's record and cells, and the key's slot and record, a cache line
// each, met in no order a prefetch could follow.
constexpr uint64_t kItemReadBytes = 4 * 64;

// A byte of a key compared pays this many bytes of work: the two keys are
// read side by side, and long keys come from memory beyond the cache at
// about half the speed of a copy.
constexpr uint64_t kKeyByteWeight = 3;

// Compares two keys as std::string_view::compare does, adding to `read` the
// work of the bytes it compares: up to the first difference, not the whole
// keys.
int CompareKeys(std::string_view a, std::string_view b, uint64_t& read) {
  const size_t n = std::min(a.size(), b.size());
  size_t same = 0;
  // Long equal stretches go by in large steps; the difference is then found
  // in small ones.
  for (const size_t step : {size_t(4096), size_t(64)})
    while (same + step <= n && std::memcmp(a.data() + same, b.data() + same, step) == 0) same += step;
  while (same < n && a[same] == b[same]) ++same;
  read += (same + 1) * kKeyByteWeight;
  if (same < n) return uint8_t(a[same]) < uint8_t(b[same]) ? -1 : 1;
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Selection sort's order (for each position, the first of the smallest keys
// from there on is swapped into it), reached in n log n steps: a tree over
// the positions keeps the first smallest key of each range, and a position
// leaves it once filled. Equal keys end where selection sort puts them.
void SortInternal(GSContext*, GSStack& stack) {
  GSArray* list = nullptr;
  if (!GetNativeParameter(stack, 1, list, false) || !list->ObjectElements()) return;
  const size_t n = list->Size();
  if (n < 2) return;
  uint32_t* cells = list->Data();
  std::vector<std::string_view> keys(n);
  LinkedItem item;
  LinkedLayout layout;
  for (size_t i = 0; i < n; ++i) {
    ReadLinkedItem(cells[i], item, layout);
    keys[i] = item.key;
  }
  constexpr size_t kNone = SIZE_MAX;
  size_t leaves = 1;
  while (leaves < n) leaves *= 2;
  std::vector<size_t> tree(2 * leaves, kNone);
  // Keys read past what the run can still pay end the sort there: the run
  // ends at its next jump, and the items stay, part sorted.
  const uint64_t affordable = RunBudgetBytesLeft();
  uint64_t comparisons = 0, read = 0;
  const auto first = [&](size_t a, size_t b) {
    if (a == kNone) return b;
    if (b == kNone) return a;
    ++comparisons;
    return CompareKeys(keys[b], keys[a], read) < 0 ? b : a;  // a lies left of b
  };
  const auto spent = [&] { return read > affordable; };
  const auto update = [&](size_t position, size_t value) {
    size_t at = leaves + position;
    tree[at] = value;
    for (at /= 2; at >= 1; at /= 2) tree[at] = first(tree[2 * at], tree[2 * at + 1]);
  };
  for (size_t i = 0; i < n; ++i) tree[leaves + i] = i;
  for (size_t at = leaves - 1; at >= 1 && !spent(); --at) tree[at] = first(tree[2 * at], tree[2 * at + 1]);
  for (size_t i = 0; i + 1 < n && !spent(); ++i) {
    const size_t minimum = tree[1];
    // A swap moves the two references, so no count changes.
    if (minimum != i) {
      std::swap(cells[i], cells[minimum]);
      std::swap(keys[i], keys[minimum]);
      update(minimum, minimum);
    }
    update(i, kNone);
  }
  PayRunBudget(n * kItemReadBytes + comparisons * kBytesPerBudgetByte + read);
}

void AddInternal(GSContext*, GSStack& stack) {
  GSArray* list = nullptr;
  if (!GetNativeParameter(stack, 1, list, false) || !list->ObjectElements()) return;
  const uint32_t item = stack.Argument(2);
  if (!HandleTable::Instance().Get(item)) return;
  if (GetNativeBoolParameter(stack, 3)) {
    LinkedItem added, present;
    LinkedLayout layout;
    if (!ReadLinkedItem(item, added, layout)) return;
    // Keys read past what the run can still pay end the check, and nothing
    // is added: the run ends at its next jump.
    const uint64_t affordable = RunBudgetBytesLeft();
    uint64_t read = 0;
    bool held = false;
    size_t walked = 0;
    for (; walked < list->Size() && !held && read <= affordable; ++walked)
      held = ReadLinkedItem(list->At(walked), present, layout) &&
             CompareKeys(present.key, added.key, read) == 0 && present.value == added.value &&
             present.object == added.object;
    PayRunBudget((walked + 1) * kItemReadBytes + read);
    if (held || read > affordable) return;
  }
  // The list below the size limit always takes one more.
  (void)SetArrayElement(int32_t(list->Size()), *list, item);
}

void NewSoup(GSContext* context, GSStack& stack) {
  PushObject(stack, GSOSoup::Create(context, SoupRef(), false), false);
}

void NewKUIDList(GSContext* context, GSStack& stack) {
  PushObject(stack, GSOKUIDList::Create(context), false);
}

void NewImage(GSContext* context, GSStack& stack) { PushObject(stack, GSOImage::Create(context), false); }

}  // namespace

void RegisterLinkedListNatives() {
  GSMachine& machine = GSMachine::Instance();
  AddNative(machine, "LinkedList", "$void@LinkedList::SortInternal(LinkedData[])", &SortInternal);
  AddNative(machine, "LinkedList", "$void@LinkedList::AddInternal(LinkedData[],LinkedData,bool)",
            &AddInternal);
}

void RegisterConstructorsBaseNatives() {
  GSMachine& machine = GSMachine::Instance();
  AddNative(machine, "ConstructorsBase", "$Soup@ConstructorsBase::NewSoup()", &NewSoup);
  AddNative(machine, "ConstructorsBase", "$KUIDList@ConstructorsBase::NewKUIDList()", &NewKUIDList);
  AddNative(machine, "ConstructorsBase", "$Image@ConstructorsBase::NewImage()", &NewImage);
}
