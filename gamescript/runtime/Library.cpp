#include "gamescript/runtime/Library.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/File.h"

namespace GSRuntime {

namespace {

// What a call instruction of `function` reaches, for the verifier.
struct CallContext {
  const GSLibrary* library;
  const GSFunction* function;
  static CallKnowledge Shape(void* context, const InstructionView& call, const LibraryFunction*& callee) {
    auto* self = static_cast<CallContext*>(context);
    if (call.op == OP_CALLP) {
      // The parent's version; with none the call stops the thread.
      const GSFunction* inherited = self->function->inherited;
      if (!inherited) return CallKnowledge::None;
      callee = inherited->record;
      return CallKnowledge::Known;
    }
    const GSFunction* known = self->library->SlotFunction(call.Slot(), uint32_t(1 - call.Distance()));
    if (!known) return CallKnowledge::Unknown;
    callee = known->record;
    return CallKnowledge::Known;
  }
};

// A class's part of an ancestor's function table must hold functions of the
// same shape (parameter cells, whether a value comes back) as the ancestor's
// own table, so that a call through either view leaves what the caller expects.
bool SameShapes(const GSClass& cls, uint64_t& steps) {
  const auto& table = cls.DispatchTable();
  for (std::size_t i = 0; i < cls.Ancestors().size(); ++i) {
    const auto& base = cls.Ancestors()[i].cls->DispatchTable();
    const uint32_t part = cls.AncestorDispatchBase(i);
    if (uint64_t(part) + base.size() > table.size() || steps < base.size()) return false;
    steps -= base.size();
    for (std::size_t k = 0; k < base.size(); ++k) {
      const GSFunction* mine = table[part + k].function;
      const GSFunction* theirs = base[k].function;
      if (!mine || !theirs) continue;  // a base still loading links later
      if (mine->shape != theirs->shape) return false;
    }
  }
  return true;
}

}  // namespace

void GSLibrary::DestroyClasses() {
  while (m_classCount > 0) std::destroy_at(&m_classes[--m_classCount]);
  m_classes = nullptr;
}

void GSLibrary::Clear() {
  DestroyClasses();
  std::pmr::vector<IndexSlot>(&m_arena).swap(m_classIndex);  // its storage goes with the arena
  m_callShapes.clear();
  m_slotShapes.clear();
  m_functionImports.clear();
  m_classImports.clear();
  m_dependencies.clear();
  m_file = LibraryFile();
  m_image.reset();
  m_imageSize = 0;
  m_name.clear();
  m_displayName.reset();
  m_arena.release();
}

const GSLibrary::SlotShape* GSLibrary::FindSlotShape(uint32_t slot, uint32_t parameters) const {
  if (slot >= m_slotShapes.size()) return nullptr;
  const SlotFirst& first = m_slotShapes[slot];
  if (first.parameters == parameters) return &first.shape;
  if (first.parameters != SlotFirst::kSeveral) return nullptr;
  const auto found = m_callShapes.find(uint64_t(slot) << 32 | parameters);
  return found == m_callShapes.end() ? nullptr : &found->second;
}

uint32_t GSLibrary::CallShape(uint32_t slot, uint32_t parameters) const {
  const SlotShape* found = FindSlotShape(slot, parameters);
  return found ? found->shape : kMixedShapes;
}

const GSFunction* GSLibrary::SlotFunction(uint32_t slot, uint32_t parameters) const {
  const SlotShape* found = FindSlotShape(slot, parameters);
  return found ? found->function : nullptr;
}

uint32_t GSLibrary::ShapeOf(const LibraryFunction& record) {
  // Most functions take no reference: their shape is its own id, with the
  // top bit set, which no id of the table (counted from 0) ever reaches.
  bool references = false;
  for (std::size_t i = 0; i < record.referenceCells.size() && !references; ++i)
    references = record.referenceCells[i] < record.parameters;
  if (!references) return PlainShape(record.parameters, ResultKind(record.returnType));
  // Ids of shapes by their parameter count, result kind and reference parameters.
  MachineState& state = Machine();
  std::vector<uint32_t> key{record.parameters, ResultKind(record.returnType)};
  for (std::size_t i = 0; i < record.referenceCells.size(); ++i)
    if (record.referenceCells[i] < record.parameters) key.push_back(record.referenceCells[i]);
  std::sort(key.begin() + 2, key.end());
  std::lock_guard<std::mutex> hold(state.shapeLock);
  if (!state.shapes) state.shapes.emplace();
  return state.shapes->emplace(std::move(key), uint32_t(state.shapes->size())).first->second;
}

GSClass* GSLibrary::FindClass(std::string_view name) const {
  if (m_classIndex.empty()) return nullptr;
  const std::size_t hash = std::hash<std::string_view>()(name), mask = m_classIndex.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const IndexSlot& slot = m_classIndex[i];
    if (!slot.cls) return nullptr;
    if (slot.hash == hash && slot.cls->Name() == name) return slot.cls;
  }
}

void GSLibrary::IndexClasses() {
  std::size_t size = 4;
  while (size < 2 * m_classCount) size *= 2;  // at most half full: probes stay short
  m_classIndex.assign(size, {});
  const std::size_t mask = size - 1;
  for (GSClass& cls : Classes()) {
    const std::size_t hash = std::hash<std::string_view>()(cls.Name());
    std::size_t i = hash & mask;
    while (m_classIndex[i].cls &&
           !(m_classIndex[i].hash == hash && m_classIndex[i].cls->Name() == cls.Name()))
      i = (i + 1) & mask;
    m_classIndex[i] = {hash, &cls};
  }
}

const std::string& GSLibrary::DisplayName() const {
  if (m_displayName) return *m_displayName;
  // A name without its folder is a source beside the library, as the
  // installation's class libraries are compiled.
  const bool beside = !m_folder.empty() && !Kiv::ResolvePath(m_name) && !Kiv::File::Path(m_name).IsAbsolute();
  m_displayName = Kiv::SpelledOnDisk(beside ? Kiv::File::Path(m_folder).Join(m_name).Str() : m_name, m_name);
  // A source gone since its compile (a temporary one) still has its folders,
  // which the header's lower-cased path does not spell as they are.
  if (!beside && *m_displayName == m_name && Kiv::File::Path(m_name).IsAbsolute())
    if (const std::optional<std::string> folders = Kiv::ResolvePathForCreate(m_name))
      m_displayName = *folders;
  return *m_displayName;
}

int GSLibrary::Load(std::unique_ptr<uint8_t[]> image, std::size_t size) {
  m_image = std::move(image);
  m_imageSize = size;
  // The code is verified once, at the end, when calls can be resolved.
  const std::string problem = ReadLibraryFile({m_image.get(), size}, m_file, false, &m_arena);
  // The reader fills the name from the header before anything else.
  m_name.assign(m_file.name);
  m_displayName.reset();
  if (!problem.empty()) {
    if (ScriptLogHook) ScriptLogHook("GSLibrary::Load> malformed library: %s", problem.c_str());
    return -1;
  }
  m_dependencies.reserve(m_file.dependencies.size());
  for (const auto& [a, b] : m_file.dependencies) m_dependencies.push_back({nullptr, a, b});
  if (!m_file.classes.empty())
    m_classes =
        static_cast<GSClass*>(m_arena.allocate(m_file.classes.size() * sizeof(GSClass), alignof(GSClass)));
  for (std::size_t i = 0; i < m_file.classes.size(); ++i) {
    std::construct_at(m_classes + i, m_machine, this, uint32_t(i), m_file.classes[i], &m_arena);
    ++m_classCount;
  }
  IndexClasses();

  // Dependencies; entry 0 is this library, already recorded by the machine,
  // which also ends any cycle.
  for (Dependency& d : m_dependencies) {
    d.library = m_machine ? m_machine->GetLibrary(d.id1, d.id2) : nullptr;
    if (!d.library) return -2;
  }

  bool missing = false;
  m_classImports.reserve(m_file.classImports.size());
  for (const LibraryFile::ClassImport& c : m_file.classImports) {
    const Dependency& d = m_dependencies[c.dependency];
    ClassImport entry{d.library, c.name, d.library ? d.library->FindClass(c.name) : nullptr};
    if (!entry.cls) {
      missing = true;
      if (ScriptLogHook) {
        const std::string name(c.name);
        if (!d.library)
          ScriptLogHook("GS Link error: Unable to find library for class '%s' (lib id: %x.%x)", name.c_str(),
                        d.id1, d.id2);
        else
          ScriptLogHook("GS Link error: Unable to find class '%s'", name.c_str());
      }
    }
    m_classImports.push_back(entry);
  }
  if (missing) return -3;

  // Ancestors first, so that a function import finds what a class inherits.
  for (GSClass& c : Classes())
    if (!c.ResolveAncestors()) return -3;

  // Lookups while linking are bounded by a budget linear in the file's size,
  // so that no crafted library makes the link slower than that.
  uint64_t steps = 64 * uint64_t(m_imageSize) + 65536;
  m_functionImports.reserve(m_file.functionImports.size());
  bool codeless = false;  // some import is a script function without code
  for (const LibraryFile::FunctionImport& f : m_file.functionImports) {
    FunctionImport entry{m_classImports[f.classImport].cls, f.name, f.slot, nullptr};
    // The class itself, then its ancestors.
    entry.function = entry.cls->FindMethod(f.name);
    for (const GSAncestor& a : entry.cls->Ancestors()) {
      if (entry.function || a.cls == nullptr) break;
      if (steps == 0) return -1;
      --steps;
      entry.function = a.cls->FindMethod(f.name);
    }
    if (!entry.function) {
      if (ScriptLogHook)
        ScriptLogHook("GS Link error: Unable to link function '%s'", std::string(f.name).c_str());
      return -3;
    }
    codeless = codeless || (!entry.function->IsNative() && entry.function->record->code.empty());
    m_functionImports.push_back(entry);
  }

  for (GSClass& c : Classes()) {
    if (!c.Link(steps)) {
      if (ScriptLogHook) ScriptLogHook("GS Link error: Unable to link '%s'", std::string(c.Name()).c_str());
      return steps == 0 ? -1 : -3;
    }
  }

  for (GSClass& c : Classes())
    if (!SameShapes(c, steps)) {
      if (ScriptLogHook) ScriptLogHook("GS Link error: Unable to link '%s'", std::string(c.Name()).c_str());
      return steps == 0 ? -1 : -3;
    }

  // The shape of each call slot of the classes this library names: known
  // when every function at that slot with that parameter count agrees. A
  // slot seen with one parameter count keeps its shape in m_slotShapes; one
  // seen with several keeps each count's in m_callShapes.
  std::vector<const GSClass*> named;  // a class imported twice counts once
  named.reserve(m_classImports.size());
  for (const ClassImport& c : m_classImports) named.push_back(c.cls);
  // (Imports mostly come in that order already: a check is cheaper than a sort.)
  if (!std::is_sorted(named.begin(), named.end())) std::sort(named.begin(), named.end());
  named.erase(std::unique(named.begin(), named.end()), named.end());
  const auto join = [](SlotShape& kept, const GSFunction* f) {
    if (kept.shape != f->shape) kept = {kMixedShapes, nullptr};
  };
  for (const GSClass* cls : named) {
    const auto& table = cls->DispatchTable();
    if (table.size() > m_slotShapes.size()) m_slotShapes.resize(table.size());
    for (std::size_t k = 0; k < table.size(); ++k) {
      const GSFunction* f = table[k].function;
      if (!f) continue;
      const uint32_t parameters = f->record->parameters;
      SlotFirst& first = m_slotShapes[k];
      if (first.parameters == SlotFirst::kNone) {
        first = {parameters, {f->shape, f}};
      } else if (first.parameters == parameters) {
        join(first.shape, f);
      } else {
        if (first.parameters != SlotFirst::kSeveral) {
          m_callShapes.emplace(uint64_t(k) << 32 | first.parameters, first.shape);
          first.parameters = SlotFirst::kSeveral;
        }
        const auto [entry, made] = m_callShapes.try_emplace(uint64_t(k) << 32 | parameters);
        if (made)
          entry->second = {f->shape, f};
        else
          join(entry->second, f);
      }
    }
  }

  // The code, now that the callees are known. A function without code can
  // be entered only as an empty initialiser, which is never run.
  CodeVerifier verifier;
  for (GSClass& c : Classes())
    for (GSFunction& f : c.Functions()) {
      CallContext context{this, &f};
      const std::string& problem =
          verifier.Verify(*f.record, m_file.strings.size(), m_file.classImports.size(), &CallContext::Shape,
                          &context, f.depthChecked);
      const char* bad = !problem.empty() ? problem.c_str()
                        : f.record->code.empty() && !f.IsNative() && &f != &c.Functions().back()
                            ? "function without code"
                            : nullptr;
      if (bad) {
        if (ScriptLogHook) {
          ScriptLogHook("GSLibrary::Load> malformed library: %s in %s", bad, std::string(f.key).c_str());
          ScriptLogHook("GS Link error: Unable to initialise class '%s'", std::string(c.Name()).c_str());
        }
        return -1;
      }
    }
  // Function table entries are function imports: only a codeless import
  // can put a function without code in a table.
  if (codeless)
    for (GSClass& c : Classes())
      for (const GSDispatchEntry& e : c.DispatchTable())
        if (e.function && !e.function->IsNative() && e.function->record->code.empty()) {
          if (ScriptLogHook)
            ScriptLogHook(
                "GSLibrary::Load> malformed library: function without code in the function table of %s",
                std::string(c.Name()).c_str());
          return -1;
        }
  return 0;
}

}  // namespace GSRuntime
