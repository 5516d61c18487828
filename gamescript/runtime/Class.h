#pragma once
// A script class of a loaded library: built from its class record, linked to
// its ancestors, natives and function table, and able to make and destroy
// instances of itself.

#include <cstdint>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/Objects.h"

namespace GSRuntime {

class GSClass;
class GSLibrary;
class GSMachine;
class GSNativeFunction;

// The method part of a key: from "::" on (name and argument list).
inline std::string_view MethodPart(std::string_view key) {
  const std::size_t at = key.find("::");
  return at == std::string_view::npos ? key : key.substr(at);
}
// MethodPart(key) == method, with the search for "::" left to keys whose end
// matches (most keys differ from the method at the first byte of that end).
[[nodiscard]] inline bool IsMethod(std::string_view key, std::string_view method) {
  if (key.size() < method.size()) return false;
  const std::string_view end = key.substr(key.size() - method.size());
  return (method.empty() || end[0] == method[0]) && end == method && MethodPart(key).size() == method.size();
}

struct GSFunction {
  GSClass* owner = nullptr;
  const LibraryFunction* record = nullptr;  // frame words, code, lines
  std::string_view key;
  GSNativeFunction* native = nullptr;
  GSFunction* inherited = nullptr;  // the same function in an ancestor
  int32_t inheritedOffset = 0;      // that ancestor's block
  // Every call's callee shape was known at link, so the verifier proved the
  // evaluation depth and the kind of every cell on every path; without it the
  // interpreter checks both as the code runs.
  bool depthChecked = false;
  // What a caller must pass and gets back (parameter cells, which of them
  // hold references, the result's kind): equal ids, equal shapes.
  uint32_t shape = 0;
  // The code the interpreter runs (see RunCode.h); made on the first call.
  const uint8_t* run = nullptr;
  // The last call (its slot, and the receiver's distance in the top half)
  // and callee shape found to agree with the shape this function's library
  // assumed for that slot: the interpreter's check of the next such call to
  // a callee of that shape is then done.
  uint32_t agreedCall = 0, agreedShape = kNoShape;
  static constexpr uint32_t kNoShape = 0xFFFFFFFF;  // no function's shape
  // A function whose depth the load could not prove: the callees its
  // unresolved calls reached as it ran, and the code proven from them
  // (RunCode.h); null until its first call.
  struct ObservedCalls* observed = nullptr;

  [[nodiscard]] bool IsNative() const { return record->flags & kFunctionNative; }
  [[nodiscard]] bool ReturnsValue() const { return record->returnType != TypeVoid; }
  // The source line of a code offset; -1 without a line table.
  int32_t LineOf(uint32_t offset) const;
};

struct GSDispatchEntry {
  static constexpr uint32_t kNoView = 0xFFFFFFFF;
  GSFunction* function = nullptr;
  uint32_t functionImport = 0;
  int32_t offset = 0;       // block of the implementing class
  uint32_t view = kNoView;  // index of the first view of that block in an instance; kNoView: none
};

struct GSAncestor {
  GSClass* cls = nullptr;  // set by Link
  uint32_t classImport = 0;
  int32_t offset = 0;
  bool direct = false;
};

class GSClass {
public:
  // Runs the class initialiser of `cls` for `instance` (viewed as `handle`);
  // false when it stops with an error. Set by the interpreter.
  using InitialiserRunner = bool (*)(GSFunction& initialiser, uint32_t handle);
  static void SetInitialiserRunner(InitialiserRunner runner);

  // The class's tables come from `memory` (its library's arena).
  GSClass(GSMachine* machine, GSLibrary* library, uint32_t index, const LibraryClass& record,
          std::pmr::memory_resource* memory = std::pmr::get_default_resource());
  GSClass(const GSClass&) = delete;
  GSClass& operator=(const GSClass&) = delete;

  // Resolves ancestors (from the library's class imports), natives (a miss
  // is reported and left unlinked), inherited functions and the function
  // table. False when an ancestor cannot be found or the lookups would pass
  // `steps` (a budget kept linear in the library's size; it is counted down).
  [[nodiscard]] bool Link(uint64_t& steps);
  // The ancestors' classes from the library's class imports; false when one is missing.
  [[nodiscard]] bool ResolveAncestors();
  // This class's own function whose key has this method part (from "::" on:
  // name and argument list), the first of equal ones; null when none.
  GSFunction* FindMethod(std::string_view method) const;

  std::string_view Name() const { return m_record.name; }
  uint32_t Flags() const { return m_record.flags; }
  uint32_t Index() const { return m_index; }
  GSLibrary* Library() const { return m_library; }
  uint32_t InstanceWords() const { return m_record.instanceCells; }
  // The instance cell of this class's own member variable `name`; -1 when none.
  int32_t VariableCell(std::string_view name) const {
    for (const LibraryClass::Variable& v : m_record.variables)
      if (v.name == name) return v.cell;
    return -1;
  }
  // The class record: its member variables with their cells, among others.
  const LibraryClass& Record() const { return m_record; }
  std::span<const GSAncestor> Ancestors() const { return m_ancestors; }
  std::span<GSFunction> Functions() { return m_functions; }
  std::span<const GSDispatchEntry> DispatchTable() const { return m_dispatch; }
  // Where the class's tables live (its library's arena).
  std::pmr::memory_resource* Memory() const { return m_memory; }
  // The first function-table position of ancestor i's part.
  uint32_t AncestorDispatchBase(std::size_t i) const { return m_blocks[i + 1].dispatchBase; }

  // The class that holds the function of `key` (this class first, then each
  // ancestor in table order), with the function's index there and the
  // ancestor's block; null when none has it.
  GSClass* FindFunction(std::string_view key, int32_t& index, int32_t& offset);
  int32_t FindFunctionIndex(std::string_view key) const;
  GSFunction* FunctionAt(std::size_t i) { return i < m_functions.size() ? &m_functions[i] : nullptr; }
  [[nodiscard]] bool IsDerivedFrom(std::string_view name) const;
  // The block of `instance` for `cls` (this class or an ancestor); null when
  // it has none or the instance is not of this class.
  uint32_t* GetClassData(GSScriptInstance* instance, const GSClass* cls) const;

  // Gives the native object a new instance in the context and runs the
  // initialisers, ancestors first; false when it already has one or an
  // initialiser fails (nothing then stays attached).
  [[nodiscard]] bool CreateInstance(GSObject* native, GSContext* context);
  [[nodiscard]] bool ReleaseObjectMembers(GSScriptInstance* instance);
  // Runs the function of `key` (found as FindFunction finds it) for
  // `instance`, an instance of this class or of one derived from it, with
  // `argumentCount` argument cells after the receiver; their references go
  // to the call once it is set up. A thread method starts a thread of the
  // instance's game object and returns at once (it runs on the object's next
  // update); any other runs now, its result cell, when it has one, stored in
  // `result`. False when the function is unknown or takes other arguments,
  // a thread method's object is no game object or has 64 threads, the
  // stack overflows, or the run ends in an error.
  [[nodiscard]] bool CallFunction(GSScriptInstance* instance, std::string_view key, const uint32_t* arguments,
                                  uint32_t argumentCount, uint32_t* result = nullptr);
  [[nodiscard]] bool DestroyInstance(GSScriptInstance* instance);
  // Whether cell `cell` of an instance of this class holds a counted
  // reference (known once an instance has been made).
  [[nodiscard]] bool IsReferenceCell(uint64_t cell) const {
    return cell < m_referenceCells.size() && m_referenceCells[cell];
  }

private:
  // Maps the instance cells that hold references, from this class's and its
  // ancestors' member lists, once; false when a cell would be released twice
  // or a reference cell gets a value other than null.
  [[nodiscard]] bool MapReferenceCells();
  GSMachine* m_machine;
  GSLibrary* m_library;
  uint32_t m_index;
  const LibraryClass& m_record;
  std::pmr::memory_resource* m_memory;
  // In one block of m_memory, as long as the record.
  std::span<GSAncestor> m_ancestors;
  std::span<GSFunction> m_functions;
  std::span<GSDispatchEntry> m_dispatch;
  std::span<HandleView> m_blocks;  // own block first; instance pointers filled per instance
  std::pmr::vector<uint8_t> m_referenceCells;
  int8_t m_layout = -1;    // MapReferenceCells: -1 not yet, 0 refused, 1 sound
  bool m_natives = false;  // some function of the class is native
  // Built on the first lookup in a class with many functions.
  mutable std::pmr::unordered_map<std::string_view, GSFunction*> m_methods;
};

}  // namespace GSRuntime
