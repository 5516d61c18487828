// The byte reader every parser of outside data reads through: values in
// little-endian order, and reads at or past the end of the span.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kiv/Bytes.h"

namespace {

const std::vector<uint8_t> kBytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88, 0xFF};

// One read step: what it is, how wide, and what it gives.
struct Step {
  char op;     // '1' '2' '4' '8' loads, 'b' Bytes(n), 's' Skip(n), 'k' Seek(n), 'f' Fail()
  uint64_t n;  // count for b/s/k
  uint64_t want;
  bool ok;     // the reader has not failed after the step
  size_t pos;  // position after the step
};

struct Case {
  const char* name;
  size_t size;  // reader over the first `size` bytes of kBytes
  std::vector<Step> steps;
};

uint64_t Apply(Kiv::ByteReader& r, const Step& s) {
  switch (s.op) {
    case '1': return r.U8();
    case '2': return r.U16();
    case '4': return r.U32();
    case '8': return r.U64();
    case 'b': {
      auto b = r.Bytes(s.n);
      return b.size() == s.n ? b.size() : ~uint64_t{0};
    }
    case 's': return r.Skip(s.n);
    case 'k': return r.Seek(s.n);
    case 'f': r.Fail(); return 0;
  }
  ADD_FAILURE() << "unknown step " << s.op;
  return 0;
}

}  // namespace

TEST(ByteReader, EdgeCasesAtAndPastTheEnd) {
  const uint64_t kHuge = ~uint64_t{0};  // a 64-bit length read from a file
  const Case cases[] = {
      {"values are little-endian",
       9,
       {{'1', 0, 0x01, true, 1},
        {'2', 0, 0x0302, true, 3},
        {'4', 0, 0x07060504, true, 7},
        {'1', 0, 0x88, true, 8},
        {'1', 0, 0xFF, true, 9}}},
      {"a read that ends exactly at the end succeeds", 8, {{'8', 0, 0x8807060504030201, true, 8}}},
      {"one byte short gives zero, fails and does not move", 7, {{'8', 0, 0, false, 0}}},
      {"failure is sticky: later reads that would fit give zero",
       4,
       {{'1', 0, 0x01, true, 1}, {'4', 0, 0, false, 1}, {'1', 0, 0, false, 1}, {'b', 0, 0, false, 1}}},
      {"an empty reader fails on its first read", 0, {{'2', 0, 0, false, 0}}},
      {"zero bytes at the end are fine", 2, {{'2', 0, 0x0201, true, 2}, {'b', 0, 0, true, 2}}},
      {"a 64-bit length never wraps the bounds check",
       9,
       {{'1', 0, 0x01, true, 1}, {'b', kHuge, kHuge, false, 1}}},
      {"a length just past what is left fails", 9, {{'s', 4, 1, true, 4}, {'b', 6, kHuge, false, 4}}},
      {"skip to the end, then any read fails", 3, {{'s', 3, 1, true, 3}, {'1', 0, 0, false, 3}}},
      {"seek to the end is allowed, past it fails",
       5,
       {{'k', 5, 1, true, 5}, {'k', 2, 1, true, 2}, {'2', 0, 0x0403, true, 4}, {'k', 6, 0, false, 4}}},
      {"seek to a huge offset fails", 5, {{'k', kHuge, 0, false, 0}}},
      {"a failed reader does not seek back", 2, {{'4', 0, 0, false, 0}, {'k', 0, 0, false, 0}}},
      {"a check above the byte level fails the reader", 9, {{'f', 0, 0, false, 0}, {'1', 0, 0, false, 0}}},
  };
  for (const Case& c : cases) {
    Kiv::ByteReader r(kBytes.data(), c.size);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      EXPECT_EQ(Apply(r, s), s.want) << c.name << ", step " << i;
      EXPECT_EQ(!r.Failed(), s.ok) << c.name << ", step " << i;
      EXPECT_EQ(r.Pos(), s.pos) << c.name << ", step " << i;
    }
  }
}

TEST(ByteReader, SignedFloatsSubReadersAndCopies) {
  std::vector<uint8_t> data;
  Kiv::AppendLE16(data, 0xFFFE);
  Kiv::AppendLEFloat(data, -1.5f);
  Kiv::AppendLE64(data, 0x8000000000000001ull);
  Kiv::AppendLE32(data, 0x64636261);  // "abcd"
  Kiv::ByteReader r(data);
  EXPECT_EQ(r.I16(), -2);
  EXPECT_EQ(r.F32(), -1.5f);
  EXPECT_EQ(r.I64(), INT64_MIN + 1);
  EXPECT_EQ(r.Chars(4), "abcd");
  EXPECT_TRUE(r.AtEnd());
  EXPECT_FALSE(r.Failed());

  // A sub-reader sees only its own bytes; its failure is its own.
  Kiv::ByteReader outer(data);
  Kiv::ByteReader inner = outer.Sub(2);
  EXPECT_EQ(outer.Pos(), 2u);
  EXPECT_EQ(inner.U16(), 0xFFFE);
  EXPECT_EQ(inner.U8(), 0);
  EXPECT_TRUE(inner.Failed());
  EXPECT_FALSE(outer.Failed());
  // A sub-reader longer than what is left fails both.
  Kiv::ByteReader tooLong = outer.Sub(100);
  EXPECT_TRUE(outer.Failed());
  EXPECT_TRUE(tooLong.Failed());
  EXPECT_EQ(tooLong.Size(), 0u);

  // A copy past the end zero-fills instead of leaving stale bytes.
  Kiv::ByteReader shortReader(data.data(), 3);
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_FALSE(shortReader.Read(out, sizeof out));
  EXPECT_EQ(std::string(out, out + 4), std::string(4, '\0'));

  // Stores write what loads read, at any alignment.
  uint8_t buffer[11] = {};
  Kiv::StoreLE16(buffer + 1, 0xBEEF);
  Kiv::StoreLE64(buffer + 3, 0x0102030405060708ull);
  EXPECT_EQ(buffer[1], 0xEF);
  EXPECT_EQ(buffer[3], 0x08);
  EXPECT_EQ(Kiv::LoadLE16(buffer + 1), 0xBEEF);
  EXPECT_EQ(Kiv::LoadLE64(buffer + 3), 0x0102030405060708ull);
}
