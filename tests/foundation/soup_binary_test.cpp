#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "soup_test_util.h"

namespace {

std::string Encode(const SoupRef& soup) {
  std::string bytes;
  EXPECT_TRUE(TDBBinaryFile::Encode(soup, bytes));
  return bytes;
}

bool Decode(const std::string& bytes, SoupRef& soup) {
  return TDBBinaryFile::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), soup);
}

TEST(SoupBinary, RandomTreesRoundTripThroughStreams) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SoupRef soup = souptest::RandomSoup(seed);
    TBuffer buffer;
    buffer.WriteU32(0xABCD);  // something before
    ASSERT_TRUE(WriteSoupBinary(buffer, soup));
    buffer.WriteU32(0x1234);  // and after: the reader stops at the soup's end
    EXPECT_TRUE(buffer.Rewind());
    EXPECT_EQ(buffer.ReadU32(), 0xABCDu);
    SoupRef back;
    ASSERT_TRUE(ReadSoupBinary(buffer, back)) << seed;
    std::string where;
    EXPECT_TRUE(souptest::SameTree(soup.Get(), back.Get(), &where)) << seed << " " << where;
    EXPECT_EQ(buffer.ReadU32(), 0x1234u);
  }
}

TEST(SoupBinary, DocumentedLayout) {
  SoupRef soup;
  soup.SetNamedTagInt("n", 5);
  EXPECT_TRUE(soup.SetNamedSoup("c", SoupRef()));
  const uint8_t expected[] = {'A', 'C', 'S', '$', 1, 0, 0, 0, 0x1c, 0, 0, 0, 2, 0, 0,   0, 1, 0, 0, 0,
                              'n', 6,   4,   0,   0, 0, 5, 0, 0,    0, 1, 0, 0, 0, 'c', 1, 0, 0, 0, 0};
  EXPECT_EQ(Encode(soup), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
  SoupRef none;
  EXPECT_EQ(Encode(none), std::string("ACS$\1\0\0\0\4\0\0\0\0\0\0\0", 16));
}

TEST(SoupBinary, LeadingZeroWordIsSkipped) {
  SoupRef soup;
  soup.SetNamedTag("t", "text");
  TBuffer buffer;
  buffer.WriteU32(0);
  EXPECT_TRUE(WriteSoupBinary(buffer, soup));
  EXPECT_TRUE(buffer.Rewind());
  SoupRef back;
  ASSERT_TRUE(ReadSoupBinary(buffer, back));
  EXPECT_EQ(back.GetNamedTag("t").Str(), "text");
  std::string bytes = std::string(4, '\0') + Encode(soup);
  ASSERT_TRUE(Decode(bytes, back));
  EXPECT_EQ(back.GetNamedTag("t").Str(), "text");
}

TEST(SoupBinary, TruncatedAndCorruptInputIsRefused) {
  SoupRef soup = souptest::RandomSoup(42);
  soup.SetNamedTag("pad", "some text to have a few bytes");
  std::string bytes = Encode(soup);
  SoupRef back;
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(Decode(bytes.substr(0, cut), back)) << cut;
    EXPECT_TRUE(back.IsNull());
    TBuffer stream(bytes.data(), cut);
    EXPECT_FALSE(ReadSoupBinary(stream, back)) << cut;
  }
  // Single-byte changes anywhere either still decode or are refused; never worse.
  std::mt19937 rng(3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string changed = bytes;
    changed[i] = static_cast<char>(changed[i] ^ (1 + rng() % 255));
    Decode(changed, back);
  }
  // Bytes left over inside the body.
  std::string extra = bytes + "x";
  extra[8] = static_cast<char>(extra[8] + 1);
  EXPECT_FALSE(Decode(extra, back));
}

TEST(SoupBinary, HostileCountsAndLengths) {
  auto u32 = [](uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  auto wrap = [&](const std::string& body) {
    return "ACS$" + u32(1) + u32(static_cast<uint32_t>(body.size())) + body;
  };
  SoupRef back;
  EXPECT_FALSE(Decode(wrap(u32(0xFFFFFFFF)), back));                                   // tag count
  EXPECT_FALSE(Decode(wrap(u32(1) + u32(0xFFFFFFF0) + "x"), back));                    // name length
  EXPECT_FALSE(Decode(wrap(u32(1) + u32(1) + "n" + "\x06" + u32(0x7FFFFFFF)), back));  // value size
  EXPECT_FALSE(Decode(wrap(u32(1) + u32(1) + "n" + "\x06" + u32(3) + "abc"), back));   // 3-byte int
  EXPECT_FALSE(Decode(wrap(u32(1) + u32(1) + "n" + "\x07" + u32(4) + "abcd"), back));  // 4-byte KUID
  EXPECT_FALSE(Decode(wrap(u32(1) + u32(1) + "n" + "\x05" + u32(0)), back));           // unknown type
  EXPECT_FALSE(Decode(wrap(u32(1) + u32(1) + "n" + "\x00" + u32(0)), back));           // type none
  EXPECT_TRUE(Decode(wrap(u32(1) + u32(1) + "n" + "\x02" + u32(0)), back));            // empty binary
  EXPECT_FALSE(Decode("ACS$" + u32(2) + u32(4) + u32(0), back));                       // version
  EXPECT_FALSE(Decode("ACSX" + u32(1) + u32(4) + u32(0), back));                       // magic

  // A declared body length beyond the stream is refused before allocating.
  std::string header = "ACS$" + u32(1) + u32(0xFFFFFFF0);
  TBuffer stream(header.data(), header.size());
  EXPECT_FALSE(ReadSoupBinary(stream, back));

  // Nesting: kMaxSoupDepth containers deep is read, one more is not.
  auto nested = [&](int depth) {
    std::string body;
    for (int i = 0; i < depth; ++i) body += u32(1) + u32(1) + "c" + "\x01";
    return wrap(body + u32(0));
  };
  EXPECT_TRUE(Decode(nested(kMaxSoupDepth), back));
  EXPECT_FALSE(Decode(nested(kMaxSoupDepth + 1), back));
  EXPECT_FALSE(Decode(nested(100000), back));
}

}  // namespace
