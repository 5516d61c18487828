// Tag values: their own bytes, inline or in a block, never interned.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ConfigFixture.h"
#include "config/TagValue.h"

using namespace OBLLib;
using P = Kiv::PString;

namespace {

// Both forms (the longest inline value and the shortest in a block of its
// own) through copies, moves and assignments, including from their own text.
TEST(TagValueTest, KeepsItsTextAcrossCopiesMovesAndSelfAssignment) {
  for (const std::string& text : {std::string(), std::string("1"), std::string(23, 'a'), std::string(24, 'b'),
                                  std::string("with\0nul", 8), std::string(300, 'c')}) {
    TagValue v(text);
    EXPECT_EQ(v.View(), text);
    EXPECT_EQ(v.Length(), text.size());
    EXPECT_EQ(v.IsEmpty(), text.empty());
    TagValue copy(v);
    TagValue moved(std::move(copy));
    EXPECT_EQ(moved.View(), text);
    EXPECT_TRUE(copy.IsEmpty());
    v = v.View();  // assigned its own bytes
    EXPECT_EQ(v.View(), text);
    v = std::string_view(v.View()).substr(v.Length() / 2);
    EXPECT_EQ(v.View(), std::string_view(text).substr(text.size() / 2));
    TagValue other(std::string_view("other"));
    other = moved;
    EXPECT_EQ(other, moved);
    other = std::move(moved);
    EXPECT_EQ(other.View(), text);
  }
  TagValue v(P("abc"));
  EXPECT_EQ(v, P("abc"));
  EXPECT_EQ(P("abc"), v);
  EXPECT_FALSE(v == P("abd"));
  EXPECT_EQ(v, "abc");
  v = P();
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_EQ(v, P(""));
}

const char* const kSchema = R"(
thing {
  top-level 1
  subpossibilities {
    kuid { kind "value" type "kuid" compulsory 1 }
    username { kind "value" type "string" compulsory 1 }
    kind { kind "value" type "string" compulsory 1 }
    table { kind "element" element-type "table-def" }
  }
}
table-def { tagarray { kind "value" type "kuid" } }
)";

class TagValueImportTest : public ConfigFixture {};

// A config's values reach its tags as text, the first of each name winning,
// without a single value entering the intern table: only names are interned.
TEST_F(TagValueImportTest, ValuesAreNotInterned) {
  Write("kind.txt", kSchema);
  Start(true);
  std::string config =
      "kuid <kuid:9:1>\nusername \"A user name longer than twenty-three bytes\"\nkind thing\n"
      "table {\n";
  for (int i = 0; i < 500; ++i)
    config += "  e" + std::to_string(i % 400) + " <kuid:123456:" + std::to_string(1000000 + i) + ">\n";
  config += "}\n";
  SoupRef soup = Soup(config);
  {
    Container warm;  // interns the schema's own names and the findings' texts
    ASSERT_TRUE(warm.SetupRoot(Soup(config)));
  }
  const size_t before = P::InternedCount();
  Container root;
  ASSERT_TRUE(root.SetupRoot(soup));
  // A few texts the set-up makes on the way (the kind in lower case...), not 400 values.
  EXPECT_LE(P::InternedCount(), before + 20);
  ASSERT_EQ(root.children.size(), 1u);
  const Container& table = *root.children[0];
  ASSERT_EQ(table.tags.size(), 400u);  // a repeated name keeps its first value
  for (int i = 0; i < 400; ++i) {
    std::string name = std::to_string(i);
    name.insert(0, 1, 'e');
    EXPECT_EQ(table.tags[i]->name, P(name));
    EXPECT_EQ(table.tags[i]->value, "<kuid:123456:" + std::to_string(1000000 + i) + ">");
  }
  const Tag* user = nullptr;
  for (const Tag* t : root.tags)
    if (t->name == P("username")) user = t;
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->value, "A user name longer than twenty-three bytes");
}

}  // namespace
