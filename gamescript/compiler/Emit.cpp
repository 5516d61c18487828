#include "gamescript/compiler/Emit.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "gamescript/compiler/CompileLog.h"
#include "gamescript/compiler/SyntaxTree.h"

namespace GSCompiler {

using GSRuntime::FindOpcode;
using GSRuntime::OP_PUSHK;

uint32_t TypeFromName(std::string_view word, bool classAsObject) {
  for (uint32_t type = TypeVoid; type <= TypeNull; ++type) {
    const char* name = TypeName(type);
    if (*name && word == name) return type;
  }
  if (word.find("[]") != std::string_view::npos) return TypeObjectArray;
  return classAsObject ? TypeObject : TypeNone;
}

// ------------------------------------------------------------ image writer

void ImageWriter::Expand(std::size_t needed) {
  std::size_t capacity = m_capacity ? m_capacity * 2 : 256;
  if (capacity < needed) capacity = needed;
  auto* data = static_cast<uint8_t*>(std::realloc(m_data, capacity));
  if (!data) throw std::bad_alloc();
  m_data = data;
  m_capacity = capacity;
}

void ImageWriter::ShrinkToFit() {
  if (m_size == 0 || m_size == m_capacity) return;
  if (auto* data = static_cast<uint8_t*>(std::realloc(m_data, m_size))) {
    m_data = data;
    m_capacity = m_size;
  }
}

void ImageWriter::PatchU16(std::size_t at, uint16_t v) {
  if (at + 2 > m_size) {
    m_failed = true;
    return;
  }
  Kiv::StoreLE16(m_data + at, v);
}

void ImageWriter::PatchU32(std::size_t at, uint32_t v) {
  if (at + 4 > m_size) {
    m_failed = true;
    return;
  }
  Kiv::StoreLE32(m_data + at, v);
}

std::size_t ImageWriter::BeginChunk(uint32_t type) {
  const std::size_t start = Position();
  U32(0);
  U32(type);
  return start;
}

void ImageWriter::EndChunk(std::size_t start) { PatchU32(start, static_cast<uint32_t>(Position() - start)); }

bool ImageWriter::CopyTo(Utils::ByteBuffer& buffer) const {
  const std::size_t at = buffer.Position();
  buffer.Ensure(at + m_size);
  if (buffer.Flags() & Utils::ByteBuffer::kNoStorage) return false;
  if (m_size) std::memcpy(buffer.Data() + at, m_data, m_size);
  buffer.SetPosition(at + m_size);
  return true;
}

// ------------------------------------------------------------ emitters

// A function body is usually a few hundred bytes; a class initialiser is
// often empty. Starting near the usual size saves most regrowth.
GSCFunction::GSCFunction(GSFunctionSymbol* functionSymbol) : symbol(functionSymbol) {
  code.Reserve(functionSymbol ? 256 : 32);
}

void GSCFunction::Restart(GSFunctionSymbol* functionSymbol) {
  symbol = functionSymbol;
  code.Rewind();
  emitHook = nullptr;
  hookContext = nullptr;
  lineSource = nullptr;
  depth = 0;
  maxDepth = 0;
  temporaries = 0;
  lines.clear();
  referenceCells.clear();
  m_labels.clear();
  m_labelNames.clear();
  m_fixups.clear();
  m_overflow.clear();
  m_overflowAt = 0;
}

// Kept out of Begin, which then saves no registers on its usual path.
[[gnu::noinline]] void GSCFunction::NoteLine(uint32_t line) {
  if (lines.empty()) lines.reserve(16);
  lines.push_back({Length(), line});
}

void GSCFunction::CheckRange(int64_t v, int64_t low, int64_t high, const char* what) {
  if ((v < low || v > high) && m_overflow.empty()) {
    m_overflow = std::string(what) + " " + std::to_string(v);
    m_overflowAt = Length();
  }
}

// Kept out of the emitters: an operand that does not fit is rare.
void GSCFunction::NoteU16Overflow(uint8_t op, int64_t operand) {
  const char* what = "operand";
  if (const GSRuntime::OpcodeInfo* info = FindOpcode(op)) {
    switch (info->form) {
      case GSRuntime::OperandForm::Local: what = "frame cell"; break;
      case GSRuntime::OperandForm::Member: what = "member cell"; break;
      case GSRuntime::OperandForm::String: what = "string index"; break;
      case GSRuntime::OperandForm::Class: what = "class index"; break;
      default: break;
    }
  }
  CheckRange(operand, 0, 0xFFFF, what);
}

void GSCFunction::EmitS16(uint8_t op, int64_t operand) {
  CheckRange(operand, -0x8000, 0x7FFF, "call distance");
  Kiv::StoreLE16(Begin(op, 2), static_cast<uint16_t>(operand));
}

void GSCFunction::EmitU16U16(uint8_t op, int64_t distance, int64_t slot) {
  CheckRange(distance, -0x8000, 0x7FFF, "call distance");
  CheckRange(slot, 0, 0xFFFF, "function slot");
  uint8_t* operands = Begin(op, 4);
  Kiv::StoreLE16(operands, static_cast<uint16_t>(distance));
  Kiv::StoreLE16(operands + 2, static_cast<uint16_t>(slot));
}

void GSCFunction::EmitF32(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  EmitU32(OP_PUSHK, bits);
}

void GSCFunction::EmitJump(uint8_t op, int label, const char* file, uint32_t line, const char* text) {
  if (IsDefined(label)) {
    EmitU32(op, m_labels[std::size_t(label)].offset);
    return;
  }
  EmitU32(op, 0);
  AddFixup(label, Length() - 4, file, line, text);
}

std::size_t GSCFunction::EmitWait(uint16_t count) {
  Begin(GSRuntime::OP_WAIT, 0);
  const std::size_t operands = Length();
  code.U16(count);
  for (std::size_t i = 2; i < GSRuntime::WaitLayout::Size(count); ++i) code.U8(0);
  return operands;
}

void GSCFunction::SetWaitEntry(std::size_t operands, std::size_t i, uint16_t major, uint16_t minor,
                               uint32_t target) {
  using Layout = GSRuntime::WaitLayout;
  const uint16_t count = GSRuntime::ReadU16(Code() + operands);
  PatchU16(operands + Layout::Major(i), major);
  PatchU16(operands + Layout::Minor(i), minor);
  PatchU32(operands + Layout::Target(count, i), target);
}

std::size_t GSCFunction::EmitSwitch(uint16_t count) {
  Begin(GSRuntime::OP_SWITCH, 0);
  const std::size_t operands = Length();
  code.U16(count);
  for (std::size_t i = 2; i < GSRuntime::SwitchLayout::Size(count); ++i) code.U8(0);
  return operands;
}

void GSCFunction::SetSwitchEntry(std::size_t operands, std::size_t i, int32_t key, uint32_t target) {
  using Layout = GSRuntime::SwitchLayout;
  const uint16_t count = GSRuntime::ReadU16(Code() + operands);
  PatchU32(operands + Layout::Key(i), static_cast<uint32_t>(key));
  PatchU32(operands + Layout::Target(count, i), target);
}

void GSCFunction::SetSwitchDefault(std::size_t operands, uint32_t target) {
  PatchU32(operands + GSRuntime::SwitchLayout::Default(GSRuntime::ReadU16(Code() + operands)), target);
}

void GSCFunction::PatchU16(std::size_t at, uint16_t v) { code.PatchU16(at, v); }
void GSCFunction::PatchU32(std::size_t at, uint32_t v) { code.PatchU32(at, v); }

// ------------------------------------------------------------ labels

int GSCFunction::NewLabel() {
  if (m_labels.empty()) m_labels.reserve(8);
  m_labels.emplace_back();
  return static_cast<int>(m_labels.size() - 1);
}

int GSCFunction::LabelOf(const std::string& name) {
  auto found = m_labelNames.find(name);
  if (found != m_labelNames.end()) return found->second;
  const int id = NewLabel();
  m_labelNames.emplace(name, id);
  return id;
}

bool GSCFunction::DefineLabel(int id, uint32_t offset) {
  if (id < 0 || std::size_t(id) >= m_labels.size() || m_labels[std::size_t(id)].defined) return false;
  m_labels[std::size_t(id)] = Label{true, offset};
  return true;
}

bool GSCFunction::IsDefined(int id) const {
  return id >= 0 && std::size_t(id) < m_labels.size() && m_labels[std::size_t(id)].defined;
}

void GSCFunction::AddFixup(int id, uint32_t operandOffset, const char* file, uint32_t line,
                           const char* text) {
  if (m_fixups.empty()) m_fixups.reserve(8);
  m_fixups.push_back(Fixup{id, operandOffset, file ? file : "", line, text ? text : ""});
}

int GSCFunction::ResolveFixups(CompileLog* log) {
  int unresolved = 0;
  for (const Fixup& f : m_fixups) {
    if (IsDefined(f.label)) {
      PatchU32(f.operandOffset, m_labels[std::size_t(f.label)].offset);
      continue;
    }
    ++unresolved;
    if (log) log->Addf("%s(%u) : %s, line %u", f.file, f.line, f.text, f.line);
  }
  m_fixups.clear();
  return unresolved;
}

// ------------------------------------------------------------ record

namespace {

// The chunk head and the fields that come from the library's tables; returns
// where the chunk starts.
std::size_t WriteHead(ImageWriter& image, const BodyHeader& header) {
  const std::size_t start = image.BeginChunk(GSRuntime::kChunkFunction);
  image.U32(header.key);
  image.U32(header.returnType);
  image.U32(header.returnClass);
  image.U32(header.flags);
  image.I32(header.slot);
  return start;
}

}  // namespace

void GSCFunction::WriteTail(ImageWriter& image, int32_t parameterCells, int32_t localCount, bool debugPart,
                            std::size_t alignBase) const {
  // The size is known before anything is written: the room is taken once.
  const std::size_t codeEnd = image.Position() + 36 + 4 * referenceCells.size() + Length();
  const std::size_t misalign = (codeEnd - alignBase) % 4;
  const std::size_t pad = misalign ? 4 - misalign : 0;
  const std::size_t size = codeEnd - image.Position() + pad + (debugPart ? 8 + 8 * lines.size() : 0);
  uint8_t* out = image.Extend(size);
  const auto word = [&out](uint32_t v) {
    Kiv::StoreLE32(out, v);
    out += 4;
  };
  const int32_t locals = localCount + temporaries;  // L
  word(static_cast<uint32_t>(locals + 4));
  word(static_cast<uint32_t>(1 - parameterCells));
  word(static_cast<uint32_t>(locals + 1));
  word(static_cast<uint32_t>(maxDepth + locals + 4));
  word(static_cast<uint32_t>(parameterCells));
  word(static_cast<uint32_t>(localCount));
  word(static_cast<uint32_t>(temporaries));
  word(static_cast<uint32_t>(referenceCells.size()));
  for (int32_t cell : referenceCells) word(static_cast<uint32_t>(cell));
  word(Length());
  if (Length()) std::memcpy(out, Code(), Length());
  out += Length();
  for (std::size_t i = 0; i < pad; ++i) *out++ = GSRuntime::kCodePadding;
  if (debugPart) {
    word(GSRuntime::kLineTableMarker);
    word(static_cast<uint32_t>(lines.size()));
    for (const LineDebugInfo& entry : lines) {
      word(entry.offset);
      word(entry.line);
    }
  }
}

bool GSCFunction::WriteBody(ImageWriter& image, const BodyHeader& header, std::size_t alignBase) const {
  const std::size_t start = WriteHead(image, header);
  if (depth != 0) return false;
  WriteTail(image, header.parameterCells, header.localCount, header.debugPart, alignBase);
  image.EndChunk(start);
  return true;
}

FinishedFunction GSCFunction::Finish(CodeStore& store, int32_t parameterCells, int32_t localCount,
                                     bool debugPart) const {
  FinishedFunction finished;
  finished.symbol = symbol;
  finished.balanced = depth == 0;
  if (!finished.balanced) return finished;
  // The tail starts 28 bytes (a multiple of 4) into its record: its padding
  // is counted from its own start.
  const std::size_t bound =
      36 + 4 * referenceCells.size() + Length() + 3 + (debugPart ? 8 + 8 * lines.size() : 0);
  finished.tail = store.Append(bound, [&](ImageWriter& block, std::size_t start) {
    WriteTail(block, parameterCells, localCount, debugPart, start);
  });
  return finished;
}

bool FinishedFunction::WriteBody(ImageWriter& image, const BodyHeader& header, const CodeStore& store) const {
  const std::size_t start = WriteHead(image, header);
  if (!balanced) return false;
  // The padding inside the tail was counted for a record on a 4-byte boundary.
  if (start % 4 != 0) image.MarkFailed();
  image.Bytes(store.Data(tail), tail.size);
  image.EndChunk(start);
  return true;
}

// ------------------------------------------------------------ code store

namespace {
constexpr std::size_t kCodeBlockBytes = std::size_t(1) << 18;
}

ImageWriter& CodeStore::Room(std::size_t size) {
  if (m_blocks.empty() || m_blocks.back().Capacity() - m_blocks.back().Position() < size) {
    // A record larger than a block gets a block of its own.
    m_blocks.emplace_back();
    m_blocks.back().Reserve(std::max(kCodeBlockBytes, size));
  }
  return m_blocks.back();
}

CodeStore::Span CodeStore::Add(const uint8_t* data, std::size_t size) {
  return Append(size, [&](ImageWriter& block, std::size_t) { block.Bytes(data, size); });
}

void CodeStore::ReleaseBefore(const Span& span) {
  // Kept for the library's blocks, as many as it can want at once.
  constexpr std::size_t kSpareBlocks = 4;
  for (uint32_t i = 0; i < span.block && i < m_blocks.size(); ++i) {
    if (m_blocks[i].Capacity() == 0) continue;
    if (m_spare.size() < kSpareBlocks) {
      m_blocks[i].Rewind();
      m_spare.push_back(std::move(m_blocks[i]));
    }
    m_blocks[i] = ImageWriter();
  }
}

ImageWriter CodeStore::TakeSpare() {
  if (m_spare.empty()) return ImageWriter();
  ImageWriter spare = std::move(m_spare.back());
  m_spare.pop_back();
  return spare;
}

}  // namespace GSCompiler
