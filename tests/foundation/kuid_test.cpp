#include <gtest/gtest.h>

#include <random>

#include "foundation/KUID.h"
#include "foundation/Stream.h"

namespace {

TEST(KuidText, FormsAndParsing) {
  EXPECT_EQ(FormatKUIDTag(KUID()), "<NULL>");
  EXPECT_EQ(KUID().GetBaseString(), "<NULL>");
  EXPECT_EQ(KUID(1, 2, 3).GetBaseString(), "<kuid:1:2>");
  for (const char* text : {"<NULL>", "<null>", "<NuLl>"}) {
    KUID k(1, 2, 0);
    EXPECT_TRUE(TryParseKUID(text, true, k) && k.IsNull()) << text;
  }
  // The short form carries the version by the sign of the user id; a KUID
  // that is only partly null is not the null KUID.
  const struct {
    KUID kuid;
    const char* text;
  } forms[] = {{KUID(1, 2, 0), "<kuid:1:2>"},      {KUID(1, 2, 3), "<kuid2:1:2:3>"},
               {KUID(-5, 3, 127), "<kuid:-5:3>"},  {KUID(5, 3, 127), "<kuid2:5:3:127>"},
               {KUID(-5, 3, 0), "<kuid2:-5:3:0>"}, {KUID(-1, -1, 0), "<kuid2:-1:-1:0>"}};
  for (const auto& f : forms) {
    EXPECT_EQ(FormatKUIDTag(f.kuid), f.text);
    EXPECT_EQ(ParseKUID(f.text, true), f.kuid) << f.text;
  }
  EXPECT_EQ(ParseKUID("<KUID2:5:3:9>", true), KUID(5, 3, 9));
}

TEST(KuidText, StrictAndLooseParsing) {
  KUID k;
  EXPECT_FALSE(TryParseKUID(" <kuid:1:2> ", true, k));
  EXPECT_TRUE(TryParseKUID(" <kuid:1:2> ", false, k));
  EXPECT_EQ(k, KUID(1, 2, 0));
  EXPECT_FALSE(TryParseKUID("kuid:1:2", true, k));
  EXPECT_TRUE(TryParseKUID("kuid:1:2", false, k));
  EXPECT_TRUE(TryParseKUID("null", false, k));
  EXPECT_TRUE(k.IsNull());

  for (const char* bad :
       {"", "<>", "<kuid:1>", "<kuid:1:2:3>", "<kuid2:1:2>", "<kuid:1:2>x", "<kuid:+1:2>", "<kuid: 1:2>",
        "<kuid:1:2 >", "<kud:1:2>", "<kuid:99999999999:1>", "<kuid2:1:2:128>", "<kuid2:1:2:-1>",
        "<kuid:16777216:1>", "<kuid:1:>", "<kuid::1>", "<kuid:0x10:1>"}) {
    EXPECT_FALSE(TryParseKUID(bad, false, k)) << bad;
    EXPECT_TRUE(k.IsNull()) << bad;
    EXPECT_TRUE(ParseKUID(bad, true).IsNull()) << bad;
  }
}

TEST(KuidText, CommandArgumentForms) {
  KUID k;
  const struct {
    const char* text;
    KUID kuid;
  } good[] = {{"12:34", KUID(12, 34, 0)}, {"-3:4", KUID(-3, 4, 127)}, {"1:2:3", KUID(1, 2, 3)}};
  for (const auto& g : good) EXPECT_TRUE(ParseKUIDArgument(g.text, k) && k == g.kuid) << g.text;
  for (const char* bad : {"", "1", "1:2:3:4", "a:b", "1:2:", ":1:2", "<kuid:1:2>", "1:2:200", "1 :2"})
    EXPECT_FALSE(ParseKUIDArgument(bad, k)) << bad;
}

TEST(KuidPacking, TwentyFiveBitUserEdges) {
  for (int32_t user : {0, 1, -1, KUID::kMaxUser, KUID::kMinUser, 0x7FFF, -0x8000}) {
    for (int32_t version : {0, 1, 126, 127}) {
      KUID k(user, -123456, version);
      ASSERT_TRUE(k.FitsPacked());
      EXPECT_EQ(KUID::FromPacked(k.PackedWord(), k.content), k) << user << " v" << version;
      uint8_t soup[8];
      k.PackSoup(soup);
      EXPECT_EQ(KUID::UnpackSoup(soup), k);
    }
  }
  // Bit 24 is the sign of the user id.
  EXPECT_EQ(KUID::FromPacked(0x01000000u, 0).user, KUID::kMinUser);
  EXPECT_EQ(KUID::FromPacked(0x00FFFFFFu, 0).user, KUID::kMaxUser);
  EXPECT_EQ(KUID::FromPacked(0xFE000000u, 0).version, 127);
  EXPECT_FALSE(KUID(KUID::kMaxUser + 1, 0, 0).FitsPacked());
  EXPECT_FALSE(KUID(0, 0, 128).FitsPacked());
}

TEST(KuidPacking, SoupAndStreamByteOrder) {
  KUID k(5, 7, 3);
  uint8_t soup[8];
  k.PackSoup(soup);
  const uint8_t soupBytes[8] = {0x05, 0x00, 0x00, 0x06, 0x07, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, memcmp(soup, soupBytes, 8));

  TBuffer buffer;
  WriteKUID(buffer, k);
  const uint8_t streamBytes[8] = {0x07, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x06};
  ASSERT_EQ(buffer.Size(), 8u);
  EXPECT_EQ(0, memcmp(buffer.Data(), streamBytes, 8));
  EXPECT_TRUE(buffer.Rewind());
  EXPECT_EQ(buffer.ReadKUID(), k);
  EXPECT_EQ(buffer.GetError(), 0u);

  // A short read gives the null KUID and the short-read error.
  TBuffer shortBuffer(streamBytes, 7);
  EXPECT_TRUE(shortBuffer.ReadKUID().IsNull());
  EXPECT_EQ(shortBuffer.GetError(), TStream::kErrorShortRead);
}

TEST(KuidText, RandomRoundTrips) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    KUID k = KUID::FromPacked(static_cast<uint32_t>(rng()), static_cast<int32_t>(rng()));
    std::string text = FormatKUIDTag(k);
    KUID back;
    ASSERT_TRUE(TryParseKUID(text, true, back)) << text;
    EXPECT_EQ(back, k) << text;
  }
}

}  // namespace
