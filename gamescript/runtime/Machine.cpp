#include "gamescript/runtime/Machine.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Stack.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"

namespace GSRuntime {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

std::string JoinPath(std::string_view folder, std::string_view file) {
  return Kiv::File::Path(folder).Join(file).Str();
}

bool ReadHeader(const std::string& path, uint32_t& id1, uint32_t& id2) {
  Kiv::File file;
  uint8_t header[kLibraryHeaderBytes];
  return file.Open(path, Kiv::File::Mode::Read) && file.Read(header, sizeof header) == sizeof header &&
         ReadLibraryHeader(header, id1, id2);
}

}  // namespace

void GSObject_GetGSClassName(GSContext* context, GSStack& stack) {
  GSScriptInstance* self = HandleTable::Instance().Get(stack.Argument(0));
  const std::string name = self && self->cls ? std::string(self->cls->Name()) : "void";
  GSString* s = GSString::Create(context, name);
  stack.Push(s ? s->GetScriptHandle() : 0);
}

bool GSCNativeFunction::Call(GSObjectReference* object, GSStack& stack) {
  if (!object || !m_function) return false;
  m_function(object->Context(), stack);
  return true;
}

bool GSCNumericNativeFunction::Call(GSObjectReference* object, GSStack& stack) {
  if (!object || !m_numeric) return false;
  uint32_t arguments[8];
  const uint32_t count = m_numericCells - 1;
  if (count > std::size(arguments)) return false;
  for (uint32_t i = 0; i < count; ++i) arguments[i] = stack.Argument(i + 1);
  stack.Push(m_numeric(arguments));
  return true;
}

GSMachine& GSMachine::Instance() {
  static GSMachine* machine = [] {
    static GSMachine m;
    m.RegisterBuiltins();
    InstallInterpreter();
    return &m;
  }();
  return *machine;
}

bool GSMachine::Reset() {
  GSMachine& machine = Instance();
  MachineState& state = Machine();
  if (!state.contexts.empty() || state.handles.LiveCount() != 0 || state.current) return false;
  machine.Clear();
  delete state.sharedThread;
  std::destroy_at(&state);
  std::construct_at(&state);
  machine.RegisterBuiltins();
  InstallInterpreter();
  return true;
}

GSMachine::GSMachine() = default;

GSMachine::~GSMachine() { Clear(); }

void GSMachine::RegisterBuiltins() {
  RegisterNative(std::make_unique<GSCNativeFunction>("GSObject", "$string@GSObject::GetGSClassName()",
                                                     &GSObject_GetGSClassName));
  RegisterGameObjectNatives(*this);
  RegisterStrMathNatives(*this);
}

GSNativeFunction* GSMachine::RegisterNative(std::unique_ptr<GSNativeFunction> record) {
  if (!record) return nullptr;
  m_natives.push_back(std::move(record));
  GSNativeFunction* r = m_natives.back().get();
  m_nativeIndex.emplace(NativeKey{r->ClassName().Handle(), r->Key().Handle()}, m_natives.size() - 1);
  return r;
}

GSNativeFunction* GSMachine::BindNative(std::unique_ptr<GSNativeFunction> record) {
  if (!record) return nullptr;
  const auto found = m_nativeIndex.find(NativeKey{record->ClassName().Handle(), record->Key().Handle()});
  if (found == m_nativeIndex.end()) return RegisterNative(std::move(record));
  m_natives[found->second] = std::move(record);
  return m_natives[found->second].get();
}

GSNativeFunction* GSMachine::FindNativeFunction(const Kiv::PString& className,
                                                const Kiv::PString& key) const {
  const auto found = m_nativeIndex.find(NativeKey{className.Handle(), key.Handle()});
  return found == m_nativeIndex.end() ? nullptr : m_natives[found->second].get();
}

void GSMachine::EnterName(std::string_view fileName, Link* link) {
  // A name already known keeps its entry.
  (void)m_names.Insert(Lower(fileName), link);  // a name already known keeps its entry
}

namespace {

// True when both paths name one existing file, whatever links they pass through.
bool SameFile(const std::string& a, const std::string& b) {
  if (Kiv::AbsolutePath(a) == Kiv::AbsolutePath(b)) return true;
  const std::optional<std::string> realA = Kiv::File::RealPath(a);
  return realA && realA == Kiv::File::RealPath(b);
}

}  // namespace

bool GSMachine::Enter(std::string_view baseFolder, std::string_view fileName, uint32_t id1, uint32_t id2,
                      bool report) {
  auto link = std::make_unique<Link>(Link{id1, id2, std::string(baseFolder), std::string(fileName), nullptr});
  if (!m_links.Insert(id1, id2, link.get())) {
    if (report && ScriptLogHook)
      ScriptLogHook("Could not add game script library %s to GSMachine", std::string(fileName).c_str());
    return false;
  }
  EnterName(fileName, link.get());
  m_linkStore.push_back(std::move(link));
  return true;
}

bool GSMachine::AddLibrary(std::string_view baseFolder, std::string_view fileName, uint64_t* id) {
  uint32_t id1, id2;
  if (!ReadHeader(JoinPath(baseFolder, fileName), id1, id2)) return false;
  if (id) *id = uint64_t(id1) << 32 | id2;
  if (auto* known = m_links.Find(id1, id2)) {
    EnterName(fileName, known->value);
    return true;
  }
  return Enter(baseFolder, fileName, id1, id2, true);
}

bool GSMachine::ReplaceLibrary(uint32_t id1, uint32_t id2, std::string_view baseFolder,
                               std::string_view fileName, std::string_view within, bool reread) {
  const MachineState& state = Machine();
  auto* known = m_links.Find(id1, id2);
  if (!known || !state.contexts.empty() || state.handles.LiveCount() != 0 || state.current) return false;
  const std::string path = JoinPath(baseFolder, fileName);
  if (SameFile(JoinPath(known->value->baseFolder, known->value->fileName), path)) {
    if (!reread) return true;
  } else {
    // Only a file below `within` gives way: a library of the id elsewhere
    // (the class libraries) is not the caller's to drop.
    const std::string old = Kiv::AbsolutePath(known->value->baseFolder) + "/";
    const std::string root = Kiv::AbsolutePath(std::string(within)) + "/";
    if (within.empty() || old.compare(0, root.size(), root) != 0) return false;
  }
  known->value->baseFolder = std::string(baseFolder);
  known->value->fileName = std::string(fileName);
  EnterName(fileName, known->value);
  GSLibrary* const old = known->value->library;
  if (!old) return true;
  // The old library goes, and so does whatever linked against what goes.
  std::vector<std::unique_ptr<GSLibrary>> dropped;
  auto drop = [&](std::size_t i) {
    if (auto* e = m_links.Find(m_loaded[i]->Id1(), m_loaded[i]->Id2())) e->value->library = nullptr;
    dropped.push_back(std::move(m_loaded[i]));
    m_loaded.erase(m_loaded.begin() + long(i));
  };
  for (std::size_t i = 0; i < m_loaded.size(); ++i)
    if (m_loaded[i].get() == old) {
      drop(i);
      break;
    }
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = m_loaded.size(); i-- > 0;) {
      const auto& deps = m_loaded[i]->Dependencies();
      if (std::none_of(deps.begin(), deps.end(), [&](const GSLibrary::Dependency& d) {
            return std::any_of(dropped.begin(), dropped.end(),
                               [&](const auto& g) { return g.get() == d.library; });
          }))
        continue;
      drop(i);
      changed = true;
    }
  }
  return true;
}

bool GSMachine::AddLibraryFolder(std::string_view baseFolder) {
  return RegisterLibraryFolder(baseFolder).ok();
}

Kiv::Status GSMachine::RegisterLibraryFolder(std::string_view baseFolder, bool quietCopies) {
  if (!Kiv::File::IsDirectory(baseFolder))
    return Kiv::Status::NotFound("library folder '" + std::string(baseFolder) + "' " +
                                 (Kiv::File::Exists(baseFolder) ? "is not a folder" : "does not exist"));
  Kiv::File::Find find(JoinPath(baseFolder, "*.gsl"));
  // Libraries this folder holds that an earlier folder entered (a copy of the
  // class libraries named again): the first folder's serve; said once.
  std::size_t copies = 0;
  std::string firstFolder;
  while (find.Next()) {
    if (find.IsDirectory()) continue;
    uint32_t id1, id2;
    if (!ReadHeader(find.FullPath(), id1, id2)) continue;
    if (auto* known = m_links.Find(id1, id2)) {
      const Link& link = *known->value;
      // The same file entered again (its folder named twice, or under another
      // spelling through a symbolic link) is already known.
      if (SameFile(JoinPath(link.baseFolder, link.fileName), find.FullPath())) continue;
      // Two files of one id in one folder: which one was meant cannot be told.
      if (SameFile(link.baseFolder, std::string(baseFolder))) {
        if (ScriptLogHook)
          ScriptLogHook("Could not add game script library %s to GSMachine", find.FullPath().c_str());
        continue;
      }
      if (copies++ == 0) firstFolder = link.baseFolder;
      continue;
    }
    // A file that cannot be entered is reported by Enter itself.
    (void)Enter(baseFolder, find.Name(), id1, id2, true);
  }
  if (copies && !quietCopies && ScriptLogHook)
    ScriptLogHook("GSMachine> %zu libraries of '%s' are known already from '%s', whose copies serve", copies,
                  std::string(baseFolder).c_str(), firstFolder.c_str());
  return Kiv::Status::OK();
}

GSLibrary* GSMachine::GetLibrary(uint32_t id1, uint32_t id2) {
  auto* entry = m_links.Find(id1, id2);
  if (!entry) {
    if (ScriptLogHook) {
      ScriptLogHook("GSMachine::GetLibrary> library '0x%X 0x%X' not found in link table", id1, id2);
      for (const auto& l : m_loaded)
        if (l->Id2() == id2)
          ScriptLogHook(
              "  Similar library found with matching filename hash but built from different source: %s",
              l->DisplayName().c_str());
    }
    return nullptr;
  }
  Link* link = entry->value;
  if (link->library) return link->library;

  const std::string path = JoinPath(link->baseFolder, link->fileName);
  if (!Kiv::File::Exists(path)) return nullptr;
  // Read into storage left uninitialised: the read fills all of it.
  std::unique_ptr<uint8_t[]> image;
  int64_t size = -1;
  {
    Kiv::File file;
    const int64_t length = file.Open(path, Kiv::File::Mode::Read) ? file.Length() : -1;
    if (length >= 0 && uint64_t(length) <= kMaxLibraryBytes) {
      image.reset(new (std::nothrow) uint8_t[std::size_t(length) + 1]);  // + 1: never a zero-length array
      size = image ? file.Read(image.get(), std::size_t(length)) : -1;
    }
  }
  if (size < 0) {
    if (ScriptLogHook) ScriptLogHook("GSMachine: Error loading library file %s", link->fileName.c_str());
    return nullptr;
  }

  if (m_loading++ == 0) m_loadMark = m_loaded.size();
  auto library = std::make_unique<GSLibrary>(this);
  library->SetFolder(Kiv::File::Path(path).RemoveFileName().Str());
  link->library = library.get();  // before the load: its own id and any cycle resolve to it
  const int result = library->Load(std::move(image), std::size_t(size));
  --m_loading;
  if (result == 0) {
    m_loaded.push_back(std::move(library));
  } else {
    if (ScriptLogHook)
      ScriptLogHook("GSMachine: Error %d loading library %s (%s)", result, library->DisplayName().c_str(),
                    link->fileName.c_str());
    link->library = nullptr;
    m_failed.push_back(std::move(library));
  }
  if (m_loading == 0 && !m_failed.empty()) {
    // What this load linked against a failed library goes too, so nothing
    // half-linked stays (a cycle through the failure included).
    bool changed = true;
    while (changed) {
      changed = false;
      for (std::size_t i = m_loaded.size(); i-- > m_loadMark;) {
        const auto& deps = m_loaded[i]->Dependencies();
        const bool broken = std::any_of(deps.begin(), deps.end(), [&](const GSLibrary::Dependency& d) {
          return std::any_of(m_failed.begin(), m_failed.end(),
                             [&](const auto& f) { return f.get() == d.library; });
        });
        if (!broken) continue;
        if (auto* e = m_links.Find(m_loaded[i]->Id1(), m_loaded[i]->Id2())) e->value->library = nullptr;
        m_failed.push_back(std::move(m_loaded[i]));
        m_loaded.erase(m_loaded.begin() + long(i));
        changed = true;
      }
    }
    const bool ok = result == 0 && link->library;
    m_failed.clear();
    return ok ? link->library : nullptr;
  }
  return result == 0 ? link->library : nullptr;
}

GSLibrary* GSMachine::GetLibraryByName(std::string_view fileName) {
  auto* entry = m_names.Find(Lower(fileName));
  return entry ? GetLibrary(entry->value->id1, entry->value->id2) : nullptr;
}

void GSMachine::Clear() {
  m_links.Clear();
  m_names.Clear();
  m_linkStore.clear();
  while (!m_loaded.empty()) m_loaded.pop_back();
  m_natives.clear();
  m_nativeIndex.clear();
}

}  // namespace GSRuntime
