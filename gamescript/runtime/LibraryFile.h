#pragma once
// The reader of ".gsl" library images. A library file is outside data: the
// reader walks every chunk through the bounds-checked byte reader and checks
// every count, offset, string end and index against what it has read, and
// every function's frame words and byte code (instruction boundaries, jump
// targets, operands, stack depth) with the instruction table. The records it
// fills point into the image, which must outlive them. Linear in the size.

#include <cstdint>
#include <cstddef>
#include <iterator>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gamescript/runtime/LibraryFormat.h"
#include "gamescript/runtime/Opcodes.h"
#include "kiv/Bytes.h"

namespace GSRuntime {

constexpr uint32_t kStackCells = 1024;  // a thread's script stack
// Ancestors of one class. Each class record repeats its ancestors' entries,
// so the bound keeps a library linear in its source; the compiler refuses a
// class with more.
constexpr uint32_t kMaxAncestors = 256;
// The largest library file the machine loads, as the whole-file reader allows.
constexpr uint64_t kMaxLibraryBytes = uint64_t(1) << 30;

// A run of little-endian 32-bit words inside the image.
struct WordView {
  const uint8_t* data = nullptr;
  uint32_t count = 0;
  std::size_t size() const { return count; }
  [[nodiscard]] bool empty() const { return count == 0; }
  uint32_t operator[](std::size_t i) const { return Kiv::LoadLE32(data + 4 * i); }
};

struct LibraryFunction {
  std::string_view key;
  uint32_t returnType = 0, returnClass = kNoClass, flags = 0;
  int32_t slot = -1;
  uint32_t stackAdvance = 0, frameHeader = 0, frameSize = 0;
  int32_t argumentBase = 0;
  uint32_t parameters = 0, locals = 0, temporaries = 0;
  WordView referenceCells;  // frame cells holding references
  std::span<const uint8_t> code;
  WordView lines;  // pairs of code offset and source line

  std::size_t LineCount() const { return lines.size() / 2; }
  uint32_t LineOffset(std::size_t i) const { return lines[2 * i]; }
  uint32_t LineNumber(std::size_t i) const { return lines[2 * i + 1]; }
};

// A run of fixed-size little-endian records inside the image, each decoded
// when it is read.
template <class Record, std::size_t Bytes, Record (*Decode)(const uint8_t*)>
struct RecordView {
  const uint8_t* data = nullptr;
  uint32_t count = 0;

  struct iterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = Record;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Record;
    const uint8_t* at;
    Record operator*() const { return Decode(at); }
    iterator& operator++() {
      at += Bytes;
      return *this;
    }
    bool operator==(const iterator&) const = default;
  };
  std::size_t size() const { return count; }
  [[nodiscard]] bool empty() const { return count == 0; }
  Record operator[](std::size_t i) const { return Decode(data + Bytes * i); }
  iterator begin() const { return {data}; }
  iterator end() const { return {data + Bytes * count}; }
};

struct LibraryAncestor {
  uint32_t classImport;
  int32_t offset;  // word offset of the ancestor's block
  uint32_t direct;
  static LibraryAncestor Decode(const uint8_t* p) {
    return {Kiv::LoadLE32(p), int32_t(Kiv::LoadLE32(p + 4)), Kiv::LoadLE32(p + 8)};
  }
};
struct LibraryTableEntry {
  uint32_t functionImport;
  int32_t offset;  // block of the implementing class
  static LibraryTableEntry Decode(const uint8_t* p) {
    return {Kiv::LoadLE32(p), int32_t(Kiv::LoadLE32(p + 4))};
  }
};
struct LibraryInitialValue {
  uint32_t kind;  // a LayoutKind
  int32_t cell;
  int32_t value;
  static LibraryInitialValue Decode(const uint8_t* p) {
    return {Kiv::LoadLE32(p), int32_t(Kiv::LoadLE32(p + 4)), int32_t(Kiv::LoadLE32(p + 8))};
  }
};
inline int32_t DecodeCell(const uint8_t* p) { return int32_t(Kiv::LoadLE32(p)); }

// A class record. The fixed-size tables are views of the image, checked
// when it was read.
struct LibraryClass {
  using Ancestor = LibraryAncestor;
  using TableEntry = LibraryTableEntry;
  using InitialValue = LibraryInitialValue;
  struct Variable {
    std::string_view name;
    uint32_t type, classImport, isPublic;
    int32_t cell;
  };

  // The functions and variables come from the allocator given (a library's arena).
  explicit LibraryClass(std::pmr::memory_resource* memory = std::pmr::get_default_resource())
      : functions(memory), variables(memory) {}

  std::string_view name;
  uint32_t flags = 0;
  RecordView<Ancestor, 12, &Ancestor::Decode> ancestors;
  std::pmr::vector<LibraryFunction> functions;  // the initialiser last
  std::pmr::vector<Variable> variables;
  RecordView<TableEntry, 8, &TableEntry::Decode> table;
  uint32_t instanceCells = 0;
  RecordView<InitialValue, 12, &InitialValue::Decode> initialValues;
  RecordView<int32_t, 4, &DecodeCell> objectMembers;
};

struct LibraryFile {
  struct ClassImport {
    uint32_t dependency;
    std::string_view name;
  };
  struct FunctionImport {
    uint32_t classImport;
    std::string_view name;
    int32_t slot;
  };

  float version = 0;
  uint32_t id1 = 0, id2 = 0;
  std::string_view name;
  std::vector<std::pair<uint32_t, uint32_t>> dependencies;
  std::vector<std::string_view> strings;
  std::vector<ClassImport> classImports;
  std::vector<FunctionImport> functionImports;
  std::vector<LibraryClass> classes;
};

// Reads and checks the whole image into `out`. Empty when it is well formed;
// else what is wrong and the byte offset where it was found. Without
// `verifyCode` the byte code is left for the caller to verify. The class
// tables are allocated from `memory`. A refused image still leaves its name
// in `out` when its header could be read.
std::string ReadLibraryFile(std::span<const uint8_t> image, LibraryFile& out, bool verifyCode = true,
                            std::pmr::memory_resource* memory = std::pmr::get_default_resource());

// The header fields that registration reads: false when the bytes are fewer
// than 20 or the magic differs.
[[nodiscard]] bool ReadLibraryHeader(std::span<const uint8_t> bytes, uint32_t& id1, uint32_t& id2);

}  // namespace GSRuntime
