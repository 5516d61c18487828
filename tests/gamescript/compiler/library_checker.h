#pragma once
// An independent reader of library images for the tests: it walks every chunk
// and checks framing, counts, indexes, frame words, byte-code boundaries and
// operands, and collects what it read so tests can look at single fields.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gamescript/runtime/Opcodes.h"

namespace LibraryCheck {

struct Function {
  std::string key;
  uint32_t returnType = 0, returnClass = 0, flags = 0;
  int32_t slot = 0;
  uint32_t stackAdvance = 0, frameHeader = 0, frameSize = 0, parameters = 0, locals = 0, temporaries = 0;
  int32_t argumentBase = 0;
  std::vector<int32_t> referenceCells;
  std::vector<uint8_t> code;
  std::vector<std::pair<uint32_t, uint32_t>> lines;
};

struct Class {
  std::string name;
  uint32_t flags = 0;
  std::vector<uint32_t> ancestors;  // class import indexes
  std::vector<Function> functions;  // the initialiser last
  std::vector<std::string> variables;
  std::vector<uint32_t> table;  // function import indexes
  uint32_t instanceCells = 0;
};

struct Library {
  uint32_t id1 = 0, id2 = 0;
  std::string name;
  std::vector<std::pair<uint32_t, uint32_t>> dependencies;
  std::vector<std::string> strings;
  std::vector<std::pair<uint32_t, std::string>> classImports;  // file, name
  std::vector<std::string> functionImports;                    // "Class" + name
  std::vector<Class> classes;
};

class Reader {
public:
  Reader(const std::vector<uint8_t>& bytes, Library& out) : m_b(bytes), m_lib(out) {}

  // Empty when the image is well formed, else what is wrong and where.
  std::string Check() {
    try {
      Run();
    } catch (const std::string& e) {
      return e;
    }
    return "";
  }

private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw what + " at offset " + std::to_string(m_pos);
  }
  void Need(std::size_t n) const {
    if (m_pos + n > m_b.size()) Fail("read past the end");
  }
  uint32_t U32() {
    Need(4);
    const uint32_t v = GSRuntime::ReadU32(m_b.data() + m_pos);
    m_pos += 4;
    return v;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  std::size_t Chunk(uint32_t type, std::size_t& end) {
    const std::size_t start = m_pos;
    const uint32_t size = U32();
    if (U32() != type) Fail("chunk type " + std::to_string(type) + " expected");
    if (size < 8 || start + size > m_b.size()) Fail("bad chunk size");
    end = start + size;
    return start;
  }
  void Expect(bool ok, const std::string& what) const {
    if (!ok) Fail(what);
  }
  const std::string& String(uint32_t index) const {
    if (index >= m_lib.strings.size()) Fail("string index out of range");
    return m_lib.strings[index];
  }

  void Run() {
    const uint32_t total = U32();
    Expect(total == m_b.size(), "total size differs from the file size");
    Expect(U32() == 0xF762575D, "bad magic");
    const uint32_t version = U32();
    float v;
    std::memcpy(&v, &version, 4);
    Expect(v == 1.02f, "bad version");
    m_lib.id1 = U32();
    m_lib.id2 = U32();
    const uint32_t nameLength = U32();
    Need(nameLength);
    Expect(nameLength > 0 && m_b[m_pos + nameLength - 1] == 0, "name not terminated");
    m_lib.name.assign(reinterpret_cast<const char*>(m_b.data() + m_pos), nameLength - 1);
    Expect(m_lib.name.find('\0') == std::string::npos, "NUL inside the name");
    for (char c : m_lib.name) Expect(!(c >= 'A' && c <= 'Z'), "name not lower-cased");
    m_pos += nameLength;

    std::size_t end;
    Chunk(2, end);
    const uint32_t deps = U32();
    Expect(end - m_pos == 8ull * deps, "dependency chunk size");
    for (uint32_t i = 0; i < deps; ++i) {
      const uint32_t a = U32();
      m_lib.dependencies.push_back({a, U32()});
    }
    Expect(deps >= 1 && m_lib.dependencies[0] == std::make_pair(m_lib.id1, m_lib.id2),
           "entry 0 is not the library");

    Strings();
    const std::size_t chunk4 = m_pos;
    Chunk(4, end);
    const uint32_t classImports = U32();
    Expect(end - m_pos == 8ull * classImports, "class import chunk size");
    for (uint32_t i = 0; i < classImports; ++i) {
      const uint32_t file = U32();
      Expect(file < deps, "class import names no dependency");
      m_lib.classImports.push_back({file, String(U32())});
    }
    Chunk(5, end);
    const uint32_t functionImports = U32();
    Expect(end - m_pos == 12ull * functionImports, "function import chunk size");
    for (uint32_t i = 0; i < functionImports; ++i) {
      const uint32_t cls = U32();
      Expect(cls < classImports, "function import names no class import");
      const std::string name = String(U32());
      I32();
      m_lib.functionImports.push_back(m_lib.classImports[cls].second + name);
    }
    Chunk(6, end);
    const uint32_t classes = U32();
    for (uint32_t i = 0; i < classes; ++i) ClassChunk(chunk4);
    Expect(m_pos == end, "class chunks do not fill chunk 6");
    Expect(m_pos == m_b.size(), "bytes after chunk 6");
  }

  void Strings() {
    std::size_t end;
    Chunk(3, end);
    const uint32_t count = U32();
    Expect(count <= (end - m_pos) / 4, "string count");
    std::vector<uint32_t> offsets;
    for (uint32_t i = 0; i < count; ++i) offsets.push_back(U32());
    const std::size_t area = m_pos;
    std::size_t last = area;
    for (uint32_t offset : offsets) {
      Expect(area + offset < end, "string offset outside the chunk");
      const auto* s = reinterpret_cast<const char*>(m_b.data() + area + offset);
      const std::size_t length = strnlen(s, end - area - offset);
      Expect(area + offset + length < end, "string not terminated");
      m_lib.strings.emplace_back(s, length);
      last = std::max(last, area + offset + length + 1);
    }
    if (count == 0)
      Expect(end - area == 0, "empty string table has padding");
    else
      Expect(end % 4 == 0 && end - last < 4, "string table padding");
    for (std::size_t i = last; i < end; ++i) Expect(m_b[i] == 0, "padding not zero");
    m_pos = end;
  }

  void ClassChunk(std::size_t chunk4) {
    std::size_t end;
    Chunk(7, end);
    Class c;
    c.name = String(U32());
    c.flags = U32();
    Expect((c.flags & ~0x14Cu) == 0, "class flags outside the mask");
    const uint32_t ancestors = U32();
    for (uint32_t i = 0; i < ancestors; ++i) {
      const uint32_t index = U32();
      Expect(index < m_lib.classImports.size(), "ancestor is no class import");
      c.ancestors.push_back(index);
      I32();
      Expect(U32() <= 1, "direct flag");
    }
    std::size_t listEnd;
    Chunk(8, listEnd);
    const uint32_t count = U32();
    Expect(count >= 1, "function list without the initialiser");
    for (uint32_t i = 0; i < count; ++i) c.functions.push_back(FunctionChunk(chunk4, i + 1 == count));
    Expect(m_pos == listEnd, "functions do not fill chunk 8");
    const Function& init = c.functions.back();
    Expect(init.key == "::" + c.name + "()" && init.flags == 0x20 && init.slot == -1, "initialiser record");

    std::size_t varEnd;
    Chunk(10, varEnd);
    const uint32_t variables = U32();
    Expect(varEnd - m_pos == 20ull * variables, "member variable chunk size");
    std::vector<int32_t> cells;
    for (uint32_t i = 0; i < variables; ++i) {
      c.variables.push_back(String(U32()));
      Expect(U32() <= 13, "variable type");
      const uint32_t cls = U32();
      Expect(cls == 0xFFFFFFFF || cls < m_lib.classImports.size(), "variable class");
      Expect(U32() <= 1, "public flag");
      cells.push_back(I32());
    }
    std::size_t tableEnd;
    Chunk(11, tableEnd);
    const uint32_t entries = U32();
    Expect(tableEnd - m_pos == 8ull * entries, "function table size");
    for (uint32_t i = 0; i < entries; ++i) {
      const uint32_t f = U32();
      Expect(f < m_lib.functionImports.size(), "function table entry is no import");
      c.table.push_back(f);
      I32();
    }
    std::size_t layoutEnd;
    Chunk(12, layoutEnd);
    c.instanceCells = U32();
    const uint32_t records = U32();
    Expect(records == 2 * ancestors + 1, "layout record count");
    for (uint32_t i = 0; i < records; ++i) {
      const uint32_t kind = U32();
      const int32_t cell = I32();
      const int32_t value = I32();
      Expect(kind <= 1 && cell >= 0 && uint32_t(cell) < c.instanceCells, "layout record");
      if (kind == 1) Expect(value >= 0 && uint32_t(value) <= entries, "layout table index");
      if (i + 1 == records) Expect(kind == 1 && cell == 1 && value == 0, "own layout record");
    }
    for (int32_t cell : cells) Expect(cell >= 2 && uint32_t(cell) < c.instanceCells, "variable cell");
    const uint32_t refs = U32();
    for (uint32_t i = 0; i < refs; ++i) {
      const int32_t cell = I32();
      Expect(cell >= 2 && uint32_t(cell) < c.instanceCells, "member reference cell");
    }
    Expect(m_pos == layoutEnd, "layout chunk size");
    Expect(m_pos == end, "class chunk size");
    m_lib.classes.push_back(std::move(c));
  }

  Function FunctionChunk(std::size_t chunk4, bool initialiser) {
    std::size_t end;
    Chunk(9, end);
    Function f;
    f.key = String(U32());
    f.returnType = U32();
    f.returnClass = U32();
    f.flags = U32();
    f.slot = I32();
    f.stackAdvance = U32();
    f.argumentBase = I32();
    f.frameHeader = U32();
    f.frameSize = U32();
    f.parameters = U32();
    f.locals = U32();
    f.temporaries = U32();
    Expect(f.returnType <= 13 && (f.flags & ~0x3Bu) == 0, "function type or flags");
    Expect(f.returnClass == 0xFFFFFFFF || f.returnClass < m_lib.classImports.size(), "return class");
    Expect(f.temporaries <= 8 && f.parameters >= 1, "temporaries or parameters");
    const uint32_t l = f.locals + f.temporaries;
    Expect(f.stackAdvance == l + 4 && f.frameHeader == l + 1 && f.frameSize >= l + 4, "frame words");
    Expect(f.argumentBase == (initialiser ? 0 : 1 - int32_t(f.parameters)), "argument base");
    const uint32_t cells = f.parameters + l;
    const uint32_t refs = U32();
    for (uint32_t i = 0; i < refs; ++i) {
      const int32_t cell = I32();
      Expect(cell >= 1 && uint32_t(cell) < cells, "reference cell outside the frame");
      f.referenceCells.push_back(cell);
    }
    const uint32_t size = U32();
    Need(size);
    f.code.assign(m_b.begin() + long(m_pos), m_b.begin() + long(m_pos + size));
    m_pos += size;
    Code(f, cells);
    while ((m_pos - chunk4) % 4) {
      Need(1);
      Expect(m_b[m_pos++] == 0xFF, "padding byte");
    }
    if (!initialiser) {
      Expect(U32() == 0x6462676C, "line table marker");
      const uint32_t n = U32();
      uint32_t previous = 0;
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t offset = U32();
        const uint32_t line = U32();
        Expect(offset < size && offset >= previous, "line table order");
        previous = offset;
        f.lines.push_back({offset, line});
      }
    }
    Expect(m_pos == end, "function chunk size");
    return f;
  }

  // Walks the instructions: every operand indexes something that exists and
  // every jump lands on an instruction.
  void Code(const Function& f, uint32_t cells) {
    using namespace GSRuntime;
    const uint8_t* code = f.code.data();
    const std::size_t size = f.code.size();
    std::vector<bool> starts(size + 1, false);
    std::vector<uint32_t> targets;
    for (std::size_t pc = 0; pc < size;) {
      const std::size_t length = InstructionLength(code, size, pc);
      Expect(length != 0, "illegal or truncated instruction at code offset " + std::to_string(pc));
      starts[pc] = true;
      const OpcodeInfo& info = *FindOpcode(code[pc]);
      const uint8_t* p = code + pc + 1;
      switch (info.form) {
        case OperandForm::Local: Expect(ReadU16(p) < cells, "local cell outside the frame"); break;
        case OperandForm::String: Expect(ReadU16(p) < m_lib.strings.size(), "string operand"); break;
        case OperandForm::Class: Expect(ReadU16(p) < m_lib.classImports.size(), "class operand"); break;
        case OperandForm::Target: targets.push_back(ReadU32(p)); break;
        case OperandForm::Wait: {
          const uint16_t h = ReadU16(p);
          for (uint16_t i = 0; i < h; ++i) {
            Expect(ReadU16(p + 2 + 4 * i) < m_lib.strings.size(), "wait major");
            Expect(ReadU16(p + 4 + 4 * i) < m_lib.strings.size(), "wait minor");
            targets.push_back(ReadU32(p + 2 + 4 * h + 4 * i));
          }
          break;
        }
        case OperandForm::Switch: {
          const uint16_t c = ReadU16(p);
          for (uint16_t i = 0; i < c; ++i) {
            if (i)
              Expect(int32_t(ReadU32(p + 2 + 4 * i)) > int32_t(ReadU32(p + 4 * i - 2)),
                     "switch keys not ascending");
            targets.push_back(ReadU32(p + 2 + 4 * c + 4 * i));
          }
          targets.push_back(ReadU32(p + 2 + 8 * c));
          break;
        }
        default: break;
      }
      pc += length;
    }
    starts[size] = true;  // a jump to the end is allowed
    for (uint32_t t : targets) Expect(t <= size && starts[t], "jump target not on an instruction");
    if (size) {
      // Control never runs off the end of a function.
      std::size_t pc = 0, last = 0;
      while (pc < size) {
        last = pc;
        pc += InstructionLength(code, size, pc);
      }
      const uint8_t op = code[last];
      Expect(op == OP_RET || op == OP_RETV || op == OP_RETVO || op == OP_JMP,
             "code does not end in a return");
    }
  }

  const std::vector<uint8_t>& m_b;
  Library& m_lib;
  std::size_t m_pos = 0;
};

inline std::string Check(const std::vector<uint8_t>& bytes, Library& out) {
  return Reader(bytes, out).Check();
}

}  // namespace LibraryCheck
