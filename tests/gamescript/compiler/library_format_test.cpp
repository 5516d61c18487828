// The compiler's image writer and the runtime's reader agree on the library
// format: every chunk id and type code written is one the reader takes, and
// every one the reader takes is written; a word outside the format is refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/LibraryFormat.h"
#include "kiv/Bytes.h"
#include "tests/gamescript/compiler/codegen_support.h"

namespace {

using namespace GSRuntime;

// Every type a declaration can have, as member, result and local, and a class
// that derives, so that both kinds of layout record are written.
const char* kEveryType = R"(class Base {
  public int count = 1;
  public int Get(void) { return count; }
};
class Every isclass Base {
  bool b; int i; float f; string s = "x"; object o; Base k;
  bool[] ba; int[] ia; float[] fa; string[] sa; object[] oa; Base[] ka;
  public void V(void) { }
  public bool B(void) { return b; }
  public int I(void) { return i; }
  public float F(void) { return f; }
  public string S(void) { return s; }
  public object O(void) { return o; }
  public Base K(void) { return k; }
  public bool[] BA(void) { return ba; }
  public int[] IA(void) { return ia; }
  public float[] FA(void) { return fa; }
  public string[] SA(void) { return sa; }
  public object[] OA(void) { return oa; }
  public Base[] KA(void) { return ka; }
  public native int N(int a);
  public int Get(void) { return 2; }
};
)";

// A chunk as the framing alone describes it.
struct Chunk {
  uint32_t id;
  std::size_t offset;
};

// Walks the framing of a written image: the top-level chunks and those nested
// in the classes, function lists and classes chunks.
void Walk(const std::vector<uint8_t>& b, std::size_t at, std::size_t end, std::vector<Chunk>& out) {
  while (at + 8 <= end) {
    const uint32_t size = Kiv::LoadLE32(&b[at]);
    const uint32_t id = Kiv::LoadLE32(&b[at + 4]);
    ASSERT_GE(size, 8u);
    ASSERT_LE(at + size, end);
    out.push_back({id, at});
    if (id == kChunkClasses || id == kChunkFunctionList) Walk(b, at + 12, at + size, out);
    if (id == kChunkClass) {
      const uint32_t ancestors = Kiv::LoadLE32(&b[at + 16]);
      Walk(b, at + 20 + 12 * std::size_t(ancestors), at + size, out);
    }
    at += size;
  }
  ASSERT_EQ(at, end);
}

std::vector<Chunk> Chunks(const std::vector<uint8_t>& b) {
  std::vector<Chunk> out;
  Walk(b, 24 + Kiv::LoadLE32(&b[20]), b.size(), out);
  return out;
}

bool Reads(const std::vector<uint8_t>& image) {
  LibraryFile file;
  return ReadLibraryFile(image, file).empty();
}

class LibraryFormatTest : public ::testing::Test {
protected:
  void SetUp() override {
    built = CodegenTest::Build(dir, kEveryType);
    ASSERT_EQ(built.errors, 0) << built.Log();
    ASSERT_EQ(built.problem, "");
    chunks = Chunks(built.bytes);
  }
  std::vector<uint8_t> Patched(std::size_t at, uint32_t word) const {
    std::vector<uint8_t> copy = built.bytes;
    Kiv::StoreLE32(&copy[at], word);
    return copy;
  }

  CodegenTest::TempDir dir;
  CodegenTest::Built built;
  std::vector<Chunk> chunks;
};

TEST_F(LibraryFormatTest, HeaderAndChunkIdsWrittenAreTheOnesReadAndNoOther) {
  EXPECT_EQ(Kiv::LoadLE32(&built.bytes[0]), built.bytes.size());
  EXPECT_EQ(Kiv::LoadLE32(&built.bytes[4]), kLibraryMagic);
  EXPECT_EQ(Kiv::LoadLEFloat(&built.bytes[8]), kLibraryVersion);
  uint32_t id1 = 0, id2 = 0;
  ASSERT_TRUE(ReadLibraryHeader(std::span(built.bytes).first(kLibraryHeaderBytes), id1, id2));
  EXPECT_EQ(id1, built.lib.id1);
  EXPECT_EQ(id2, built.lib.id2);

  // Every id of the format is written, and nothing else.
  std::set<uint32_t> written;
  for (const Chunk& c : chunks) written.insert(c.id);
  std::set<uint32_t> format;
  for (uint32_t id = kFirstChunkId; id <= kLastChunkId; ++id) format.insert(id);
  EXPECT_EQ(written, format);

  // The reader checks each id where it stands: any other id of the format,
  // or one outside it, is refused.
  for (const Chunk& c : chunks)
    for (uint32_t other = kFirstChunkId - 1; other <= kLastChunkId + 1; ++other) {
      if (other == c.id) continue;
      EXPECT_FALSE(Reads(Patched(c.offset + 4, other)))
          << "chunk " << c.id << " at " << c.offset << " as " << other;
    }

  // The header's magic, byte by byte.
  for (std::size_t i = 4; i < 8; ++i) {
    std::vector<uint8_t> copy = built.bytes;
    copy[i] ^= 0x01;
    uint32_t a, b;
    EXPECT_FALSE(ReadLibraryHeader(copy, a, b));
    EXPECT_FALSE(Reads(copy));
  }
}

TEST_F(LibraryFormatTest, TypeCodesWrittenAreTheOnesReadAndNoOther) {
  // Every type a declaration can have is written with its code; class types
  // name their class, other types none.
  std::set<uint32_t> written;
  LibraryFile file;
  ASSERT_EQ(ReadLibraryFile(built.bytes, file), "");
  for (const LibraryClass& c : file.classes) {
    for (const LibraryFunction& f : c.functions) {
      written.insert(f.returnType);
      if (f.returnType != TypeObject && f.returnType != TypeObjectArray) {
        EXPECT_EQ(f.returnClass, kNoClass);
      }
    }
    for (const LibraryClass::Variable& v : c.variables) {
      written.insert(v.type);
      EXPECT_EQ(v.classImport != kNoClass, v.name == "k" || v.name == "ka") << v.name;
    }
  }
  const std::set<uint32_t> declarable = {TypeVoid,       TypeBool,        TypeInt,        TypeFloat,
                                         TypeString,     TypeObject,      TypeBoolArray,  TypeIntArray,
                                         TypeFloatArray, TypeStringArray, TypeObjectArray};
  EXPECT_EQ(written, declarable);

  // Every code of the format is read, in a variable record and as the result
  // of the native function (which has no code that the result must fit); the
  // next code and an all-ones word are refused.
  std::size_t variableType = 0, resultType = 0;
  for (const Chunk& c : chunks) {
    if (c.id == kChunkVariables && Kiv::LoadLE32(&built.bytes[c.offset + 8]) > 0)
      variableType = c.offset + 16;
    if (c.id == kChunkFunction && (Kiv::LoadLE32(&built.bytes[c.offset + 20]) & kFunctionNative))
      resultType = c.offset + 12;
  }
  ASSERT_NE(variableType, 0u);
  ASSERT_NE(resultType, 0u);
  for (std::size_t at : {variableType, resultType}) {
    for (uint32_t code = 0; code <= kLastTypeCode; ++code) EXPECT_TRUE(Reads(Patched(at, code))) << code;
    EXPECT_FALSE(Reads(Patched(at, kLastTypeCode + 1)));
    EXPECT_FALSE(Reads(Patched(at, 0xFFFFFFFF)));
  }
}

TEST_F(LibraryFormatTest, FlagsAndLayoutKindsWrittenAreTheOnesRead) {
  // Functions keep only the format's flag bits; the native one is written.
  bool native = false;
  for (const auto& c : built.lib.classes)
    for (const auto& f : c.functions) {
      EXPECT_EQ(f.flags & ~kFunctionFlags, 0u);
      native |= f.key.find("::N(") != std::string::npos && (f.flags & kFunctionNative);
    }
  EXPECT_TRUE(native);

  // Both layout kinds are written (the derived class has an ancestor block),
  // and a kind outside the format is refused.
  std::set<uint32_t> kinds;
  std::size_t firstKind = 0;
  for (const Chunk& c : chunks) {
    if (c.id != kChunkLayout) continue;
    const uint32_t records = Kiv::LoadLE32(&built.bytes[c.offset + 12]);
    for (uint32_t r = 0; r < records; ++r) kinds.insert(Kiv::LoadLE32(&built.bytes[c.offset + 16 + 12 * r]));
    if (!firstKind) firstKind = c.offset + 16;
  }
  EXPECT_EQ(kinds, (std::set<uint32_t>{kLayoutValue, kLayoutTablePart}));
  EXPECT_FALSE(Reads(Patched(firstKind, kLayoutTablePart + 1)));
}

}  // namespace
