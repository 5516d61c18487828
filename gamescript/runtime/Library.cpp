#include "gamescript/runtime/Library.h"

#include <unordered_map>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/ScriptLogHook.h"

namespace GSRuntime {

namespace {

std::string_view MethodPart(std::string_view key) {
  const std::size_t at = key.find("::");
  return at == std::string_view::npos ? key : key.substr(at);
}

// What a call instruction leaves on the stack, from every class this library
// can name: the functions at the call's slot with the call's parameter count
// must agree on whether they return a value.
class CallResults {
public:
  explicit CallResults(const GSLibrary& library) {
    for (const GSLibrary::ClassImport& c : library.ClassImports()) {
      if (!c.cls) continue;
      const auto& table = c.cls->DispatchTable();
      for (std::size_t k = 0; k < table.size(); ++k) {
        const GSFunction* f = table[k].function;
        if (!f) continue;
        m_seen[Key(uint32_t(k), f->record->parameters)] |= f->ReturnsValue() ? 2 : 1;
      }
    }
  }
  static int Result(void* context, const InstructionView& call) {
    auto* self = static_cast<CallResults*>(context);
    if (call.op == OP_CALLP) {
      const GSFunction* inherited = self->m_current ? self->m_current->inherited : nullptr;
      return inherited ? (inherited->ReturnsValue() ? 1 : 0) : 0;  // no parent: the call stops the thread
    }
    const auto found = self->m_seen.find(Key(call.Slot(), uint32_t(1 - call.Distance())));
    if (found == self->m_seen.end() || found->second == 3) return -1;
    return found->second == 2 ? 1 : 0;
  }
  const GSFunction* m_current = nullptr;

private:
  static uint64_t Key(uint32_t slot, uint32_t parameters) { return uint64_t(slot) << 32 | parameters; }
  std::unordered_map<uint64_t, int> m_seen;
};

}  // namespace

void GSLibrary::Clear() {
  while (!m_classes.empty()) m_classes.pop_back();  // last to first
  m_classIndex.clear();
  m_functionImports.clear();
  m_classImports.clear();
  m_dependencies.clear();
  m_file = LibraryFile();
  std::vector<uint8_t>().swap(m_image);
  m_name.clear();
}

GSClass* GSLibrary::FindClass(std::string_view name) const {
  const auto found = m_classIndex.find(name);
  return found == m_classIndex.end() ? nullptr : found->second;
}

int GSLibrary::Load(std::vector<uint8_t> image) {
  m_image = std::move(image);
  // The code is verified once, at the end, when calls can be resolved.
  const std::string problem = ReadLibraryFile(m_image, m_file, false);
  if (!problem.empty()) {
    if (ScriptLogHook) ScriptLogHook("GSLibrary::Load> malformed library: %s", problem.c_str());
    return -1;
  }
  m_name.assign(m_file.name);
  m_dependencies.reserve(m_file.dependencies.size());
  for (const auto& [a, b] : m_file.dependencies) m_dependencies.push_back({nullptr, a, b});
  m_classes.reserve(m_file.classes.size());
  m_classIndex.reserve(m_file.classes.size());
  for (std::size_t i = 0; i < m_file.classes.size(); ++i) {
    m_classes.push_back(std::make_unique<GSClass>(m_machine, this, uint32_t(i), m_file.classes[i]));
    m_classIndex[m_classes.back()->Name()] = m_classes.back().get();
  }

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
  std::string reason;
  for (auto& c : m_classes)
    for (const GSAncestor& a : c->Ancestors())
      if (!m_classImports[a.classImport].cls) return -3;

  m_functionImports.reserve(m_file.functionImports.size());
  for (const LibraryFile::FunctionImport& f : m_file.functionImports) {
    FunctionImport entry{m_classImports[f.classImport].cls, f.name, f.slot, nullptr};
    // The class itself, then its ancestors (linked already, or ours: their
    // classes come from the class imports).
    auto find = [&](GSClass* cls) -> GSFunction* {
      for (GSFunction& g : cls->Functions())
        if (MethodPart(g.key) == f.name) return &g;
      return nullptr;
    };
    entry.function = find(entry.cls);
    for (const GSAncestor& a : entry.cls->Ancestors()) {
      if (entry.function) break;
      GSClass* base = a.cls                          ? a.cls
                      : entry.cls->Library() == this ? m_classImports[a.classImport].cls
                                                     : nullptr;
      if (base) entry.function = find(base);
    }
    if (!entry.function) {
      if (ScriptLogHook)
        ScriptLogHook("GS Link error: Unable to link function '%s'", std::string(f.name).c_str());
      return -3;
    }
    m_functionImports.push_back(entry);
  }

  for (auto& c : m_classes) {
    if (!c->Link(reason)) {
      if (ScriptLogHook) ScriptLogHook("GS Link error: Unable to link '%s'", std::string(c->Name()).c_str());
      return -3;
    }
  }

  // The stack depth of code with calls, now that the callees are known.
  CallResults results(*this);
  for (auto& c : m_classes)
    for (GSFunction& f : c->Functions()) {
      results.m_current = &f;
      const std::string bad = VerifyCode(*f.record, m_file.strings.size(), m_file.classImports.size(),
                                         &CallResults::Result, &results, f.depthChecked);
      if (!bad.empty()) {
        if (ScriptLogHook)
          ScriptLogHook("GS Link error: Unable to initialise class '%s'", std::string(c->Name()).c_str());
        return -1;
      }
    }
  return 0;
}

}  // namespace GSRuntime
