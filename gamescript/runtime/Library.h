#pragma once
// A loaded ".gsl" library: its image, the tables read from it, its classes,
// and the load that links them against the libraries it depends on.

#include <cstdint>
#include <span>
#include <memory_resource>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/Verifier.h"

namespace GSRuntime {

class GSMachine;

class GSLibrary {
public:
  struct Dependency {
    GSLibrary* library = nullptr;
    uint32_t id1 = 0, id2 = 0;
  };
  struct ClassImport {
    GSLibrary* library = nullptr;
    std::string_view name;
    GSClass* cls = nullptr;
  };
  struct FunctionImport {
    GSClass* cls = nullptr;
    std::string_view name;
    int32_t slot = -1;
    GSFunction* function = nullptr;
  };

  explicit GSLibrary(GSMachine* machine) : m_machine(machine) {}
  GSLibrary(const GSLibrary&) = delete;
  GSLibrary& operator=(const GSLibrary&) = delete;
  ~GSLibrary() { DestroyClasses(); }

  // Reads, checks and links the whole file of `size` bytes: 0 on success, -1
  // malformed, -2 a dependency cannot be had, -3 a class, function or link is
  // missing. The library takes the image.
  int Load(std::unique_ptr<uint8_t[]> image, std::size_t size);
  // The class of exactly that name (the later of two equal names).
  GSClass* FindClass(std::string_view name) const;
  const std::string& GetName() const { return m_name; }
  // The source's name as the file system spells it, for messages (the
  // library keeps it lower-cased): found as it is, else beside the library's
  // file; the kept name when the source is gone. Looked up once.
  const std::string& DisplayName() const;
  // The folder of the file the library is read from (none for one made in memory).
  void SetFolder(std::string folder) { m_folder = std::move(folder); }
  const std::string& Folder() const { return m_folder; }
  uint32_t Id1() const { return m_file.id1; }
  uint32_t Id2() const { return m_file.id2; }
  float Version() const { return m_file.version; }
  const std::vector<Dependency>& Dependencies() const { return m_dependencies; }
  const std::vector<ClassImport>& ClassImports() const { return m_classImports; }
  const std::vector<FunctionImport>& FunctionImports() const { return m_functionImports; }
  std::string_view String(std::size_t i) const { return i < m_file.strings.size() ? m_file.strings[i] : ""; }
  std::size_t ClassCount() const { return m_classCount; }
  GSClass* ClassAt(std::size_t i) { return i < m_classCount ? &m_classes[i] : nullptr; }
  // The shape of every function a call through dispatch slot `slot` with
  // `parameters` cells can reach, as the verifier assumed for this library's
  // code; kMixedShapes when the classes it names disagree or have no such
  // function (the calling functions then have depthChecked false). The
  // interpreter checks a callee against it.
  static constexpr uint32_t kMixedShapes = 0xFFFFFFFF;
  uint32_t CallShape(uint32_t slot, uint32_t parameters) const;
  // A function of that agreed shape; null when the shapes are mixed.
  const GSFunction* SlotFunction(uint32_t slot, uint32_t parameters) const;
  // The shape id of a function record (see GSFunction::shape).
  static uint32_t ShapeOf(const LibraryFunction& record);
  // The shape of a function of `parameters` cells, none a reference, that
  // gives a result of kind `result` (or none: kKindNoUse).
  static constexpr uint32_t PlainShape(uint32_t parameters, uint8_t result) {
    return 0x80000000u | parameters << 8 | result;
  }
  // Releases everything; the record is then empty.
  void Clear();

private:
  GSMachine* m_machine;
  // The tables of the classes live in one arena, freed with the library.
  std::pmr::monotonic_buffer_resource m_arena;
  std::unique_ptr<uint8_t[]> m_image;
  std::size_t m_imageSize = 0;
  LibraryFile m_file;
  std::string m_name;
  mutable std::optional<std::string> m_displayName;
  std::string m_folder;
  std::vector<Dependency> m_dependencies;
  std::vector<ClassImport> m_classImports;
  std::vector<FunctionImport> m_functionImports;
  // The classes, made in place in the arena in one block (their count is
  // known before the first is made); unmade last to first.
  GSClass* m_classes = nullptr;
  std::size_t m_classCount = 0;
  std::span<GSClass> Classes() { return {m_classes, m_classCount}; }
  void DestroyClasses();
  // The classes by name: open addressing over a power-of-two table, probed
  // from the name's hash; the later of equal names holds the slot.
  struct IndexSlot {
    std::size_t hash = 0;
    GSClass* cls = nullptr;
  };
  std::pmr::vector<IndexSlot> m_classIndex{&m_arena};
  void IndexClasses();
  struct SlotShape {
    uint32_t shape = kMixedShapes;
    const GSFunction* function = nullptr;  // one of that shape
  };
  std::unordered_map<uint64_t, SlotShape> m_callShapes;  // by slot and parameters
  // The same by slot alone, for the lookup every call makes: a slot is
  // nearly always called with one parameter count; one called with several
  // is looked up in the map.
  struct SlotFirst {
    static constexpr uint32_t kNone = 0xFFFFFFFF, kSeveral = 0xFFFFFFFE;
    uint32_t parameters = kNone;
    SlotShape shape;
  };
  std::vector<SlotFirst> m_slotShapes;
  const SlotShape* FindSlotShape(uint32_t slot, uint32_t parameters) const;
};

}  // namespace GSRuntime
