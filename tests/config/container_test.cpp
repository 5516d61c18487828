#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <span>
#include <sstream>
#include <vector>

#include "ConfigFixture.h"
#include "config/NameIndex.h"
#include "config/PtrList.h"
#include "config/TagNames.h"

using OBLLib::Container;
using OBLLib::DataManager;
using OBLLib::ErrorHandler;
using OBLLib::Tag;
namespace tn = OBLLib::tn;
using P = Kiv::PString;

namespace {

const char* const kSchema = R"(
base-a { subpossibilities { x { kind "value" type "int" default 1 } shared { kind "value" type "string" } } }
base-b { subpossibilities { x { kind "value" type "float" } } }
thing {
  top-level 1
  inherit { base-a 1 base-b 1 }
  subpossibilities {
    name { kind "value" type "string" compulsory 1 }
    flag { kind "value" type "bool" }
    pick { kind "value" type "combobox" source "choices.txt" }
    multi { kind "value" type "listbox" source "choices.txt" }
    att { kind "value" type "combobox" source "attachment" unique 1 }
    att2 { kind "value" type "combobox" source "attachment" }
    mt { kind "value" type "combobox" source "mesh-table" }
    id { kind "value" type "kuid" }
    author { kind "value" type "string" }
    owner-name { kind "value" type "string" default "parent" }
    mesh { kind "value" type "filepath" datatype "meshes" }
    part { kind "element" element-type "part-def" compulsory 1 }
    extra { kind "element" element-type "extra-def" }
    string-table { kind "value" type "string" }
    item { kind "value" type "string" numarray 1 }
  }
  obsolete-tag { old-tag { kind "value" type "string" obsolete-version 3.0 } }
}
part-def { savingname "saved-part" subpossibilities { p { kind "value" type "int" compulsory 2.5 } c { kind "element" element-type "x" compulsory 1 } } }
extra-def { subpossibilities { e { kind "value" type "int" } } }
listed { array-element { a "part-def" b "extra-def" } subpossibilities { z { kind "value" type "int" } } }
table-base { tagarray { kind "value" type "string" } }
table-def { inherit { table-base 1 } tagarray { type "kuid" } }
typed { container-type0 "first" container-type1 "second one" }
cyc-a { inherit { cyc-b 1 } subpossibilities { a { kind "value" type "int" } } }
cyc-b { inherit { cyc-a 1 cyc-b 1 } subpossibilities { b { kind "value" type "int" } } }
checked { subpossibilities { odd { kind "value" type "bool" default "2" } plain { kind "value" type "string" default "v" } } }
ruled { subpossibilities { checked { kind "value" type "int" validation { laterrule 1 } }
  filed { kind "value" type "combobox" source "mesh-table" validation { laterrule 1 } }
  attached { kind "value" type "combobox" source "attachment" validation { laterrule 1 } } } }
)";

class ContainerTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    Write("kind.txt", kSchema);
    Write("choices.txt", "Alpha\nBeta two words\n");
    Write("personalDetails.txt", "author \"Ann\"\n");
    dm = Start();
    ASSERT_TRUE(dm->Schema());
    startTags = Tag::LiveCount();
    startContainers = Container::LiveCount();
  }
  void TearDown() override {
    root.reset();
    EXPECT_EQ(Tag::LiveCount(), startTags);
    EXPECT_EQ(Container::LiveCount(), startContainers);
    ConfigFixture::TearDown();
  }
  Container& Load(const char* type, float build, bool makeCompulsory) {
    dm->build = build;
    root = std::make_unique<Container>();
    root->type = root->name = P(type);
    root->schema = dm->Schema();
    root->LoadDefinition(dm->Schema().GetNamedSoup(P(type)), makeCompulsory);
    return *root;
  }
  // Classifies one config value of the "thing" definition into the root.
  Tag* Value(const char* name, const std::string& value) {
    const SoupRef& schema = dm->Schema();
    SoupRef entry = Container::FindEntryDefinition(
        schema.GetNamedSoup(P("thing")), {schema.GetNamedSoup(P("base-a")), schema.GetNamedSoup(P("base-b"))},
        P(name));
    SoupRef values = SoupRef::NewContainer();
    values.SetNamedTag(P(name), value);
    Tag* tag = root->CreateTagFromDefinition(root.get(), P(name), entry, values);
    if (tag) root->AddTag(tag);
    return tag;
  }
  static Tag* Find(std::span<Tag* const> list, const char* name) {
    auto it = std::find_if(list.begin(), list.end(), [&](Tag* t) { return t->name == P(name); });
    return it == list.end() ? nullptr : *it;
  }

  DataManager* dm = nullptr;
  std::unique_ptr<Container> root;
  long startTags = 0, startContainers = 0;
};

// The fields few tags set live beside the tags: each tag reads its own, a
// source outside the registries is kept as given, and they go with the tag.
TEST(TagFields, RareFieldsReadBackAndGoWithTheirTag) {
  const size_t internedBefore = P::InternedCount();
  {
    auto tag = std::make_unique<Tag>();
    Tag other;
    EXPECT_TRUE(tag->DataType().IsNull() && tag->Source().IsNull() && tag->Category().IsNull());
    tag->SetSource(P("mesh-table"));
    EXPECT_EQ(tag->Source(), P("mesh-table"));
    tag->SetSource(P("own-source-kept"));
    EXPECT_EQ(tag->Source(), P("own-source-kept"));
    tag->SetSource(tn::attachment);
    EXPECT_EQ(tag->Source(), tn::attachment);
    tag->SetDataType(P("meshes-kept"));
    tag->SetCategory(P("category-kept"));
    tag->SetFilter(P("filter-kept"));
    other.SetFilter(P("other-filter-kept"));
    tag->SetFilter(P());
    EXPECT_TRUE(tag->Filter().IsNull());
    EXPECT_EQ(tag->DataType(), P("meshes-kept"));
    EXPECT_EQ(tag->Category(), P("category-kept"));
    EXPECT_EQ(other.Filter(), P("other-filter-kept"));
    EXPECT_TRUE(other.DataType().IsNull() && other.Source().IsNull());
    tag.reset();
    EXPECT_EQ(other.Filter(), P("other-filter-kept"));
  }
  EXPECT_EQ(P::InternedCount(), internedBefore);
}

// Ids and rules lie beside the tags too: an id is given once and kept, never
// shared; rules keep their order and stay with their own tag whatever else
// the tag sets; all of it goes with the tag (the parameters let go).
TEST(TagFields, IdsAndRulesStayWithTheirOwnTag) {
  auto pass = [](Tag&, const SoupRef&) { return true; };
  auto fail = [](Tag&, const SoupRef&) { return false; };
  SoupRef parameters = SoupRef::NewContainer();
  const uint32_t refsBefore = parameters.Get()->RefCount();
  auto a = std::make_unique<Tag>();
  auto b = std::make_unique<Tag>();
  const uint64_t idB = b->Id();  // asked in another order than made
  const uint64_t idA = a->Id();
  EXPECT_NE(idA, idB);
  EXPECT_TRUE(a->Rules().empty());
  a->MutableRules().push_back({+pass, parameters});
  a->SetFilter(P("filter"));
  a->MutableRules().push_back({+fail, SoupRef()});
  EXPECT_EQ(a->Id(), idA);
  EXPECT_EQ(b->Id(), idB);
  ASSERT_EQ(a->Rules().size(), 2u);
  EXPECT_EQ(a->Rules()[0].parameters, parameters);
  EXPECT_FALSE(OBLLib::RunTagRules(*a));
  EXPECT_TRUE(b->Rules().empty());
  EXPECT_TRUE(OBLLib::RunTagRules(*b));
  EXPECT_GT(parameters.Get()->RefCount(), refsBefore);
  a.reset();
  EXPECT_EQ(parameters.Get()->RefCount(), refsBefore);
  for (int i = 0; i < 16; ++i) {  // whatever address a new tag gets
    Tag fresh;
    EXPECT_TRUE(fresh.Rules().empty() && fresh.Filter().IsNull());
    EXPECT_NE(fresh.Id(), idA);
    EXPECT_NE(fresh.Id(), idB);
  }
  EXPECT_EQ(b->Id(), idB);

  // Rules first, then an id and a registry list: each keeps to its own place.
  auto c = std::make_unique<Tag>();
  c->MutableRules().push_back({+fail, parameters});
  const uint64_t idC = c->Id();
  OBLLib::PtrList<Tag> list;
  list.Append(c.get());
  list.Append(b.get());
  c->MutableRules().push_back({+pass, SoupRef()});
  EXPECT_EQ(c->Id(), idC);
  EXPECT_NE(idC, idB);
  ASSERT_EQ(c->Rules().size(), 2u);
  EXPECT_EQ(c->Rules()[0].parameters, parameters);
  EXPECT_FALSE(OBLLib::RunTagRules(*c));
  EXPECT_TRUE(list.Contains(c.get()));
  list.RemoveAll(b.get());
  EXPECT_EQ(list.Items(), std::vector<Tag*>{c.get()});
  // A registry place first, then rules.
  auto d = std::make_unique<Tag>();
  list.Append(d.get());
  d->MutableRules().push_back({+pass, parameters});
  EXPECT_TRUE(OBLLib::RunTagRules(*d));
  EXPECT_EQ(list.Items(), (std::vector<Tag*>{c.get(), d.get()}));
  list.RemoveAll(d.get());
  list.RemoveAll(c.get());
  EXPECT_TRUE(list.Empty());
  c.reset();
  d.reset();
  EXPECT_EQ(parameters.Get()->RefCount(), refsBefore);
}

TEST_F(ContainerTest, DefinitionMergesInheritanceInOrder) {
  Container& c = Load("thing", 3.4f, false);
  // x comes from base-a and then base-b: the later one wins.
  Tag* x = Find(c.definitionTags, "x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->typeCode, Tag::kFloat);
  EXPECT_NE(Find(c.definitionTags, "shared"), nullptr);
  // The compulsory value is made only on request.
  EXPECT_EQ(Find(c.tags, "name"), nullptr);
  EXPECT_EQ(Find(c.definitionTags, "name"), nullptr);
  EXPECT_EQ(c.elementTypeNames, (std::vector<P>{P("part-def"), P("extra-def")}));
  ASSERT_EQ(c.compulsoryElementDefinitions.size(), 1u);
  EXPECT_EQ(c.compulsoryElementDefinitions[0], dm->Schema().GetNamedSoup(P("part-def")));
  // Defaults: "parent" is the owner's name; a prepared author is the user.
  EXPECT_EQ(Find(c.definitionTags, "owner-name")->value, P("thing"));
  EXPECT_EQ(Find(c.definitionTags, "author")->value, P("Ann"));
  EXPECT_EQ(Find(c.definitionTags, "id")->value, P("<NULL>"));

  Container& again = Load("thing", 3.4f, true);
  EXPECT_NE(Find(again.tags, "name"), nullptr);
}

// A container made for a check leaves out the definition's tags that nothing
// would notice, and keeps those that are filed, checked or reported.
TEST_F(ContainerTest, ACheckMakesOnlyTheDefinitionTagsThatLeaveATrace) {
  auto loadForCheck = [this](const char* type) -> Container& {
    dm->build = 3.4f;
    root = std::make_unique<Container>();
    root->type = root->name = P(type);
    root->schema = dm->Schema();
    root->forCheck = true;
    root->LoadDefinition(dm->Schema().GetNamedSoup(P(type)), true);
    return *root;
  };
  Container& c = loadForCheck("thing");
  for (const char* quiet : {"x", "shared", "flag", "pick", "multi", "id", "author", "owner-name"})
    EXPECT_EQ(Find(c.definitionTags, quiet), nullptr) << quiet;
  for (const char* kept : {"att", "att2", "mt", "mesh"})
    EXPECT_NE(Find(c.definitionTags, kept), nullptr) << kept;
  EXPECT_NE(Find(c.tags, "name"), nullptr);  // compulsory tags are made as before
  EXPECT_EQ(c.elementTypeNames, (std::vector<P>{P("part-def"), P("extra-def")}));

  // A default that is reported keeps its tag and its finding.
  EH().Clear();
  Load("checked", 3.4f, true);
  const size_t warnings = Findings(ErrorHandler::kWarning);
  ASSERT_GE(warnings, 1u);
  EXPECT_NE(Find(root->definitionTags, "plain"), nullptr);
  root.reset();
  EH().Clear();
  Container& checked = loadForCheck("checked");
  EXPECT_EQ(Findings(ErrorHandler::kWarning), warnings);
  EXPECT_NE(Find(checked.definitionTags, "odd"), nullptr);
  EXPECT_EQ(Find(checked.definitionTags, "plain"), nullptr);
}

TEST_F(ContainerTest, ArrayElementsAddElementTypesOnce) {
  Container& c = Load("listed", 3.4f, false);
  EXPECT_EQ(c.elementTypeNames, (std::vector<P>{P("part-def"), P("extra-def")}));
  c.AddElementType(P("part-def"));
  EXPECT_EQ(c.elementDefinitions.size(), 2u);
}

TEST_F(ContainerTest, TagArraysMergeValueByValue) {
  Container& c = Load("table-def", 3.4f, false);
  ASSERT_TRUE(c.tagArrayDefinition);
  EXPECT_EQ(c.tagArrayDefinition.GetNamedTag(tn::kind), tn::value);
  EXPECT_EQ(c.tagArrayDefinition.GetNamedTag(tn::type), tn::kuid);
  EXPECT_EQ(c.tagArrayDefinition.CountTags(), 2u);
  EXPECT_FALSE(Load("extra-def", 3.4f, false).tagArrayDefinition);
}

TEST_F(ContainerTest, InheritCycleEndsWithAFinding) {
  Container& c = Load("cyc-a", 3.4f, false);
  EXPECT_NE(Find(c.definitionTags, "a"), nullptr);
  EXPECT_NE(Find(c.definitionTags, "b"), nullptr);
  EXPECT_GE(Findings(ErrorHandler::kError), 1u);
  EXPECT_NE(EH().GetEntries().front().text.View().find("cyc-"), std::string_view::npos);
}

TEST_F(ContainerTest, ValuesAreClassifiedAndCheckedAgainstTheirSources) {
  Load("thing", 3.4f, false);
  Tag* flag = Value("flag", "yes");
  EXPECT_EQ(flag->typeCode, Tag::kBool);
  EXPECT_EQ(flag->value, P("yes"));
  ASSERT_EQ(Findings(ErrorHandler::kWarning), 1u);
  EXPECT_NE(EH().GetEntries().back().text.View().find("'flag' in 'thing'"), std::string_view::npos);
  EXPECT_EQ(EH().GetEntries().back().tag, flag->Id());

  EXPECT_EQ(Value("pick", "gamma")->value, P(""));
  EXPECT_EQ(Value("multi", "gamma;bEtA")->value, P("gamma;bEtA"));
  EXPECT_EQ(Value("shared", "text")->typeCode, Tag::kString);
  // A config value replaces the prepared tag of the same name.
  EXPECT_EQ(Find(root->definitionTags, "shared"), nullptr);
  // A second tag of a name already in the list is refused.
  EXPECT_EQ(Value("shared", "again"), nullptr);
  // Config values win over the user's details.
  EXPECT_EQ(Value("author", "Bob")->value, P("Bob"));
}

TEST_F(ContainerTest, RegistrySourcesFileTagsUntilTheTreeGoes) {
  Load("thing", 3.4f, false);
  Tag* att = Value("att", "a.0");
  Tag* att2 = Value("att2", "a.1");
  Tag* mt = Value("mt", "default");
  EXPECT_TRUE(att->hasSource && mt->hasSource);
  EXPECT_EQ(dm->SecondTagList().Items(), std::vector<Tag*>{att});
  EXPECT_TRUE(dm->FirstTagList().Contains(att2));
  EXPECT_EQ(dm->TagsBySource(tn::mesh_table)->Items(), std::vector<Tag*>{mt});
  root.reset();
  EXPECT_TRUE(dm->FirstTagList().Empty());  // att2 is gone, and with it its place
  EXPECT_TRUE(dm->SecondTagList().Empty());
  EXPECT_TRUE(dm->TagsBySource(tn::mesh_table)->Empty());
}

TEST_F(ContainerTest, FilePathsGoToTheMeshCheckOrMarkABorrowedMesh) {
  std::vector<std::string> checked;
  dm->SetLODMeshCheck([&](const std::string& path, Container&) {
    checked.push_back(path);
    return std::shared_ptr<OBLLib::LODMeshRecord>();
  });
  dm->assetFolder = Kiv::File::Path("/assets/a");
  Load("thing", 3.4f, false);
  checked.clear();  // the prepared tag was checked too
  Tag* mesh = Value("mesh", "Body.LM");
  EXPECT_EQ(mesh->typeCode, Tag::kFilePath);
  EXPECT_EQ(mesh->DataType(), P("meshes"));
  EXPECT_EQ(checked, std::vector<std::string>{"/assets/a/body.lm"});

  root->RemoveDefinitionTag(P("mesh"));
  SoupRef values = Soup("mesh \"x.im\"\nmesh-asset <kuid:1:2>\n");
  SoupRef entry =
      dm->Schema().GetNamedSoup(P("thing")).GetNamedSoup(tn::subpossibilities).GetNamedSoup(P("mesh"));
  Container other;
  delete root->CreateTagFromDefinition(&other, P("mesh"), entry, values);
  EXPECT_TRUE(dm->borrowedMesh);
  EXPECT_EQ(checked.size(), 1u);
}

TEST_F(ContainerTest, CommentsAndObsoleteTagsDependOnTheBuild) {
  Load("thing", 2.4f, false);
  EXPECT_EQ(Value("rem", "old")->typeCode, Tag::kComment);
  EXPECT_TRUE(EH().GetEntries().empty());

  Load("thing", 2.5f, false);
  Tag* rem = Value("rem", "old");
  EXPECT_EQ(rem->typeCode, Tag::kUnclassified);
  EXPECT_EQ(Findings(ErrorHandler::kError), 1u);

  EH().Clear();
  Load("thing", 2.801f, false);
  Value("category-era-1900s", "x");
  EXPECT_EQ(Findings(ErrorHandler::kWarning), 1u);
  Load("thing", 2.901f, false);
  Value("category-era-1900s", "x");
  EXPECT_EQ(Findings(ErrorHandler::kError), 1u);
}

TEST_F(ContainerTest, ObsoleteTagsNeverChangeTheSharedSchema) {
  const SoupRef thing = dm->Schema().GetNamedSoup(P("thing"));
  const size_t entries = thing.GetNamedSoup(tn::subpossibilities).CountTags();

  Container& older = Load("thing", 2.901f, false);
  SoupRef own = older.ApplyObsoleteTags(thing);
  EXPECT_TRUE(older.obsoleteTagNames.empty());
  EXPECT_NE(own, thing);
  EXPECT_TRUE(own.GetNamedSoup(tn::subpossibilities).GetNamedSoup(P("old-tag")));
  EXPECT_EQ(thing.GetNamedSoup(tn::subpossibilities).CountTags(), entries);
  EXPECT_FALSE(thing.GetNamedSoup(tn::subpossibilities).GetNamedSoup(P("old-tag")));

  // A later, newer asset still sees the tag as obsolete.
  Container& newer = Load("thing", 3.001f, false);
  EXPECT_EQ(newer.ApplyObsoleteTags(thing), thing);
  EXPECT_EQ(newer.obsoleteTagNames, std::vector<P>{P("old-tag")});
  Value("old-tag", "x");
  EXPECT_EQ(Findings(ErrorHandler::kError), 1u);
}

TEST_F(ContainerTest, EntryLookupsFollowNumbersAndNameFamilies) {
  Container& c = Load("thing", 3.4f, false);
  const SoupRef thing = dm->Schema().GetNamedSoup(P("thing"));
  const SoupRef item = thing.GetNamedSoup(tn::subpossibilities).GetNamedSoup(P("item"));
  EXPECT_EQ(c.ExpandNumberedArray(thing, P("7")), item);
  EXPECT_EQ(c.ExpandNumberedArray(thing, P("0")), item);
  EXPECT_FALSE(c.ExpandNumberedArray(thing, P("seven")));
  EXPECT_FALSE(c.ExpandNumberedArray(thing, P("99999999999999999999")));
  const SoupRef listed = dm->Schema().GetNamedSoup(P("listed"));
  EXPECT_EQ(c.ExpandNumberedArray(listed, P("anything")), listed.GetNamedSoup(tn::array_element));

  SoupRef found;
  c.CheckStringTableTag(thing, P("string-table-de"), found, &c);
  EXPECT_EQ(found, thing.GetNamedSoup(tn::subpossibilities).GetNamedSoup(tn::string_table));
  c.CheckStringTableTag(thing, P("smoke3"), found, &c);
  EXPECT_FALSE(found);
  c.CheckStringTableTag(thing, P("smoke4"), found, &c);
  EXPECT_EQ(Findings(ErrorHandler::kError), 1u);

  const SoupRef part = dm->Schema().GetNamedSoup(P("part-def"));
  EXPECT_EQ(Container::FindEntryDefinition(thing, {part}, P("p")),
            part.GetNamedSoup(tn::subpossibilities).GetNamedSoup(P("p")));
  EXPECT_FALSE(Container::FindEntryDefinition(thing, {part}, P("nowhere")));

  const SoupRef typed = dm->Schema().GetNamedSoup(P("typed"));
  EXPECT_EQ(c.GetContainerType(typed, P("second")), P("second one"));
  EXPECT_EQ(c.GetContainerType(typed, P("third")), P("first"));

  std::map<P, float, OBLLib::PStringLess> tagsNeeded, containersNeeded;
  c.CountCompulsoryElements(part, tagsNeeded, Container::Compulsory::kTags);
  c.CountCompulsoryElements(part, containersNeeded, Container::Compulsory::kContainers);
  EXPECT_EQ(tagsNeeded.size(), 1u);
  EXPECT_FLOAT_EQ(tagsNeeded[P("p")], 2.5f);
  EXPECT_EQ(containersNeeded.size(), 1u);
  EXPECT_EQ(containersNeeded.count(P("c")), 1u);
}

TEST_F(ContainerTest, ChildrenAndHeaderTags) {
  Container& c = Load("thing", 3.4f, false);
  EXPECT_EQ(c.MakeChild(P("n"), P("no-such-def"), &c, SoupRef(), 0), nullptr);
  EXPECT_EQ(EH().GetEntries().back().container, c.Id());
  Container* part = c.MakeChild(P("part"), P("part-def"), &c, SoupRef(), 3);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->savingName, P("saved-part"));
  EXPECT_EQ(part->index, 3);
  c.AddChild(part);
  Container* extra = c.MakeChild(P("extra"), P("extra-def"), &c, SoupRef(), 4);
  c.AddChild(extra);
  delete part;
  EXPECT_EQ(c.children, std::vector<Container*>{extra});

  for (const char* n : {"a", "KUID", "b", "UserName"}) c.AddTag(c.MakeTag(0, &c, P(n)));
  EXPECT_EQ(c.headerTags.size(), 2u);
  EXPECT_EQ(c.CreateTagFromDefinition(&c, P("b"), SoupRef(), SoupRef()), nullptr);
  c.MoveHeaderTagsToFront();
  // The header tags now stand in the tags list, in front of what was there:
  // a second one of their names is refused like any other.
  std::unique_ptr<Tag> second(c.CreateTagFromDefinition(&c, P("KUID"), SoupRef(), SoupRef()));
  EXPECT_EQ(second, nullptr);
  ASSERT_EQ(c.tags.size(), 4u);
  EXPECT_EQ(c.tags[0]->name, P("KUID"));
  EXPECT_EQ(c.tags[1]->name, P("UserName"));
  EXPECT_TRUE(c.headerTags.empty());

  SoupRef src = Soup("k 1\n");
  c.KeepExtensions(src);
  src.SetNamedTagInt(P("k"), 2);
  EXPECT_EQ(c.extensions->GetNamedTagAsInt(P("k")), 1);
}

// A tag takes the first config value of its name, whatever order the tags
// are made in, and a value added to the config later is found too.
TEST_F(ContainerTest, TagsTakeTheFirstValueOfTheirNameInAnyOrder) {
  SoupRef values = SoupRef::NewContainer();
  const P names[] = {P("a"), P("b"), P("a"), P("c"), P("b")};
  for (size_t i = 0; i < std::size(names); ++i) {
    std::string text = std::to_string(i);
    text.insert(text.begin(), 'v');
    EXPECT_TRUE(
        values.Get()->AppendTag(TDBDataTag::MakeBytes(names[i], kSoupText, text.data(), text.size())));
  }
  auto valueOf = [&](Container& c, const char* name) {
    std::unique_ptr<Tag> tag(c.CreateTagFromDefinition(&c, P(name), SoupRef(), values));
    return tag ? tag->value.Str() : std::string("(none)");
  };
  Container& inOrder = Load("thing", 3.4f, false);
  EXPECT_EQ(valueOf(inOrder, "a"), "v0");
  EXPECT_EQ(valueOf(inOrder, "b"), "v1");
  EXPECT_EQ(valueOf(inOrder, "c"), "v3");
  EXPECT_EQ(valueOf(inOrder, "absent"), "");
  EXPECT_EQ(valueOf(inOrder, "b"), "v1");
  Container reversed;
  EXPECT_EQ(valueOf(reversed, "c"), "v3");
  EXPECT_EQ(valueOf(reversed, "b"), "v1");
  EXPECT_EQ(valueOf(reversed, "a"), "v0");
  EXPECT_TRUE(values.Get()->AppendTag(TDBDataTag::MakeBytes(P("d"), kSoupText, "v5", 2)));
  EXPECT_EQ(valueOf(reversed, "d"), "v5");
  EXPECT_EQ(valueOf(reversed, "a"), "v0");
}

int g_calls = 0;
bool Fails(Tag&, const SoupRef&) { return ++g_calls, false; }
bool Passes(Tag&, const SoupRef& p) { return ++g_calls, p.GetNamedTagAsInt(P("min")) == 3; }

TEST_F(ContainerTest, RulesBindByNameAndAllRun) {
  OBLLib::RegisterTagRule(P("fails"), Fails);
  OBLLib::RegisterTagRule(P("passes"), Passes);
  Tag tag;
  EXPECT_TRUE(OBLLib::RunTagRules(tag));
  tag.BindValidation(Soup("validation { fails 1 unknown 1 passes { min 3 } }"));
  ASSERT_EQ(tag.Rules().size(), 2u);
  EXPECT_FALSE(tag.Rules()[0].parameters);
  g_calls = 0;
  EXPECT_FALSE(OBLLib::RunTagRules(tag));
  EXPECT_EQ(g_calls, 2);
  OBLLib::RegisterTagRule(P("fails"), nullptr);
  OBLLib::RegisterTagRule(P("passes"), nullptr);
}

// What a definition's entries bind is kept with the definition, yet a rule registered or
// removed later binds, or not, from then on.
TEST_F(ContainerTest, KeptDefinitionsFollowTheRuleTable) {
  auto rulesOfChecked = [&] {
    Tag* tag = Find(Load("ruled", 3.4f, false).definitionTags, "checked");
    return tag ? static_cast<int>(tag->Rules().size()) : -1;
  };
  EXPECT_EQ(rulesOfChecked(), 0);
  OBLLib::RegisterTagRule(P("laterrule"), Fails);
  EXPECT_EQ(rulesOfChecked(), 1);
  EXPECT_EQ(rulesOfChecked(), 1);
  OBLLib::RegisterTagRule(P("laterrule"), nullptr);
  EXPECT_EQ(rulesOfChecked(), 0);
}

// A tag that classifying files in a registry and that has rules keeps both:
// the registries find it, its rules run, a finding stays with it, and the
// tree's end takes it out of every list.
TEST_F(ContainerTest, FiledTagsWithRulesKeepBoth) {
  OBLLib::RegisterTagRule(P("laterrule"), Fails);
  Container& c = Load("ruled", 3.4f, false);
  Tag* filed = Find(c.definitionTags, "filed");
  Tag* attached = Find(c.definitionTags, "attached");
  ASSERT_TRUE(filed && attached);
  EXPECT_EQ(dm->TagsBySource(tn::mesh_table)->Items(), std::vector<Tag*>{filed});
  EXPECT_TRUE(dm->FirstTagList().Contains(attached));
  for (Tag* tag : {filed, attached}) {
    ASSERT_EQ(tag->Rules().size(), 1u);
    g_calls = 0;
    EXPECT_FALSE(OBLLib::RunTagRules(*tag));
    EXPECT_EQ(g_calls, 1);
  }
  const uint64_t id = filed->Id();
  EXPECT_TRUE(EH().Error(P("filed and ruled"), filed));
  EXPECT_EQ(filed->Id(), id);
  EXPECT_NE(attached->Id(), id);
  ASSERT_EQ(EH().GetEntries().size(), 1u);
  EXPECT_EQ(EH().GetEntries().front().tag, id);
  root.reset();
  EXPECT_TRUE(dm->TagsBySource(tn::mesh_table)->Empty());
  EXPECT_TRUE(dm->FirstTagList().Empty());
  EXPECT_TRUE(EH().GetEntries().empty());
  OBLLib::RegisterTagRule(P("laterrule"), nullptr);
}

TEST_F(ContainerTest, BuildsCompareInWholeHundredths) {
  Container& c = Load("thing", 2.9f, false);
  EXPECT_TRUE(c.BuildAtLeast(2.9f));
  EXPECT_FALSE(c.BuildAtLeast(2.91f));
  dm->build = 2.89f;
  EXPECT_FALSE(c.BuildAtLeast(2.9f));
  EXPECT_EQ(OBLLib::BuildHundredths(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(OBLLib::BuildHundredths(1e30f), 0);
}

TEST(TagNames, VocabularyIsDistinctAndCaseSensitive) {
  auto all = OBLLib::AllTagNames();
  ASSERT_EQ(all.size(), 203u);
  std::set<const void*> handles;
  for (const P* p : all) handles.insert(p->Handle());
  EXPECT_EQ(handles.size(), 203u);
  EXPECT_FALSE(P("KUID") == tn::kuid);
}

class WideInheritanceTest : public ConfigFixture {};

TEST_F(WideInheritanceTest, ManyPathsToOneDefinitionEndWithAFinding) {
  // Each level inherits both definitions of the next: 2^40 paths to the last.
  std::ostringstream schema;
  for (int level = 0; level < 40; ++level) {
    for (const char* side : {"a", "b"}) {
      schema << 'd' << level << side << " { inherit { d" << level + 1 << "a 1 d" << level + 1
             << "b 1 } subpossibilities { v" << level << " { kind \"value\" type \"int\" } } }\n";
    }
  }
  Write("kind.txt", schema.str());
  DataManager* dm = Start();
  {
    Container c;
    c.type = P("d0a");
    c.LoadDefinition(dm->Schema().GetNamedSoup(P("d0a")), false);
    EXPECT_FALSE(c.definitionTags.empty());
    EXPECT_EQ(Findings(ErrorHandler::kError), 1u);
  }
}

}  // namespace

// The name indexes keep the first value of a name through every growth of
// the table, and a cleared index holds nothing.
TEST(NameIndex, FirstValueStaysFoundThroughGrowthAndClear) {
  OBLLib::NameIndex<size_t> index;
  index.Reserve(1500);  // outgrown below
  std::vector<Kiv::PString> names;
  for (int i = 0; i < 5000; ++i) names.push_back(Kiv::PString().Setf("name-index-%d", i));
  for (size_t round = 0; round < 2; ++round) {
    for (size_t i = 0; i < names.size(); ++i)
      index.Insert(names[i], i + round * 100000);  // later ones: kept out
    EXPECT_EQ(index.Size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      const size_t* found = index.Find(names[i]);
      ASSERT_NE(found, nullptr) << i;
      EXPECT_EQ(*found, i);
    }
  }
  EXPECT_EQ(index.Find(Kiv::PString("name-index-absent")), nullptr);
  EXPECT_EQ(index.Find(Kiv::PString()), nullptr);
  index.Clear();
  EXPECT_EQ(index.Size(), 0u);
  EXPECT_EQ(index.Find(names[7]), nullptr);
  index.Insert(names[7], 3);
  EXPECT_EQ(*index.Find(names[7]), 3u);
}

// The index holds no reference: the names it lists die with their last
// holder, and the null name is never listed.
TEST(NameIndex, HoldsNoReferenceToItsNames) {
  OBLLib::NameIndex<int> index;
  const size_t before = Kiv::PString::InternedCount();
  {
    std::vector<Kiv::PString> names;
    for (int i = 0; i < 300; ++i) names.push_back(Kiv::PString().Setf("name-index-held-%d", i));
    for (size_t i = 0; i < names.size(); ++i) index.Insert(names[i], static_cast<int>(i));
    EXPECT_EQ(Kiv::PString::InternedCount(), before + names.size());
  }
  EXPECT_EQ(Kiv::PString::InternedCount(), before);
  ++index.Insert(Kiv::PString(), 5);
  EXPECT_EQ(index.Size(), 300u);
  EXPECT_EQ(index.Find(Kiv::PString()), nullptr);
}

// A table sized to what it is told to hold is filled to its limit: probes
// that run past the last slot go on at the first, whatever the size.
TEST(NameIndex, FullTablesOfAnySizeFindEveryName) {
  std::vector<Kiv::PString> names;
  for (int i = 0; i < 90; ++i) names.push_back(Kiv::PString().Setf("name-index-fill-%d", i));
  for (size_t n = 1; n < 60; ++n) {
    OBLLib::NameIndex<uint32_t> index;
    index.Reserve(n);
    for (size_t i = 0; i < n; ++i) index.Insert(names[i], static_cast<uint32_t>(i));
    for (size_t i = 0; i < n; ++i) {
      const uint32_t* found = index.Find(names[i]);
      ASSERT_NE(found, nullptr) << n << " " << i;
      EXPECT_EQ(*found, i);
    }
    for (size_t i = n; i < names.size(); ++i) EXPECT_EQ(index.Find(names[i]), nullptr) << n << " " << i;
  }
}

// A name asked for twice in a row is answered from the slot the first look-up
// ended at, but only while that slot still holds the name: not after the
// table was cleared or grew and put another name there.
TEST(NameIndex, AnswersFromTheLastSlotOnlyWhileItHoldsTheName) {
  const Kiv::PString a("name-index-last-a"), b("name-index-last-b");
  OBLLib::NameIndex<int> index;
  index.Insert(a, 1);
  ASSERT_NE(index.Find(a), nullptr);
  EXPECT_EQ(*index.Find(a), 1);
  index.Clear();
  EXPECT_EQ(index.Find(a), nullptr);
  index.Insert(b, 2);
  EXPECT_EQ(index.Insert(a, 3), 3);
  EXPECT_EQ(*index.Find(b), 2);
  EXPECT_EQ(*index.Find(a), 3);

  std::vector<Kiv::PString> others;
  for (int i = 0; i < 2000; ++i) others.push_back(Kiv::PString().Setf("name-index-last-%d", i));
  for (size_t i = 0; i < others.size(); ++i) {
    index.Insert(others[i], static_cast<int>(i) + 10);
    if (i % 97 == 0) {
      EXPECT_EQ(*index.Find(a), 3) << i;  // through every growth
    }
  }
  EXPECT_EQ(index.Insert(a, 9), 3);
  for (size_t i = 0; i < others.size(); i += 13) EXPECT_EQ(*index.Find(others[i]), static_cast<int>(i) + 10);
  EXPECT_EQ(index.Size(), others.size() + 2);
}
