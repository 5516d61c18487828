#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "foundation/Soup.h"
#include "kiv/Log.h"
#include "soup_test_util.h"

namespace {

std::vector<std::string> Names(const SoupRef& soup) {
  std::vector<std::string> names;
  for (size_t i = 0; i < soup.CountTags(); ++i) names.push_back(soup.GetIndexedTagName(i).Str());
  return names;
}

SoupRef Parse(std::string_view text) {
  SoupRef soup;
  std::string error;
  EXPECT_TRUE(ParseSoupText(text, soup, &error)) << error;
  return soup;
}

TEST(SoupNull, NullAndSharedNullReadAsNoSoup) {
  SoupRef none;
  EXPECT_TRUE(none.IsNull());
  EXPECT_EQ(none.CountTags(), 0u);
  EXPECT_TRUE(none.GetIndexedTagName(0) == Kiv::PString::Empty());
  EXPECT_FALSE(none.HasNamedTag("a"));
  EXPECT_TRUE(none.GetNamedTag("a") == Kiv::PString::Empty());
  EXPECT_TRUE(none.GetNamedTag("a", "dflt") == Kiv::PString("dflt"));
  EXPECT_EQ(none.GetNamedTagAsInt("a", 7), 7);
  EXPECT_EQ(none.GetNamedTagAsFloat("a", 1.5f), 1.5f);
  EXPECT_TRUE(none.GetNamedTagAsKUID("a").IsNull());
  EXPECT_EQ(none.GetNamedTagType("a"), kSoupNone);
  EXPECT_TRUE(none.GetNamedSoup("a").IsNull());
  EXPECT_TRUE(none.GetIndexedSoup(0).IsNull());
  none.RemoveNamedTag("a");
  EXPECT_TRUE(none.IsNull());

  EXPECT_TRUE(SoupRef::FromChunk(ACSChunk::SharedNull()).IsNull());
  EXPECT_TRUE(SoupRef::FromChunk(nullptr).IsNull());
  EXPECT_EQ(ACSChunk::SharedNull()->GetDataType(), kSoupNone);
  // Nothing can be added to the shared null node.
  EXPECT_FALSE(ACSChunk::SharedNull()->AppendTag(TDBDataTag::MakeBytes("x", kSoupInt, "\1\0\0\0", 4)));
  EXPECT_FALSE(ACSChunk::SharedNull()->AddNamedChild("c", SoupRef::NewContainer().Get()));
  EXPECT_EQ(ACSChunk::SharedNull()->CountChildren(), 0u);

  // A setter on a null reference makes it a container of its own.
  none.SetNamedTagInt("n", 3);
  ASSERT_TRUE(none.IsValid());
  EXPECT_EQ(none.GetNamedTagAsInt("n"), 3);
  none.Clear();
  EXPECT_TRUE(none.IsNull());
  EXPECT_EQ(none.CountTags(), 0u);
}

TEST(SoupSetters, ReplaceAndMoveToTheEnd) {
  SoupRef s;
  s.SetNamedTag("a", "one");
  s.SetNamedTagInt("b", 2);
  s.SetNamedTagFloat("c", 3.0f);
  s.SetNamedTag("a", "again");
  EXPECT_EQ(Names(s), (std::vector<std::string>{"b", "c", "a"}));
  EXPECT_EQ(s.GetNamedTag("a").Str(), "again");
  s.SetNamedTagKUID("b", KUID(1, 2, 0));
  EXPECT_EQ(Names(s), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_EQ(s.GetNamedTagType("b"), kSoupKUID);
  SoupRef child;
  child.SetNamedTagInt("x", 1);
  ASSERT_TRUE(s.SetNamedSoup("c", child));
  EXPECT_EQ(Names(s), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(s.GetNamedTagType("c"), kSoupContainer);

  // Duplicates read from a file all give way, so the getter sees the new value.
  SoupRef dup = Parse("k 1\nother 0\nk 2\n");
  dup.SetNamedTagInt("k", 9);
  EXPECT_EQ(Names(dup), (std::vector<std::string>{"other", "k"}));
  EXPECT_EQ(dup.GetNamedTagAsInt("k"), 9);

  // RemoveNamedTag takes only the first.
  SoupRef rem = Parse("k 1\nk 2\n");
  rem.RemoveNamedTag("k");
  EXPECT_EQ(rem.GetNamedTagAsInt("k"), 2);
  rem.RemoveNamedTag("missing");
  EXPECT_EQ(rem.CountTags(), 1u);
}

TEST(SoupGetters, SizeRulesAndConversions) {
  SoupRef s = Parse(
      "i 7\nf 2.75\nneg -2.5\ntext \"12\"\nftext \" 4.5 \"\nword hello\nlist 1,2\nflist 1.5,2.5\n"
      "k <kuid:10:20>\nktext \"<kuid2:1:2:3>\"\nb4 [01000000]\nb8 [0500000607000000]\nbig 3e10\nnan nan\n"
      "c\n{\n}\n");
  // Values that do not give exactly one 4-byte value: the default, -1 here.
  const std::pair<const char*, int> ints[] = {
      {"i", 7},     {"f", 2},      {"neg", -2}, {"text", 12}, {"ftext", 4}, {"b4", 1},   {"word", -1},
      {"list", -1}, {"flist", -1}, {"k", -1},   {"b8", -1},   {"c", -1},    {"big", -1}, {"nan", -1}};
  for (const auto& [name, value] : ints) EXPECT_EQ(s.GetNamedTagAsInt(name, -1), value) << name;

  const std::pair<const char*, float> floats[] = {
      {"i", 7.0f}, {"f", 2.75f}, {"ftext", 4.5f}, {"flist", -1.0f}, {"word", -1.0f}};
  for (const auto& [name, value] : floats) EXPECT_EQ(s.GetNamedTagAsFloat(name, -1.0f), value) << name;
  EXPECT_TRUE(std::isnan(s.GetNamedTagAsFloat("nan")));

  EXPECT_EQ(s.GetNamedTagAsKUID("k"), KUID(10, 20, 0));
  EXPECT_EQ(s.GetNamedTagAsKUID("ktext"), KUID(1, 2, 3));
  EXPECT_EQ(s.GetNamedTagAsKUID("b8"), KUID(5, 7, 3));
  EXPECT_TRUE(s.GetNamedTagAsKUID("i").IsNull());
  EXPECT_EQ(s.GetNamedTagAsKUID("missing", KUID(4, 4, 4)), KUID(4, 4, 4));

  const std::pair<const char*, const char*> texts[] = {
      {"i", "7"},        {"flist", "1.5,2.5"}, {"k", "<kuid:10:20>"},
      {"word", "hello"}, {"c", "none"},        {"b4", "none"}};
  for (const auto& [name, text] : texts) EXPECT_EQ(s.GetNamedTag(name, "none").Str(), text) << name;

  EXPECT_TRUE(s.HasNamedTag("c"));
  EXPECT_EQ(s.GetNamedTagType("word"), kSoupText);
  EXPECT_EQ(s.GetNamedTagType("flist"), kSoupFloat);
  EXPECT_EQ(s.GetNamedTagType("b4"), kSoupBinary);
  EXPECT_TRUE(s.GetNamedSoup("word").IsNull());
  EXPECT_TRUE(s.GetNamedSoup("c").IsValid());
  EXPECT_TRUE(s.GetIndexedSoup(s.CountTags() - 1).IsValid());
  EXPECT_TRUE(s.GetIndexedSoup(0).IsNull());
  EXPECT_TRUE(s.GetIndexedTagName(1000) == Kiv::PString::Empty());
}

// The text getter without interning reads every form as GetNamedTag does.
TEST(SoupGetters, TextWithoutInterningMatchesTheInternedText) {
  const SoupRef s = Parse("t \"plain text\"\nn 12,-3\nf 0.5\nk <kuid:1:2>\ne \"\"\nc { x 1 }\n");
  for (const char* name : {"t", "n", "f", "k", "e", "c", "missing"}) {
    std::string scratch = "stale";
    EXPECT_EQ(s.GetNamedTagText(Kiv::PString(name), scratch), s.GetNamedTag(Kiv::PString(name)).View())
        << name;
    EXPECT_EQ(s.GetNamedTagString(Kiv::PString(name)), s.GetNamedTag(Kiv::PString(name)).Str()) << name;
  }
  EXPECT_EQ(SoupRef().GetNamedTagString(Kiv::PString("t")), "");
  std::string scratch;
  EXPECT_EQ(s.GetNamedTagText(Kiv::PString("t"), scratch), "plain text");
  EXPECT_EQ(SoupRef().GetNamedTagText(Kiv::PString("t"), scratch), "");
}

TEST(SoupGetters, CameraFloatsAndUniqueNames) {
  std::vector<float> cam;
  EXPECT_TRUE(Parse("camera 1,2.5,-3\n").GetCameraFloats(cam));
  EXPECT_EQ(cam, (std::vector<float>{1.0f, 2.5f, -3.0f}));
  EXPECT_TRUE(Parse("camera \"0.5, 2\"\n").GetCameraFloats(cam));
  EXPECT_EQ(cam, (std::vector<float>{0.5f, 2.0f}));
  EXPECT_FALSE(Parse("camera float[]\n").GetCameraFloats(cam));
  EXPECT_FALSE(Parse("camera \"a,b\"\n").GetCameraFloats(cam));
  EXPECT_TRUE(cam.empty());
  EXPECT_FALSE(Parse("other 1\n").GetCameraFloats(cam));
  SoupRef set;
  const float values[3] = {4, 5, 6};
  set.SetNamedTagFloatArray("camera", values, 3);
  EXPECT_TRUE(set.GetCameraFloats(cam));
  EXPECT_EQ(cam.size(), 3u);

  EXPECT_EQ(SoupRef().GetUniqueTagName().Str(), "0");
  EXPECT_EQ(Parse("0 1\n2 1\n").GetUniqueTagName().Str(), "1");
  EXPECT_EQ(Parse("0 1\n1 1\n2 1\n").GetUniqueTagName().Str(), "3");
  // "00" and "x" are not the names "0"...
  EXPECT_EQ(Parse("00 1\nx 1\n").GetUniqueTagName().Str(), "0");
}

TEST(SoupSharing, ChildrenByReferenceAndNoCycles) {
  SoupRef parent, child;
  child.SetNamedTagInt("x", 1);
  ASSERT_TRUE(parent.SetNamedSoup("c", child));
  child.SetNamedTagInt("y", 2);
  EXPECT_EQ(parent.GetNamedSoup("c").GetNamedTagAsInt("y"), 2);
  EXPECT_EQ(parent.GetNamedSoup("c"), child);

  // Neither the soup itself nor an ancestor may be entered below it.
  EXPECT_FALSE(parent.SetNamedSoup("self", parent));
  EXPECT_FALSE(child.SetNamedSoup("up", parent));
  SoupRef grandchild;
  ASSERT_TRUE(child.SetNamedSoup("g", grandchild));
  SoupRef g = child.GetNamedSoup("g");
  EXPECT_FALSE(g.SetNamedSoup("loop", parent));
  EXPECT_FALSE(parent.Get()->AddNamedChild("loop", parent.Get()));
  EXPECT_FALSE(g.Get()->AppendTag(TDBDataTag::MakeContainer("loop", child.Get())));
  EXPECT_EQ(Names(parent), (std::vector<std::string>{"c"}));
  EXPECT_EQ(Names(child), (std::vector<std::string>{"x", "y", "g"}));
  EXPECT_EQ(g.CountTags(), 0u);
  // Replacing a child by itself is not a cycle.
  EXPECT_TRUE(parent.SetNamedSoup("c", child));

  // A shared child may sit under two parents; removing it from one leaves the other.
  SoupRef other;
  ASSERT_TRUE(other.Get() == nullptr);
  other.EnsureContainer();
  ASSERT_TRUE(other.Get()->AddNamedChild("shared", child.Get()));
  EXPECT_TRUE(parent.Get()->RemoveChild(child.Get()));
  EXPECT_FALSE(parent.Get()->RemoveChild(child.Get()));
  EXPECT_EQ(other.GetNamedSoup("shared").GetNamedTagAsInt("x"), 1);

  // A null child enters a fresh empty container.
  ASSERT_TRUE(parent.SetNamedSoup("empty", SoupRef()));
  EXPECT_TRUE(parent.GetNamedSoup("empty").IsValid());
}

TEST(SoupCopy, DeepSelfSafeAndSharingKept) {
  SoupRef src = Parse("a 1\nc\n{\n  d \"x\"\n}\n");
  SoupRef dst;
  dst.Copy(src);
  EXPECT_NE(dst.Get(), src.Get());
  EXPECT_TRUE(souptest::SameTree(dst.Get(), src.Get()));
  dst.GetNamedSoup("c").SetNamedTag("d", "changed");
  EXPECT_EQ(src.GetNamedSoup("c").GetNamedTag("d").Str(), "x");

  // Copying a soup onto itself (even when it is the only holder) keeps its data.
  SoupRef only = Parse("k 5\nsub\n{\n  z 1\n}\n");
  ACSChunk* old = only.Get();
  only.Copy(only);
  EXPECT_NE(only.Get(), old);
  EXPECT_EQ(only.GetNamedTagAsInt("k"), 5);
  EXPECT_EQ(only.GetNamedSoup("sub").GetNamedTagAsInt("z"), 1);

  // One container entered twice is copied once and stays shared.
  SoupRef shared, twice;
  shared.SetNamedTagInt("v", 1);
  EXPECT_TRUE(twice.SetNamedSoup("p", shared));
  EXPECT_TRUE(twice.Get()->AddNamedChild("q", shared.Get()));
  SoupRef copy;
  copy.Copy(twice);
  EXPECT_EQ(copy.GetNamedSoup("p"), copy.GetNamedSoup("q"));
  EXPECT_NE(copy.GetNamedSoup("p"), shared);

  SoupRef fromNull = Parse("x 1\n");
  fromNull.Copy(SoupRef());
  EXPECT_TRUE(fromNull.IsValid());
  EXPECT_EQ(fromNull.CountTags(), 0u);
}

TEST(SoupLifetime, DeepChainsAndCountedBytes) {
  // A long chain built through the API is torn down without recursion.
  {
    SoupRef root = SoupRef::NewContainer();
    ACSChunk* tail = root.Get();
    for (int i = 0; i < 200000; ++i) {
      ACSChunk* next = ACSChunk::Create();
      ASSERT_TRUE(tail->AppendTag(TDBDataTag::MakeContainer("n", next)));
      tail = next;
    }
  }
  EXPECT_FALSE(ACSRawDataCore::CreateCopy("abc", 0));
  char bytes[3] = {'a', 'b', 'c'};
  Kiv::Ref<ACSRawDataCore> raw = ACSRawDataCore::CreateCopy(bytes, 3);
  ASSERT_TRUE(raw);
  bytes[0] = 'z';
  EXPECT_EQ(raw->Size(), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw->Data()), 3), "abc");

  // Typed values keep whole values only.
  TDBDataTag odd = TDBDataTag::MakeBytes("f", kSoupFloat, bytes, 3);
  EXPECT_EQ(odd.GetSize(), 0u);
}

TEST(SoupLog, OneLineWithTheTextForm) {
  std::vector<std::string> lines;
  int id = Kiv::Log::Instance().AddListener(
      [&](Kiv::LogLevel, std::string_view line) { lines.emplace_back(line); });
  Parse("a 1\nb \"t\"\n").Log();
  Kiv::Log::Instance().RemoveListener(id);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("a 1\nb \"t\""), std::string::npos);
}

}  // namespace

namespace {
// Values on both sides of the size a tag holds inline: each text keeps its
// bytes wherever the tag moves (parsed into its container's block, copied,
// moved out of the block when the container grows, written and read again).
TEST(SoupValues, EveryLengthKeepsItsBytesThroughParseCopyAndMoves) {
  std::string text;
  std::vector<std::string> values;
  for (size_t n = 1; n <= 26; ++n) {
    std::string v;
    for (size_t i = 0; i < n; ++i) v.push_back(static_cast<char>('a' + (n + i) % 26));
    values.push_back(v);
    text.append("v").append(std::to_string(n)).append(" \"").append(v).append("\"\n");
  }
  text += "k <kuid:1234567:89>\nf 1.5,2.5,3.5\n";
  SoupRef parsed = Parse(text);
  auto check = [&](const SoupRef& soup, const char* where) {
    for (size_t n = 1; n <= values.size(); ++n)
      EXPECT_EQ(soup.GetNamedTag(Kiv::PString().Setf("v%zu", n)).Str(), values[n - 1]) << where << n;
    EXPECT_EQ(soup.GetNamedTagAsKUID("k"), KUID::FromUserContent(1234567, 89)) << where;
    std::vector<float> floats;
    ASSERT_TRUE(soup.Get()->GetTag(soup.Get()->FindTag("f")).ToFloatList(floats)) << where;
    EXPECT_EQ(floats, (std::vector<float>{1.5f, 2.5f, 3.5f})) << where;
  };
  check(parsed, "parsed ");
  SoupRef copy;
  {
    SoupRef source = Parse(text);
    copy.Copy(source);
    source.SetNamedTag("v12", "overwritten in the source");
  }
  check(copy, "copied ");
  // Growing the parsed container moves its tags out of its block.
  for (int i = 0; i < 40; ++i) parsed.SetNamedTagInt(Kiv::PString().Setf("extra%d", i), i);
  parsed.RemoveNamedTag("v1");
  parsed.SetNamedTag("v1", values[0]);
  check(parsed, "grown ");
  std::string binary;
  ASSERT_TRUE(TDBBinaryFile::Encode(parsed, binary));
  SoupRef decoded;
  ASSERT_TRUE(TDBBinaryFile::Decode(reinterpret_cast<const uint8_t*>(binary.data()), binary.size(), decoded));
  check(decoded, "decoded ");
}
}  // namespace
