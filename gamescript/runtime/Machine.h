#pragma once
// The script machine: every registered ".gsl" library by id and by name,
// loaded and linked the first time it is asked for, and the registry of
// native functions.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/Native.h"
#include "gamescript/runtime/StringPool.h"
#include "kiv/Status.h"

namespace GSRuntime {

class GSMachine;
// Registers the Str and Math natives and seeds the random generator with the time.
void RegisterStrMathNatives(GSMachine& machine);
// Sets the random generator's state word.
void SeedRandom(uint32_t state);

class GSMachine {
public:
  // The one machine of the process, set up on first use with the built-in
  // natives.
  static GSMachine& Instance();
  // What the runtime's objects, threads and natives share (MachineState.h).
  static MachineState& State() { return GSRuntime::Machine(); }
  // For tests: the process's machine made afresh, as on its first use, with
  // only the built-in natives. False, with nothing changed, while a context,
  // a script object or a run of the old machine is alive; its routers and
  // messages should be gone too, as they are not checked.
  static bool Reset();

  GSMachine();
  ~GSMachine();
  GSMachine(const GSMachine&) = delete;
  GSMachine& operator=(const GSMachine&) = delete;

  // Registers one library file (its header only); false when it cannot be
  // read or its id cannot be entered. A second file of a known id becomes
  // another name for it.
  [[nodiscard]] bool AddLibrary(std::string_view baseFolder, std::string_view fileName,
                                uint64_t* id = nullptr);
  // Registers every "*.gsl" of the folder; false when it cannot be searched.
  [[nodiscard]] bool AddLibraryFolder(std::string_view baseFolder);
  // The same, saying why a folder cannot be searched: not found when it does
  // not exist or is not a folder. A second file of a known id in the folder
  // is reported and skipped; copies of libraries an earlier folder entered
  // serve as those, which one line says unless `quietCopies`.
  Kiv::Status RegisterLibraryFolder(std::string_view baseFolder, bool quietCopies = false);
  // Makes the file, registered under the id, the library of that id in place
  // of another file known under it in a folder below `within` (or, with
  // `reread`, of the same file written again), dropping the library of the id
  // that was loaded and every loaded library linked against it, so the next
  // use reads the file: a library compiled from one source text against other
  // includes keeps its id. False, with nothing changed, while a context, a
  // script object or a run is alive, or when the id is unknown or its file
  // lies elsewhere.
  [[nodiscard]] bool ReplaceLibrary(uint32_t id1, uint32_t id2, std::string_view baseFolder,
                                    std::string_view fileName, std::string_view within, bool reread);
  // The library of the id, loaded and linked on first use; null when it is
  // unknown or does not load.
  GSLibrary* GetLibrary(uint32_t id1, uint32_t id2);
  // By file name, without regard to case.
  GSLibrary* GetLibraryByName(std::string_view fileName);

  // Appends a record; the first of two equal (class, key) records is found.
  GSNativeFunction* RegisterNative(std::unique_ptr<GSNativeFunction> record);
  // Replaces the record of the same class and key in its place (binding an
  // unbound built-in); appends when there is none.
  GSNativeFunction* BindNative(std::unique_ptr<GSNativeFunction> record);
  GSNativeFunction* FindNativeFunction(const Kiv::PString& className, const Kiv::PString& key) const;
  std::size_t NativeCount() const { return m_natives.size(); }
  const GSNativeFunction* NativeAt(std::size_t i) const { return m_natives[i].get(); }

  std::size_t LoadedCount() const { return m_loaded.size(); }
  std::size_t RegisteredCount() const { return m_links.Count(); }
  // The bytes that script strings, arrays and instances may hold together
  // (ScriptMemory; 1 GiB unless set).
  void SetMemoryLimit(uint64_t bytes) { ScriptMemory::SetLimit(bytes); }
  uint64_t MemoryLimit() const { return ScriptMemory::Limit(); }
  // Empties the machine: registrations, libraries and natives.
  void Clear();
  // Registers the built-in natives of GSObject, GameObject, Router, Math and Str.
  void RegisterBuiltins();

private:
  struct Link {
    uint32_t id1, id2;
    std::string baseFolder;
    std::string fileName;
    GSLibrary* library = nullptr;
  };
  [[nodiscard]] bool Enter(std::string_view baseFolder, std::string_view fileName, uint32_t id1, uint32_t id2,
                           bool report);
  void EnterName(std::string_view fileName, Link* link);
  void Unload(GSLibrary* library);

  Utils::IdKeyTable<Link*> m_links{251};
  Utils::StringKeyTable<Link*> m_names{251};
  std::vector<std::unique_ptr<Link>> m_linkStore;
  std::vector<std::unique_ptr<GSLibrary>> m_loaded;
  std::vector<std::unique_ptr<GSNativeFunction>> m_natives;
  struct NativeKey {
    const void* cls;
    const void* key;
    bool operator==(const NativeKey&) const = default;
  };
  struct NativeKeyHash {
    std::size_t operator()(const NativeKey& k) const {
      return std::hash<const void*>()(k.cls) * 31 + std::hash<const void*>()(k.key);
    }
  };
  std::unordered_map<NativeKey, std::size_t, NativeKeyHash> m_nativeIndex;
  // Libraries of a load that is still going on, and those that failed in it:
  // a failed outer load also unloads what was linked against a failure.
  int m_loading = 0;
  std::size_t m_loadMark = 0;
  std::vector<std::unique_ptr<GSLibrary>> m_failed;
};

}  // namespace GSRuntime
