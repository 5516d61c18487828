#pragma once
// The compiler's symbol table of one unit: source files it depends on, classes
// with their members and inheritance, functions, parameters and locals in
// nested block levels.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gamescript/compiler/SyntaxTree.h"

namespace GSCompiler {

class ParseContext;
class GSSymbolTable;
class GSClassSymbol;

enum : uint32_t { SymDependent = 1, SymVariable = 2, SymFunction = 3, SymClass = 4 };

// Internal specifier bits of symbols.
enum : uint32_t {
  SymPrototypeOnly = 0x2000000,  // function declared by a prototype, body not met yet
  SymInnerMember = 0x80000000,   // entered in a class member table above level 0
};

// Text that few symbols have (an object variable's class, a string define's
// text, the class of an object result), kept out of line: the many symbols
// without it pay one pointer rather than a whole string. Reads as a string;
// an empty text is none. The characters stay where they are until the text
// is set again, as syntax nodes point at them.
class SideText {
public:
  SideText() = default;
  SideText(const SideText&) = delete;
  SideText& operator=(const SideText&) = delete;

  SideText& operator=(std::string_view text) {
    if (m_text != nullptr)
      m_text->assign(text);
    else if (!text.empty())
      m_text = std::make_unique<std::string>(text);
    return *this;
  }
  const std::string& str() const { return m_text != nullptr ? *m_text : Empty(); }
  operator const std::string&() const { return str(); }
  const char* c_str() const { return str().c_str(); }
  [[nodiscard]] bool empty() const { return m_text == nullptr || m_text->empty(); }
  friend bool operator==(const SideText& a, std::string_view b) { return a.str() == b; }

private:
  static const std::string& Empty() {
    static const std::string none;
    return none;
  }
  std::unique_ptr<std::string> m_text;
};

class GSSymbol {
public:
  virtual ~GSSymbol() = default;

  std::string name;
  int32_t index = -1;        // member number, or the cell of a parameter or local
  int32_t importIndex = -1;  // class or function import index
  uint32_t type = TypeNone;
  int32_t level = 0;  // block level of the declaration; -1 only in probes
  uint32_t specifiers = 0;
  uint8_t kind = 0;                     // SymDependent .. SymClass; small, as every symbol has one
  bool retired = false;                 // out of scope: freed by the next ReleaseRetired
  bool inGlobals = false;               // held by the global table of the symbol table that made it
  GSSymbol* scopeNext = nullptr;        // next symbol of the same block level
  GSClassSymbol* ownerClass = nullptr;  // member table that holds it
  // Link of the table that holds it: the next entry of the same name (a
  // lower level).
  GSSymbol* sameName = nullptr;

  [[nodiscard]] bool HasOwner() const { return ownerClass != nullptr || inGlobals; }

protected:
  explicit GSSymbol(uint32_t k) : kind(static_cast<uint8_t>(k)) {}
};

class GSDependentSymbol : public GSSymbol {
public:
  GSDependentSymbol() : GSSymbol(SymDependent) {}
  uint32_t sourceCrc = 0;    // CRC-32 of the source text
  uint32_t fileNameCrc = 0;  // CRC-32 of the lower-cased file name
};

class GSVariableSymbol : public GSSymbol {
public:
  GSVariableSymbol() : GSSymbol(SymVariable) {}
  SideText className;  // class of an object variable; empty otherwise
  // The value of a define, set once its initialiser is checked: the
  // constant's 32-bit value, or the text of a string define.
  SideText defineText;
  uint32_t defineValue = 0;
  bool defineSet = false;  // false while its initialiser is still being checked
};

class GSFunctionSymbol : public GSSymbol {
public:
  GSFunctionSymbol() : GSSymbol(SymFunction) {}
  int32_t parameterCells = 1;  // P: cell 0 is me
  int32_t localCount = 0;
  int32_t temporaryCount = 0;
  SideText resultClass;  // class of an object result; empty otherwise
  // The next function of the same plain name in the member table that holds it.
  GSSymbol* samePlainName = nullptr;
  // "$ret@Class::name(types)", made when wanted (the library write, a
  // message) rather than kept by every function.
  std::string Signature() const;
  // The same appended to `out`: a writer of many keys reuses one buffer.
  void AppendSignature(std::string& out) const;
};

// Table of symbols by name; equal symbols (same name and level) are refused.
// Visits go in table order: by the name's hash modulo the bucket count, then
// by name, the higher block level first -- the order of a chained hash table
// of that many buckets whose chains are kept sorted, which the library's
// layout follows. Lookups by name and by a function's plain name take the
// same time however many members the table holds.
class SymbolHash {
public:
  explicit SymbolHash(uint32_t buckets = 61);
  [[nodiscard]] bool Insert(GSSymbol* symbol);
  // The entry equal to the probe, or null; a probe of level -1 finds the
  // entry of that name with the highest level.
  GSSymbol* Find(const GSSymbol& probe) const;
  // The same for a declared name (not a source file's), without a probe.
  GSSymbol* FindName(std::string_view name, int32_t level) const;
  // The same with the name's hash (LookupHash) already known.
  GSSymbol* FindName(std::string_view name, std::size_t hash, int32_t level) const;
  // The hash a name is looked up with: one name searched in several tables
  // is hashed once.
  static std::size_t LookupHash(std::string_view name);
  [[nodiscard]] bool Remove(GSSymbol* symbol);
  uint32_t Count() const { return m_count; }
  // Symbols inserted so far, removed ones included: a table whose count is
  // unchanged since a visit has no entry that visit missed.
  uint64_t Insertions() const { return m_insertions; }
  // Visits the entries in table order. The visit must not change the table.
  template <typename F>
  void ForEach(F&& visit) const {
    for (GSSymbol* s : Ordered()) visit(s);
  }
  // Visits the entries in no particular order, for visits whose result does
  // not depend on it. The visit must not change the table.
  template <typename F>
  void ForEachUnordered(F&& visit) const {
    for (const Slot& slot : m_byName.Slots())
      for (GSSymbol* s = slot.head; s != nullptr; s = s->sameName) visit(s);
  }
  // The functions whose plain name (the text between "::" and "(") is
  // `plain`, in table order.
  std::vector<GSSymbol*> FunctionsNamed(const std::string& plain) const;
  // Gives back the room that entries removed since (a class's locals and
  // parameters) left behind and settles the table order; lookups and the
  // order are unchanged.
  void Compact();

private:
  friend class GSSymbolTable;
  GSSymbol* FindDeclared(std::string_view name, std::size_t hash, int32_t level) const;
  const std::vector<GSSymbol*>& Ordered() const;
  void SortInTableOrder(std::vector<GSSymbol*>& symbols) const;

  uint32_t m_buckets;
  // One name's entries, linked through the symbols themselves; a free slot
  // has no head. Every class keeps two of these tables: a slot is 16 bytes.
  struct Slot {
    GSSymbol* head;
    uint32_t hash;  // the low bits of the name's hash
  };
  // Names to their entries: open addressing, linear probing, at most half
  // full. An entry costs no allocation of its own, and dropping the table is
  // one free.
  class Index {
  public:
    // Keys are names (a source file's marked) or functions' plain names.
    explicit Index(bool plainNames) : m_plainNames(plainNames) {}
    Slot* Find(std::string_view key, std::size_t hash) const;
    // The slot of the key; a new one (no head yet) when the key is not there.
    Slot& Place(std::string_view key, std::size_t hash);
    // Frees a slot whose chain has become empty.
    void Erase(Slot& slot);
    // Rebuilds the slots at the smallest size that holds the entries.
    void Fit();
    const std::vector<Slot>& Slots() const { return m_slots; }

  private:
    std::size_t Position(std::string_view key, std::size_t hash) const;
    void Grow();
    void Rehash(std::size_t size);

    std::vector<Slot> m_slots;
    std::size_t m_used = 0;
    bool m_plainNames;
  };
  // By name (a source file's lower-cased behind a marker byte); entries of
  // one name go higher level first.
  Index m_byName;
  // Functions by plain name.
  Index m_functionsByPlainName;
  mutable std::vector<GSSymbol*> m_ordered;  // table order, rebuilt after a change
  mutable bool m_orderedValid = true;
  uint32_t m_count = 0;
  uint64_t m_insertions = 0;
};

struct AncestorEntry {
  GSClassSymbol* base = nullptr;
  int32_t vo = 0;  // variable offset
  int32_t fo = 0;  // function offset
  bool direct = false;
};

struct ExtendsEntry {
  std::string name;
  int line = 0;
};

class GSClassSymbol : public GSSymbol {
public:
  GSClassSymbol() : GSSymbol(SymClass), members(31) {}
  std::vector<AncestorEntry> ancestors;
  std::vector<ExtendsEntry> extends;  // base names still to be resolved
  SymbolHash members;
  GSDependentSymbol* declaringFile = nullptr;
  int32_t ownVariables = 0;  // V
  int32_t ownFunctions = 0;  // F
  int32_t variableBase = 2;  // VB
  int32_t functionBase = 0;  // FB

private:
  friend class GSSymbolTable;
  bool m_resolving = false;      // extends list being resolved (cycle guard)
  bool m_resolveFailed = false;  // reported once; later resolutions fail quietly
  // The members' insertions when they were last all marked referenced as a
  // base's: a class with many derived classes is walked again only when it
  // has gained a member.
  uint64_t m_markedAt = UINT64_MAX;
};

// Symbols of one class in slabs, each slab twice the size of the one before,
// with the cells of freed symbols kept for the next ones: a compile of many
// classes makes and frees tens of thousands of symbols without an allocation
// of their own each.
template <typename T>
class SymbolPool {
public:
  SymbolPool() = default;
  SymbolPool(const SymbolPool&) = delete;
  SymbolPool& operator=(const SymbolPool&) = delete;

  T* Make() {
    Cell* cell = m_free;
    if (cell != nullptr) {
      m_free = cell->next;
    } else {
      if (m_left == 0) NewSlab();
      cell = m_cursor++;
      --m_left;
      ++m_carved;
    }
    return new (cell->bytes) T();
  }
  // Destroys a symbol made here and keeps its cell.
  void Release(T* symbol) {
    symbol->~T();
    Cell* cell = reinterpret_cast<Cell*>(symbol);
    cell->next = m_free;
    m_free = cell;
  }
  // Cells ever handed out of the slabs (those freed and taken again count once).
  std::size_t CarvedCells() const { return m_carved; }
  // Forgets every cell; the symbols must have been released or destroyed.
  void Clear() {
    m_slabs.clear();
    m_free = nullptr;
    m_cursor = nullptr;
    m_left = 0;
    m_carved = 0;
    m_nextSlab = kFirstSlab;
  }

private:
  union Cell {
    Cell* next;
    alignas(T) unsigned char bytes[sizeof(T)];
  };
  static constexpr std::size_t kFirstSlab = 16;
  static constexpr std::size_t kLargestSlab = 4096;
  void NewSlab() {
    // Left uninitialised: cells not yet given out cost no memory.
    m_slabs.push_back(std::unique_ptr<Cell[]>(new Cell[m_nextSlab]));
    m_cursor = m_slabs.back().get();
    m_left = m_nextSlab;
    m_nextSlab = std::min(m_nextSlab * 2, kLargestSlab);
  }

  std::vector<std::unique_ptr<Cell[]>> m_slabs;
  Cell* m_free = nullptr;
  Cell* m_cursor = nullptr;
  std::size_t m_left = 0;
  std::size_t m_carved = 0;
  std::size_t m_nextSlab = kFirstSlab;
};

class GSSymbolTable {
public:
  static constexpr int kMaxLevel = 63;

  GSSymbolTable() { Reset(); }
  ~GSSymbolTable() { ReleaseAll(); }
  GSSymbolTable(const GSSymbolTable&) = delete;
  GSSymbolTable& operator=(const GSSymbolTable&) = delete;

  // Empties everything: scopes (level 0, no current function), symbols, the
  // global table and both import counters.
  void Reset();

  // Where class-hierarchy errors are counted and logged; may be null.
  void SetContext(ParseContext* context) { m_context = context; }
  ParseContext* Context() const { return m_context; }

  // New symbols with the defaults; a class records the current file.
  GSDependentSymbol* NewDependent(std::string_view name);
  GSVariableSymbol* NewVariable(std::string_view name);
  GSFunctionSymbol* NewFunction(std::string_view name);
  GSClassSymbol* NewClass(std::string_view name);

  // Enters the symbol at the current level: globally without a class, else in
  // the class's member table (numbered when `number` and at level 0). False
  // when the symbol already has an owner or an equal symbol is there.
  [[nodiscard]] bool Add(GSSymbol* symbol, GSClassSymbol* cls, bool number);
  // Removes the symbol from whichever table holds it.
  [[nodiscard]] bool Remove(GSSymbol* symbol);

  // Opens a block level. False (level unchanged, closing still balances) when
  // 63 levels are already open: the caller reports the nesting error.
  [[nodiscard]] bool OpenBlock();
  // Removes every symbol of the current level and lowers it. Level 0 stays.
  void CloseBlock();
  // Closes every level down to 0.
  void ClearScopes();
  // Frees the symbols whose block has closed since the last call (locals and
  // parameters). Whatever still points at them (the syntax tree of their
  // class) must be gone.
  void ReleaseRetired();
  // Symbols made and not yet freed.
  std::size_t HeldCount() const { return m_symbols.size(); }
  // Variable symbols' cells ever taken from their pool: what freed locals and
  // parameters gave back is taken again first.
  std::size_t VariableCells() const { return m_variablePool.CarvedCells(); }
  int Level() const { return m_level; }

  // Finds a name: without a class, in the global table; with a class, in its
  // member table (level 0 only when membersOnly), then its ancestors, then the
  // globals when withGlobals. Marks what it finds as referenced.
  GSSymbol* Lookup(std::string_view name, GSClassSymbol* cls, bool withGlobals, bool membersOnly);
  // The entered source file of that name (compared without regard to case).
  GSDependentSymbol* FindDependent(const std::string& name) const;

  // Gives a class, or a function and its class, their import indexes.
  // Inline: every name a check looks up passes here.
  void MarkReferenced(GSSymbol* symbol) {
    if (symbol->kind == SymClass) {
      if (symbol->importIndex < 0) ImportClass(static_cast<GSClassSymbol*>(symbol));
    } else if (symbol->kind == SymFunction) {
      if (symbol->importIndex < 0) ImportFunction(static_cast<GSFunctionSymbol*>(symbol));
      if (symbol->ownerClass != nullptr && symbol->ownerClass->importIndex < 0)
        ImportClass(symbol->ownerClass);
    }
  }
  // Every global class and its functions lose their import index; counters 0.
  void ResetImportIndexes();
  int32_t ClassImportCount() const { return static_cast<int32_t>(m_importedClasses.size()); }
  int32_t FunctionImportCount() const { return static_cast<int32_t>(m_importedFunctions.size()); }
  // The classes and functions given import indexes, by index: the library
  // write takes them from here rather than from a walk of every member.
  const std::vector<GSClassSymbol*>& ImportedClasses() const { return m_importedClasses; }
  const std::vector<GSFunctionSymbol*>& ImportedFunctions() const { return m_importedFunctions; }

  // The class itself (offsets 0) or its first ancestor entry of that name,
  // after resolving the extends list; false when there is none.
  [[nodiscard]] bool FindAncestor(GSClassSymbol* cls, const std::string& name, AncestorEntry& entry);
  // Functions of `cls` with that plain name and argument count, in table
  // order; when none and searchAncestors, those of each ancestor's own table.
  int FindFunctions(GSClassSymbol* cls, const std::string& name, int argumentCount, GSFunctionSymbol** result,
                    int capacity, bool searchAncestors);
  // The cell of a member variable or the slot of a member function as seen
  // from `cls`; -1 when it belongs to no ancestor or does not fit 16 bits.
  int32_t MemberPosition(GSClassSymbol* cls, GSSymbol* member) {
    // Most names are locals, parameters or the class's own variables: no
    // ancestor to search (the rest, and a class whose bases are still to be
    // resolved, take the whole way).
    if (member->kind == SymVariable && cls->extends.empty() &&
        (member->level > 0 || member->ownerClass == cls)) {
      const int64_t position =
          member->level > 0 ? int64_t(member->index) : int64_t(cls->variableBase) + member->index;
      return position < 0 || position > 0xFFFF ? -1 : static_cast<int32_t>(position);
    }
    return AncestorPosition(cls, member);
  }

  // Resolves the extends list once (messages in the class's declaring file).
  [[nodiscard]] bool ResolveExtends(GSClassSymbol* cls);
  // Adds base as an ancestor of cls; null on success, else the name of the
  // entry that is already there.
  const char* AddBase(GSClassSymbol* cls, GSClassSymbol* base, bool direct, int32_t vo, int32_t fo);

  GSFunctionSymbol* currentFunction = nullptr;
  GSDependentSymbol* currentFile = nullptr;

  // Visits every global symbol (files and classes) in table order.
  template <typename F>
  void ForEachGlobal(F&& visit) const {
    m_globals.ForEach(visit);
  }

  // Every global symbol in table order, in the compiler's dump format.
  std::string Dump() const;

private:
  // The next import index, and the symbol's place in its list.
  void ImportClass(GSClassSymbol* cls);
  void ImportFunction(GSFunctionSymbol* function);
  template <typename T>
  T* Make(std::string_view name);
  void Release(GSSymbol* symbol);
  void ReleaseAll();
  GSSymbol* LookupInClass(GSClassSymbol* cls, std::string_view name, std::size_t hash, int32_t level);
  // MemberPosition the whole way.
  int32_t AncestorPosition(GSClassSymbol* cls, GSSymbol* member);

  // Every symbol made and not yet freed, each from the pool of its kind.
  std::vector<GSSymbol*> m_symbols;
  SymbolPool<GSDependentSymbol> m_dependentPool;
  SymbolPool<GSVariableSymbol> m_variablePool;
  SymbolPool<GSFunctionSymbol> m_functionPool;
  SymbolPool<GSClassSymbol> m_classPool;
  std::size_t m_unreleased = 0;  // symbols before this index hold none retired
  SymbolHash m_globals{61};
  GSSymbol* m_scopes[kMaxLevel + 1] = {};
  int m_level = 0;
  int m_overflow = 0;  // blocks opened beyond the last level
  std::vector<GSClassSymbol*> m_importedClasses;
  std::vector<GSFunctionSymbol*> m_importedFunctions;
  ParseContext* m_context = nullptr;
};

// The name a type has inside symbol names and signature keys: the class name
// for object types, "Class[]" for arrays of a class, else the type's name.
std::string TypeText(uint32_t type, std::string_view className);
// Appends TypeText(type, className) to `out`.
void AppendTypeText(std::string& out, uint32_t type, std::string_view className);
// "::name(t1,t2)" from the plain name and the parameter type texts.
std::string FunctionSymbolName(const std::string& name, const std::vector<std::string>& parameterTypes);
// "$ret@Class::name(t1,t2)".
std::string SignatureKey(const std::string& returnType, const std::string& className,
                         const std::string& symbolName);
// The text between "::" and "(" of a function symbol's name.
std::string PlainFunctionName(const std::string& symbolName);

}  // namespace GSCompiler
