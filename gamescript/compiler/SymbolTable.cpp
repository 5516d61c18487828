#include "gamescript/compiler/SymbolTable.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <type_traits>
#include <unordered_set>

#include "gamescript/compiler/Messages.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/TextHash.h"
#include "gamescript/runtime/LibraryFile.h"

namespace GSCompiler {

namespace {

// Every class record lists all its ancestors and their parts of the function
// table, so a library grows with the square of its derivation depth: classes
// with more ancestors than the loader takes are refused. The same bound keeps
// the stack safe while extends lists resolve one into the other.
constexpr int kMaxDerivationDepth = int(GSRuntime::kMaxAncestors);

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

uint32_t NameHash(const GSSymbol& s) {
  uint32_t h = 0;
  const bool fold = s.kind == SymDependent;
  for (char c : s.name) {
    const signed char b = static_cast<signed char>(fold ? Lower(c) : c);
    h = h * 3u + static_cast<uint32_t>(static_cast<int32_t>(b));
  }
  return h;
}

int CompareNames(const GSSymbol& a, const GSSymbol& b) {
  const bool da = a.kind == SymDependent;
  const bool db = b.kind == SymDependent;
  // Source files and declared names never equal each other; keeping the files
  // apart keeps every chain totally ordered although files compare without case.
  if (da != db) return da ? -1 : 1;
  if (!da) return a.name.compare(b.name) < 0 ? -1 : (a.name == b.name ? 0 : 1);
  const size_t n = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(Lower(a.name[i]));
    const unsigned char y = static_cast<unsigned char>(Lower(b.name[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.name.size() == b.name.size() ? 0 : (a.name.size() < b.name.size() ? -1 : 1);
}

// Name order; equal names put the higher block level first, and a level of -1
// matches any level.
int CompareSymbols(const GSSymbol& a, const GSSymbol& b) {
  const int c = CompareNames(a, b);
  if (c != 0) return c;
  if (a.level == -1 || b.level == -1 || a.level == b.level) return 0;
  return a.level > b.level ? -1 : 1;
}

class Probe : public GSSymbol {
public:
  Probe(const std::string& n, int32_t lvl, uint32_t k) : GSSymbol(k) {
    name = n;
    level = lvl;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// SymbolHash

namespace {

// The key of a symbol's name in the by-name index: source files compare
// without case and never equal a declared name.
std::string NameKey(const GSSymbol& s) {
  if (s.kind != SymDependent) return s.name;
  std::string key(1, '\1');
  for (char c : s.name) key += Lower(c);
  return key;
}

inline bool NameMatches(const GSSymbol& head, std::string_view key) {
  if (key.empty() || key[0] != '\1')
    return head.name.size() == key.size() && head.kind != SymDependent &&
           SameText(head.name.data(), key.data(), key.size());
  if (head.kind != SymDependent || head.name.size() != key.size() - 1) return false;
  for (std::size_t i = 0; i < head.name.size(); ++i)
    if (Lower(head.name[i]) != key[i + 1]) return false;
  return true;
}

// The text between "::" and "(" of a function's symbol name.
std::string_view PlainView(std::string_view symbolName) {
  const std::size_t start = symbolName.find("::");
  const std::size_t from = start == std::string_view::npos ? 0 : start + 2;
  const std::size_t end = symbolName.find('(', from);
  return symbolName.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from);
}

bool PlainMatches(const GSSymbol& head, std::string_view key) { return PlainView(head.name) == key; }

// The link of the plain-name chains, which hold functions only.
GSSymbol*& PlainNext(GSSymbol* s) { return static_cast<GSFunctionSymbol*>(s)->samePlainName; }

}  // namespace

// Probes are inlined where names are looked up: a check looks up every
// identifier, and the calls cost as much as the probe.
[[gnu::always_inline]] inline std::size_t SymbolHash::Index::Position(std::string_view key,
                                                                      std::size_t hash) const {
  const std::size_t mask = m_slots.size() - 1;
  std::size_t i = hash & mask;
  const auto hash32 = static_cast<uint32_t>(hash);
  const auto probe = [&](auto matches) {
    while (m_slots[i].head != nullptr && !(m_slots[i].hash == hash32 && matches(*m_slots[i].head, key)))
      i = (i + 1) & mask;
    return i;
  };
  return m_plainNames ? probe(PlainMatches) : probe(NameMatches);
}

[[gnu::always_inline]] inline SymbolHash::Slot* SymbolHash::Index::Find(std::string_view key,
                                                                        std::size_t hash) const {
  if (m_slots.empty()) return nullptr;
  const Slot& slot = m_slots[Position(key, hash)];
  return slot.head != nullptr ? const_cast<Slot*>(&slot) : nullptr;
}

SymbolHash::Slot& SymbolHash::Index::Place(std::string_view key, std::size_t hash) {
  if ((m_used + 1) * 2 > m_slots.size()) Grow();
  Slot& slot = m_slots[Position(key, hash)];
  if (slot.head == nullptr) {
    slot.hash = static_cast<uint32_t>(hash);
    ++m_used;
  }
  return slot;
}

// A class's table holds its members and, while a function is checked, that
// function's parameters and locals: sixteen slots serve the common class
// without growing on the way. Its functions have a name or two, whose four
// slots are what Fit would leave.
void SymbolHash::Index::Grow() { Rehash(std::max<std::size_t>(m_plainNames ? 4 : 16, m_slots.size() * 2)); }

void SymbolHash::Index::Fit() {
  if (m_used == 0) {
    std::vector<Slot>().swap(m_slots);
    return;
  }
  // A class's few names (two functions, say) fit a table of four.
  std::size_t size = 4;
  while (m_used * 2 > size) size *= 2;  // at most half full, as Place keeps it
  if (size < m_slots.size()) Rehash(size);
}

void SymbolHash::Index::Rehash(std::size_t size) {
  std::vector<Slot> old(size, Slot{nullptr, 0});
  old.swap(m_slots);
  const std::size_t mask = m_slots.size() - 1;
  for (const Slot& slot : old) {
    if (slot.head == nullptr) continue;
    std::size_t i = slot.hash & mask;
    while (m_slots[i].head != nullptr) i = (i + 1) & mask;
    m_slots[i] = slot;
  }
}

void SymbolHash::Index::Erase(Slot& slot) {
  // Later entries of the same probe run move back into the hole, so every
  // key stays reachable from its home position without tombstones.
  const std::size_t mask = m_slots.size() - 1;
  std::size_t hole = static_cast<std::size_t>(&slot - m_slots.data());
  for (std::size_t j = (hole + 1) & mask; m_slots[j].head != nullptr; j = (j + 1) & mask) {
    const std::size_t home = m_slots[j].hash & mask;
    const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (stays) continue;
    m_slots[hole] = m_slots[j];
    hole = j;
  }
  m_slots[hole] = Slot{nullptr, 0};
  --m_used;
}

SymbolHash::SymbolHash(uint32_t buckets)
    : m_buckets(buckets), m_byName(false), m_functionsByPlainName(true) {}

bool SymbolHash::Insert(GSSymbol* symbol) {
  const std::string folded = symbol->kind == SymDependent ? NameKey(*symbol) : std::string();
  const std::string_view key = symbol->kind == SymDependent ? std::string_view(folded) : symbol->name;
  Slot& slot = m_byName.Place(key, KeyHash(key));
  GSSymbol* before = nullptr;
  GSSymbol* at = slot.head;
  while (at != nullptr && at->level > symbol->level) {
    before = at;
    at = at->sameName;
  }
  if (at != nullptr && at->level == symbol->level) return false;
  symbol->sameName = at;
  if (before != nullptr)
    before->sameName = symbol;
  else
    slot.head = symbol;
  if (symbol->kind == SymFunction) {
    const std::string_view plain = PlainView(symbol->name);
    Slot& same = m_functionsByPlainName.Place(plain, KeyHash(plain));
    // Whoever reads the chain sorts it: the newest goes first.
    PlainNext(symbol) = same.head;
    same.head = symbol;
  }
  m_orderedValid = false;
  ++m_count;
  ++m_insertions;
  return true;
}

GSSymbol* SymbolHash::Find(const GSSymbol& probe) const {
  if (probe.kind != SymDependent) return FindName(probe.name, probe.level);
  const std::string key = NameKey(probe);
  const Slot* slot = m_byName.Find(key, KeyHash(key));
  for (GSSymbol* s = slot ? slot->head : nullptr; s != nullptr; s = s->sameName)
    if (probe.level == -1 || s->level == probe.level) return s;
  return nullptr;
}

std::size_t SymbolHash::LookupHash(std::string_view name) { return KeyHash(name); }

GSSymbol* SymbolHash::FindName(std::string_view name, int32_t level) const {
  return FindName(name, KeyHash(name), level);
}

GSSymbol* SymbolHash::FindName(std::string_view name, std::size_t hash, int32_t level) const {
  return FindDeclared(name, hash, level);
}

[[gnu::always_inline]] inline GSSymbol* SymbolHash::FindDeclared(std::string_view name, std::size_t hash,
                                                                 int32_t level) const {
  // A source file's key starts with a byte no declared name has.
  if (!name.empty() && name[0] == '\1') return nullptr;
  const Slot* slot = m_byName.Find(name, hash);
  for (GSSymbol* s = slot ? slot->head : nullptr; s != nullptr; s = s->sameName)
    if (level == -1 || s->level == level) return s;
  return nullptr;
}

bool SymbolHash::Remove(GSSymbol* symbol) {
  const std::string folded = symbol->kind == SymDependent ? NameKey(*symbol) : std::string();
  const std::string_view key = symbol->kind == SymDependent ? std::string_view(folded) : symbol->name;
  Slot* slot = m_byName.Find(key, KeyHash(key));
  if (slot == nullptr) return false;
  GSSymbol** link = &slot->head;
  while (*link != nullptr && *link != symbol) link = &(*link)->sameName;
  if (*link == nullptr) return false;
  *link = symbol->sameName;
  symbol->sameName = nullptr;
  if (slot->head == nullptr) m_byName.Erase(*slot);
  if (symbol->kind == SymFunction) {
    const std::string_view plain = PlainView(symbol->name);
    if (Slot* same = m_functionsByPlainName.Find(plain, KeyHash(plain))) {
      GSSymbol* before = nullptr;
      for (GSSymbol* s = same->head; s != nullptr; before = s, s = PlainNext(s)) {
        if (s != symbol) continue;
        if (before != nullptr)
          PlainNext(before) = PlainNext(s);
        else
          same->head = PlainNext(s);
        break;
      }
      PlainNext(symbol) = nullptr;
      if (same->head == nullptr) m_functionsByPlainName.Erase(*same);
    }
  }
  m_orderedValid = false;
  --m_count;
  return true;
}

void SymbolHash::SortInTableOrder(std::vector<GSSymbol*>& symbols) const {
  if (symbols.size() < 2) return;
  // The bucket and whether the name is declared (source files come first),
  // then, for a table of many entries, a declared name's first eight bytes
  // as a big-endian number (short names padded with zeros, which no name
  // holds): those order as the names do, and decide nearly every comparison
  // of a large table without reading the names.
  struct Keyed {
    uint64_t head;
    uint64_t prefix;
    GSSymbol* symbol;
  };
  const auto key = [this](GSSymbol* s, bool withPrefix) {
    const bool declared = s->kind != SymDependent;
    uint64_t prefix = 0;
    if (declared && withPrefix)
      for (std::size_t i = 0; i < 8 && i < s->name.size(); ++i)
        prefix |= uint64_t(static_cast<unsigned char>(s->name[i])) << (56 - 8 * i);
    return Keyed{uint64_t(NameHash(*s) % m_buckets) << 1 | uint64_t(declared), prefix, s};
  };
  const auto before = [](const Keyed& a, const Keyed& b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return CompareSymbols(*a.symbol, *b.symbol) < 0;
  };
  // Most tables are a class's few members: those are sorted in place on the
  // stack (no two entries are equal, so any sort gives the same order).
  constexpr std::size_t kSmall = 16;
  if (symbols.size() <= kSmall) {
    Keyed keyed[kSmall];
    const std::size_t n = symbols.size();
    for (std::size_t i = 0; i < n; ++i) {
      const Keyed k = key(symbols[i], false);
      std::size_t j = i;
      for (; j > 0 && before(k, keyed[j - 1]); --j) keyed[j] = keyed[j - 1];
      keyed[j] = k;
    }
    for (std::size_t i = 0; i < n; ++i) symbols[i] = keyed[i].symbol;
    return;
  }
  std::vector<Keyed> keyed;
  keyed.reserve(symbols.size());
  for (GSSymbol* s : symbols) keyed.push_back(key(s, true));
  std::sort(keyed.begin(), keyed.end(), before);
  for (std::size_t i = 0; i < keyed.size(); ++i) symbols[i] = keyed[i].symbol;
}

const std::vector<GSSymbol*>& SymbolHash::Ordered() const {
  if (!m_orderedValid) {
    m_ordered.clear();
    m_ordered.reserve(m_count);
    ForEachUnordered([&](GSSymbol* s) { m_ordered.push_back(s); });
    SortInTableOrder(m_ordered);
    m_orderedValid = true;
  }
  return m_ordered;
}

void SymbolHash::Compact() {
  m_byName.Fit();
  m_functionsByPlainName.Fit();
  // The table order is wanted once more when the library is written; made
  // now, while the symbols are at hand.
  Ordered();
  m_ordered.shrink_to_fit();
}

std::vector<GSSymbol*> SymbolHash::FunctionsNamed(const std::string& plain) const {
  std::vector<GSSymbol*> found;
  const Slot* same = m_functionsByPlainName.Find(plain, KeyHash(plain));
  for (GSSymbol* s = same ? same->head : nullptr; s != nullptr; s = PlainNext(s)) found.push_back(s);
  SortInTableOrder(found);
  return found;
}

// ---------------------------------------------------------------------------
// GSSymbolTable: symbols and scopes

void GSSymbolTable::Release(GSSymbol* symbol) {
  switch (symbol->kind) {
    case SymDependent: m_dependentPool.Release(static_cast<GSDependentSymbol*>(symbol)); break;
    case SymVariable: m_variablePool.Release(static_cast<GSVariableSymbol*>(symbol)); break;
    case SymFunction: m_functionPool.Release(static_cast<GSFunctionSymbol*>(symbol)); break;
    default: m_classPool.Release(static_cast<GSClassSymbol*>(symbol)); break;
  }
}

void GSSymbolTable::ReleaseAll() {
  // Tables hold no symbol of their own: they go first, then the symbols.
  m_globals = SymbolHash(61);
  for (GSSymbol* s : m_symbols) Release(s);
  m_symbols.clear();
  m_dependentPool.Clear();
  m_variablePool.Clear();
  m_functionPool.Clear();
  m_classPool.Clear();
}

void GSSymbolTable::Reset() {
  ReleaseAll();
  m_unreleased = 0;
  m_globals = SymbolHash(61);
  for (GSSymbol*& head : m_scopes) head = nullptr;
  m_level = 0;
  m_overflow = 0;
  m_importedClasses.clear();
  m_importedFunctions.clear();
  currentFunction = nullptr;
  currentFile = nullptr;
}

template <typename T>
T* GSSymbolTable::Make(std::string_view name) {
  m_symbols.push_back(nullptr);  // the room first: nothing is lost if it cannot be had
  T* symbol;
  if constexpr (std::is_same_v<T, GSDependentSymbol>)
    symbol = m_dependentPool.Make();
  else if constexpr (std::is_same_v<T, GSVariableSymbol>)
    symbol = m_variablePool.Make();
  else if constexpr (std::is_same_v<T, GSFunctionSymbol>)
    symbol = m_functionPool.Make();
  else
    symbol = m_classPool.Make();
  m_symbols.back() = symbol;
  symbol->name.assign(name);
  return symbol;
}

GSDependentSymbol* GSSymbolTable::NewDependent(std::string_view name) {
  return Make<GSDependentSymbol>(name);
}
GSVariableSymbol* GSSymbolTable::NewVariable(std::string_view name) { return Make<GSVariableSymbol>(name); }
GSFunctionSymbol* GSSymbolTable::NewFunction(std::string_view name) { return Make<GSFunctionSymbol>(name); }

GSClassSymbol* GSSymbolTable::NewClass(std::string_view name) {
  GSClassSymbol* cls = Make<GSClassSymbol>(name);
  cls->declaringFile = currentFile;
  return cls;
}

bool GSSymbolTable::Add(GSSymbol* symbol, GSClassSymbol* cls, bool number) {
  if (symbol == nullptr || symbol->HasOwner()) return false;
  symbol->level = m_level;
  if (cls == nullptr) {
    if (!m_globals.Insert(symbol)) return false;
    symbol->inGlobals = true;
  } else {
    if (cls->kind != SymClass || !cls->members.Insert(symbol)) return false;
    symbol->ownerClass = cls;
    if (m_level > 0)
      symbol->specifiers |= SymInnerMember;
    else if (number && symbol->kind == SymVariable)
      symbol->index = cls->ownVariables++;
    else if (number && symbol->kind == SymFunction)
      symbol->index = cls->ownFunctions++;
  }
  symbol->scopeNext = m_scopes[m_level];
  m_scopes[m_level] = symbol;
  if (symbol->kind == SymFunction) currentFunction = static_cast<GSFunctionSymbol*>(symbol);
  return true;
}

bool GSSymbolTable::Remove(GSSymbol* symbol) {
  bool removed = false;
  if (symbol->ownerClass != nullptr)
    removed = symbol->ownerClass->members.Remove(symbol);
  else if (symbol->inGlobals)
    removed = m_globals.Remove(symbol);
  if (removed) {
    symbol->ownerClass = nullptr;
    symbol->inGlobals = false;
  }
  return removed;
}

bool GSSymbolTable::OpenBlock() {
  if (m_level >= kMaxLevel || m_overflow > 0) {
    ++m_overflow;
    return false;
  }
  ++m_level;
  m_scopes[m_level] = nullptr;
  return true;
}

void GSSymbolTable::CloseBlock() {
  if (m_overflow > 0) {
    --m_overflow;
    return;
  }
  if (m_level == 0) return;
  for (GSSymbol* s = m_scopes[m_level]; s != nullptr; s = s->scopeNext) {
    // The symbol goes in any case; a missing one has nothing to remove.
    (void)Remove(s);
    s->retired = true;
  }
  m_scopes[m_level] = nullptr;
  --m_level;
}

void GSSymbolTable::ReleaseRetired() {
  const auto first = m_symbols.begin() + static_cast<std::ptrdiff_t>(m_unreleased);
  m_symbols.erase(std::remove_if(first, m_symbols.end(),
                                 [this](GSSymbol* s) {
                                   if (!s->retired) return false;
                                   Release(s);
                                   return true;
                                 }),
                  m_symbols.end());
  // With a block open, symbols made so far may still retire.
  if (m_level == 0) m_unreleased = m_symbols.size();
}

void GSSymbolTable::ClearScopes() {
  m_overflow = 0;
  while (m_level > 0) CloseBlock();
}

// ---------------------------------------------------------------------------
// Lookup and import indexes

[[gnu::always_inline]] inline GSSymbol* GSSymbolTable::LookupInClass(GSClassSymbol* cls,
                                                                     std::string_view name, std::size_t hash,
                                                                     int32_t level) {
  if (GSSymbol* s = cls->members.FindDeclared(name, hash, level)) return s;
  // The ancestor list is already flat (every ancestor once, depth first), so
  // searching each entry's own table visits them in the same order as
  // searching each entry together with its own ancestors.
  for (const AncestorEntry& e : cls->ancestors)
    if (GSSymbol* s = e.base->members.FindDeclared(name, hash, level)) return s;
  return nullptr;
}

GSSymbol* GSSymbolTable::Lookup(std::string_view name, GSClassSymbol* cls, bool withGlobals,
                                bool membersOnly) {
  const std::size_t hash = KeyHash(name);
  GSSymbol* found = nullptr;
  if (cls != nullptr) found = LookupInClass(cls, name, hash, membersOnly ? 0 : -1);
  if (found == nullptr && (cls == nullptr || withGlobals)) found = m_globals.FindDeclared(name, hash, -1);
  if (found != nullptr) MarkReferenced(found);
  return found;
}

GSDependentSymbol* GSSymbolTable::FindDependent(const std::string& name) const {
  return static_cast<GSDependentSymbol*>(m_globals.Find(Probe(name, -1, SymDependent)));
}

void GSSymbolTable::ImportClass(GSClassSymbol* cls) {
  // The index is given once the symbol has its place in the list.
  m_importedClasses.push_back(cls);
  cls->importIndex = static_cast<int32_t>(m_importedClasses.size() - 1);
}

void GSSymbolTable::ImportFunction(GSFunctionSymbol* function) {
  m_importedFunctions.push_back(function);
  function->importIndex = static_cast<int32_t>(m_importedFunctions.size() - 1);
}

void GSSymbolTable::ResetImportIndexes() {
  m_globals.ForEachUnordered([](GSSymbol* s) {
    if (s->kind != SymClass) return;
    s->importIndex = -1;
    static_cast<GSClassSymbol*>(s)->m_markedAt = UINT64_MAX;
    static_cast<GSClassSymbol*>(s)->members.ForEachUnordered([](GSSymbol* m) {
      if (m->kind == SymFunction) m->importIndex = -1;
    });
  });
  m_importedClasses.clear();
  m_importedFunctions.clear();
}

// ---------------------------------------------------------------------------
// Class hierarchy

const char* GSSymbolTable::AddBase(GSClassSymbol* cls, GSClassSymbol* base, bool direct, int32_t vo,
                                   int32_t fo) {
  // Walked with an explicit stack: the indirect ancestors of a base are added
  // depth first, each with the offsets accumulated along its path.
  struct Frame {
    GSClassSymbol* base;
    int32_t vo, fo;
    size_t next;  // next entry of base's ancestor list to visit
  };
  std::vector<Frame> stack;
  // The names already in the list (class names compare exactly), so that a
  // class with hundreds of ancestors is not compared with each of them for
  // each of them.
  std::unordered_set<std::string_view> names;
  names.reserve(cls->ancestors.size() + base->ancestors.size() + 1);
  for (const AncestorEntry& e : cls->ancestors) names.insert(e.base->name);
  auto add = [&](GSClassSymbol* b, bool d, int32_t v, int32_t f) -> const char* {
    if (!names.insert(b->name).second) {
      for (const AncestorEntry& e : cls->ancestors)
        if (CompareNames(*e.base, *b) == 0) return e.base->name.c_str();
    }
    if (d) {
      v = cls->variableBase;
      f = cls->functionBase;
      cls->variableBase += b->variableBase + b->ownVariables;
      cls->functionBase += b->functionBase + b->ownFunctions;
    }
    cls->ancestors.push_back({b, v, f, d});
    if (b->m_markedAt != b->members.Insertions()) {
      b->members.ForEach([this](GSSymbol* m) {
        if (m->importIndex < 0 && (m->kind == SymClass || m->kind == SymFunction)) MarkReferenced(m);
      });
      b->m_markedAt = b->members.Insertions();
    }
    stack.push_back({b, v, f, 0});
    return nullptr;
  };
  if (const char* repeated = add(base, direct, vo, fo)) return repeated;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.base->ancestors.size()) {
      stack.pop_back();
      continue;
    }
    const AncestorEntry e = top.base->ancestors[top.next++];
    if (!e.direct) continue;
    const int32_t v = e.vo + top.vo;
    const int32_t f = e.fo + top.fo;
    if (const char* repeated = add(e.base, false, v, f)) return repeated;
  }
  return nullptr;
}

bool GSSymbolTable::ResolveExtends(GSClassSymbol* cls) {
  static thread_local int depth = 0;
  if (cls->extends.empty()) return true;
  if (cls->m_resolveFailed || cls->m_resolving) return false;
  const char* file = cls->declaringFile ? cls->declaringFile->name.c_str() : nullptr;
  auto report = [&](int line, const char* format, const char* a, const char* b) {
    if (m_context == nullptr) return;
    if (b == nullptr)
      ReportErrorInFile(*m_context, file, true, false, line, format, a, line);
    else
      ReportErrorInFile(*m_context, file, true, false, line, format, a, b, line);
  };
  auto fail = [&]() {
    cls->m_resolving = false;
    cls->m_resolveFailed = true;
    return false;
  };
  cls->m_resolving = true;
  for (const ExtendsEntry& entry : cls->extends) {
    GSSymbol* found = Lookup(entry.name, cls, true, false);
    if (found == nullptr || found->kind != SymClass) {
      report(entry.line, "Class %s has not been declared, line %d.", entry.name.c_str(), nullptr);
      return fail();
    }
    auto* base = static_cast<GSClassSymbol*>(found);
    if (base->specifiers & SpecStatic) {
      report(entry.line, "Cannot extend static class %s, line %d.", entry.name.c_str(), nullptr);
      return fail();
    }
    if (base->specifiers & SpecFinal) {
      report(entry.line, "Cannot extend final class %s, line %d.", entry.name.c_str(), nullptr);
      return fail();
    }
    if (base->m_resolving) {
      // The base is on the way that led here: the class derives from itself.
      report(entry.line, "Class %s and %s causes cyclic derivation, line %d.", entry.name.c_str(),
             cls->name.c_str());
      return fail();
    }
    if (depth >= kMaxDerivationDepth) {
      report(entry.line, "Class %s derives through too many classes, line %d.", entry.name.c_str(), nullptr);
      return fail();
    }
    ++depth;
    const bool baseResolved = ResolveExtends(base);
    --depth;
    if (!baseResolved) return fail();
    if (const char* repeated = AddBase(cls, base, true, 0, 0)) {
      report(entry.line, "Class %s and %s causes cyclic derivation, line %d.", entry.name.c_str(), repeated);
      return fail();
    }
    // The base has at most the limit itself: the list stays short until here.
    if (cls->ancestors.size() > GSRuntime::kMaxAncestors) {
      if (m_context != nullptr)
        ReportErrorInFile(*m_context, file, true, false, entry.line,
                          "Class %s has more than %u ancestor classes, line %d.", cls->name.c_str(),
                          unsigned(GSRuntime::kMaxAncestors), entry.line);
      return fail();
    }
  }
  cls->extends.clear();
  cls->m_resolving = false;
  return true;
}

bool GSSymbolTable::FindAncestor(GSClassSymbol* cls, const std::string& name, AncestorEntry& entry) {
  // A failed resolve reports its own error and marks the class.
  (void)ResolveExtends(cls);
  if (cls->name == name) {
    entry = {cls, 0, 0, false};
    return true;
  }
  for (const AncestorEntry& e : cls->ancestors)
    if (e.base->name == name) {
      entry = e;
      return true;
    }
  return false;
}

std::string PlainFunctionName(const std::string& symbolName) { return std::string(PlainView(symbolName)); }

int GSSymbolTable::FindFunctions(GSClassSymbol* cls, const std::string& name, int argumentCount,
                                 GSFunctionSymbol** result, int capacity, bool searchAncestors) {
  int count = 0;
  auto collect = [&](const SymbolHash& table) {
    for (GSSymbol* s : table.FunctionsNamed(name)) {
      if (count >= capacity) return;
      auto* f = static_cast<GSFunctionSymbol*>(s);
      if (f->parameterCells - 1 == argumentCount) result[count++] = f;
    }
  };
  collect(cls->members);
  if (count == 0 && searchAncestors)
    for (const AncestorEntry& e : cls->ancestors) collect(e.base->members);
  return count;
}

int32_t GSSymbolTable::AncestorPosition(GSClassSymbol* cls, GSSymbol* member) {
  // A failed resolve reports its own error and marks the class.
  if (!cls->extends.empty()) (void)ResolveExtends(cls);
  if (member->kind != SymVariable && member->kind != SymFunction) return -1;
  const bool variable = member->kind == SymVariable;
  int64_t position;
  if (member->level > 0) {
    position = member->index;
  } else if (member->ownerClass == cls) {
    position = static_cast<int64_t>(variable ? cls->variableBase : cls->functionBase) + member->index;
  } else {
    const AncestorEntry* entry = nullptr;
    for (const AncestorEntry& e : cls->ancestors)
      if (e.base == member->ownerClass) {
        entry = &e;
        break;
      }
    if (entry == nullptr) return -1;
    const GSClassSymbol* owner = member->ownerClass;
    position = variable ? static_cast<int64_t>(owner->variableBase) + member->index + entry->vo
                        : static_cast<int64_t>(owner->functionBase) + member->index + entry->fo;
  }
  if (position < 0 || position > 0xFFFF) return -1;
  return static_cast<int32_t>(position);
}

// ---------------------------------------------------------------------------
// Names and dump

void AppendTypeText(std::string& out, uint32_t type, std::string_view className) {
  const bool named = !className.empty() && className != "object";
  if ((type == TypeObject || type == TypeObjectArray) && named) {
    out.append(className);
    if (type == TypeObjectArray) out.append("[]");
    return;
  }
  out.append(TypeName(type));
}

std::string TypeText(uint32_t type, std::string_view className) {
  std::string text;
  AppendTypeText(text, type, className);
  return text;
}

std::string FunctionSymbolName(const std::string& name, const std::vector<std::string>& parameterTypes) {
  std::size_t size = name.size() + 3 + parameterTypes.size();
  for (const std::string& type : parameterTypes) size += type.size();
  std::string text;
  text.reserve(size);
  text.append("::").append(name).push_back('(');
  for (size_t i = 0; i < parameterTypes.size(); ++i) {
    if (i > 0) text += ',';
    text += parameterTypes[i];
  }
  text += ')';
  return text;
}

std::string SignatureKey(const std::string& returnType, const std::string& className,
                         const std::string& symbolName) {
  std::string key;
  key.reserve(2 + returnType.size() + className.size() + symbolName.size());
  key.append("$").append(returnType).append("@").append(className).append(symbolName);
  return key;
}

std::string GSFunctionSymbol::Signature() const {
  std::string key;
  AppendSignature(key);
  return key;
}

void GSFunctionSymbol::AppendSignature(std::string& out) const {
  // As SignatureKey makes it, without the texts in between.
  out += '$';
  AppendTypeText(out, type, resultClass.str());
  out += '@';
  if (ownerClass != nullptr) out += ownerClass->name;
  out += name;
}

namespace {

void DumpMember(const GSSymbol* s, std::string& out) {
  const std::string* cls = nullptr;
  if (s->kind == SymVariable)
    cls = &static_cast<const GSVariableSymbol*>(s)->className.str();
  else if (s->kind == SymFunction)
    cls = &static_cast<const GSFunctionSymbol*>(s)->resultClass.str();
  char head[64];
  std::snprintf(head, sizeof head, "%d:%d:", s->index, s->level);
  out += head;
  out += TypeName(s->type);
  if (cls != nullptr && !cls->empty()) out += "<" + *cls + ">";
  out += " " + s->name + " " + SpecifierText(s->specifiers) + "\n";
}

}  // namespace

std::string GSSymbolTable::Dump() const {
  static const char kDivider[] = "========================================\n";
  std::string out = "Symbol Table\n";
  char line[512];
  m_globals.ForEach([&](const GSSymbol* s) {
    if (s->kind == SymDependent) {
      const auto* d = static_cast<const GSDependentSymbol*>(s);
      std::snprintf(line, sizeof line, "\nDependent \"%s\", crc 0x%X, filename crc 0x%X\n", d->name.c_str(),
                    d->sourceCrc, d->fileNameCrc);
      out += line;
    } else if (s->kind == SymClass) {
      const auto* c = static_cast<const GSClassSymbol*>(s);
      out += kDivider;
      out += std::to_string(c->level) + ":" + c->name + " " + SpecifierText(c->specifiers) + " (" +
             (c->declaringFile ? c->declaringFile->name : std::string()) + ")::";
      for (const AncestorEntry& e : c->ancestors) out += std::to_string(e.vo) + ":" + e.base->name + ",";
      out += "\n";
      out += kDivider;
      c->members.ForEach([&](const GSSymbol* m) { DumpMember(m, out); });
    } else {
      DumpMember(s, out);
    }
  });
  return out;
}

}  // namespace GSCompiler
