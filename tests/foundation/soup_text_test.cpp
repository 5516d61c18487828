#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/Soup.h"
#include "soup_test_util.h"

namespace {

bool ParseFails(std::string_view text, std::string& error) {
  SoupRef soup = SoupRef::NewContainer();
  bool ok = ParseSoupText(text, soup, &error);
  EXPECT_TRUE(ok || soup.IsNull());
  return !ok;
}

TEST(SoupText, RandomTreesRoundTrip) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SoupRef soup = souptest::RandomSoup(seed);
    std::string text;
    ASSERT_TRUE(WriteSoupText(soup, text));
    SoupRef back;
    std::string error;
    ASSERT_TRUE(ParseSoupText(text, back, &error)) << "seed " << seed << ": " << error << "\n" << text;
    std::string where;
    EXPECT_TRUE(souptest::SameTree(soup.Get(), back.Get(), &where))
        << "seed " << seed << " at " << where << "\n"
        << text;
    // Writing the read tree again gives the same text.
    std::string again;
    EXPECT_TRUE(WriteSoupText(back, again));
    EXPECT_EQ(text, again);
  }
}

// A soup of mostly distinct names outgrows the parser's name cache: the
// names past it are interned one by one, and every name is read, counted
// and given back exactly as the cached ones are.
TEST(SoupText, NamesPastTheNameCacheReadAndCountLikeCachedOnes) {
  const size_t internedBefore = Kiv::PString::InternedCount();
  std::string text = "table\n{\n";
  std::vector<std::string> names;
  for (int i = 0; i < 6000; ++i) {
    // Distinct names, with a few names repeated throughout, before and after the cache fills.
    std::string name = i % 7 == 0 ? "again" : "n";
    name += std::to_string(i % 7 == 0 ? i % 3 : i);
    names.push_back(name);
    text += names.back() + " " + std::to_string(i) + "\n";
  }
  text += "}\nlast 1\n";
  {
    SoupRef soup;
    std::string error;
    ASSERT_TRUE(ParseSoupText(text, soup, &error)) << error;
    SoupRef table = soup.GetNamedSoup(Kiv::PString("table"));
    ASSERT_EQ(table.CountTags(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      ASSERT_EQ(table.GetIndexedTagName(i).View(), names[i]) << i;
      ASSERT_EQ(table.Get()->GetTag(i).GetDataType(), kSoupInt) << i;
    }
    EXPECT_EQ(soup.GetNamedTagAsInt(Kiv::PString("last")), 1);
    // A copy holds its own references: releasing either keeps the other whole.
    SoupRef copy;
    copy.Copy(table);
    table = SoupRef();
    soup = SoupRef();
    EXPECT_EQ(copy.GetIndexedTagName(5999).View(), names[5999]);
  }
  EXPECT_EQ(Kiv::PString::InternedCount(), internedBefore);
}

TEST(SoupText, ValueClassification) {
  SoupRef s;
  std::string error;
  ASSERT_TRUE(ParseSoupText(
      "kind traincar\nint 12\nints 1,-2,3\nfloats 1,2.5\nspecial inf,-inf,nan\nkuids <kuid:1:2>,<NULL>\n"
      "path \"mesh\\body.im\"\nquote \"say \\\"hi\\\" \\\\ end\"\nmulti \"line1\nline2\"\nbin []\nnone "
      "int[]\n"
      "almost 1,\nmixed 1,<kuid:1:2>\n\"sp ace\" \"\"\nbraces{\n}\n"
      "big 2147483648\nlow -2147483649\nbigs 1,99999999999\nbigfloat 1.5,2147483648\nedge -2147483648\n",
      s, &error))
      << error;
  // {name, type, text form}. A lone backslash is part of the text; only \" and
  // \\ are escapes. Integers past the i32 range keep their exact text rather
  // than a rounded float; beside a real float they are numbers of a float list.
  const struct {
    const char* name;
    SoupDataType type;
    const char* text;
  } cases[] = {{"kind", kSoupText, "traincar"},
               {"int", kSoupInt, "12"},
               {"ints", kSoupInt, "1,-2,3"},
               {"floats", kSoupFloat, "1.0,2.5"},
               {"special", kSoupFloat, "inf,-inf,nan"},
               {"kuids", kSoupKUID, "<kuid:1:2>,<NULL>"},
               {"path", kSoupText, "mesh\\body.im"},
               {"quote", kSoupText, "say \"hi\" \\ end"},
               {"multi", kSoupText, "line1\nline2"},
               {"bin", kSoupBinary, nullptr},
               {"none", kSoupInt, ""},
               {"almost", kSoupText, "1,"},
               {"mixed", kSoupText, "1,<kuid:1:2>"},
               {"sp ace", kSoupText, ""},
               {"braces", kSoupContainer, nullptr},
               {"big", kSoupText, "2147483648"},
               {"low", kSoupText, "-2147483649"},
               {"bigs", kSoupText, "1,99999999999"},
               {"bigfloat", kSoupFloat, nullptr},
               {"edge", kSoupInt, "-2147483648"}};
  for (const auto& c : cases) {
    EXPECT_EQ(s.GetNamedTagType(c.name), c.type) << c.name;
    if (c.text) {
      EXPECT_EQ(s.GetNamedTag(c.name).Str(), c.text) << c.name;
    }
  }
  EXPECT_EQ(s.GetNamedTagAsInt("low", 7), 7);
  EXPECT_EQ(s.GetNamedTagAsFloat("big"), 2147483648.0f);
  EXPECT_EQ(s.GetNamedTagAsInt("edge"), INT32_MIN);
}

TEST(SoupText, FloatsKeepTheirBitsAndType) {
  SoupRef s;
  const float values[] = {0.1f, -0.0f, 1e-45f, 3.4028235e38f, 16777217.0f, 2.0f};
  s.SetNamedTagFloatArray("f", values, 6);
  s.SetNamedTagFloat("whole", 2.0f);
  std::string text;
  EXPECT_TRUE(WriteSoupText(s, text));
  EXPECT_NE(text.find("whole 2.0\n"), std::string::npos) << text;
  SoupRef back;
  ASSERT_TRUE(ParseSoupText(text, back));
  EXPECT_TRUE(souptest::SameTree(s.Get(), back.Get())) << text;
  EXPECT_EQ(back.GetNamedTagType("whole"), kSoupFloat);
  EXPECT_EQ(back.GetNamedTagAsFloat("whole"), 2.0f);
}

// Short decimals take a quicker way than the general float reader; both
// must give the nearest float.
TEST(SoupText, DecimalsReadAsTheNearestFloat) {
  std::mt19937 next(12345);
  std::string text;
  std::vector<std::string> spelled;
  for (int i = 0; i < 20000; ++i) {
    // Up to nine digits with one to ten of them after the point.
    const unsigned value = next() % 1000000000u >> (next() % 28);
    const int places = 1 + static_cast<int>(next() % 10);
    unsigned scale = 1;
    for (int p = 0; p < places && p < 9; ++p) scale *= 10;
    char number[48];
    if (places <= 9)
      std::snprintf(number, sizeof number, "%s%u.%0*u", next() % 4 ? "" : "-", value / scale, places,
                    value % scale);
    else
      std::snprintf(number, sizeof number, "%s0.%010u", next() % 4 ? "" : "-", value);
    spelled.emplace_back(number);
    char line[64];
    std::snprintf(line, sizeof line, "v%d %s\n", i, number);
    text += line;
  }
  SoupRef s;
  ASSERT_TRUE(ParseSoupText(text, s));
  ASSERT_EQ(s.CountTags(), spelled.size());
  for (size_t i = 0; i < spelled.size(); ++i) {
    const TDBDataTag& tag = s.Get()->GetTag(i);
    ASSERT_EQ(tag.GetDataType(), kSoupFloat) << spelled[i];
    float got = 0;
    ASSERT_TRUE(tag.ToFloat(got));
    const float want = std::strtof(spelled[i].c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << spelled[i];
  }
}

TEST(SoupText, MalformedInputNamesTheLine) {
  std::string error;
  EXPECT_TRUE(ParseFails("a 1\nb\n{\n  c 2\n", error));
  EXPECT_EQ(error, "line 3: container 'b' is not closed");
  EXPECT_TRUE(ParseFails("a 1\n}\n", error));
  EXPECT_EQ(error, "line 2: '}' without an open container");
  EXPECT_TRUE(ParseFails("a 1\nb\n", error));
  EXPECT_EQ(error, "line 2: tag 'b' has no value");
  EXPECT_TRUE(ParseFails("c\n{\n  x\n}\n", error));
  EXPECT_EQ(error, "line 3: tag 'x' has no value");
  EXPECT_TRUE(ParseFails("a \"open\nmore", error));
  EXPECT_EQ(error, "line 1: unterminated quoted text");
  EXPECT_TRUE(ParseFails("\n{ }", error));
  EXPECT_EQ(error, "line 2: '{' without a tag name");
  EXPECT_TRUE(ParseFails("b [0g]\n", error));
  EXPECT_TRUE(ParseFails("b [012]\n", error));
  EXPECT_TRUE(ParseFails("b [01\n", error));
  EXPECT_TRUE(ParseFails("\"name", error));

  SoupRef ok;
  EXPECT_TRUE(ParseSoupText("", ok));
  EXPECT_TRUE(ok.IsValid());
  EXPECT_EQ(ok.CountTags(), 0u);
  EXPECT_TRUE(ParseSoupText("\xEF\xBB\xBFkuid <kuid:1:2>\r\n", ok));
  EXPECT_EQ(ok.GetNamedTagAsKUID("kuid"), KUID(1, 2, 0));
  // A name that itself starts with those bytes keeps them through a write and read.
  SoupRef bom;
  bom.SetNamedTagInt("\xEF\xBB\xBFx", 1);
  std::string text;
  EXPECT_TRUE(WriteSoupText(bom, text));
  ASSERT_TRUE(ParseSoupText(text, ok));
  EXPECT_EQ(ok.GetIndexedTagName(0).Str(), "\xEF\xBB\xBFx");
}

TEST(SoupText, NestingLimit) {
  auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "c {\n";
    text += "leaf 1\n";
    for (int i = 0; i < depth; ++i) text += "}\n";
    return text;
  };
  SoupRef deep;
  std::string error;
  ASSERT_TRUE(ParseSoupText(nested(kMaxSoupDepth), deep, &error)) << error;
  std::string written;
  EXPECT_TRUE(WriteSoupText(deep, written));
  EXPECT_FALSE(ParseSoupText(nested(kMaxSoupDepth + 1), deep, &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos);
  // Hostile depth fails cleanly, without deep recursion.
  EXPECT_FALSE(ParseSoupText(std::string(1000000, '{'), deep, &error));
  std::string opens;
  for (int i = 0; i < 200000; ++i) opens += "a{";
  EXPECT_FALSE(ParseSoupText(opens, deep, &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos);

  // The writer refuses what the reader would refuse.
  SoupRef tooDeep = SoupRef::NewContainer();
  ACSChunk* tail = tooDeep.Get();
  for (int i = 0; i <= kMaxSoupDepth; ++i) {
    ACSChunk* next = ACSChunk::Create();
    EXPECT_TRUE(tail->AddNamedChild("c", next));
    tail = next;
  }
  EXPECT_TRUE(tail->AppendTag(TDBDataTag::MakeBytes("leaf", kSoupInt, "\1\0\0\0", 4)));
  std::string out;
  EXPECT_FALSE(WriteSoupText(tooDeep, out));
}

}  // namespace
