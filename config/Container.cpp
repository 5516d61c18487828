#include "config/Container.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <mutex>
#include <unordered_set>

#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/MeshProbe.h"
#include "config/Messages.h"
#include "config/TagNames.h"
#include "config/TagPrototype.h"
#include "config/TagRules.h"
#include "config/TagSlabs.h"
#include "kiv/String.h"

namespace OBLLib {

namespace {
std::atomic<uint64_t> g_nextId{1};
std::atomic<long> g_liveTags{0};
std::atomic<long> g_liveContainers{0};
std::atomic<uint64_t> g_ruleTableGeneration{1};

// Deeper or wider inheritance than this is taken for a malformed schema: a
// definition reached along many paths is merged once per path.
constexpr size_t kMaxInheritDepth = 64;
constexpr size_t kMaxInheritMerges = 4096;
constexpr size_t kMaxInheritEntries = 1u << 20;

const Kiv::PString kNoContainerDefinition("$obl_container_nocontainerdefinition");
const Kiv::PString kTypeSpecification("$obl_container_typespecification");
const Kiv::PString kNotBoolean("$obl_container_notboolean");
const Kiv::PString kNotInList("$obl_note_notinlist");
const Kiv::PString kObsoleteTag("$obl_container_obsoletetag");
const Kiv::PString kNoDefinition("$obl_container_nodefinition");
const Kiv::PString kNoSmoke("$obl_container_nosmoke");
const Kiv::PString kInheritCycle("$obl_container_inheritcycle");
const Kiv::PString kInheritTooDeep("$obl_container_inherittoodeep");

std::unordered_map<Kiv::PString, TagRuleFn>& RuleTable() {
  static auto* table = [] {
    auto* t = new std::unordered_map<Kiv::PString, TagRuleFn>;
    for (const NamedTagRule& rule : NamedTagRules()) (*t)[Kiv::PString(rule.name)] = rule.rule;
    return t;
  }();
  return *table;
}

// "0", or a whole base-10 number other than zero.
bool IsArrayIndexName(std::string_view name) {
  if (name == "0") return true;
  long long n = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
  return ec == std::errc() && end == name.data() + name.size() && n != 0;
}

ErrorHandler* Findings() { return ErrorHandler::Instance(); }

// A config value as its tag keeps it: text as it is, other values in their
// text form; empty for a container.
TagValue ValueText(const TDBDataTag& tag) {
  if (tag.GetDataType() == kSoupText)
    return TagValue(std::string_view(reinterpret_cast<const char*>(tag.GetData()), tag.GetSize()));
  std::string text;
  return tag.ToText(text) ? TagValue(text) : TagValue();
}

// The asset's build, or the construction default when no schema manager exists.
float AssetBuild() {
  DataManager* dm = DataManager::Existing();
  return dm ? dm->build : 3.4f;
}
}  // namespace

// Named entries merged in order: a later entry of a name replaces the earlier
// one and takes the last place. Built once at the end, so a merge of n
// entries stays linear.
struct Container::DefinitionMerge {
  struct Item {
    TDBDataTag tag;
    bool live;
  };
  struct Table {
    std::vector<Item> items;
    std::unordered_map<Kiv::PString, size_t> where;
    void Set(const TDBDataTag& tag) {
      if (auto found = where.find(tag.GetName()); found != where.end()) items[found->second].live = false;
      where[tag.GetName()] = items.size();
      items.push_back(Item{tag, true});
    }
    // Every tag of the soup; containers stay shared, not copied.
    void MergeEntries(const SoupRef& from) {
      for (size_t i = 0; i < from.CountTags(); ++i) Set(from.Get()->GetTag(i));
    }
    // Every text value of the soup.
    void MergeTexts(const SoupRef& from) {
      for (size_t i = 0; i < from.CountTags(); ++i)
        if (from.Get()->GetTag(i).GetDataType() == kSoupText) Set(from.Get()->GetTag(i));
    }
    // Null when nothing was merged.
    SoupRef Build() const {
      SoupRef out;
      for (const Item& item : items) {
        if (!item.live) continue;
        out.EnsureContainer();
        // A child made here cannot hold the soup it enters.
        (void)out.Get()->AppendTag(item.tag);
      }
      return out;
    }
  };
  Table subs, tagArray, arrayElements;
  size_t merges = 0;
  bool reported = false;  // the inheritance made a finding
  bool OverBudget() const {
    return merges >= kMaxInheritMerges ||
           subs.items.size() + tagArray.items.size() + arrayElements.items.size() >= kMaxInheritEntries;
  }
  void MergeDefinition(const SoupRef& definition) {
    subs.MergeEntries(definition.GetNamedSoup(tn::subpossibilities));
    tagArray.MergeEntries(definition.GetNamedSoup(tn::tagarray));
    arrayElements.MergeTexts(definition.GetNamedSoup(tn::array_element));
  }
};

void RegisterTagRule(const Kiv::PString& name, TagRuleFn rule) {
  g_ruleTableGeneration.fetch_add(1);
  if (rule)
    RuleTable()[name] = rule;
  else
    RuleTable().erase(name);
}

TagRuleFn FindTagRule(const Kiv::PString& name) {
  auto found = RuleTable().find(name);
  return found == RuleTable().end() ? nullptr : found->second;
}

uint64_t TagRuleTableGeneration() { return g_ruleTableGeneration.load(std::memory_order_relaxed); }

namespace {
// The value form a definition's "type" names.
int32_t TypeCodeOf(std::string_view type) {
  static const std::pair<Kiv::PString, int32_t> forms[] = {
      {tn::string_, Tag::kString},
      {tn::int_, Tag::kInt},
      {tn::float_, Tag::kFloat},
      {tn::bool_, Tag::kBool},
      {tn::listbox, Tag::kListBox},
      {tn::combobox, Tag::kComboBox},
      {tn::intcombobox, Tag::kIntComboBox},
      {tn::kuid, Tag::kKUID},
      {tn::filepath, Tag::kFilePath},
      {tn::filepathedit, Tag::kFilePathEdit},
      {tn::kuidbrowser, Tag::kKUIDBrowser},
      {tn::vector2, Tag::kVector2},
      {tn::vector3, Tag::kVector3},
      {tn::rgb, Tag::kVector3},
      {tn::vector4, Tag::kVector4},
      {tn::vector5, Tag::kVector5},
      {tn::floatlist, Tag::kFloatList},
      {tn::doublestring, Tag::kDoubleString},
      {tn::stringkuid, Tag::kStringKUID},
      {tn::stringkuidbrowser, Tag::kStringKUIDBrowser},
  };
  for (const auto& [name, code] : forms)
    if (type == name.View()) return code;
  return Tag::kUnclassified;
}

bool InComboBoxSource(const Kiv::PString& source, std::string_view v) {
  const DataFileList* list = DataManager::Instance()->GetDataFile(source);
  return list && list->HasKey(v);
}

bool InListBoxSource(const Kiv::PString& source, std::string_view v) {
  const DataFileList* list = DataManager::Instance()->GetDataFile(source);
  if (!list || list->lines.empty()) return false;
  std::string_view rest = v;
  while (true) {
    size_t cut = rest.find(';');
    std::string_view item = rest.substr(0, cut);
    if (!item.empty() && list->HasKey(item)) return true;
    if (cut == std::string_view::npos) return false;
    rest.remove_prefix(cut + 1);
  }
}

// A choice the list lacks is emptied; the finding that it is empty then
// names the value that was given.
void EmptyChoice(Tag& tag, const Kiv::PString& list) {
  tag.SetWhyEmptied(FormatMessage(kNotInList, {tag.value.View(), list}));
  tag.value = Kiv::PString::Empty();
}
}  // namespace

TagPrototype::TagPrototype(const SoupRef& entry) {
  std::string scratch;
  typeCode = TypeCodeOf(entry.GetNamedTagText(tn::type, scratch));
  compulsory = entry.GetNamedTagAsInt(tn::compulsory, 0);
  disabled = entry.GetNamedTagAsInt(tn::disabled, 0) != 0;
  unique = entry.GetNamedTagAsInt(tn::unique, 0) != 0;
  defaultText = entry.GetNamedTagText(tn::default_, scratch);
  defaultIsParent = defaultText == tn::parent.View();
  hasFilter = entry.HasNamedTag(tn::filter);
  hasCategory = entry.HasNamedTag(tn::category);
  // A field the entry does not give stays null, so the tag keeps no extra field for it.
  auto given = [&entry](const Kiv::PString& name) {
    return entry.HasNamedTag(name) ? entry.GetNamedTag(name) : Kiv::PString();
  };
  filter = given(tn::filter);
  source = entry.GetNamedTag(tn::source);
  dataType = given(tn::datatype);
  category = given(tn::category);
  ruleTable = TagRuleTableGeneration();
  SoupRef validation = entry.GetNamedSoup(tn::validation);
  for (size_t i = 0; i < validation.CountTags(); ++i)
    if (TagRuleFn rule = FindTagRule(validation.GetIndexedTagName(i)))
      rules.emplace_back(rule, validation.GetIndexedSoup(i));
}

void BindValidation(Tag& tag, const SoupRef& entry, const TagPrototype& prototype) {
  if (prototype.ruleTable != TagRuleTableGeneration()) return tag.BindValidation(entry);
  if (prototype.rules.empty()) return;
  CompactList<BoundTagRule>& rules = tag.MutableRules();
  for (const auto& [rule, parameters] : prototype.rules) rules.push_back(BoundTagRule{rule, parameters});
}

int32_t TruncatedHundredths(float build) {
  float v = build * 100.0f;
  if (!std::isfinite(v) || v >= 2147483520.0f || v <= -2147483520.0f) return 0;
  return static_cast<int32_t>(v);
}

int32_t BuildHundredths(float build) {
  float v = build * 100.0f + 0.1f;
  if (!std::isfinite(v) || v >= 2147483520.0f || v <= -2147483520.0f) return 0;
  return static_cast<int32_t>(v);
}

// ---- Tag ----

namespace {
// The block Tag::operator new gave last on this thread: the constructor
// learns from it whether its tag lies in a slab.
thread_local void* t_newTag = nullptr;
}  // namespace

Tag::Tag() {
  m_inSlab = t_newTag == this;
  t_newTag = nullptr;
  g_liveTags.fetch_add(1);
}

static_assert(sizeof(Tag) <= 48, "a config holds a tag per value: keep the rare fields outside");
static_assert(sizeof(Tag) >= TagSlabs::kBesideUnit, "a tag's word beside it is found by its offset");

namespace {
// What few tags set: the extra fields, and the rules or the id of a tag whose
// own word holds something else, by tag. Tags of
// one tree may be freed by another thread than made them, hence the lock. An
// entry stays where it is until its tag goes, so a reference to it stays
// good that long.
struct TagSide {
  std::array<Kiv::PString, 5> extras;  // one per Tag::ExtraField
  CompactList<BoundTagRule> rules;
  uint64_t id = 0;                   // of a tag whose own word holds its registry place or rules
  alignas(8) unsigned char word[8];  // the own word of a tag made outside the slabs
};
struct TagSideTable {
  std::mutex lock;
  std::unordered_map<const Tag*, TagSide> byTag;
};
TagSideTable& TagSides() {
  static auto* table = new TagSideTable;
  return *table;
}
const Kiv::PString kNullName;

// The registry sources a combo box is filed under, by index (0: none).
constexpr uint8_t kOtherSource = 0xFF;
const std::array<Kiv::PString, 5>& RegistrySources() {
  static const std::array<Kiv::PString, 5> sources{Kiv::PString(), tn::attachment, tn::mesh_table,
                                                   tn::attached_track, tn::queues};
  return sources;
}
}  // namespace

namespace {
// The tag's entry, made when it has none. Only the tag's own thread asks for
// it, so it is read after the lock.
TagSide& SideOf(const Tag* tag) {
  TagSideTable& table = TagSides();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.byTag[tag];
}
}  // namespace

Tag::Slot& Tag::SideSlotWord() const {
  TagSide& side = SideOf(this);
  m_hasSide = true;  // so that the entry goes with the tag
  return *reinterpret_cast<Slot*>(side.word);
}

uint64_t Tag::Id() const {
  if (m_slotIsId) return SlotWord().id;
  if (!m_slotIsPlace && !m_slotIsRules) {
    Slot& slot = SlotWord();
    slot.id = g_nextId.fetch_add(1);
    m_slotIsId = true;
    return slot.id;
  }
  TagSide& side = SideOf(this);
  if (!m_idBeside) side.id = g_nextId.fetch_add(1);
  m_idBeside = m_hasSide = true;
  return side.id;
}

const Kiv::PString& Tag::Extra(ExtraField field) const {
  static_assert(std::tuple_size_v<decltype(TagSide::extras)> == kExtraFields);
  return m_hasSide ? SideOf(this).extras[field] : kNullName;
}

void Tag::SetExtra(ExtraField field, const Kiv::PString& v) {
  if (!m_hasSide && v.IsNull()) return;
  SideOf(this).extras[field] = v;
  m_hasSide = true;
}

const CompactList<BoundTagRule>& Tag::SideRules() const { return SideOf(this).rules; }

CompactList<BoundTagRule>& Tag::MutableRules() {
  if (m_slotIsRules) return SlotWord().rules;
  if (!m_slotIsPlace && !m_slotIsId && !m_hasRules) {
    Slot& slot = SlotWord();
    ::new (static_cast<void*>(&slot.rules)) CompactList<BoundTagRule>();
    m_slotIsRules = true;
    return slot.rules;
  }
  CompactList<BoundTagRule>& rules = SideOf(this).rules;
  m_hasRules = m_hasSide = true;
  return rules;
}

const Kiv::PString& Tag::Source() const {
  return m_source == kOtherSource ? Extra(kSource) : RegistrySources()[m_source];
}

void Tag::SetSource(const Kiv::PString& v) {
  const auto& known = RegistrySources();
  const auto found = std::find(known.begin(), known.end(), v);
  if (found == known.end()) {
    m_source = kOtherSource;
    SetExtra(kSource, v);
  } else {
    m_source = static_cast<uint8_t>(found - known.begin());
  }
}

static_assert(alignof(Tag) <= 8, "tag slabs cut 8-byte aligned blocks");
void* Tag::operator new(size_t size) {
  void* block = TagSlabs::Allocate(size);
  t_newTag = block;
  return block;
}
void Tag::operator delete(void* block) noexcept { TagSlabs::Free(block); }

Tag::~Tag() {
  if (const uint64_t id = TakeFindingsOwner()) Findings()->ForgetOwners(&id, 1);
  if (filedFirst || filedSecond || filedByKey)
    if (DataManager* dm = DataManager::Existing()) dm->UnregisterTag(this);
  if (m_slotIsRules) SlotWord().rules.~CompactList();
  if (m_hasSide) {
    TagSideTable& table = TagSides();
    std::lock_guard<std::mutex> guard(table.lock);
    table.byTag.erase(this);
  }
  g_liveTags.fetch_sub(1);
  owner = nullptr;
}

long Tag::LiveCount() { return g_liveTags.load(); }

uint64_t Tag::TakeReportedId() {
  ErrorHandler* eh = Findings();
  const uint64_t id = eh && (reported || eh->HoldsUnmarkedOwners()) ? Id() : 0;
  m_slotIsId = m_idBeside = false;  // its own word then holds nothing, the side entry no id
  return id;
}

void Tag::BindValidation(const SoupRef& def) {
  SoupRef validation = def.GetNamedSoup(tn::validation);
  for (size_t i = 0; i < validation.CountTags(); ++i) {
    TagRuleFn rule = FindTagRule(validation.GetIndexedTagName(i));
    if (!rule) continue;  // names the rule table does not know are skipped
    MutableRules().push_back(BoundTagRule{rule, validation.GetIndexedSoup(i)});
  }
}

bool RunTagRules(Tag& tag) {
  bool ok = true;
  const CompactList<BoundTagRule>& rules = tag.Rules();  // read once: it stays where it is
  for (size_t i = 0; i < rules.size(); ++i) {
    const BoundTagRule bound = rules[i];  // a rule may bind more to the tag
    ok = bound.rule(tag, bound.parameters) && ok;
  }
  return ok;
}

bool RunContainerRules(Container& container) {
  bool ok = true;
  for (size_t i = 0; i < container.rules.size(); ++i)
    ok = container.rules[i](container, container.ruleParameters[i]) && ok;
  return ok;
}

// ---- Container: life cycle ----

namespace {
// The first parts of a large tree have left the cache by the time it is
// deleted, and deleting reads every tag, its name and every child container
// (each of whose cache lines): those a few places on are asked for while one
// is deleted, so that their misses overlap instead of coming one by one.
// Measured on a tree of 100,000 tags: without it, the deletion cost 2.7 times
// as much per tag as at 10,000. A child's name (mostly a tag's name too) was
// last read when the tags went, and has left the cache again since.
constexpr size_t kTagAhead = 16, kNameAhead = 8, kChildAhead = 3, kChildNameAhead = 1;

// The tags' findings are taken back after them, in one batch (see
// ErrorHandler::ForgetOwners).
void DeleteTags(std::span<Tag* const> list, std::vector<uint64_t>& findingsOwners) {
  const size_t n = list.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + kTagAhead < n) __builtin_prefetch(list[i + kTagAhead], 1);
    if (i + kNameAhead < n) __builtin_prefetch(list[i + kNameAhead]->name.Handle(), 1);
    if (const uint64_t id = list[i]->TakeFindingsOwner()) findingsOwners.push_back(id);
    delete list[i];
  }
}

void PrefetchWhole(const Container* c) {
  const char* bytes = reinterpret_cast<const char*>(c);
  for (size_t at = 0; at < sizeof(Container); at += 64) __builtin_prefetch(bytes + at, 1);
  __builtin_prefetch(bytes + sizeof(Container) - 1, 1);
}
}  // namespace

static_assert(alignof(Container) <= 8 && sizeof(Container) <= 1024,
              "tag slabs cut small 8-byte aligned blocks");
void* Container::operator new(size_t size) { return TagSlabs::Allocate(size); }
void Container::operator delete(void* block) noexcept { TagSlabs::Free(block); }

Container::Container() : m_id(g_nextId.fetch_add(1)) { g_liveContainers.fetch_add(1); }

Container::~Container() {
  extensions.reset();
  if (ErrorHandler* eh = Findings(); eh && (reported || eh->HoldsUnmarkedOwners())) eh->ForgetContainer(this);
  DataManager* dm = DataManager::Existing();
  if (dm && (hasLiveObject || !registryKeys.empty())) dm->ForgetContainer(this);
  g_liveContainers.fetch_sub(1);

  std::vector<uint64_t> findingsOwners;
  for (std::vector<Tag*>* list : {&tags, &headerTags}) {
    DeleteTags(*list, findingsOwners);
    list->clear();
  }
  DeleteTags(definitionTags, findingsOwners);
  definitionTags.clear();
  if (!findingsOwners.empty()) Findings()->ForgetOwners(findingsOwners.data(), findingsOwners.size());
  for (size_t i = 0; i < children.size(); ++i) {
    if (i + kChildAhead < children.size()) PrefetchWhole(children[i + kChildAhead]);
    if (i + kChildNameAhead < children.size())
      __builtin_prefetch(children[i + kChildNameAhead]->name.Handle(), 1);
    Container* doomed = children[i];
    children[i] = nullptr;
    doomed->m_parentGoing = true;  // no need to search this list for itself
    delete doomed;
  }
  children.clear();

  if (parent) {
    if (!m_parentGoing) {
      auto self = std::find(parent->children.begin(), parent->children.end(), this);
      if (self != parent->children.end()) parent->children.erase(self);
    }
  } else if (dm) {
    dm->ClearLiveObjects();
    dm->ClearKeyList(tn::mesh_table);
    dm->ClearKeyList(tn::attached_track);
    dm->ClearKeyList(tn::queues);
  }
}

long Container::LiveCount() { return g_liveContainers.load(); }

// ---- Container: building ----

Tag* Container::MakeTag(int32_t tagIndex, Container* tagOwner, const Kiv::PString& tagName) {
  Tag* tag = new Tag();
  tag->index = tagIndex;
  tag->owner = tagOwner;
  tag->name = tagName;
  return tag;
}

void Container::AddTag(Tag* tag) {
  // Every tag comes here: the sizes rule out nearly all before a comparison.
  const std::string_view n = tag->name.View();
  if ((n.size() == 4 && Kiv::CompareNoCase(n, "kuid") == 0) ||
      (n.size() == 8 && Kiv::CompareNoCase(n, "username") == 0))
    headerTags.push_back(tag);
  else
    tags.push_back(tag);
}

void Container::AddChild(Container* child) { children.push_back(child); }

Container* Container::MakeChild(const Kiv::PString& childName, const Kiv::PString& typeName,
                                Container* childParent, const SoupRef& config, int32_t childIndex) {
  SoupRef def = FindChildDefinition(typeName);
  if (!def) {
    if (ErrorHandler* eh = Findings()) eh->Error(FormatMessage(kNoContainerDefinition, {typeName}), this);
    return nullptr;
  }
  Container* child = new Container();
  child->name = childName;
  child->parent = childParent;
  child->type = typeName;
  child->index = childIndex;
  child->schema = DataManager::Instance()->Schema();
  child->configSoup = config;
  child->forCheck = childParent && childParent->forCheck;
  child->savingName = def.GetNamedTag(tn::savingname);
  return child;
}

void Container::RemoveDefinitionTag(const Kiv::PString& tagName) {
  auto found = std::find_if(definitionTags.begin(), definitionTags.end(),
                            [&](const Tag* t) { return t->name == tagName; });
  if (found == definitionTags.end()) return;
  Tag* doomed = *found;
  definitionTags.erase(found);
  delete doomed;
}

void Container::MoveHeaderTagsToFront() {
  tags.insert(tags.begin(), headerTags.begin(), headerTags.end());
  headerTags.clear();
}

void Container::KeepExtensions(const SoupRef& soup) {
  auto holder = std::make_unique<SoupRef>();
  holder->Copy(soup);
  extensions = std::move(holder);
}

void Container::AddContainerRule(ContainerRuleFn rule, const SoupRef& parameters) {
  rules.push_back(rule);
  ruleParameters.push_back(parameters);
}

bool Container::BuildAtLeast(float b) const { return BuildHundredths(AssetBuild()) >= BuildHundredths(b); }

bool Container::HasTagNamed(const Kiv::PString& tagName, bool valueFollows) {
  NameLookup& l = Lookup();
  // Tags join the list through AddTag; index what was added since the last
  // look. When the indexed part changed some other way (tags inserted in front
  // of it, or removed), index the whole list again.
  if (tags.size() < l.tagNamesIndexed ||
      (l.tagNamesIndexed && tags[l.tagNamesIndexed - 1] != l.lastIndexedTag)) {
    l.names.ForEachValue([](NameUse& use) { use.inTags = false; });
    l.tagNamesIndexed = 0;
  }
  for (; l.tagNamesIndexed < tags.size(); ++l.tagNamesIndexed)
    l.names.Insert(tags[l.tagNamesIndexed]->name, NameUse()).inTags = true;
  l.lastIndexedTag = tags.empty() ? nullptr : tags.back();
  // When its value is looked up next, a new name gets its slot now (neither
  // in the tags nor among the values yet): that look-up then finds it at once.
  if (valueFollows) return l.names.Insert(tagName, NameUse()).inTags;
  const NameUse* use = l.names.Find(tagName);
  return use && use->inTags;
}

TagValue Container::ValueOf(const SoupRef& values, const Kiv::PString& tagName) {
  if (tagName.IsNull() || values.IsNull()) return TagValue();
  NameLookup& l = Lookup();
  if (!(l.valueSoup == values) || l.valueCount != values.CountTags()) {
    if (l.valueIndexed) l.names.ForEachValue([](NameUse& use) { use.firstValue = NameUse::kNoValue; });
    l.valueSoup = values;
    l.valueCount = values.CountTags();
    l.names.Reserve(l.names.Size() + std::min<size_t>(l.valueCount, NameUse::kNoValue));
    l.valueIndexed = 0;
  }
  // The index covers the soup's first l.valueIndexed tags and grows only as
  // far as a look-up needs. Callers mostly ask in the soup's own order: each
  // look-up then indexes one more tag, in the table slot it has just read.
  // (Tags past the first kNoValue are looked up plainly.)
  const size_t indexable = std::min<size_t>(l.valueCount, NameUse::kNoValue);
  const NameUse* use = l.names.Find(tagName);
  long found = use && use->firstValue != NameUse::kNoValue ? static_cast<long>(use->firstValue) : -1;
  while (found < 0 && l.valueIndexed < indexable) {
    const size_t i = l.valueIndexed++;
    const Kiv::PString& name = values.Get()->GetTag(i).GetName();
    NameUse& first = l.names.Insert(name, NameUse());
    if (first.firstValue == NameUse::kNoValue) first.firstValue = static_cast<uint32_t>(i);
    if (name == tagName) found = first.firstValue;
  }
  // Tags are mostly made in the soup's order: the next ones look up the names
  // that follow. A few tags ahead, so the slot is there when asked for.
  constexpr size_t kAhead = 4;
  if (l.valueIndexed + kAhead < indexable)
    l.names.Prefetch(values.Get()->GetTag(l.valueIndexed + kAhead).GetName());
  const ACSChunk* node = values.Get();
  if (found < 0 && l.valueCount > indexable) found = node->FindTag(tagName, indexable);
  if (found < 0) return TagValue();
  const TDBDataTag* tag = &node->GetTag(static_cast<size_t>(found));
  if (!(tag->GetName() == tagName)) {  // renamed since: look it up plainly
    const long at = node->FindTag(tagName);
    if (at < 0) return TagValue();
    tag = &node->GetTag(static_cast<size_t>(at));
  }
  return ValueText(*tag);
}

// ---- Container: definitions ----

SoupRef Container::AssetConfig() const {
  SoupRef config;
  for (const Container* c = this; c; c = c->parent)
    if (c->configSoup) config = c->configSoup;
  return config;
}

SoupRef Container::FindChildDefinition(const Kiv::PString& typeName) const {
  if (schema) return schema.GetNamedSoup(typeName);
  return DataManager::Instance()->Schema().GetNamedSoup(typeName);
}

void Container::ResolveInheritance(const SoupRef& def, DefinitionMerge& merge,
                                   std::vector<Kiv::PString>& path) {
  SoupRef inherit = def.GetNamedSoup(tn::inherit);
  for (size_t i = 0; i < inherit.CountTags(); ++i) {
    Kiv::PString baseName = inherit.GetIndexedTagName(i);
    // A definition that inherits from itself, directly or through others,
    // would never finish: report it and leave that branch out.
    if (std::find(path.begin(), path.end(), baseName) != path.end()) {
      if (ErrorHandler* eh = Findings()) eh->Error(FormatMessage(kInheritCycle, {baseName}), this);
      merge.reported = true;
      continue;
    }
    if (path.size() >= kMaxInheritDepth || merge.OverBudget()) {
      if (ErrorHandler* eh = Findings()) eh->Error(FormatMessage(kInheritTooDeep, {type}), this);
      merge.reported = true;
      return;
    }
    SoupRef base = FindChildDefinition(baseName);
    if (!base) continue;
    path.push_back(baseName);
    ResolveInheritance(base, merge, path);
    path.pop_back();
    merge.MergeDefinition(base);
    ++merge.merges;
  }
}

namespace {
// What the loading of a definition needs of each merged entry, read from the
// entry's soup once per merged definition rather than once per container.
struct PreparedEntry {
  enum Kind : uint8_t { kOther, kElement, kValue };
  Kiv::PString name, elementType;
  SoupRef entry;
  SoupRef elementDefinition;  // the schema's definition of elementType
  Kind kind = kOther;
  int32_t compulsory = 0;
  TagPrototype prototype;  // value entries
  // A tag made from this entry alone leaves nothing behind but itself: no
  // registry files it, no mesh is checked for it, no finding is made.
  bool quietAlone = false;
};

bool QuietAlone(const TagPrototype& p) {
  switch (p.typeCode) {
    case Tag::kString:
    case Tag::kInt:
    case Tag::kFloat:
    case Tag::kListBox:
    case Tag::kIntComboBox:
    case Tag::kKUID:
    case Tag::kKUIDBrowser: return true;
    case Tag::kBool:  // a default other than these is reported
      return !p.defaultIsParent && (p.defaultText.empty() || p.defaultText == "0" || p.defaultText == "1");
    case Tag::kComboBox:  // these sources file the tag
      return !(p.source == tn::attachment || p.source == tn::mesh_table || p.source == tn::attached_track ||
               p.source == tn::queues);
    default: return false;
  }
}

std::shared_ptr<const std::vector<PreparedEntry>> PrepareEntries(const SoupRef& subs,
                                                                 const SoupRef& arrayElements,
                                                                 const SoupRef& schema) {
  auto out = std::make_shared<std::vector<PreparedEntry>>();
  out->reserve(subs.CountTags());
  for (size_t i = 0; i < subs.CountTags(); ++i) {
    PreparedEntry e;
    e.entry = subs.GetIndexedSoup(i);
    e.name = subs.GetIndexedTagName(i);
    if (!e.entry || e.name.IsEmpty()) continue;
    const Kiv::PString kind = e.entry.GetNamedTag(tn::kind);
    e.kind = kind == tn::element ? PreparedEntry::kElement
             : kind == tn::value ? PreparedEntry::kValue
                                 : PreparedEntry::kOther;
    e.compulsory = e.entry.GetNamedTagAsInt(tn::compulsory, 0);
    if (e.kind == PreparedEntry::kElement) {
      e.elementType = e.entry.GetNamedTag(tn::element_type);
      e.elementDefinition = schema.GetNamedSoup(e.elementType);
    }
    if (e.kind == PreparedEntry::kValue) {
      e.prototype = TagPrototype(e.entry);
      e.quietAlone = QuietAlone(e.prototype);
    }
    out->push_back(std::move(e));
  }
  // The array elements' types follow as element entries without a name.
  for (size_t i = 0; i < arrayElements.CountTags(); ++i) {
    PreparedEntry e;
    e.elementType = arrayElements.GetNamedTag(arrayElements.GetIndexedTagName(i));
    e.elementDefinition = schema.GetNamedSoup(e.elementType);
    out->push_back(std::move(e));
  }
  return out;
}

// Merged definitions by (definition, container type, schema): the schema is
// never written, so a merge once made holds for every later container of
// that type. Each key holds its soups, so no node is reused while cached.
struct MergedDefinition {
  SoupRef def, schema, subs, tagArray, arrayElements;
  Kiv::PString type;
  std::shared_ptr<const std::vector<PreparedEntry>> entries;
};
struct MergeCache {
  std::mutex lock;
  std::vector<MergedDefinition> entries;
  std::unordered_map<const void*, std::vector<size_t>> byDefinition;
};
MergeCache& Merges() {
  static auto* cache = new MergeCache;
  return *cache;
}
constexpr size_t kMaxCachedMerges = 4096;
}  // namespace

void Container::LoadDefinition(const SoupRef& def, bool makeCompulsory) {
  const SoupRef& schemaUsed = schema ? schema : DataManager::Instance()->Schema();
  SoupRef tagArray;
  std::shared_ptr<const std::vector<PreparedEntry>> entries;
  MergeCache& cache = Merges();
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    if (auto found = cache.byDefinition.find(def.Get()); found != cache.byDefinition.end()) {
      for (size_t i : found->second) {
        const MergedDefinition& m = cache.entries[i];
        if (!(m.type == type) || !(m.schema == schemaUsed)) continue;
        tagArray = m.tagArray;
        entries = m.entries;
        break;
      }
    }
  }
  if (!entries) {
    DefinitionMerge merge;
    std::vector<Kiv::PString> path{type};
    ResolveInheritance(def, merge, path);
    merge.MergeDefinition(def);
    const SoupRef subs = merge.subs.Build();
    tagArray = merge.tagArray.Build();
    const SoupRef arrayElements = merge.arrayElements.Build();
    entries = PrepareEntries(subs, arrayElements, schemaUsed);
    // A merge that made findings is made again, so every container that
    // meets the fault reports it.
    if (!merge.reported && def) {
      std::lock_guard<std::mutex> guard(cache.lock);
      if (cache.entries.size() >= kMaxCachedMerges) {
        cache.entries.clear();
        cache.byDefinition.clear();
      }
      cache.byDefinition[def.Get()].push_back(cache.entries.size());
      cache.entries.push_back(
          MergedDefinition{def, schemaUsed, subs, tagArray, arrayElements, type, entries});
    }
  }

  // AddElementType with the definition found beforehand.
  auto addElementType = [this](const PreparedEntry& e) {
    if (!e.elementType.IsEmpty() &&
        std::find(elementTypeNames.begin(), elementTypeNames.end(), e.elementType) != elementTypeNames.end())
      return;
    elementTypeNames.push_back(e.elementType);
    elementDefinitions.push_back(e.elementDefinition);
  };
  size_t made = 0, elements = 0;
  for (const PreparedEntry& e : *entries) {
    made += e.kind == PreparedEntry::kValue && e.compulsory == 0 && !(forCheck && e.quietAlone);
    elements += e.kind == PreparedEntry::kElement || e.name.IsNull();
  }
  definitionTags.reserve(definitionTags.size() + made);
  elementTypeNames.reserve(elementTypeNames.size() + elements);
  elementDefinitions.reserve(elementDefinitions.size() + elements);
  for (const PreparedEntry& e : *entries) {
    if (e.name.IsNull()) continue;  // the array elements, after the tag array below
    if (e.kind == PreparedEntry::kElement) {
      if (e.compulsory != 0) compulsoryElementDefinitions.push_back(e.elementDefinition);
      addElementType(e);
    } else if (e.kind == PreparedEntry::kValue && (e.compulsory == 0 || makeCompulsory)) {
      if (forCheck && e.compulsory == 0 && e.quietAlone) {
        // Nothing in a check reads it. Making it would end the definition here
        // when a tag of the name is listed already.
        if (!tags.empty() && HasTagNamed(e.name, false)) return;
        continue;
      }
      Tag* tag = CreateBoundTag(this, e.name, e.entry, e.prototype, SoupRef());
      if (!tag) return;  // a tag of that name exists already: the definition ends here
      if (e.compulsory == 0)
        definitionTags.push_back(tag);
      else
        AddTag(tag);
    }
  }
  if (tagArray) tagArrayDefinition = tagArray;
  for (const PreparedEntry& e : *entries)
    if (e.name.IsNull()) addElementType(e);
}

void Container::AddElementType(const Kiv::PString& typeName) {
  if (!typeName.IsEmpty() &&
      std::find(elementTypeNames.begin(), elementTypeNames.end(), typeName) != elementTypeNames.end())
    return;
  elementTypeNames.push_back(typeName);
  elementDefinitions.push_back(FindChildDefinition(typeName));
}

void Container::AddCompulsoryElement(const Kiv::PString& typeName) {
  compulsoryElementDefinitions.push_back(FindChildDefinition(typeName));
}

Tag* Container::CreateTagFromDefinition(Container* tagOwner, const Kiv::PString& tagName,
                                        const SoupRef& entry, const SoupRef& values) {
  return CreateTagFromDefinition(tagOwner, tagName, entry, TagPrototype(entry), values);
}

Tag* Container::CreateTagFromDefinition(Container* tagOwner, const Kiv::PString& tagName,
                                        const SoupRef& entry, const TagPrototype& prototype,
                                        const SoupRef& values) {
  return CreateTag(tagOwner, tagName, entry, prototype, values, false, -1);
}

Tag* Container::CreateBoundTag(Container* tagOwner, const Kiv::PString& tagName, const SoupRef& entry,
                               const TagPrototype& prototype, const SoupRef& values, long soleAt) {
  return CreateTag(tagOwner, tagName, entry, prototype, values, true, soleAt);
}

Tag* Container::CreateTag(Container* tagOwner, const Kiv::PString& tagName, const SoupRef& entry,
                          const TagPrototype& prototype, const SoupRef& values, bool bindRules, long soleAt) {
  const bool sole = soleAt >= 0 && values;
  if (!sole && tagOwner->HasTagNamed(tagName, values.IsValid())) return nullptr;
  Tag* tag = MakeTag(static_cast<int32_t>(tagOwner->tags.size()), tagOwner, tagName);
  // Rules first: they then take the tag's own word, and a registry that
  // classifying files the tag in finds it in its table instead. The other way
  // round, such a tag's rules went to the table beside the tags, a look-up
  // under a lock at every binding, run and removal.
  if (bindRules) BindValidation(*tag, entry, prototype);

  TagValue given = sole     ? ValueText(values.Get()->GetTag(static_cast<size_t>(soleAt)))
                   : values ? tagOwner->ValueOf(values, tagName)
                            : TagValue();
  if (!given.IsEmpty()) {
    tag->value = std::move(given);
  } else if (prototype.defaultIsParent) {
    tag->value = tagOwner->name;
  } else {
    tag->value = prototype.defaultText;  // no default and an empty one both leave it empty
  }
  tag->madeFromDefinition = !values;
  // A definition tag of the name would hold the name too.
  if (values && !sole && prototype.compulsory == 0) tagOwner->RemoveDefinitionTag(tagName);
  // The type note is only a trace: nothing is recorded, so the text is not built.
  if (ErrorHandler* eh = Findings()) eh->Trace(kTypeSpecification, tag);
  ClassifyTag(tag, entry, prototype, values, tagOwner);
  return tag;
}

void Container::ClassifyTag(Tag* tag, const SoupRef& entry, const SoupRef& values, Container* tagOwner) {
  ClassifyTag(tag, entry, TagPrototype(entry), values, tagOwner);
}

void Container::ClassifyTag(Tag* tag, const SoupRef&, const TagPrototype& p, const SoupRef& values,
                            Container* tagOwner) {
  // The registries and the asset's details only for the forms that use them.
  ErrorHandler* eh = Findings();

  switch (p.typeCode) {
    case Tag::kString:
      tag->typeCode = Tag::kString;
      if (!values) {
        // Tags made from the definition alone take the user's own details.
        const PersonalDetails& me = DataManager::Instance()->Personal();
        const Kiv::PString& n = tag->name;
        if (n == tn::license)
          tag->value = me.license;
        else if (n == tn::author)
          tag->value = me.author;
        else if (n == tn::organisation)
          tag->value = me.organisation;
        else if (n == tn::contact_email)
          tag->value = me.email;
        else if (n == tn::website || n == tn::contact_website)
          tag->value = me.website;
      }
      tag->disabled = p.disabled;
      tag->SetFilter(p.filter);
      return;
    case Tag::kInt:
    case Tag::kFloat:
      tag->typeCode = p.typeCode;
      tag->disabled = p.disabled;
      return;
    case Tag::kBool: {
      tag->typeCode = Tag::kBool;
      const std::string_view v = tag->value.View();
      if (!v.empty() && v != "0" && v != "1" && eh)
        eh->Warning(FormatMessage(kNotBoolean, {tag->name, tagOwner->name}), tag);
      return;
    }
    case Tag::kListBox:
      tag->typeCode = Tag::kListBox;
      if (!tag->value.IsEmpty() && !InListBoxSource(p.source, tag->value.View())) EmptyChoice(*tag, p.source);
      return;
    case Tag::kComboBox: {
      DataManager* dm = DataManager::Instance();
      tag->typeCode = Tag::kComboBox;
      const Kiv::PString& src = p.source;
      if (src == tn::attachment) {
        if (p.unique)
          dm->RegisterUniqueTag(tag);
        else
          dm->RegisterTag(tag);
        tag->SetSource(src);
        tag->hasSource = true;
      } else if (src == tn::mesh_table || src == tn::attached_track || src == tn::queues) {
        dm->RegisterTagBySource(src, tag);
        tag->SetSource(src);
        tag->hasSource = true;
      } else if (!tag->value.IsEmpty() && !InComboBoxSource(src, tag->value.View())) {
        EmptyChoice(*tag, src);
      }
      return;
    }
    case Tag::kIntComboBox:
      tag->typeCode = Tag::kIntComboBox;
      if (!tag->value.IsEmpty() && !InComboBoxSource(p.source, tag->value.View()))
        EmptyChoice(*tag, p.source);
      return;
    case Tag::kKUID:
      tag->typeCode = Tag::kKUID;
      if (tag->value.IsEmpty()) tag->value = FormatKUIDTag(KUID::Null());
      return;
    case Tag::kFilePath:
    case Tag::kFilePathEdit: {
      tag->typeCode = p.typeCode;
      tag->SetDataType(p.dataType);
      tag->isFilePath = true;
      if (tag->name == tn::script) return;
      DataManager* dm = DataManager::Instance();
      if (values && values.HasNamedTag(tn::mesh_asset)) {
        dm->borrowedMesh = true;
      } else if (GetMeshLoader()) {
        Kiv::File::Path path = dm->assetFolder;
        path.Join(Kiv::ToLowerAscii(tag->value.View()));
        dm->CheckLODMesh(path.Str(), tagOwner);
      } else if (const auto& check = dm->GetLODMeshCheck()) {
        Kiv::File::Path path = dm->assetFolder;
        path.Join(Kiv::ToLowerAscii(tag->value.View()));
        if (auto record = check(path.Str(), *tagOwner)) tagOwner->lodMeshRecord = std::move(record);
      }
      return;
    }
    case Tag::kKUIDBrowser:
      tag->typeCode = Tag::kKUIDBrowser;
      if (p.hasCategory) tag->SetCategory(p.category);
      if (p.hasFilter) tag->SetFilter(p.filter);
      return;
    case Tag::kUnclassified: break;
    default:  // the value forms that keep nothing more
      tag->typeCode = p.typeCode;
      return;
  }
  DataManager* dm = DataManager::Instance();
  const Kiv::PString& n = tag->name;
  if ((n == tn::bang || n == tn::rem || n == tn::semicolon) && BuildHundredths(dm->build) < 250) {
    tag->typeCode = Tag::kComment;
    return;
  }
  const bool obsolete = std::find(tagOwner->obsoleteTagNames.begin(), tagOwner->obsoleteTagNames.end(), n) !=
                            tagOwner->obsoleteTagNames.end() ||
                        n.View().starts_with("category-region-") || n.View().starts_with("category-era-");
  if (!eh) return;
  if (obsolete) {
    Kiv::PString text = FormatMessage(kObsoleteTag, {n, tagOwner->name});
    if (TruncatedHundredths(dm->build) >= 290)
      eh->Error(text, tag);
    else
      eh->Warning(text, tag);
  } else {
    eh->Error(FormatMessage(kNoDefinition, {n, tagOwner->name}), tag);
  }
}

SoupRef Container::ApplyObsoleteTags(const SoupRef& def) {
  std::vector<Kiv::PString> obsolete;
  SoupRef admitted = AdmitObsoleteTags(def, BuildHundredths(AssetBuild()), obsolete);
  obsoleteTagNames.insert(obsoleteTagNames.end(), obsolete.begin(), obsolete.end());
  return admitted;
}

SoupRef Container::AdmitObsoleteTags(const SoupRef& def, int32_t assetBuild,
                                     std::vector<Kiv::PString>& obsoleteNames) {
  SoupRef obsolete = def.GetNamedSoup(tn::obsolete_tag);
  if (!obsolete) return def;
  DefinitionMerge::Table stillValid;
  for (size_t i = 0; i < obsolete.CountTags(); ++i) {
    SoupRef entry = obsolete.GetIndexedSoup(i);
    int32_t since = BuildHundredths(entry.GetNamedTagAsFloat(tn::obsolete_version, 2.6f));
    if (assetBuild >= since)
      obsoleteNames.push_back(obsolete.GetIndexedTagName(i));
    else if (entry)
      stillValid.Set(obsolete.Get()->GetTag(i));
  }
  if (stillValid.where.empty()) return def;

  // The schema's definition is shared by every check: the entries that are
  // still valid for this asset go into a private copy of it.
  DefinitionMerge::Table merged;
  merged.MergeEntries(def.GetNamedSoup(tn::subpossibilities));
  for (const auto& item : stillValid.items)
    if (item.live) merged.Set(item.tag);
  SoupRef own = SoupRef::NewContainer();
  for (size_t i = 0; i < def.CountTags(); ++i)
    // A child made here cannot hold the soup it enters.
    if (def.GetIndexedTagName(i) != tn::subpossibilities) (void)own.Get()->AppendTag(def.Get()->GetTag(i));
  // A child made here cannot hold the soup it enters.
  (void)own.SetNamedSoup(tn::subpossibilities, merged.Build());
  return own;
}

// ---- Container: lookups ----

SoupRef Container::ExpandNumberedArray(const SoupRef& def, const Kiv::PString& tagName) const {
  SoupRef subs = def.GetNamedSoup(tn::subpossibilities);
  if (SoupRef own = subs.GetNamedSoup(tagName)) return own;
  if (def.HasNamedTag(tn::array_element)) return def.GetNamedSoup(tn::array_element);
  if (IsArrayIndexName(tagName.View())) {
    for (size_t i = 0; i < subs.CountTags(); ++i) {
      SoupRef entry = subs.GetIndexedSoup(i);
      if (entry && entry.GetNamedTagAsInt(tn::numarray, 0) != 0) return entry;
    }
  }
  return SoupRef();
}

SoupRef Container::FindEntryDefinition(const SoupRef& def, std::span<const SoupRef> elements,
                                       const Kiv::PString& tagName) {
  if (SoupRef e = def.GetNamedSoup(tn::subpossibilities).GetNamedSoup(tagName)) return e;
  if (SoupRef e = def.GetNamedSoup(tn::tagarray).GetNamedSoup(tagName)) return e;
  for (const SoupRef& element : elements) {
    if (SoupRef e = element.GetNamedSoup(tn::subpossibilities).GetNamedSoup(tagName)) return e;
    if (SoupRef e = element.GetNamedSoup(tn::tagarray).GetNamedSoup(tagName)) return e;
  }
  return SoupRef();
}

void Container::CheckStringTableTag(const SoupRef& def, const Kiv::PString& tagName, SoupRef& result,
                                    Container* container, bool reportNoSmoke) {
  result = ExpandNumberedArray(def, tagName);
  if (result) return;
  if (tagName.View().starts_with("string-table-")) {
    result = ExpandNumberedArray(def, tn::string_table);
  } else if (tagName.View().starts_with("smoke")) {
    result = ExpandNumberedArray(def, tn::smoke);
    if (!result && reportNoSmoke)
      if (ErrorHandler* eh = Findings()) eh->Error(FormatMessage(kNoSmoke), container);
  }
}

Kiv::PString ContainerTypeName(size_t index) {
  // Every nested container of a typed definition asks: the first names are made once.
  static const std::vector<Kiv::PString>* names = [] {
    auto* made = new std::vector<Kiv::PString>;
    for (int i = 0; i < 32; ++i) made->emplace_back("container-type" + std::to_string(i));
    return made;
  }();
  return index < names->size() ? (*names)[index] : Kiv::PString("container-type" + std::to_string(index));
}

Kiv::PString Container::GetContainerType(const SoupRef& soup, const Kiv::PString& text) const {
  Kiv::PString found;
  const size_t count = soup.CountTags();
  std::string scratch;
  for (size_t i = 0; i < count; ++i) {
    // Compared where it lies; only the one taken is interned.
    const Kiv::PString name = ContainerTypeName(i);
    if (soup.GetNamedTagText(name, scratch).find(text.View()) != std::string_view::npos) {
      found = soup.GetNamedTag(name);
      break;
    }
  }
  if (found.IsEmpty()) found = soup.GetNamedTag(tn::container_type0);
  return found;
}

void Container::CountCompulsoryElements(const SoupRef& def, std::map<Kiv::PString, float, PStringLess>& out,
                                        Compulsory which) const {
  SoupRef subs = def.GetNamedSoup(tn::subpossibilities);
  for (size_t i = 0; i < subs.CountTags(); ++i) {
    SoupRef entry = subs.GetIndexedSoup(i);
    if (!entry) continue;
    float build = entry.GetNamedTagAsFloat(tn::compulsory, 0.0f);
    if (!(build > 0.0f)) continue;
    bool isContainer = entry.GetNamedTagType(tn::element_type) == kSoupText;
    if (isContainer == (which == Compulsory::kContainers)) out[subs.GetIndexedTagName(i)] = build;
  }
}

bool Container::IsInComboBoxSource(const SoupRef& def, std::string_view v) const {
  return InComboBoxSource(def.GetNamedTag(tn::source), v);
}

bool Container::IsInIntComboBoxSource(const SoupRef& def, std::string_view v) const {
  return IsInComboBoxSource(def, v);
}

bool Container::IsInListBoxSource(const SoupRef& def, std::string_view v) const {
  return InListBoxSource(def.GetNamedTag(tn::source), v);
}

}  // namespace OBLLib
