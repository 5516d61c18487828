#include "gamescript/runtime/LibraryFile.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gamescript/runtime/Verifier.h"
#include "kiv/Bytes.h"

namespace GSRuntime {

namespace {

// Thrown inside the reader only; ReadLibraryFile turns it into its result.
struct Malformed {
  std::string what;
};

class Reader {
public:
  Reader(std::span<const uint8_t> image, LibraryFile& out, std::pmr::memory_resource* memory)
      : m_in(image), m_image(image), m_lib(out), m_memory(memory) {}

  void Run();

private:
  [[noreturn]] void Fail(const std::string& what) const { FailAt(what, m_in.Pos()); }
  [[noreturn]] static void FailAt(const std::string& what, std::size_t at) {
    throw Malformed{what + " at offset " + std::to_string(at)};
  }
  // The records of a block whose size Count has checked, read without a
  // check per word; `at` is the offset of the block. A failed check reports
  // the offset just past the word that failed it, as a word-by-word reader
  // would.
  struct Block {
    const uint8_t* data;
    std::size_t at, width;
    uint32_t Word(std::size_t record, std::size_t word) const {
      return Kiv::LoadLE32(data + record * width + 4 * word);
    }
    std::size_t After(std::size_t record, std::size_t word) const {
      return at + record * width + 4 * word + 4;
    }
  };
  Block TakeBlock(uint32_t count, std::size_t width) {
    const Block b{m_in.Cursor(), m_in.Pos(), width};
    m_in.Skip(uint64_t(count) * width);
    return b;
  }
  std::string_view StringAt(uint32_t index, std::size_t at) const {
    if (index >= m_lib.strings.size()) FailAt("string index out of range", at);
    return m_lib.strings[index];
  }
  void Expect(bool ok, const char* what) const {
    if (!ok || m_in.Failed()) Fail(m_in.Failed() ? "read past the end" : what);
  }
  uint32_t U32() {
    const uint32_t v = m_in.U32();
    if (m_in.Failed()) Fail("read past the end");
    return v;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  // Reads a chunk head; returns the offset of the chunk's end.
  std::size_t Chunk(uint32_t type, std::size_t parentEnd) {
    const std::size_t start = m_in.Pos();
    const uint32_t size = U32();
    if (U32() != type) Fail("chunk type " + std::to_string(type) + " expected");
    Expect(size >= 8 && size <= parentEnd - start, "chunk size outside its parent");
    return start + size;
  }
  // A count of records of `width` bytes that must fit before `end`.
  uint32_t Count(std::size_t end, std::size_t width, const char* what) {
    const uint32_t n = U32();
    Expect(m_in.Pos() <= end && uint64_t(n) * width <= end - m_in.Pos(), what);
    return n;
  }
  void ExpectAt(std::size_t end, const char* what) const { Expect(m_in.Pos() == end, what); }
  std::string_view String(uint32_t index) const {
    Expect(index < m_lib.strings.size(), "string index out of range");
    return m_lib.strings[index];
  }
  bool ClassIndexOk(uint32_t index) const { return index == kNoClass || index < m_lib.classImports.size(); }

  void Header();
  void Strings(std::size_t end);
  void ClassChunk(std::size_t parentEnd, std::size_t alignBase);
  void FunctionChunk(LibraryFunction& f, std::size_t parentEnd, std::size_t alignBase);

  Kiv::ByteReader m_in;
  std::span<const uint8_t> m_image;
  LibraryFile& m_lib;
  std::pmr::memory_resource* m_memory;
};

void Reader::Header() {
  const uint32_t total = U32();
  Expect(U32() == kLibraryMagic, "bad magic");
  m_lib.version = m_in.F32();  // kept, not checked
  m_lib.id1 = U32();
  m_lib.id2 = U32();
  const uint32_t nameLength = U32();
  Expect(nameLength >= 1 && nameLength <= m_in.Remaining(), "name length");
  const std::string_view name = m_in.Chars(nameLength);
  Expect(name.back() == '\0' && name.find('\0') == nameLength - 1, "name not terminated");
  // The name first, so that a library refused for what follows is named.
  m_lib.name = name.substr(0, nameLength - 1);
  if (total != m_image.size()) FailAt("total size differs from the file size", 4);
}

void Reader::Strings(std::size_t end) {
  const uint32_t count = Count(end, 4, "string count");
  const std::size_t offsetsAt = m_in.Pos();
  const std::size_t area = offsetsAt + 4ull * count;
  const std::size_t areaSize = end - area;
  // The NULs of the area, found with memchr; each string ends at the first
  // NUL at or after its offset, found by bisection, so no order of offsets
  // makes the check worse than n log n. The writer stores the strings in
  // index order: the next string usually ends at the next NUL.
  thread_local std::vector<uint32_t> nuls;
  nuls.clear();
  const uint8_t* const text = m_image.data() + area;
  nuls.reserve(count);
  std::size_t at = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: the strings are short, a call per string is not.
  for (const __m128i zero = _mm_setzero_si128(); at + 16 <= areaSize; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    for (unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero))); mask; mask &= mask - 1)
      nuls.push_back(uint32_t(at + unsigned(__builtin_ctz(mask))));
  }
#endif
  for (; at < areaSize; ++at)
    if (text[at] == 0) nuls.push_back(uint32_t(at));
  m_lib.strings.reserve(count);
  std::size_t k = 0;  // the first NUL at or after the previous offset
  uint32_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t offset = U32();
    Expect(offset < areaSize, "string offset outside the string area");
    if (offset < previous) {
      k = std::size_t(std::lower_bound(nuls.begin(), nuls.end(), offset) - nuls.begin());
    } else if (k < nuls.size() && nuls[k] < offset) {
      if (k + 1 < nuls.size() && nuls[k + 1] >= offset)
        ++k;
      else
        k = std::size_t(std::lower_bound(nuls.begin() + long(k), nuls.end(), offset) - nuls.begin());
    }
    previous = offset;
    Expect(k < nuls.size(), "string not terminated");
    m_lib.strings.emplace_back(reinterpret_cast<const char*>(text + offset), nuls[k] - offset);
  }
  m_in.Seek(end);
}

void Reader::Run() {
  Header();
  const std::size_t fileEnd = m_image.size();

  std::size_t end = Chunk(kChunkDependencies, fileEnd);
  const uint32_t deps = Count(end, 8, "dependency count");
  ExpectAt(end - 8ull * deps, "dependency chunk size");
  m_lib.dependencies.reserve(deps);
  for (uint32_t i = 0; i < deps; ++i) {
    const uint32_t a = U32();
    m_lib.dependencies.emplace_back(a, U32());
  }
  Expect(deps >= 1 && m_lib.dependencies[0] == std::make_pair(m_lib.id1, m_lib.id2),
         "dependency 0 is not the library itself");

  Strings(Chunk(kChunkStrings, fileEnd));

  const std::size_t chunk4 = m_in.Pos();
  end = Chunk(kChunkClassImports, fileEnd);
  const uint32_t classImports = Count(end, 8, "class import count");
  ExpectAt(end - 8ull * classImports, "class import chunk size");
  m_lib.classImports.reserve(classImports);
  const Block imports = TakeBlock(classImports, 8);
  for (uint32_t i = 0; i < classImports; ++i) {
    const uint32_t file = imports.Word(i, 0);
    if (file >= deps) FailAt("class import names no dependency", imports.After(i, 0));
    m_lib.classImports.push_back({file, StringAt(imports.Word(i, 1), imports.After(i, 1))});
  }

  end = Chunk(kChunkFunctionImports, fileEnd);
  const uint32_t functionImports = Count(end, 12, "function import count");
  ExpectAt(end - 12ull * functionImports, "function import chunk size");
  m_lib.functionImports.reserve(functionImports);
  const Block functions = TakeBlock(functionImports, 12);
  for (uint32_t i = 0; i < functionImports; ++i) {
    const uint32_t cls = functions.Word(i, 0);
    if (cls >= classImports) FailAt("function import names no class import", functions.After(i, 0));
    const std::string_view name = StringAt(functions.Word(i, 1), functions.After(i, 1));
    m_lib.functionImports.push_back({cls, name, int32_t(functions.Word(i, 2))});
  }

  end = Chunk(kChunkClasses, fileEnd);
  // A class chunk holds at least its head and four empty nested chunks.
  const uint32_t classes = Count(end, 20, "class count");
  m_lib.classes.reserve(classes);
  for (uint32_t i = 0; i < classes; ++i) ClassChunk(end, chunk4);
  ExpectAt(end, "class chunks do not fill chunk 6");
  ExpectAt(fileEnd, "bytes after chunk 6");
}

void Reader::ClassChunk(std::size_t parentEnd, std::size_t alignBase) {
  const std::size_t end = Chunk(kChunkClass, parentEnd);
  // Filled in place; a malformed file leaves it half filled, and the whole
  // result is then dropped.
  LibraryClass& c = m_lib.classes.emplace_back(m_memory);
  c.name = String(U32());
  c.flags = U32();
  const uint32_t ancestors = Count(end, 12, "ancestor count");
  Expect(ancestors <= kMaxAncestors, "more ancestors than a class can have");
  const Block ancestorBlock = TakeBlock(ancestors, 12);
  c.ancestors = {ancestorBlock.data, ancestors};
  for (uint32_t i = 0; i < ancestors; ++i)
    if (ancestorBlock.Word(i, 0) >= m_lib.classImports.size())
      FailAt("ancestor is no class import", ancestorBlock.After(i, 0));

  const std::size_t listEnd = Chunk(kChunkFunctionList, end);
  const uint32_t count = Count(listEnd, 8, "function count");
  Expect(count >= 1, "function list without the initialiser");
  c.functions.reserve(count);
  for (uint32_t i = 0; i < count; ++i) FunctionChunk(c.functions.emplace_back(), listEnd, alignBase);
  ExpectAt(listEnd, "functions do not fill chunk 8");

  const std::size_t varEnd = Chunk(kChunkVariables, end);
  const uint32_t variables = Count(varEnd, 20, "variable count");
  ExpectAt(varEnd - 20ull * variables, "member variable chunk size");
  c.variables.reserve(variables);
  const Block variableBlock = TakeBlock(variables, 20);
  for (uint32_t i = 0; i < variables; ++i) {
    LibraryClass::Variable v;
    v.name = StringAt(variableBlock.Word(i, 0), variableBlock.After(i, 0));
    v.type = variableBlock.Word(i, 1);
    v.classImport = variableBlock.Word(i, 2);
    v.isPublic = variableBlock.Word(i, 3);
    v.cell = int32_t(variableBlock.Word(i, 4));
    if (v.type > kLastTypeCode || !ClassIndexOk(v.classImport))
      FailAt("variable type or class", variableBlock.After(i, 4));
    c.variables.push_back(v);
  }

  const std::size_t tableEnd = Chunk(kChunkFunctionTable, end);
  const uint32_t entries = Count(tableEnd, 8, "function table count");
  ExpectAt(tableEnd - 8ull * entries, "function table size");
  const Block tableBlock = TakeBlock(entries, 8);
  c.table = {tableBlock.data, entries};
  for (uint32_t i = 0; i < entries; ++i)
    if (tableBlock.Word(i, 0) >= m_lib.functionImports.size())
      FailAt("function table entry is no import", tableBlock.After(i, 0));

  const std::size_t layoutEnd = Chunk(kChunkLayout, end);
  c.instanceCells = U32();
  // Every class block holds at least its two header cells.
  Expect(c.instanceCells >= 2 && c.instanceCells <= 0xFFFF + 3u, "instance cells");
  const uint32_t records = Count(layoutEnd, 12, "layout record count");
  const Block layoutBlock = TakeBlock(records, 12);
  c.initialValues = {layoutBlock.data, records};
  for (uint32_t i = 0; i < records; ++i) {
    const LibraryClass::InitialValue r = c.initialValues[i];
    if (r.kind > kLayoutTablePart || r.cell < 0 || uint32_t(r.cell) >= c.instanceCells)
      FailAt("layout record", layoutBlock.After(i, 2));
    if (r.kind == kLayoutTablePart && (r.value < 0 || uint32_t(r.value) > entries))
      FailAt("layout table index", layoutBlock.After(i, 2));
  }
  for (const LibraryClass::Ancestor& a : c.ancestors)
    Expect(a.offset >= 2 && uint64_t(a.offset) + 2 <= c.instanceCells, "ancestor block outside the instance");
  for (const LibraryClass::TableEntry& e : c.table)
    Expect(e.offset >= 0 && uint64_t(e.offset) + 2 <= c.instanceCells, "function table block");
  for (const LibraryClass::Variable& v : c.variables)
    Expect(v.cell >= 2 && uint32_t(v.cell) < c.instanceCells, "variable cell");
  const uint32_t refs = Count(layoutEnd, 4, "member reference count");
  const Block refBlock = TakeBlock(refs, 4);
  c.objectMembers = {refBlock.data, refs};
  for (uint32_t i = 0; i < refs; ++i) {
    const int32_t cell = c.objectMembers[i];
    if (cell < 2 || uint32_t(cell) >= c.instanceCells) FailAt("member reference cell", refBlock.After(i, 0));
  }
  ExpectAt(layoutEnd, "layout chunk size");
  ExpectAt(end, "class chunk size");
}

void Reader::FunctionChunk(LibraryFunction& f, std::size_t parentEnd, std::size_t alignBase) {
  const std::size_t end = Chunk(kChunkFunction, parentEnd);
  // The fixed words, read after one bounds check: there are many functions.
  const uint8_t* w = m_in.Bytes(12 * 4).data();
  Expect(m_in.Pos() <= end, "function record outside its chunk");
  const auto word = [w](int i) { return Kiv::LoadLE32(w + 4 * i); };
  f.key = String(word(0));
  f.returnType = word(1);
  f.returnClass = word(2);
  f.flags = word(3);
  f.slot = int32_t(word(4));
  f.stackAdvance = word(5);
  f.argumentBase = int32_t(word(6));
  f.frameHeader = word(7);
  f.frameSize = word(8);
  f.parameters = word(9);
  f.locals = word(10);
  f.temporaries = word(11);
  Expect(f.returnType <= kLastTypeCode && ClassIndexOk(f.returnClass), "return type or class");
  // The frame words must describe one frame that fits the stack: P cells of
  // receiver and arguments, L locals and temporaries, the four header cells.
  Expect(f.parameters >= 1 && f.parameters <= kStackCells && f.locals <= kStackCells && f.temporaries <= 8,
         "parameters, locals or temporaries");
  const uint32_t l = f.locals + f.temporaries;
  Expect(f.stackAdvance == l + 4 && f.frameHeader == l + 1, "frame words");
  Expect(f.frameSize >= l + 4 && f.frameSize + f.parameters <= kStackCells, "frame size");
  Expect(f.argumentBase == 1 - int32_t(f.parameters), "argument base");
  const uint32_t cells = f.parameters + l;
  const uint32_t refs = Count(end, 4, "reference cell count");
  f.referenceCells = {m_in.Cursor(), refs};
  for (uint32_t i = 0; i < refs; ++i)  // a cell is below `cells`, so not negative either
    Expect(f.referenceCells[i] < cells, "reference cell outside the frame");
  m_in.Skip(4ull * refs);
  const uint32_t size = Count(end, 1, "code size");
  f.code = m_in.Bytes(size);
  const std::size_t padding = (4 - (m_in.Pos() - alignBase) % 4) % 4;
  if (m_in.Pos() + padding > end) FailAt("padding", end);
  m_in.Skip(padding);
  if (m_in.Pos() + 8 <= end && Kiv::LoadLE32(m_image.data() + m_in.Pos()) == kLineTableMarker) {
    m_in.Skip(4);
    const uint32_t n = Count(end, 8, "line count");
    f.lines = {m_in.Cursor(), 2 * n};
    uint32_t previous = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t offset = f.LineOffset(i);
      Expect(offset >= previous && (offset < size || size == 0), "line table order");
      previous = offset;
    }
    m_in.Skip(8ull * n);
  }
  ExpectAt(end, "function chunk size");
}

}  // namespace

std::string ReadLibraryFile(std::span<const uint8_t> image, LibraryFile& out, bool verifyCode,
                            std::pmr::memory_resource* memory) {
  out = LibraryFile();
  try {
    Reader(image, out, memory).Run();
    if (!verifyCode) return "";
    for (const LibraryClass& c : out.classes)
      for (const LibraryFunction& f : c.functions) {
        bool typed;
        std::string problem =
            VerifyCode(f, out.strings.size(), out.classImports.size(), nullptr, nullptr, typed);
        // Only the initialiser, the last, may be empty: it is then never run.
        if (problem.empty() && f.code.empty() && !(f.flags & 0x2) && &f != &c.functions.back())
          problem = "function without code";
        if (!problem.empty()) return problem + " in " + std::string(f.key);
      }
  } catch (const Malformed& e) {
    return e.what;
  }
  return "";
}

bool ReadLibraryHeader(std::span<const uint8_t> bytes, uint32_t& id1, uint32_t& id2) {
  Kiv::ByteReader in(bytes);
  in.U32();
  const uint32_t magic = in.U32();
  in.U32();
  id1 = in.U32();
  id2 = in.U32();
  return !in.Failed() && magic == kLibraryMagic;
}

}  // namespace GSRuntime
