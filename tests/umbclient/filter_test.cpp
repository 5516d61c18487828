#include <gtest/gtest.h>

#include "foundation/Stream.h"
#include "umbclient/Filter.h"

namespace {

UMBAssetInfo Info(const char* name, const char* category, uint32_t flags) {
  UMBAssetInfo info;
  info.localisedName = name;
  info.category = category;
  info.categoryEra = "1950s;1960s";
  info.categoryRegion = "GB;FR";
  info.stateFlags = flags;
  return info;
}

bool Match(const UMBFilterElement& e, const UMBAssetInfo& info, std::string_view keywords = {}) {
  return e.Matches(UMBFilterSubject{info, keywords});
}

TEST(UMBFilterTest, TextElementsMatchListsAndNames) {
  UMBAssetInfo info = Info("Blue Engine", "TR;TV", 0);
  using S = UMBFilterElementString;
  EXPECT_TRUE(Match(S(S::kAssetName, "engine"), info));
  EXPECT_FALSE(Match(S(S::kAssetName, "red"), info));
  EXPECT_TRUE(Match(S(S::kCategoryList, "XX;tv"), info));  // any plain item
  EXPECT_FALSE(Match(S(S::kCategoryList, "XX;YY"), info));
  EXPECT_FALSE(Match(S(S::kCategoryList, "T"), info));      // whole items only
  EXPECT_TRUE(Match(S(S::kCategoryList, "TR;#TV"), info));  // "#" items are required
  EXPECT_FALSE(Match(S(S::kCategoryList, "TR;#BU"), info));
  EXPECT_TRUE(Match(S(S::kCategoryList, "#TR"), info));  // only required items
  EXPECT_TRUE(Match(S(S::kEraList, "1960s"), info));
  EXPECT_FALSE(Match(S(S::kEraList, "1970s"), info));
  EXPECT_TRUE(Match(S(S::kRegionList, "fr"), info));
  EXPECT_TRUE(Match(S(S::kKeywordList, "steam"), info, "diesel, steam"));
  EXPECT_FALSE(Match(S(S::kKeywordList, "steam"), info, ""));
}

TEST(UMBFilterTest, GroupsCombineAndNegate) {
  UMBAssetInfo localEdit = Info("a", "TR", (1u << kStateLocal) | (1u << kStateOpenForEdit));
  UMBAssetInfo builtIn = Info("b", "TR", 1u << kStateBuiltIn);
  UMBFilterElementGroup all(1, 0);
  EXPECT_TRUE(Match(all, builtIn));  // empty group
  all.Add(std::make_unique<UMBFilterElementBool>(kStateLocal));
  UMBFilterElementGroup::AddGroup(all, std::make_unique<UMBFilterElementBool>(kStateOpenForEdit));
  EXPECT_FALSE(Match(all, localEdit));
  EXPECT_FALSE(Match(all, builtIn));

  UMBFilterElementGroup any(0, 0);
  EXPECT_TRUE(Match(any, builtIn));
  any.Add(std::make_unique<UMBFilterElementBool>(kStateLocal));
  any.Add(std::make_unique<UMBFilterElementBool>(kStateBuiltIn));
  EXPECT_TRUE(Match(any, localEdit));
  EXPECT_TRUE(Match(any, builtIn));
  EXPECT_FALSE(Match(any, Info("c", "", 0)));
  UMBFilterElementGroup none(0, 1);
  none.Add(any.Clone());
  EXPECT_FALSE(Match(none, builtIn));
  EXPECT_TRUE(Match(none, Info("c", "", 0)));
}

TEST(UMBFilterTest, BinaryFormRoundTrips) {
  UMBFilterElementGroup top(1, 0);
  top.Add(std::make_unique<UMBFilterElementBool>(kStateListingPrivilege));
  top.Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kRegionList, "GB"));
  auto inner = std::make_unique<UMBFilterElementGroup>(0, 0);
  UMBFilterElementGroup::AddGroup(*inner, std::make_unique<UMBFilterElementBool>(kStateFaulty));
  top.Add(std::move(inner));

  TBuffer a;
  top.Write(a);
  EXPECT_TRUE(a.Rewind());
  auto read = UMBFilterElement::Read(a);
  ASSERT_NE(read, nullptr);
  TBuffer b;
  read->Write(b);
  ASSERT_EQ(a.Size(), b.Size());
  EXPECT_EQ(0, memcmp(a.Data(), b.Data(), a.Size()));
}

TEST(UMBFilterTest, ReaderRefusesMalformedForms) {
  auto refuses = [](auto write) {
    TBuffer s;
    write(s);
    EXPECT_TRUE(s.Rewind());
    return UMBFilterElement::Read(s) == nullptr;
  };
  EXPECT_TRUE(refuses([](TBuffer&) {}));
  EXPECT_TRUE(refuses([](TBuffer& s) { s.WriteU8(9); }));  // unknown type
  EXPECT_TRUE(refuses([](TBuffer& s) {
    s.WriteU8(5);
    s.WriteU8(22);
  }));  // flag out of range
  EXPECT_TRUE(refuses([](TBuffer& s) {
    s.WriteU8(1);
    s.WriteU8(5);
    s.WriteString("x");
  }));  // kind
  EXPECT_TRUE(refuses([](TBuffer& s) {
    s.WriteU8(1);
    s.WriteU8(0);
    s.WriteU32(100);
  }));  // short text
  // A group claiming far more elements than bytes follow.
  EXPECT_TRUE(refuses([](TBuffer& s) {
    s.WriteU8(6);
    s.WriteU8(1);
    s.WriteU8(0);
    s.WriteU32(0xFFFFFFFF);
  }));
  EXPECT_TRUE(refuses([](TBuffer& s) {
    s.WriteU8(6);
    s.WriteU8(2);
    s.WriteU8(0);
    s.WriteU32(0);
  }));
  // Nesting beyond the limit.
  auto nest = [](int depth) {
    return [depth](TBuffer& s) {
      for (int i = 0; i < depth; ++i) {
        s.WriteU8(6);
        s.WriteU8(1);
        s.WriteU8(0);
        s.WriteU32(1);
      }
      s.WriteU8(5);
      s.WriteU8(0);
    };
  };
  EXPECT_FALSE(refuses(nest(UMBFilterElement::kMaxDepth)));
  EXPECT_TRUE(refuses(nest(UMBFilterElement::kMaxDepth + 2)));
}

}  // namespace
