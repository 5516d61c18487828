#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/Emit.h"
#include "gamescript/runtime/Disassemble.h"
#include "gamescript/runtime/Opcodes.h"

using namespace GSCompiler;
using namespace GSRuntime;

namespace {

std::vector<uint8_t> Bytes(const GSCFunction& f) { return {f.Code(), f.Code() + f.Length()}; }

std::vector<uint8_t> Image(const ImageWriter& w) { return {w.Data(), w.Data() + w.Position()}; }

}  // namespace

TEST(CodegenOpcodes, OperandFormsGiveInstructionLengths) {
  // WAIT with two handlers: opcode, count, two pairs, two targets.
  std::vector<uint8_t> wait = {OP_WAIT, 2, 0, 1, 0, 2, 0, 3, 0, 4, 0, 9, 0, 0, 0, 10, 0, 0, 0};
  EXPECT_EQ(InstructionLength(wait.data(), wait.size(), 0), wait.size());
  wait.pop_back();  // cut short: no instruction
  EXPECT_EQ(InstructionLength(wait.data(), wait.size(), 0), 0u);

  // SWITCH with no case is the count and the default target.
  const uint8_t empty[] = {OP_SWITCH, 0, 0, 7, 0, 0, 0};
  EXPECT_EQ(InstructionLength(empty, sizeof empty, 0), 7u);
  const uint8_t call[] = {OP_CALL, 0xFF, 0xFF, 3, 0, OP_CALLP, 0xFE, 0xFF};
  EXPECT_EQ(InstructionLength(call, sizeof call, 0), 5u);
  EXPECT_EQ(InstructionLength(call, sizeof call, 5), 3u);

  // Bytes 116 and 255 are not instructions.
  const uint8_t illegal[] = {116, 255};
  EXPECT_EQ(FindOpcode(116), nullptr);
  EXPECT_EQ(InstructionLength(illegal, 2, 0), 0u);
  EXPECT_EQ(InstructionLength(illegal, 2, 1), 0u);
  EXPECT_STREQ(FindOpcode(OP_NE)->mnemonic, "NE");
  EXPECT_STREQ(FindOpcode(OP_CALLP)->mnemonic, "CALLP");
}

TEST(CodegenOpcodes, DisassemblyOfVariableForms) {
  const uint8_t code[] = {OP_CALL,   0xFF, 0xFF, 3,      0,                                // CALL -1 3
                          OP_SWITCH, 2,    0,    0xFF,   0xFF, 0xFF, 0xFF, 5, 0,    0, 0,  // keys -1, 5
                          0x20,      0,    0,    0,      0x21, 0,    0,    0, 0x22, 0, 0,
                          0,  // targets, default
                          OP_LDSTR,  1,    0,    OP_RET, 200};
  const std::vector<std::string> strings = {"a", "hello"};
  EXPECT_EQ(Disassemble(code, sizeof code, &strings),
            "0000: CALL -1 3\n"
            "0005: SWITCH -1 -> 0020, 5 -> 0021, default -> 0022\n"
            "001c: LDSTR 1 \"hello\"\n"
            "001f: RET\n"
            "0020: ??? c8\n");
}

TEST(CodegenEmit, OperandBytesAndStackDepth) {
  GSCFunction f(nullptr);
  f.EmitF32(1.0f);
  EXPECT_EQ(Bytes(f), (std::vector<uint8_t>{0x1E, 0x00, 0x00, 0x80, 0x3F}));
  f.Emit(OP_PUSH1);
  EXPECT_EQ(f.depth, 2);
  f.Emit(OP_ADDI);
  EXPECT_EQ(f.depth, 1);
  EXPECT_EQ(f.maxDepth, 2);
  f.EmitU16U16(OP_CALL, -2, 0x1234);
  f.EmitS16(OP_CALLP, -1);
  f.EmitU16(OP_LDL, 0xABCD);
  const std::vector<uint8_t> tail(f.Code() + 7, f.Code() + f.Length());
  EXPECT_EQ(tail, (std::vector<uint8_t>{OP_CALL, 0xFE, 0xFF, 0x34, 0x12, OP_CALLP, 0xFF, 0xFF, OP_LDL, 0xCD,
                                        0xAB}));
  EXPECT_TRUE(f.OperandOverflow().empty());

  // Variable forms count their listed change; DUP2O counts two.
  f.Emit(OP_DUP2O);
  EXPECT_EQ(f.depth, 4);
  EXPECT_EQ(f.maxDepth, 4);
  f.Emit(OP_SWITCH);
  EXPECT_EQ(f.depth, 3);
}

TEST(CodegenEmit, SixteenBitOperandsThatDoNotFitAreRecorded) {
  GSCFunction f(nullptr);
  f.EmitU16(OP_LDSTR, 65535);
  EXPECT_TRUE(f.OperandOverflow().empty());
  f.EmitU16(OP_LDSTR, 65536);
  f.EmitU16(OP_LDL, 70000);
  EXPECT_EQ(f.OperandOverflow(), "string index 65536");  // the first one is kept

  GSCFunction g(nullptr);
  g.EmitU16U16(OP_CALL, -32769, 0);
  EXPECT_EQ(g.OperandOverflow(), "call distance -32769");
}

TEST(CodegenEmit, LabelsAndFixups) {
  GSCFunction f(nullptr);
  const int forward = f.NewLabel();
  const int named = f.LabelOf("there");
  EXPECT_EQ(f.LabelOf("there"), named);
  f.EmitJump(OP_JMP, forward, "a.gs", 3, "Break");
  f.EmitJump(OP_JZ, named, "a.gs", 4, "no matching label");
  EXPECT_TRUE(f.DefineLabel(forward, 10));
  EXPECT_FALSE(f.DefineLabel(forward, 20));  // the first offset is kept
  EXPECT_FALSE(f.DefineLabel(99, 0));
  // A jump to a label already placed is written directly.
  f.EmitJump(OP_JMP, forward, "a.gs", 5, "Continue");
  EXPECT_EQ(ReadU32(f.Code() + 11), 10u);

  CompileLog log;
  EXPECT_EQ(f.ResolveFixups(&log), 1);
  EXPECT_EQ(ReadU32(f.Code() + 1), 10u);
  ASSERT_EQ(log.Count(), 1u);
  EXPECT_STREQ(log.At(0), "a.gs(4) : no matching label, line 4");
}

TEST(CodegenEmit, LineTableEntriesWhereTheSourceLineChanges) {
  GSCFunction f(nullptr);
  uint32_t line = 4;
  f.lineSource = &line;
  f.Emit(OP_PUSH1);
  f.EmitU16(OP_STL, 2);  // same line: no entry
  line = 6;
  f.Emit(OP_PUSH1);
  line = 4;  // back to an earlier line: a new entry
  f.Emit(OP_RET);
  ASSERT_EQ(f.lines.size(), 3u);
  EXPECT_EQ(f.lines[0].offset, 0u);
  EXPECT_EQ(f.lines[0].line, 4u);
  EXPECT_EQ(f.lines[1].offset, 4u);
  EXPECT_EQ(f.lines[1].line, 6u);
  EXPECT_EQ(f.lines[2].offset, 5u);
  EXPECT_EQ(f.lines[2].line, 4u);
  // A restarted function tracks no lines until asked again.
  f.Restart(nullptr);
  f.Emit(OP_PUSH1);
  EXPECT_TRUE(f.lines.empty());
}

TEST(CodegenEmit, FunctionRecordLayout) {
  GSCFunction f(nullptr);
  f.emitHook = [](void*, GSCFunction& g, uint32_t offset) { g.lines.push_back({offset, 7 + offset}); };
  f.Emit(OP_PUSH1);
  f.EmitU16(OP_STL, 2);
  f.Emit(OP_RET);
  f.temporaries = 1;
  f.referenceCells = {1};

  ImageWriter w;
  BodyHeader h;
  h.key = 3;
  h.returnType = 2;
  h.flags = 0x1;
  h.slot = 4;
  h.parameterCells = 2;
  h.localCount = 1;
  ASSERT_TRUE(f.WriteBody(w, h, 0));
  const std::vector<uint32_t> words = {
      0,
      9,
      3,
      2,
      0xFFFFFFFF,
      1,
      4,      // size patched below
      2 + 4,  // L + 4 with L = one local and one temporary
      uint32_t(-1),
      2 + 1,
      1 + 2 + 4,
      2,
      1,
      1,
      1,
      1,  // one reference cell
      5,  // code size
  };
  std::vector<uint8_t> expected;
  for (uint32_t v : words)
    for (int i = 0; i < 4; ++i) expected.push_back(uint8_t(v >> (8 * i)));
  for (uint8_t b : std::vector<uint8_t>{OP_PUSH1, OP_STL, 2, 0, OP_RET}) expected.push_back(b);
  expected.insert(expected.end(), {0xFF, 0xFF, 0xFF});  // to a multiple of 4
  for (char c : std::string("lgbd")) expected.push_back(uint8_t(c));
  for (uint32_t v : {3u, 0u, 7u, 1u, 8u, 4u, 11u})
    for (int i = 0; i < 4; ++i) expected.push_back(uint8_t(v >> (8 * i)));
  expected[0] = uint8_t(expected.size());
  EXPECT_EQ(Image(w), expected);

  // Padding is counted from the given base, not from the buffer start.
  ImageWriter s;
  s.U8(0);
  h.debugPart = false;
  ASSERT_TRUE(f.WriteBody(s, h, 1));
  EXPECT_EQ((s.Position() - 1) % 4, 0u);
  EXPECT_EQ(s.Data()[s.Position() - 1], 0xFF);
}

TEST(CodegenEmit, UnbalancedFunctionIsNotWritten) {
  GSCFunction f(nullptr);
  f.Emit(OP_PUSH1);
  f.Emit(OP_RET);
  ImageWriter w;
  EXPECT_FALSE(f.WriteBody(w, BodyHeader{}, 0));
  EXPECT_EQ(w.Position(), 7u * 4);  // stops after the slot word
}

// A record kept as its final bytes is written byte for byte as the function
// would write it, with or without the line table, and an unbalanced one is
// refused at the same point.
TEST(CodegenEmit, FinishedRecordIsTheFunctionsRecord) {
  CodeStore store;
  for (int codeBytes = 1; codeBytes <= 4; ++codeBytes)
    for (bool debugPart : {true, false}) {
      SCOPED_TRACE(codeBytes * 2 + debugPart);
      GSCFunction f(nullptr);
      f.emitHook = [](void*, GSCFunction& g, uint32_t offset) { g.lines.push_back({offset, 3 + offset}); };
      for (int i = 1; i < codeBytes; ++i) f.Emit(OP_ITOF);  // one byte, depth unchanged
      f.Emit(OP_RET);
      f.referenceCells = {1, 4};
      f.temporaries = 2;
      BodyHeader h;
      h.key = 9;
      h.slot = 2;
      h.parameterCells = 3;
      h.localCount = 5;
      h.debugPart = debugPart;
      ImageWriter direct, kept;
      direct.U32(1);  // records start on 4-byte boundaries inside an image
      kept.U32(1);
      ASSERT_TRUE(f.WriteBody(direct, h, 0));
      const FinishedFunction finished = f.Finish(store, h.parameterCells, h.localCount, debugPart);
      ASSERT_TRUE(finished.WriteBody(kept, h, store));
      EXPECT_EQ(Image(kept), Image(direct));
      EXPECT_FALSE(kept.Failed());
    }
  GSCFunction unbalanced(nullptr);
  unbalanced.Emit(OP_PUSH1);
  const FinishedFunction finished = unbalanced.Finish(store, 1, 0, true);
  ImageWriter w;
  EXPECT_FALSE(finished.WriteBody(w, BodyHeader{}, store));
  EXPECT_EQ(w.Position(), 7u * 4);
}

TEST(CodegenEmit, CodeStoreKeepsSpansAndGivesBlocksBackFromTheFront) {
  CodeStore store;
  // Blocks are 256 KiB: three small records share one.
  std::vector<uint8_t> small(80000), large(3000000);
  for (std::size_t i = 0; i < small.size(); ++i) small[i] = uint8_t(i * 7);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = uint8_t(i * 13);
  std::vector<CodeStore::Span> spans;
  for (int i = 0; i < 5; ++i) spans.push_back(store.Add(small.data(), small.size()));
  spans.push_back(store.Add(large.data(), large.size()));  // larger than a block: one of its own
  spans.push_back(store.Add(small.data(), 10));
  EXPECT_EQ(spans[0].block, spans[2].block);
  EXPECT_NE(spans[3].block, spans[2].block);
  EXPECT_NE(spans[5].block, spans[4].block);
  EXPECT_NE(spans[6].block, spans[5].block);
  store.ReleaseBefore(spans[5]);
  // What the released blocks held is gone; the rest reads back whole.
  EXPECT_EQ(std::memcmp(store.Data(spans[5]), large.data(), large.size()), 0);
  EXPECT_EQ(spans[6].size, 10u);
  EXPECT_EQ(std::memcmp(store.Data(spans[6]), small.data(), 10), 0);
  // The given-back blocks' storage serves the library's own blocks, empty.
  ImageWriter spare = store.TakeSpare();
  EXPECT_GE(spare.Capacity(), std::size_t(1) << 18);
  EXPECT_EQ(spare.Position(), 0u);
  spare.U32(7);
  EXPECT_EQ(Image(spare), (std::vector<uint8_t>{7, 0, 0, 0}));
  EXPECT_GT(store.TakeSpare().Capacity(), 0u);  // blocks 0 and 1 were given back
  EXPECT_EQ(store.TakeSpare().Capacity(), 0u);
  EXPECT_EQ(std::memcmp(store.Data(spans[5]), large.data(), large.size()), 0);
}

TEST(CodegenEmit, PatchesOutsideTheImageFailAndCopiesNeedStorage) {
  ImageWriter w;
  const std::size_t start = w.BeginChunk(3);
  w.U32(5);
  w.EndChunk(start);
  EXPECT_FALSE(w.Failed());
  EXPECT_EQ(ReadU32(w.Data()), 12u);
  w.PatchU32(10, 7);  // would pass the written bytes
  EXPECT_TRUE(w.Failed());

  Utils::ByteBuffer none;  // never initialised: no storage
  EXPECT_FALSE(w.CopyTo(none));
  Utils::ByteBuffer some;
  EXPECT_TRUE(some.Init(4));
  ASSERT_TRUE(w.CopyTo(some));
  EXPECT_EQ(some.Length(), 12u);
  EXPECT_EQ(ReadU32(some.Data() + 4), 3u);
}

TEST(CodegenEmit, LibraryIsNotBuiltIntoABufferWithoutStorage) {
  GSSymbolTable symbols;
  LibraryImage image;
  LibrarySource source;
  source.name = "x.gs";
  Utils::ByteBuffer none;
  CompileLog log;
  EXPECT_FALSE(WriteLibraryImage(none, symbols, image, source, &log));
  ASSERT_EQ(log.Count(), 1u);
  EXPECT_STREQ(log.At(0), "Internal Compiler Error: out of memory while writing the library.");
}

// Texts are numbered in first-use order however many there are; a text with
// a zero byte inside and the empty text are texts of their own, and the area
// holds each text followed by a zero byte at its start.
TEST(CodegenEmit, InternedStringsKeepFirstUseOrder) {
  LibraryImage image;
  std::vector<std::string> texts = {"", std::string("a\0b", 3), "a", std::string("a\0", 2)};
  for (int i = 0; i < 3000; ++i) texts.push_back("name" + std::to_string(i * 7919 % 3001));
  std::map<std::string, uint32_t> first;
  for (const std::string& text : texts) {
    const uint32_t index = image.InternString(text);
    const auto at = first.emplace(text, uint32_t(first.size())).first;
    EXPECT_EQ(index, at->second) << text;
    EXPECT_EQ(image.StringCount(), first.size());
  }
  ASSERT_EQ(image.StringCount(), first.size());
  for (const auto& [text, index] : first) {
    ASSERT_LE(image.StringStart(index) + text.size() + 1, image.StringArea().size());
    EXPECT_EQ(image.StringArea().substr(image.StringStart(index), text.size() + 1), text + '\0');
    EXPECT_EQ(image.InternString(text), index);
  }
  image.Clear();
  EXPECT_EQ(image.StringCount(), 0u);
  EXPECT_EQ(image.InternString("again"), 0u);
}

TEST(CodegenEmit, TypeNamesReadBackToTheirCodes) {
  for (uint32_t type = TypeVoid; type <= TypeObjectArray; ++type)
    EXPECT_EQ(TypeFromName(TypeName(type), false), type) << TypeName(type);
  EXPECT_EQ(TypeFromName("null", false), uint32_t(TypeNull));
  EXPECT_EQ(TypeFromName("Asset[]", false), uint32_t(TypeObjectArray));
  EXPECT_EQ(TypeFromName("Asset", false), uint32_t(TypeNone));
  EXPECT_EQ(TypeFromName("Asset", true), uint32_t(TypeObject));
  EXPECT_EQ(TypeFromName("", true), uint32_t(TypeObject));  // the empty name is no type word
}
