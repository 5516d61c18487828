#include "gamescript/runtime/Class.h"

#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <unordered_map>

#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/ScriptLogHook.h"

namespace GSRuntime {

namespace {

GSClass::InitialiserRunner g_runner = nullptr;

}  // namespace

void GSClass::SetInitialiserRunner(InitialiserRunner runner) { g_runner = runner; }

int32_t GSFunction::LineOf(uint32_t offset) const {
  const std::size_t n = record->LineCount();
  if (n == 0) return -1;
  std::size_t i = 0;
  while (i < n && record->LineOffset(i) <= offset) ++i;
  return int32_t(record->LineNumber(i == 0 ? 0 : i - 1));
}

GSClass::GSClass(GSMachine* machine, GSLibrary* library, uint32_t index, const LibraryClass& record,
                 std::pmr::memory_resource* memory)
    : m_machine(machine),
      m_library(library),
      m_index(index),
      m_record(record),
      m_memory(memory),
      m_referenceCells(memory) {
  // The tables in one block: their sizes are the record's, and nothing in
  // them needs unmaking.
  static_assert(
      std::is_trivially_destructible_v<GSAncestor> && std::is_trivially_destructible_v<GSFunction> &&
      std::is_trivially_destructible_v<GSDispatchEntry> && std::is_trivially_destructible_v<HandleView>);
  static_assert(alignof(GSFunction) <= 8 && alignof(GSDispatchEntry) <= 8 && alignof(GSAncestor) <= 8 &&
                alignof(HandleView) <= 8);
  const auto whole = [](std::size_t bytes) { return (bytes + 7) & ~std::size_t(7); };
  const std::size_t functions = record.functions.size(), entries = record.table.size(),
                    ancestors = record.ancestors.size();
  const std::size_t functionBytes = whole(functions * sizeof(GSFunction)),
                    entryBytes = whole(entries * sizeof(GSDispatchEntry)),
                    ancestorBytes = whole(ancestors * sizeof(GSAncestor));
  auto* block = static_cast<uint8_t*>(
      memory->allocate(functionBytes + entryBytes + ancestorBytes + (ancestors + 1) * sizeof(HandleView), 8));
  m_functions = {reinterpret_cast<GSFunction*>(block), functions};
  m_dispatch = {reinterpret_cast<GSDispatchEntry*>(block + functionBytes), entries};
  m_ancestors = {reinterpret_cast<GSAncestor*>(block + functionBytes + entryBytes), ancestors};
  m_blocks = {reinterpret_cast<HandleView*>(block + functionBytes + entryBytes + ancestorBytes),
              ancestors + 1};

  for (std::size_t i = 0; i < ancestors; ++i) {
    const LibraryClass::Ancestor& a = record.ancestors[i];
    new (&m_ancestors[i]) GSAncestor{nullptr, a.classImport, a.offset, a.direct != 0};
  }
  for (std::size_t i = 0; i < functions; ++i) {
    const LibraryFunction& f = record.functions[i];
    GSFunction* made = new (&m_functions[i]) GSFunction();
    made->owner = this;
    made->record = &f;
    made->key = f.key;
    made->shape = GSLibrary::ShapeOf(f);
    m_natives = m_natives || (f.flags & kFunctionNative);
  }
  for (std::size_t i = 0; i < entries; ++i)
    new (&m_dispatch[i]) GSDispatchEntry{nullptr, record.table[i].functionImport, record.table[i].offset};
  // One view per block: the class's own, then each ancestor's; the second
  // cell of a block names where its part of the function table starts.
  // Few records are scanned; many are indexed, so a crafted order costs no more.
  const auto& records = record.initialValues;
  std::optional<std::unordered_map<int32_t, uint32_t>> parts;
  if (records.size() > 32) {
    parts.emplace();
    for (const LibraryClass::InitialValue& v : records)
      if (v.kind == kLayoutTablePart) parts->emplace(v.cell, uint32_t(v.value));  // the first stays
  }
  auto dispatchBase = [&](int32_t block) {
    if (parts) {
      const auto found = parts->find(block + 1);
      return found == parts->end() ? 0u : found->second;
    }
    for (const LibraryClass::InitialValue& v : records)
      if (v.kind == kLayoutTablePart && v.cell == block + 1) return uint32_t(v.value);
    return 0u;
  };
  new (&m_blocks[0]) HandleView{nullptr, 0, dispatchBase(0)};
  for (std::size_t i = 0; i < ancestors; ++i)
    new (&m_blocks[i + 1])
        HandleView{nullptr, uint32_t(m_ancestors[i].offset), dispatchBase(m_ancestors[i].offset)};
}

GSFunction* GSClass::FindMethod(std::string_view method) const {
  constexpr std::size_t kScanned = 16;  // a short list is scanned
  if (m_functions.size() <= kScanned) {
    for (const GSFunction& f : m_functions)
      if (IsMethod(f.key, method)) return const_cast<GSFunction*>(&f);
    return nullptr;
  }
  if (m_methods.empty()) {
    m_methods.reserve(m_functions.size());
    for (const GSFunction& f : m_functions) m_methods.emplace(MethodPart(f.key), const_cast<GSFunction*>(&f));
  }
  const auto found = m_methods.find(method);
  return found == m_methods.end() ? nullptr : found->second;
}

bool GSClass::ResolveAncestors() {
  const auto& imports = m_library->ClassImports();
  for (GSAncestor& a : m_ancestors) {
    a.cls = a.classImport < imports.size() ? imports[a.classImport].cls : nullptr;
    if (!a.cls) return false;
  }
  return true;
}

bool GSClass::Link(uint64_t& steps) {
  if (!m_machine || !ResolveAncestors()) return false;
  Kiv::PString className;  // interned only for a class with natives
  // Without natives or ancestors there is nothing to find per function.
  const std::span<GSFunction> linked =
      m_natives || !m_ancestors.empty() ? m_functions : std::span<GSFunction>();
  for (GSFunction& f : linked) {
    if (f.IsNative()) {
      if (className.IsNull()) className = Kiv::PString(Name());
      f.native = m_machine->FindNativeFunction(className, Kiv::PString(f.key));
      if (!f.native && ScriptLogHook)
        ScriptLogHook("Could not resolve native link %s", std::string(f.key).c_str());
      continue;
    }
    const std::string_view method = MethodPart(f.key);
    for (const GSAncestor& a : m_ancestors) {
      if (steps == 0) return false;
      --steps;
      if ((f.inherited = a.cls->FindMethod(method))) {
        f.inheritedOffset = a.offset;
        break;
      }
    }
  }
  const auto& functions = m_library->FunctionImports();
  // An instance's views follow the blocks' order: a call finds the view of
  // its callee's block without a search. Few blocks are scanned.
  std::unordered_map<uint32_t, uint32_t> firstView;
  if (m_blocks.size() > 8)
    for (std::size_t i = 0; i < m_blocks.size(); ++i) firstView.emplace(m_blocks[i].block, uint32_t(i));
  for (GSDispatchEntry& e : m_dispatch) {
    e.function = functions[e.functionImport].function;
    e.view = GSDispatchEntry::kNoView;
    if (e.offset < 0) continue;
    if (!firstView.empty()) {
      const auto found = firstView.find(uint32_t(e.offset));
      if (found != firstView.end()) e.view = found->second;
      continue;
    }
    for (std::size_t i = 0; i < m_blocks.size() && e.view == GSDispatchEntry::kNoView; ++i)
      if (m_blocks[i].block == uint32_t(e.offset)) e.view = uint32_t(i);
  }
  return true;
}

GSClass* GSClass::FindFunction(std::string_view key, int32_t& index, int32_t& offset) {
  index = FindFunctionIndex(key);
  offset = 0;
  if (index >= 0) return this;
  for (const GSAncestor& a : m_ancestors) {
    if (!a.cls) continue;
    index = a.cls->FindFunctionIndex(key);
    if (index >= 0) {
      offset = a.offset;
      return a.cls;
    }
  }
  return nullptr;
}

int32_t GSClass::FindFunctionIndex(std::string_view key) const {
  for (std::size_t i = 0; i < m_functions.size(); ++i)
    if (m_functions[i].key == key) return int32_t(i);
  return -1;
}

bool GSClass::IsDerivedFrom(std::string_view name) const {
  if (Name() == name) return true;
  const auto& imports = m_library->ClassImports();
  for (auto a = m_ancestors.rbegin(); a != m_ancestors.rend(); ++a) {
    if (a->cls ? a->cls->Name() == name
               : (a->classImport < imports.size() && imports[a->classImport].name == name))
      return true;
  }
  return false;
}

uint32_t* GSClass::GetClassData(GSScriptInstance* instance, const GSClass* cls) const {
  if (!instance || instance->cls != this) return nullptr;
  if (!instance->native && IsDerivedFrom("GameObject")) return nullptr;
  if (cls == this) return instance->cells;
  for (auto a = m_ancestors.rbegin(); a != m_ancestors.rend(); ++a)
    if (a->cls == cls) return instance->cells + a->offset;
  return nullptr;
}

bool GSClass::MapReferenceCells() {
  if (m_layout >= 0) return m_layout == 1;
  m_layout = 0;
  m_referenceCells.assign(InstanceWords(), 0);
  auto mark = [&](const GSClass* cls, uint32_t block) {
    for (int32_t cell : cls->m_record.objectMembers) {
      const uint64_t at = uint64_t(block) + uint32_t(cell);
      if (at >= m_referenceCells.size()) continue;  // as ReleaseObjectMembers skips it
      if (m_referenceCells[at]) return false;
      m_referenceCells[at] = 1;
    }
    return true;
  };
  for (const GSAncestor& a : m_ancestors)
    if (a.cls && !mark(a.cls, uint32_t(a.offset))) return false;
  if (!mark(this, 0)) return false;
  for (const LibraryClass::InitialValue& v : m_record.initialValues)
    if (v.value != 0 && m_referenceCells[uint32_t(v.cell)]) return false;
  m_layout = 1;
  return true;
}

namespace {
uint64_t InstanceBytes(uint32_t words, uint32_t views) {
  return sizeof(GSScriptInstance) + 4ull * (words + views);
}
}  // namespace

bool GSClass::CreateInstance(GSObject* native, GSContext* context) {
  if (!native || native->Instance()) return false;
  if (!MapReferenceCells()) {
    if (ScriptLogHook)
      ScriptLogHook("GSClass::CreateInstance> member references of %s overlap", std::string(Name()).c_str());
    return false;
  }
  const uint32_t words = InstanceWords();
  const uint32_t views = uint32_t(m_blocks.size());
  if (!ScriptMemory::Take(InstanceBytes(words, views))) return false;
  void* memory = ContextHeap().Alloc(InstanceBytes(words, views));
  if (!memory) {
    ScriptMemory::Give(InstanceBytes(words, views));
    return false;
  }
  auto* instance = new (memory) GSScriptInstance();
  instance->cells = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(memory) + sizeof(GSScriptInstance));
  instance->views = instance->cells + words;
  instance->words = words;
  instance->viewCount = views;
  for (uint32_t i = 0; i < words + views; ++i) instance->cells[i] = 0;
  instance->cls = this;
  std::vector<HandleView> blocks(m_blocks.begin(), m_blocks.end());
  for (HandleView& b : blocks) b.instance = instance;
  if (!instance->MakeViews(blocks)) {
    instance->~GSScriptInstance();
    ContextHeap().Free(memory);
    ScriptMemory::Give(InstanceBytes(words, views));
    return false;
  }
  if (context) {
    instance->pool = &context->Pool();
    context->Pool().Track(instance);
  }
  instance->native = native;
  native->Attach(instance->Handle(), context);
  for (const LibraryClass::InitialValue& v : m_record.initialValues)
    instance->cells[v.cell] = uint32_t(v.value);

  // Initialisers: each ancestor's, from the last entry to the first, then the
  // class's own.
  auto run = [&](GSClass* cls, uint32_t block) {
    GSFunction& init = cls->m_functions.back();
    if (init.record->code.empty()) return true;
    if (!g_runner) {
      if (ScriptLogHook)
        ScriptLogHook("GSClass::CreateInstance> no interpreter for the initialiser of %s",
                      std::string(cls->Name()).c_str());
      return false;
    }
    return g_runner(init, instance->HandleOfBlock(block));
  };
  bool ok = true;
  for (auto a = m_ancestors.rbegin(); ok && a != m_ancestors.rend(); ++a)
    ok = run(a->cls, uint32_t(a->offset));
  if (ok) ok = run(this, 0);
  if (ok) return true;

  // Undo. When the failed initialiser handed the instance to someone else,
  // they keep a valid instance without a native object.
  native->Attach(0, nullptr);
  instance->native = nullptr;
  if (instance->refCount > 1)
    ReleaseReference(instance);
  else
    // An instance whose members go anyway: the instance is gone after this.
    (void)DestroyInstance(instance);
  return false;
}

bool GSClass::ReleaseObjectMembers(GSScriptInstance* instance) {
  if (!instance || instance->cls != this) return false;
  auto release = [&](const GSClass* cls, uint32_t block) {
    for (int32_t cell : cls->m_record.objectMembers) {
      const uint64_t at = uint64_t(block) + uint32_t(cell);
      if (at >= instance->words) continue;
      const uint32_t h = instance->cells[at];
      instance->cells[at] = 0;
      ReleaseHandle(h);
    }
  };
  for (auto a = m_ancestors.rbegin(); a != m_ancestors.rend(); ++a)
    if (a->cls) release(a->cls, uint32_t(a->offset));
  release(this, 0);
  return true;
}

bool GSClass::DestroyInstance(GSScriptInstance* instance) {
  if (!instance || instance->cls != this) return false;
  // An instance whose members go anyway: the instance is gone after this.
  (void)ReleaseObjectMembers(instance);
  const uint64_t bytes = InstanceBytes(instance->words, instance->viewCount);
  instance->~GSScriptInstance();
  ContextHeap().Free(instance);
  ScriptMemory::Give(bytes);
  return true;
}

}  // namespace GSRuntime
