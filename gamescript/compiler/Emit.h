#pragma once
// Function emission: the growable code buffer of one function with an emitter
// per operand form, stack-depth accounting from the instruction table, the line
// table, numbered and named labels with forward-jump fix-ups, and the writer of
// the function's record in the library image.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gamescript/runtime/LibraryFormat.h"
#include "gamescript/runtime/Memory.h"
#include "gamescript/runtime/Opcodes.h"
#include "kiv/Bytes.h"

namespace GSCompiler {

class CompileLog;
class GSFunctionSymbol;

// The type code of a printable type name ("void" .. "object[]", "null"). Any
// other word containing "[]" is an array of a class (11); any other word
// names a class: 12, or 5 when `classAsObject`.
uint32_t TypeFromName(std::string_view word, bool classAsObject);

// Little-endian writer of a growing image. A patch outside the written bytes
// marks the writer failed instead of writing.
class ImageWriter {
public:
  ImageWriter() = default;
  ~ImageWriter() { std::free(m_data); }
  ImageWriter(const ImageWriter&) = delete;
  ImageWriter& operator=(const ImageWriter&) = delete;
  ImageWriter(ImageWriter&& other) noexcept { Take(other); }
  ImageWriter& operator=(ImageWriter&& other) noexcept {
    if (this != &other) {
      std::free(m_data);
      Take(other);
    }
    return *this;
  }

  void U8(uint8_t v) { *Grow(1) = v; }
  // Room for n more bytes at the end, to be written by the caller.
  uint8_t* Extend(std::size_t n) { return Grow(n); }
  void U16(uint16_t v) { Kiv::StoreLE16(Grow(2), v); }
  void U32(uint32_t v) { Kiv::StoreLE32(Grow(4), v); }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void F32(float v) { Kiv::StoreLEFloat(Grow(4), v); }
  void Bytes(const void* data, std::size_t n) {
    if (n) std::memcpy(Grow(n), data, n);
  }
  // Makes room for n bytes in all without writing them.
  void Reserve(std::size_t n) {
    if (n > m_capacity) Expand(n);
  }
  // Gives back the room beyond the written bytes.
  void ShrinkToFit();
  void PatchU16(std::size_t at, uint16_t v);
  void PatchU32(std::size_t at, uint32_t v);

  // Chunk framing: BeginChunk reserves the size word and writes the type;
  // EndChunk fills the size (bytes from the size word to the current end).
  std::size_t BeginChunk(uint32_t type);
  void EndChunk(std::size_t start);

  std::size_t Position() const { return m_size; }
  std::size_t Capacity() const { return m_capacity; }
  // Forgets what was written and keeps the storage.
  void Rewind() {
    m_size = 0;
    m_failed = false;
  }
  [[nodiscard]] bool Failed() const { return m_failed; }
  // For a writer that finds the image cannot be right.
  void MarkFailed() { m_failed = true; }
  const uint8_t* Data() const { return m_data; }
  // Appends the image to `buffer`; false when the buffer has no storage.
  [[nodiscard]] bool CopyTo(Utils::ByteBuffer& buffer) const;

private:
  // Room for n more bytes at the end; returns where they start. Storage
  // grows geometrically; running out of memory throws std::bad_alloc.
  uint8_t* Grow(std::size_t n) {
    if (m_size + n > m_capacity) Expand(m_size + n);
    uint8_t* p = m_data + m_size;
    m_size += n;
    return p;
  }
  void Expand(std::size_t needed);
  void Take(ImageWriter& other) {
    m_data = other.m_data;
    m_size = other.m_size;
    m_capacity = other.m_capacity;
    m_failed = other.m_failed;
    other.m_data = nullptr;
    other.m_size = other.m_capacity = 0;
  }

  uint8_t* m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
  bool m_failed = false;
};

// The fields of a function record that come from the library (string and import
// indexes) or from the symbols, as the body writer needs them.
struct BodyHeader {
  uint32_t key = 0;         // string index of the signature key
  uint32_t returnType = 0;  // type code
  uint32_t returnClass = GSRuntime::kNoClass;
  uint32_t flags = 0;  // specifier bits already masked
  int32_t slot = -1;
  int32_t parameterCells = 1;  // P
  int32_t localCount = 0;
  bool debugPart = true;  // the class initialiser has no line table
};

class GSCFunction;

// The final bytes of a unit's function records, in the order they were
// added, in blocks of about a megabyte. The library is written in the same
// order and gives the blocks back from the front as it goes; its own blocks
// reuse their storage.
class CodeStore {
public:
  struct Span {
    uint32_t block = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
  };
  Span Add(const uint8_t* data, std::size_t size);
  // Lets `write(block, start)` append at most `bound` bytes straight to the
  // store, from `start` of `block`; the span of what it wrote.
  template <typename Write>
  Span Append(std::size_t bound, Write&& write) {
    ImageWriter& block = Room(bound);
    const std::size_t start = block.Position();
    write(block, start);
    return Span{static_cast<uint32_t>(m_blocks.size() - 1), static_cast<uint32_t>(start),
                static_cast<uint32_t>(block.Position() - start)};
  }
  // The bytes of a span added before and not released.
  const uint8_t* Data(const Span& span) const { return m_blocks[span.block].Data() + span.offset; }
  // Gives back every block before the one that holds `span`.
  void ReleaseBefore(const Span& span);
  // An empty writer with the storage of a block given back, when there is one.
  ImageWriter TakeSpare();
  void Clear() {
    m_blocks.clear();
    m_spare.clear();
  }

private:
  // The last block, with room for `size` more bytes.
  ImageWriter& Room(std::size_t size);

  std::vector<ImageWriter> m_blocks;  // a given-back block keeps its place, without storage
  std::vector<ImageWriter> m_spare;
};

// A function's record once its code is final, kept until the library is
// written: the bytes that follow the slot word, exactly as the record holds
// them (padding counted from a record that starts on a 4-byte boundary). The
// fields before them come from the library's tables at writing time.
struct FinishedFunction {
  GSFunctionSymbol* symbol = nullptr;  // null for a class initialiser
  bool balanced = true;                // stack depth back to 0; no bytes are kept otherwise
  CodeStore::Span tail;

  // Writes the whole record (chunk 9) like GSCFunction::WriteBody, into an
  // image at a 4-byte boundary. False, with nothing after the slot word
  // written, when the depth was not balanced.
  [[nodiscard]] bool WriteBody(ImageWriter& image, const BodyHeader& header, const CodeStore& store) const;
};

class GSCFunction {
public:
  struct LineDebugInfo {
    uint32_t offset;
    uint32_t line;
  };

  explicit GSCFunction(GSFunctionSymbol* functionSymbol);
  virtual ~GSCFunction() = default;
  GSCFunction(const GSCFunction&) = delete;
  GSCFunction& operator=(const GSCFunction&) = delete;

  // Starts the code of another function (null: a class initialiser) as if
  // newly made, keeping the storage of the last one's buffers.
  void Restart(GSFunctionSymbol* functionSymbol);

  GSFunctionSymbol* symbol;  // null for a class initialiser
  ImageWriter code;
  // Called with the code length before each instruction is written (the
  // code generator keeps the line table with it); `hookContext` is passed on.
  void (*emitHook)(void* context, GSCFunction& function, uint32_t offset) = nullptr;
  void* hookContext = nullptr;
  // When set, the source line each instruction comes from: `lines` gains an
  // entry wherever it changes (the line table of the function's record).
  const uint32_t* lineSource = nullptr;
  int32_t depth = 0;
  int32_t maxDepth = 0;
  int32_t temporaries = 0;  // temporaries used (at most 8)
  std::vector<LineDebugInfo> lines;
  std::vector<int32_t> referenceCells;

  // Emitters, one per operand form; each calls the hook, counts the depth
  // change of the opcode, then writes the opcode and its operands. Operands
  // that do not fit their 16-bit field are written truncated and recorded:
  // OperandOverflow() then names the first such value.
  void Emit(uint8_t op) { Begin(op, 0); }
  void EmitU16(uint8_t op, int64_t operand) {
    if (operand < 0 || operand > 0xFFFF) NoteU16Overflow(op, operand);
    Kiv::StoreLE16(Begin(op, 2), static_cast<uint16_t>(operand));
  }
  void EmitS16(uint8_t op, int64_t operand);
  void EmitU16U16(uint8_t op, int64_t distance, int64_t slot);  // s16 distance, u16 slot
  void EmitU32(uint8_t op, uint32_t operand) { Kiv::StoreLE32(Begin(op, 4), operand); }
  void EmitF32(float value);
  // A jump to a label: at once when it is defined, else through a fix-up.
  void EmitJump(uint8_t op, int label, const char* file, uint32_t line, const char* text);

  // The variable forms: the opcode, the count and zeroed room for the
  // entries; returns the offset of the first operand byte, which the setters
  // take. Entries are laid out by the instruction table's WaitLayout and
  // SwitchLayout.
  std::size_t EmitWait(uint16_t count);
  void SetWaitEntry(std::size_t operands, std::size_t i, uint16_t major, uint16_t minor, uint32_t target);
  std::size_t EmitSwitch(uint16_t count);
  void SetSwitchEntry(std::size_t operands, std::size_t i, int32_t key, uint32_t target);
  void SetSwitchDefault(std::size_t operands, uint32_t target);
  void PatchU16(std::size_t at, uint16_t v);
  void PatchU32(std::size_t at, uint32_t v);
  uint32_t Length() const { return static_cast<uint32_t>(code.Position()); }
  const uint8_t* Code() const { return code.Data(); }

  // Labels: ids count up from 0; a named label is created on first use.
  int NewLabel();
  int LabelOf(const std::string& name);
  // False when the label does not exist or is already defined.
  [[nodiscard]] bool DefineLabel(int id, uint32_t offset);
  [[nodiscard]] bool IsDefined(int id) const;
  void AddFixup(int id, uint32_t operandOffset, const char* file, uint32_t line, const char* text);
  // Patches every fix-up whose label is defined; each one whose label is not is
  // logged as "file(line) : text, line N". Returns the number of those.
  int ResolveFixups(CompileLog* log);

  // Writes the function's record (chunk 9). Padding is counted from
  // `alignBase` of the image. False, with nothing after the slot word
  // written, when the stack depth is not back to 0.
  [[nodiscard]] bool WriteBody(ImageWriter& image, const BodyHeader& header, std::size_t alignBase) const;
  // The record's final bytes, with P and L from the function's symbol (or 1
  // and 0 for an initialiser) and the line table when `debugPart`.
  FinishedFunction Finish(CodeStore& store, int32_t parameterCells, int32_t localCount, bool debugPart) const;

  // The first operand that did not fit its field, or empty.
  const std::string& OperandOverflow() const { return m_overflow; }
  // Code offset of the instruction with that operand.
  uint32_t OperandOverflowOffset() const { return m_overflowAt; }

private:
  struct Label {
    bool defined = false;
    uint32_t offset = 0;
  };
  struct Fixup {
    int label;
    uint32_t operandOffset;
    const char* file;
    uint32_t line;
    const char* text;
  };
  // The line, the hook and the depth of an instruction, then its opcode;
  // returns the room for its `operandBytes` operand bytes. Inlined in every
  // emitter: an instruction costs a few stores.
  uint8_t* Begin(uint8_t op, std::size_t operandBytes) {
    if (lineSource != nullptr && (lines.empty() || lines.back().line != *lineSource)) NoteLine(*lineSource);
    if (emitHook) emitHook(hookContext, *this, Length());
    if (const GSRuntime::OpcodeInfo* info = GSRuntime::FindOpcode(op)) depth += info->stack;
    if (depth > maxDepth) maxDepth = depth;
    uint8_t* at = code.Extend(1 + operandBytes);
    *at = op;
    return at + 1;
  }
  void NoteLine(uint32_t line);
  // Records an operand of a 16-bit form that does not fit.
  void NoteU16Overflow(uint8_t op, int64_t operand);
  // The bytes after the slot word; padding counted from `alignBase`.
  void WriteTail(ImageWriter& image, int32_t parameterCells, int32_t localCount, bool debugPart,
                 std::size_t alignBase) const;
  void CheckRange(int64_t v, int64_t low, int64_t high, const char* what);

  std::vector<Label> m_labels;
  std::unordered_map<std::string, int> m_labelNames;
  std::vector<Fixup> m_fixups;
  std::string m_overflow;
  uint32_t m_overflowAt = 0;
};

}  // namespace GSCompiler
