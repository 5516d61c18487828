#include "gamescript/compiler/Library.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "gamescript/compiler/CompileLog.h"
#include "gamescript/compiler/TextHash.h"
#include "gamescript/runtime/LibraryFile.h"

namespace GSCompiler {

namespace {

// The library keeps the specifier bits as they are.
static_assert(SpecStatic == GSRuntime::kClassStatic && SpecFinal == GSRuntime::kClassFinal &&
              SpecGame == GSRuntime::kClassGame && SpecSecured == GSRuntime::kClassSecured);
static_assert(SpecPublic == GSRuntime::kFunctionPublic && SpecNative == GSRuntime::kFunctionNative &&
              SpecFinal == GSRuntime::kFunctionFinal && SpecThread == GSRuntime::kFunctionThread &&
              SpecConstructor == GSRuntime::kFunctionConstructor);

// An entry of a function table while it is built.
struct GSFunctionSymbolExt {
  GSFunctionSymbol* function;
  int32_t variableOffset;  // of the implementing class inside the class written
};

// Classes are written into blocks of about this size; smaller ones when the
// blocks go to a spill file, where one block's memory serves them all.
constexpr std::size_t kBlockBytes = std::size_t(1) << 20;
constexpr std::size_t kSpillBlockBytes = std::size_t(1) << 18;
// Lists of functions up to this long are sorted without a merge buffer.
constexpr std::size_t kInsertionSortMost = 16;

// The whole pages inside a heap block about to be freed go back to the
// system now: the heap would keep them, unused until it is asked for as much.
void GiveBackPages(const uint8_t* data, std::size_t size) {
  static const auto kPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t from = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(data) + size) & ~(kPage - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

int32_t Widen16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

int32_t SlotOf(const GSFunctionSymbol* f) {
  if (!f->ownerClass) return -1;
  return Widen16(int64_t(f->ownerClass->functionBase) + f->index);
}

int32_t CellOf(const GSVariableSymbol* v) {
  if (v->level > 0) return v->index;
  if (!v->ownerClass) return -1;
  return Widen16(int64_t(v->ownerClass->variableBase) + v->index);
}

std::string KeyHead(const std::string& key) { return key.substr(0, key.find('@')); }

class Writer {
public:
  Writer(GSSymbolTable& symbols, LibraryImage& image, CompileLog* log)
      : m_symbols(symbols), m_image(image), m_log(log) {}

  bool Write(LibraryBytes& out, const LibrarySource& source);

private:
  bool Fail(const char* text) {
    if (m_log) m_log->Add(text);
    return false;
  }
  uint32_t ClassIndexOf(const std::string& className);
  // Positions of a function table by the name of the function they hold; a
  // position since taken by a function of another name is skipped when read.
  using PositionsByName = std::unordered_map<std::string_view, std::vector<std::size_t>>;
  bool BuildFunctionTable(GSClassSymbol* k, GSClassSymbol* scanned, std::span<GSFunctionSymbolExt> table,
                          PositionsByName& positions);
  bool WriteImports(ImageWriter& w);
  // The texts a class's records name, in the order WriteClass writes them.
  void InternClassTexts(const GSCClass& cls, std::vector<uint32_t>& texts);
  // Writes the head up to the string table's text; its bytes.
  std::size_t WriteHead(LibraryBytes& out, const LibrarySource& source);
  // `texts`: the class's string indexes from InternClassTexts, taken as written.
  bool WriteClass(ImageWriter& w, const GSCClass& cls, std::span<const GSFunctionSymbolExt> table,
                  const uint32_t*& texts);

  GSSymbolTable& m_symbols;
  LibraryImage& m_image;
  CompileLog* m_log;
  std::string m_key;                     // a key being built: its memory serves every key
  std::vector<uint32_t> m_classNames;    // by class import index: the name's text, once interned
  std::vector<GSFunctionSymbol*> m_own;  // BuildFunctionTable's list of one class's functions
};

uint32_t Writer::ClassIndexOf(const std::string& className) {
  if (className.empty() || className == "object") return kNoClass;
  GSSymbol* s = m_symbols.Lookup(className, nullptr, true, false);
  if (!s || s->kind != SymClass || s->importIndex < 0) return kNoClass;
  return static_cast<uint32_t>(s->importIndex);
}

// The table has one entry per dispatch slot of K, so that the slot a call is
// compiled with (the function's number plus its class's first slot, plus the
// ancestor's offset) is also its position, for K's own view and for the view of
// every ancestor part. Ancestors are filled first; a function overrides, in
// every position they hold, the entries of the same name and parameters.
bool Writer::BuildFunctionTable(GSClassSymbol* k, GSClassSymbol* scanned,
                                std::span<GSFunctionSymbolExt> table, PositionsByName& positions) {
  for (const AncestorEntry& e : scanned->ancestors)
    if (e.direct && !BuildFunctionTable(k, e.base, table, positions)) return false;

  int32_t vo = 0, fo = 0;
  if (scanned != k) {
    for (const AncestorEntry& e : k->ancestors)
      if (e.base == scanned) {
        vo = e.vo;
        fo = e.fo;
        break;
      }
  }
  // By slot; of entries of the same slot the later one in table order first.
  // The list's memory serves every class (the ancestors are done by now).
  std::vector<GSFunctionSymbol*>& own = m_own;
  own.clear();
  scanned->members.ForEach([&](GSSymbol* s) {
    if (s->kind == SymFunction) own.push_back(static_cast<GSFunctionSymbol*>(s));
  });
  std::reverse(own.begin(), own.end());
  const auto bySlot = [](const GSFunctionSymbol* a, const GSFunctionSymbol* b) {
    return SlotOf(a) < SlotOf(b);
  };
  if (own.size() <= kInsertionSortMost) {
    // A few functions, as most classes have: sorted in place, stably.
    for (std::size_t i = 1; i < own.size(); ++i)
      for (std::size_t j = i; j > 0 && bySlot(own[j], own[j - 1]); --j) std::swap(own[j], own[j - 1]);
  } else {
    std::stable_sort(own.begin(), own.end(), bySlot);
  }
  // A class without ancestors has nothing its functions could override:
  // positions by name are wanted only where a part is shared.
  const bool overrides = !k->ancestors.empty();
  for (GSFunctionSymbol* f : own) {
    // Every entry of the table is written as a function import.
    m_symbols.MarkReferenced(f);
    const auto same = overrides ? positions.find(f->name) : positions.end();
    if (same != positions.end()) {
      std::vector<std::size_t>& list = same->second;
      std::sort(list.begin(), list.end());
      list.erase(std::unique(list.begin(), list.end()), list.end());
      for (std::size_t at : list) {
        GSFunctionSymbolExt& e = table[at];
        if (!e.function || e.function->name != f->name) continue;
        const std::string key = f->Signature();
        if (KeyHead(e.function->Signature()) != KeyHead(key)) {
          if (m_log) m_log->Addf("Wrong return type on function:%s\n", key.c_str());
          return false;
        }
        e = {f, vo};
      }
    }
    const int64_t position = int64_t(fo) + scanned->functionBase + f->index;
    if (position < 0 || position >= int64_t(table.size()))
      return Fail("Internal Compiler Error: a function slot lies outside its class's table.");
    table[std::size_t(position)] = {f, vo};
    if (overrides) positions[f->name].push_back(std::size_t(position));
  }
  return true;
}

bool Writer::WriteImports(ImageWriter& w) {
  // Chunk 4: one record per class import index, each naming its defining file.
  const std::vector<GSClassSymbol*>& classes = m_symbols.ImportedClasses();
  const std::vector<GSFunctionSymbol*>& functions = m_symbols.ImportedFunctions();
  bool consistent = true;
  for (std::size_t i = 0; i < classes.size(); ++i) {
    const GSClassSymbol* c = classes[i];
    if (!c || c->importIndex != int32_t(i) || !c->HasOwner() || !c->declaringFile ||
        c->declaringFile->index < 0)
      consistent = false;
  }
  for (std::size_t i = 0; i < functions.size(); ++i) {
    const GSFunctionSymbol* f = functions[i];
    if (!f || f->importIndex != int32_t(i) || !f->ownerClass || f->ownerClass->importIndex < 0)
      consistent = false;
  }
  // A count that does not match its records would make the library unreadable.
  if (!consistent) return Fail("Internal Compiler Error: import tables do not match their symbols.");

  std::size_t start = w.BeginChunk(GSRuntime::kChunkClassImports);
  w.U32(static_cast<uint32_t>(classes.size()));
  m_classNames.clear();
  for (GSClassSymbol* c : classes) {
    w.U32(static_cast<uint32_t>(c->declaringFile->index));
    m_classNames.push_back(m_image.InternString(c->name));
    w.U32(m_classNames.back());
  }
  w.EndChunk(start);

  start = w.BeginChunk(GSRuntime::kChunkFunctionImports);
  w.U32(static_cast<uint32_t>(functions.size()));
  for (GSFunctionSymbol* f : functions) {
    w.U32(static_cast<uint32_t>(f->ownerClass->importIndex));
    w.U32(m_image.InternString(f->name));
    w.I32(SlotOf(f));
  }
  w.EndChunk(start);
  return true;
}

void Writer::InternClassTexts(const GSCClass& cls, std::vector<uint32_t>& texts) {
  GSClassSymbol* k = cls.symbol;
  // A class with an import record has its name interned already.
  const auto imported = static_cast<std::size_t>(k->importIndex);
  texts.push_back(k->importIndex >= 0 && imported < m_classNames.size() ? m_classNames[imported]
                                                                        : m_image.InternString(k->name));
  for (const FinishedFunction& fn : cls.functions) {
    m_key.clear();
    fn.symbol->AppendSignature(m_key);
    texts.push_back(m_image.InternString(m_key));
  }
  m_key.assign("::").append(k->name).append("()");
  texts.push_back(m_image.InternString(m_key));
  k->members.ForEach([&](GSSymbol* s) {
    if (s->kind == SymVariable && !(s->specifiers & SpecDefine))
      texts.push_back(m_image.InternString(s->name));
  });
}

bool Writer::WriteClass(ImageWriter& w, const GSCClass& cls, std::span<const GSFunctionSymbolExt> table,
                        const uint32_t*& texts) {
  GSClassSymbol* k = cls.symbol;
  // Member cells are 16-bit fields of the records and of the member instructions.
  if (int64_t(k->variableBase) + k->ownVariables + 3 > 0x8000)
    return Fail("Too many member variables in one class: cells do not fit in 16 bits.");
  const std::size_t classStart = w.BeginChunk(GSRuntime::kChunkClass);
  w.U32(*texts++);
  w.U32(k->specifiers & GSRuntime::kClassFlags);
  w.U32(static_cast<uint32_t>(k->ancestors.size()));
  for (const AncestorEntry& e : k->ancestors) {
    w.U32(static_cast<uint32_t>(e.base->importIndex));
    w.I32(e.vo);
    w.U32(e.direct ? 1 : 0);
  }

  // Chunk 8: the functions, then the class initialiser.
  const std::size_t listStart = w.BeginChunk(GSRuntime::kChunkFunctionList);
  w.U32(static_cast<uint32_t>(cls.functions.size() + 1));
  for (const FinishedFunction& fn : cls.functions) {
    const GSFunctionSymbol* f = fn.symbol;
    BodyHeader h;
    h.key = *texts++;
    h.returnType = f->type;
    h.returnClass = ClassIndexOf(f->resultClass);
    h.flags = f->specifiers & GSRuntime::kFunctionFlags;
    h.slot = SlotOf(f);
    h.parameterCells = f->parameterCells;
    h.localCount = f->localCount;
    if (!fn.WriteBody(w, h, m_image.code)) {
      if (m_log) m_log->Addf("Stack depth of function %s is not balanced.", f->Signature().c_str());
      return false;
    }
  }
  BodyHeader init;
  init.key = *texts++;
  init.flags = GSRuntime::kFunctionConstructor;
  init.debugPart = false;
  if (!cls.initialiser.WriteBody(w, init, m_image.code)) {
    if (m_log) m_log->Addf("Stack depth of the initialiser of class %s is not balanced.", k->name.c_str());
    return false;
  }
  w.EndChunk(listStart);

  // Chunk 10: member variables (defines are constants, not cells).
  const std::size_t varStart = w.BeginChunk(GSRuntime::kChunkVariables);
  const std::size_t countAt = w.Position();
  w.U32(0);
  uint32_t count = 0;
  k->members.ForEach([&](GSSymbol* s) {
    if (s->kind != SymVariable || (s->specifiers & SpecDefine)) return;
    auto* v = static_cast<GSVariableSymbol*>(s);
    w.U32(*texts++);
    w.U32(v->type);
    w.U32(ClassIndexOf(v->className));
    w.U32(v->specifiers & SpecPublic);
    w.I32(CellOf(v));
    ++count;
  });
  w.PatchU32(countAt, count);
  w.EndChunk(varStart);

  // Chunk 11: the function table.
  const std::size_t tableStart = w.BeginChunk(GSRuntime::kChunkFunctionTable);
  w.U32(static_cast<uint32_t>(table.size()));
  for (const GSFunctionSymbolExt& e : table) {
    w.U32(static_cast<uint32_t>(e.function->importIndex));
    w.I32(e.variableOffset);
  }
  w.EndChunk(tableStart);

  // Chunk 12: the instance layout.
  const std::size_t layoutStart = w.BeginChunk(GSRuntime::kChunkLayout);
  w.U32(static_cast<uint32_t>(k->variableBase + k->ownVariables + 3));
  w.U32(static_cast<uint32_t>(2 * k->ancestors.size() + 1));
  for (const AncestorEntry& e : k->ancestors) {
    w.U32(GSRuntime::kLayoutValue);
    w.I32(e.vo);
    w.I32(-e.vo);
    w.U32(GSRuntime::kLayoutTablePart);
    w.I32(e.vo + 1);
    w.I32(e.fo);
  }
  w.U32(GSRuntime::kLayoutTablePart);
  w.I32(1);
  w.I32(0);
  w.U32(static_cast<uint32_t>(cls.referenceCells.size()));
  for (int32_t cell : cls.referenceCells) w.I32(cell);
  w.EndChunk(layoutStart);

  w.EndChunk(classStart);
  return true;
}

std::size_t Writer::WriteHead(LibraryBytes& out, const LibrarySource& source) {
  ImageWriter& w = out.head;
  w.U32(0);  // the library's size, filled in at the end
  w.U32(GSRuntime::kLibraryMagic);
  w.F32(GSRuntime::kLibraryVersion);
  w.U32(source.sourceCrc);
  w.U32(source.fileNameCrc);
  std::string name = source.name ? source.name : "";
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  w.U32(static_cast<uint32_t>(name.size() + 1));
  w.Bytes(name.c_str(), name.size() + 1);

  std::size_t start = w.BeginChunk(GSRuntime::kChunkDependencies);
  w.U32(static_cast<uint32_t>(source.files.size()));
  out.dependencies.clear();
  for (const GSDependentSymbol* f : source.files) {
    out.dependencies.emplace_back(f ? f->sourceCrc : 0, f ? f->fileNameCrc : 0);
    w.U32(out.dependencies.back().first);
    w.U32(out.dependencies.back().second);
  }
  w.EndChunk(start);

  start = w.BeginChunk(GSRuntime::kChunkStrings);
  w.U32(static_cast<uint32_t>(m_image.StringCount()));
  for (std::size_t i = 0; i < m_image.StringCount(); ++i) w.U32(m_image.StringStart(i));
  // The text stays where the image has it: the file takes it from there.
  out.strings = m_image.StringArea();
  const std::size_t textEnd = w.Position() + out.strings.size();
  out.stringsPad = textEnd % 4 ? static_cast<uint32_t>(4 - textEnd % 4) : 0;
  const std::size_t headSize = textEnd + out.stringsPad;
  w.PatchU32(start, static_cast<uint32_t>(headSize - start));
  return headSize;
}

bool Writer::Write(LibraryBytes& out, const LibrarySource& source) {
  // Function tables first: their entries must carry import indexes before the
  // import chunks are written.
  // Every class's table in one list: class i's is [starts[i], starts[i + 1]).
  // A class refused below takes no room; the refusals come class by class,
  // in the order of the tables' messages.
  const std::size_t classCount = m_image.classes.size();
  const auto slotsOf = [&](std::size_t i) {
    const GSClassSymbol* k = m_image.classes[i] ? m_image.classes[i]->symbol : nullptr;
    return k ? int64_t(k->functionBase) + k->ownFunctions : 0;
  };
  std::vector<std::size_t> starts(classCount + 1, 0);
  // Each class repeats its inherited table entries and ancestor records: a
  // few lines of source can ask for far more than a library may hold, which
  // is known before anything is built.
  uint64_t tableBytes = 0;
  for (std::size_t i = 0; i < classCount; ++i) {
    const int64_t slots = slotsOf(i);
    starts[i + 1] = starts[i] + (slots > 0 && slots <= 0x8000 ? std::size_t(slots) : 0);
    const GSClassSymbol* k = m_image.classes[i] ? m_image.classes[i]->symbol : nullptr;
    tableBytes += 8 * uint64_t(starts[i + 1] - starts[i]) + (k ? 36 * uint64_t(k->ancestors.size()) : 0);
  }
  if (tableBytes > GSRuntime::kMaxLibraryBytes) {
    if (m_log)
      m_log->Addf(
          "The classes' function tables and ancestors need %llu bytes, more than the %llu of a library.\n",
          static_cast<unsigned long long>(tableBytes),
          static_cast<unsigned long long>(GSRuntime::kMaxLibraryBytes));
    return false;
  }
  std::vector<GSFunctionSymbolExt> entries(starts[classCount], GSFunctionSymbolExt{nullptr, 0});
  const auto tableOf = [&](std::size_t i) {
    return std::span<GSFunctionSymbolExt>(entries.data() + starts[i], starts[i + 1] - starts[i]);
  };
  for (std::size_t i = 0; i < classCount; ++i) {
    if (!m_image.classes[i]) return Fail("Internal Compiler Error: the classes' code was written before.");
    // Slots are 16-bit fields of the records and of the call instructions.
    if (slotsOf(i) > 0x8000) return Fail("Too many functions in one class: slots do not fit in 16 bits.");
    PositionsByName positions;
    if (!BuildFunctionTable(m_image.classes[i]->symbol, m_image.classes[i]->symbol, tableOf(i), positions))
      return false;
    for (const GSFunctionSymbolExt& e : tableOf(i))
      if (!e.function) return Fail("Internal Compiler Error: a function slot of a class has no function.");
  }

  // Chunks 4, 5 and 6 in blocks of their own: they intern names, and the
  // string table must be complete before it is written. A class goes whole
  // into one block, where its chunk sizes are filled in.
  out.rest.clear();
  const std::size_t blockBytes = out.spill ? kSpillBlockBytes : kBlockBytes;
  bool firstSpilled = false;
  bool spillFailed = false;
  const auto newBlock = [&]() -> ImageWriter& {
    if (out.spill && !out.rest.empty()) {
      // The finished block goes to the spill file and its memory takes the next.
      ImageWriter& block = *out.rest.back();
      if (!spillFailed && !block.Failed() && !out.spill->Append(block.Data(), block.Position()))
        out.written = Kiv::Status::FromLastFileError();
      spillFailed = spillFailed || block.Failed() || !out.written.ok();
      firstSpilled = true;
      block.Rewind();
      return block;
    }
    out.rest.push_back(std::make_unique<ImageWriter>(m_image.code.TakeSpare()));
    out.rest.back()->Reserve(blockBytes);
    return *out.rest.back();
  };
  ImageWriter& first = newBlock();
  if (!WriteImports(first)) return false;
  // Every text the classes name is interned before the first class is
  // written: the string table, and so the head, is whole from here on, and
  // a library's own file can take the blocks after the head's place.
  std::vector<uint32_t> texts;
  std::size_t textCount = 0;
  for (const auto& cls : m_image.classes)
    textCount += 2 + cls->functions.size() + std::size_t(cls->symbol->ownVariables);
  texts.reserve(textCount);
  for (const auto& cls : m_image.classes) InternClassTexts(*cls, texts);
  const std::size_t stringCount = m_image.StringCount();
  const std::size_t headSize = WriteHead(out, source);
  if (out.spill && out.file >= 0) out.spill->Place(out.file, headSize, out.fileName);
  const uint32_t* nextText = texts.data();
  const std::size_t classesStart = first.BeginChunk(GSRuntime::kChunkClasses);
  first.U32(static_cast<uint32_t>(m_image.classes.size()));
  ImageWriter* tail = &first;
  for (std::size_t i = 0; i < m_image.classes.size(); ++i) {
    // Most classes fit in the room left; a larger one makes its block grow.
    if (tail->Position() >= blockBytes / 4 * 3) tail = &newBlock();
    if (!WriteClass(*tail, *m_image.classes[i], tableOf(i), nextText)) return false;
    // Its code is in the library now: given back, so the generated code and
    // the library are not held whole at once.
    m_image.code.ReleaseBefore(m_image.classes[i]->initialiser.tail);
    // Blocks that spill need no spares: their pages go back to the system
    // (the heap keeps only their place), so the code given back and the
    // strings interned before it was are not held at once.
    if (out.spill && out.lastUse)
      for (ImageWriter spare = m_image.code.TakeSpare(); spare.Capacity() != 0;
           spare = m_image.code.TakeSpare())
        GiveBackPages(spare.Data(), spare.Capacity());
    m_image.classes[i].reset();
  }
  if (!out.written.ok()) return Fail(("Unable to write the library: " + out.written.message()).c_str());
  if (spillFailed) return Fail("Internal Compiler Error: out of memory while writing the library.");
  std::size_t restSize = out.spill ? std::size_t(out.spill->Size()) : 0;
  bool restFailed = false;
  for (const auto& block : out.rest) {
    restSize += block->Position();
    restFailed = restFailed || block->Failed();
  }
  // The classes chunk's size word is in the first block, wherever it went.
  const auto classesSize = static_cast<uint32_t>(restSize - classesStart);
  if (firstSpilled) {
    uint8_t word[4];
    Kiv::StoreLE32(word, classesSize);
    if (!out.spill->WriteAt(classesStart, word, sizeof word)) {
      out.written = Kiv::Status::FromLastFileError();
      return Fail(("Unable to write the library: " + out.written.message()).c_str());
    }
  } else {
    first.PatchU32(classesStart, classesSize);
  }

  ImageWriter& w = out.head;
  if (m_image.StringCount() != stringCount || nextText != texts.data() + texts.size())
    return Fail("Internal Compiler Error: a class named a text that was not interned first.");
  w.PatchU32(0, static_cast<uint32_t>(headSize + restSize));
  // A size word that could not be filled in would leave a library whose
  // sizes do not describe its data.
  if (restFailed || first.Failed() || w.Failed())
    return Fail("Internal Compiler Error: a chunk size could not be written.");
  return true;
}

}  // namespace

std::string_view LibraryImage::Text(uint32_t i) const {
  const uint32_t end = i + 1 < m_starts.size() ? m_starts[i + 1] : static_cast<uint32_t>(m_area.size());
  return std::string_view(m_area).substr(m_starts[i], end - m_starts[i] - 1);
}

void LibraryImage::Rehash(std::size_t slots) {
  // A slot holds the text's hash beside its index + 1: growing needs no
  // text again, and a probe reads a text only when the hashes agree.
  std::vector<uint64_t> old(slots, 0);
  old.swap(m_slots);
  const std::size_t mask = m_slots.size() - 1;
  for (const uint64_t slot : old) {
    if (slot == 0) continue;
    std::size_t at = (slot >> 32) & mask;
    while (m_slots[at] != 0) at = (at + 1) & mask;
    m_slots[at] = slot;
  }
}

uint32_t LibraryImage::InternString(std::string_view text) {
  // Only the table's probing depends on the hash; its order is the order of interning.
  const auto hash = static_cast<uint32_t>(KeyHash(text));
  if ((m_starts.size() + 1) * 2 > m_slots.size()) Rehash(std::max<std::size_t>(64, m_slots.size() * 2));
  const std::size_t mask = m_slots.size() - 1;
  std::size_t at = hash & mask;
  for (; m_slots[at] != 0; at = (at + 1) & mask) {
    const uint64_t slot = m_slots[at];
    const auto i = static_cast<uint32_t>(slot) - 1;
    if (static_cast<uint32_t>(slot >> 32) == hash && Text(i) == text) return i;
  }
  const auto index = static_cast<uint32_t>(m_starts.size());
  m_slots[at] = (uint64_t{hash} << 32) | (index + 1);
  m_starts.push_back(static_cast<uint32_t>(m_area.size()));
  m_area.append(text);
  m_area.push_back('\0');
  return index;
}

void LibraryImage::Clear() {
  m_area.clear();
  m_starts.clear();
  m_slots.clear();
  classes.clear();
  code.Clear();
}

bool WriteLibraryImage(LibraryBytes& out, GSSymbolTable& symbols, LibraryImage& image,
                       const LibrarySource& source, CompileLog* log) {
  return Writer(symbols, image, log).Write(out, source);
}

bool WriteLibraryImage(Utils::ByteBuffer& out, GSSymbolTable& symbols, LibraryImage& image,
                       const LibrarySource& source, CompileLog* log) {
  LibraryBytes bytes;
  return WriteLibraryImage(bytes, symbols, image, source, log) && JoinLibrary(bytes, out, log);
}

std::size_t LibraryBytes::Size() const {
  std::size_t size = head.Position() + strings.size() + stringsPad + (spill ? std::size_t(spill->Size()) : 0);
  for (const auto& block : rest) size += block->Position();
  return size;
}

bool JoinLibrary(const LibraryBytes& bytes, Utils::ByteBuffer& out, CompileLog* log) {
  // Blocks in a spill file are for a library written to a file.
  bool copied = !(bytes.spill && bytes.spill->Size() != 0) && bytes.head.CopyTo(out);
  if (copied) {
    const std::size_t at = out.Position();
    out.Ensure(at + bytes.strings.size() + bytes.stringsPad);
    copied = !(out.Flags() & Utils::ByteBuffer::kNoStorage);
    if (copied) {
      if (!bytes.strings.empty()) std::memcpy(out.Data() + at, bytes.strings.data(), bytes.strings.size());
      std::memset(out.Data() + at + bytes.strings.size(), 0, bytes.stringsPad);
      out.SetPosition(at + bytes.strings.size() + bytes.stringsPad);
    }
  }
  for (const auto& block : bytes.rest) copied = copied && block->CopyTo(out);
  if (copied) return true;
  if (log) log->Add("Internal Compiler Error: out of memory while writing the library.");
  return false;
}

}  // namespace GSCompiler
