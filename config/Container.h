#pragma once
// The typed, schema-checked form of an asset config: a tree of containers,
// each holding tags bound to their definitions in the schema.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "config/CompactList.h"
#include "config/NameIndex.h"
#include "config/PtrList.h"
#include "config/TagSlabs.h"
#include "config/TagValue.h"
#include "foundation/Soup.h"
#include "kiv/PString.h"

namespace OBLLib {

class Container;
class Tag;
struct ImportPlan;
struct TagPrototype;   // what a tag takes from its definition entry (config/TagPrototype.h)
struct LODMeshRecord;  // what the mesh check keeps about a file-path tag's mesh

// Orders interned strings by their text, for maps that are printed or compared.
struct PStringLess {
  bool operator()(const Kiv::PString& a, const Kiv::PString& b) const { return a.View() < b.View(); }
};

using TagRuleFn = bool (*)(Tag& tag, const SoupRef& parameters);
using ContainerRuleFn = bool (*)(Container& container, const SoupRef& parameters);

// The table of named tag validation rules that BindValidation looks names up
// in. The rules themselves register here.
void RegisterTagRule(const Kiv::PString& name, TagRuleFn rule);
TagRuleFn FindTagRule(const Kiv::PString& name);

// Builds compared in whole hundredths: build * 100 + 0.1, truncated. A build
// that is not finite or out of range counts as 0 rather than overflowing.
int32_t BuildHundredths(float build);
// Build times 100, truncated, without the rounding allowance.
int32_t TruncatedHundredths(float build);

// "container-type<index>", the names of a typed definition's container types.
Kiv::PString ContainerTypeName(size_t index);

// A validation rule bound to a tag, with its parameters from the definition.
struct BoundTagRule {
  TagRuleFn rule;
  SoupRef parameters;
};

class Tag {
public:
  // The value form a tag holds; set by Container::ClassifyTag.
  enum TypeCode : int32_t {
    kUnclassified = -1,
    kFloat = 0,
    kString,
    kNone,
    kInt,
    kBool,
    kVector2,
    kVector3,
    kVector4,
    kVector5,
    kFloatList,
    kComboBox,
    kIntComboBox,
    kListBox,
    kDoubleString,
    kKUID,
    kFilePath,
    kFilePathEdit,
    kStringKUID,
    kKUIDBrowser,
    kStringKUIDBrowser,
    kComment,
  };

  Tag();
  ~Tag();
  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;
  // Tags lie side by side in slabs (config/TagSlabs.h), not each in a heap block.
  static void* operator new(size_t size);
  static void operator delete(void* block) noexcept;

  // Appends the rules named in the definition's "validation" container that
  // the rule table knows, each with its parameter soup.
  void BindValidation(const SoupRef& definition);

  // Serial id, never reused in the process: findings are attributed by it.
  // Given when first asked for: few tags are ever reported against.
  uint64_t Id() const;
  // Where the tag keeps its place in the first DataManager tag list it is
  // filed in; null once its id took that room (see m_slot).
  ListPlace* RegistryPlace() const {
    if (m_slotIsId || m_slotIsRules) return nullptr;  // the lists then find the tag in their tables
    if (!m_slotIsPlace) {
      ::new (static_cast<void*>(&SlotWord().place)) ListPlace();
      m_slotIsPlace = true;
    }
    return &SlotWord().place;
  }
  // Number of tags alive in the process.
  static long LiveCount();
  // For whoever deletes many tags together, just before deleting this one:
  // the id whose findings the error handler is to take back for the tag, or
  // 0 when none. The tag forgets its id, so its deletion leaves them to the
  // caller, who takes them back in a batch.
  uint64_t TakeFindingsOwner() {
    // A tag that was never given an id has no findings to take back.
    return m_slotIsId || m_idBeside ? TakeReportedId() : 0;
  }

  // A config holds a tag per value, so the fields are laid out without gaps
  // and the fields that few tags set lie outside (see the accessors below).
  Kiv::PString name;
  TagValue value;  // the value as text, whatever the type
  Container* owner = nullptr;
  int32_t index = -1;  // position in the owner's tag list when made
  int8_t typeCode = kUnclassified;
  bool hasSource : 1 = false;    // combo box filed under a registry source
  bool emptyIsError : 1 = true;  // an empty string value is an error, not a warning
  bool disabled : 1 = false;
  bool isFilePath : 1 = false;
  bool madeFromDefinition : 1 = false;  // made before the import, without a config value
  // Filed in a DataManager registry (the first or second tag list, or a key's
  // list): only such tags need taking out when deleted, and only from there,
  // which spares every other tag the registries' look-ups.
  bool filedFirst : 1 = false;
  bool filedSecond : 1 = false;
  bool filedByKey : 1 = false;
  // A finding was reported against the tag: likewise for the error handler.
  mutable bool reported : 1 = false;

  // The validation rules bound to the tag, in binding order, with their
  // parameters (few definitions name any; see m_slot).
  const CompactList<BoundTagRule>& Rules() const {
    return m_slotIsRules ? SlotWord().rules : m_hasRules ? SideRules() : kNoRules;
  }
  // The list to bind more rules to (one look-up for several).
  CompactList<BoundTagRule>& MutableRules();

  // File-path tags: the definition's "datatype".
  const Kiv::PString& DataType() const { return Extra(kDataType); }
  void SetDataType(const Kiv::PString& v) { SetExtra(kDataType, v); }
  // The registry source a combo box is filed under.
  const Kiv::PString& Source() const;
  void SetSource(const Kiv::PString& v);
  const Kiv::PString& Category() const { return Extra(kCategory); }  // kuidbrowser tags
  void SetCategory(const Kiv::PString& v) { SetExtra(kCategory, v); }
  const Kiv::PString& Filter() const { return Extra(kFilter); }  // string and kuidbrowser tags
  void SetFilter(const Kiv::PString& v) { SetExtra(kFilter, v); }
  // A choice whose list lacks the value the config gave is emptied; this
  // says so, naming the value, for the finding that it is empty.
  const Kiv::PString& WhyEmptied() const { return Extra(kWhyEmptied); }
  void SetWhyEmptied(const Kiv::PString& v) { SetExtra(kWhyEmptied, v); }

private:
  enum ExtraField : uint8_t { kDataType, kCategory, kFilter, kSource, kWhyEmptied, kExtraFields };
  // The rare fields (these and the rules) sit in one table beside the tags,
  // filled only for a tag that sets one; the others read as null.
  const Kiv::PString& Extra(ExtraField field) const;
  const CompactList<BoundTagRule>& SideRules() const;
  static inline const CompactList<BoundTagRule> kNoRules;
  void SetExtra(ExtraField field, const Kiv::PString& v);

  mutable bool m_hasSide : 1 = false;  // the tag has an entry in that table
  bool m_hasRules : 1 = false;
  // What m_slot holds: nothing yet, the registry place, the id or the rules.
  mutable bool m_slotIsPlace : 1 = false;
  mutable bool m_slotIsId : 1 = false;
  bool m_slotIsRules : 1 = false;
  mutable bool m_idBeside : 1 = false;  // the id lies in the table beside the tags
  bool m_inSlab : 1 = false;  // made by new, so in a tag slab (not on the stack or in another object)
  uint8_t m_source = 0;       // index among the registry sources; kOtherSource: in the extras
  // Few tags are filed in a registry, few are reported against and few have
  // rules, fewer two of these: one word holds the registry place, the id or
  // the rules, whichever the tag needed first; the others lie in the side
  // table. The word lies beside the tag in its slab, not in it: a config of
  // plain values then pays nothing for it.
  union Slot {
    ListPlace place;
    uint64_t id;
    CompactList<BoundTagRule> rules;  // made in place when the slot takes it
  };
  static_assert(sizeof(Slot) == 8 && alignof(Slot) <= 8);
  // Written before it is read: the flags above say what it holds. A tag made
  // outside the slabs keeps it in the side table.
  Slot& SlotWord() const { return m_inSlab ? *static_cast<Slot*>(TagSlabs::Beside(this)) : SideSlotWord(); }
  Slot& SideSlotWord() const;
  uint64_t TakeReportedId();
};

// Runs every bound rule of the tag in order (all of them, even after one
// fails); true when each returned true.
[[nodiscard]] bool RunTagRules(Tag& tag);
// The same over a container's own rules.
[[nodiscard]] bool RunContainerRules(Container& container);

class Container {
public:
  Container();
  virtual ~Container();
  Container(const Container&) = delete;
  Container& operator=(const Container&) = delete;
  // Containers lie in the tag slabs too (config/TagSlabs.h): a tree's child
  // containers are then cut in turn beside its tags and go with them, not
  // one heap block each, scattered, to be found again and freed one by one.
  static void* operator new(size_t size);
  static void operator delete(void* block) noexcept;

  uint64_t Id() const { return m_id; }
  // Number of containers alive in the process.
  static long LiveCount();

  // ---- building the tree ----

  // A new tag with these fields; not added to any list.
  Tag* MakeTag(int32_t index, Container* owner, const Kiv::PString& name);
  // Takes ownership: "kuid" and "username" (any case) go to the header tags.
  void AddTag(Tag* tag);
  // Takes ownership of a child container.
  void AddChild(Container* child);
  // A new child made from the schema definition named typeName, or null (with
  // a finding against this container) when there is no such definition. The
  // caller adds it to its children and loads its definition.
  Container* MakeChild(const Kiv::PString& name, const Kiv::PString& typeName, Container* parent,
                       const SoupRef& config, int32_t index);
  // Deletes the first prepared definition tag of that name.
  void RemoveDefinitionTag(const Kiv::PString& name);
  // Puts the header tags, in their order, before every other tag.
  void MoveHeaderTagsToFront();
  // Keeps a deep copy of the soup; the export then writes only it.
  void KeepExtensions(const SoupRef& soup);
  void AddContainerRule(ContainerRuleFn rule, const SoupRef& parameters);
  // True when the asset under check is of this build or later (whole hundredths).
  [[nodiscard]] bool BuildAtLeast(float build) const;

  // ---- set-up, import and checks ----

  // Makes this fresh container the root of an asset's config tree: records
  // the build, upgrades a legacy config (in memory), maps the kind, loads its
  // definition and imports the soup. False when the kind or its definition
  // is missing, or the import failed.
  [[nodiscard]] bool SetupRoot(const SoupRef& config);
  // The schema's top-level definition of the kind (lower-cased), or null.
  SoupRef FindKindDefinition(const Kiv::PString& kind) const;
  // Walks the soup into target (this container or a new child below it),
  // making its tags and child containers, binding their rules and reporting
  // what the definition does not allow or misses. False only when a nested
  // container could not be made or imported.
  [[nodiscard]] bool ImportAndValidate(const SoupRef& soup, const SoupRef& definition, Container* target);
  // Binds the container checks named in the definition's "validation" list
  // (with what it inherits) to the container.
  void BindContainerChecks(const SoupRef& definition, Container* container);

  // ---- definitions ----

  // The schema's definition of that name, or null.
  SoupRef FindChildDefinition(const Kiv::PString& typeName) const;
  // Fills the element definitions, the prepared (and with makeCompulsory the
  // compulsory) tags and the tag array from the definition and what it inherits.
  void LoadDefinition(const SoupRef& definition, bool makeCompulsory);
  // A new classified tag for a config tag (or for a definition entry alone when
  // values is null); null when a tag of that name is already in the tags list.
  Tag* CreateTagFromDefinition(Container* owner, const Kiv::PString& name, const SoupRef& entry,
                               const SoupRef& values);
  // The same with the entry read beforehand.
  Tag* CreateTagFromDefinition(Container* owner, const Kiv::PString& name, const SoupRef& entry,
                               const TagPrototype& prototype, const SoupRef& values);
  // CreateTagFromDefinition with the entry's rules bound to the tag, as the
  // import and the definition's own tags need. soleAt >= 0: the tag at that
  // place in values is the only holder of the name in the process (see
  // Kiv::PString::HasOneHolder), so no tag of the tree has the name and the
  // value is that tag's: the name then needs no look-up and no index entry.
  Tag* CreateBoundTag(Container* owner, const Kiv::PString& name, const SoupRef& entry,
                      const TagPrototype& prototype, const SoupRef& values, long soleAt = -1);
  // Sets the tag's type code and the fields its type keeps; reports values and
  // names the definition does not allow.
  void ClassifyTag(Tag* tag, const SoupRef& entry, const SoupRef& values, Container* owner);
  void ClassifyTag(Tag* tag, const SoupRef& entry, const TagPrototype& prototype, const SoupRef& values,
                   Container* owner);
  // Admits the definition's obsolete tags by build: names obsolete for this
  // asset go to the obsolete tag names; the others stay valid. Returns the
  // definition to use for this container: the given one, or a private copy
  // with the still-valid obsolete entries added to its "subpossibilities".
  // The schema itself is never changed.
  SoupRef ApplyObsoleteTags(const SoupRef& definition);
  // The same for an asset of that build (in whole hundredths), the obsolete
  // names appended to obsoleteNames.
  static SoupRef AdmitObsoleteTags(const SoupRef& definition, int32_t assetBuild,
                                   std::vector<Kiv::PString>& obsoleteNames);
  void AddElementType(const Kiv::PString& typeName);
  void AddCompulsoryElement(const Kiv::PString& typeName);

  // ---- lookups ----

  // The entry that defines a tag name, with "array-element" and "numarray".
  SoupRef ExpandNumberedArray(const SoupRef& definition, const Kiv::PString& name) const;
  // The entry that defines a child container's name in the definition or, in
  // turn, in each of the element definitions.
  static SoupRef FindEntryDefinition(const SoupRef& definition, std::span<const SoupRef> elements,
                                     const Kiv::PString& name);
  static SoupRef FindEntryDefinition(const SoupRef& definition, const std::vector<SoupRef>& elements,
                                     const Kiv::PString& name) {
    return FindEntryDefinition(definition, std::span<const SoupRef>(elements), name);
  }
  // Entry lookup with the "string-table-" and "smoke" name families. A smoke
  // name that the definition does not cover is reported against container
  // unless reportNoSmoke is false (the caller has more definitions to ask).
  void CheckStringTableTag(const SoupRef& definition, const Kiv::PString& name, SoupRef& result,
                           Container* container, bool reportNoSmoke = true);
  // The first "container-type%i" whose text contains text, else "container-type0".
  Kiv::PString GetContainerType(const SoupRef& soup, const Kiv::PString& text) const;
  enum class Compulsory { kTags, kContainers };
  // The compulsory subpossibilities with their builds: tags (entries without
  // "element-type") or containers (entries with one).
  void CountCompulsoryElements(const SoupRef& definition, std::map<Kiv::PString, float, PStringLess>& out,
                               Compulsory which) const;
  [[nodiscard]] bool IsInComboBoxSource(const SoupRef& definition, std::string_view value) const;
  [[nodiscard]] bool IsInIntComboBoxSource(const SoupRef& definition, std::string_view value) const;
  [[nodiscard]] bool IsInListBoxSource(const SoupRef& definition, std::string_view value) const;

  // ---- fields ----

  int32_t index = -1;
  Kiv::PString name;
  Kiv::PString type;
  Kiv::PString savingName;
  // The lists that most containers of a large config leave empty (a table
  // entry's, say) take a pointer each (see CompactList).
  CompactList<SoupRef> elementDefinitions;
  CompactList<SoupRef> compulsoryElementDefinitions;
  std::vector<Container*> children;
  std::vector<Tag*> tags;
  std::vector<Tag*> headerTags;
  CompactList<Tag*> definitionTags;
  CompactList<Kiv::PString> obsoleteTagNames;
  CompactList<Kiv::PString> elementTypeNames;
  SoupRef tagArrayDefinition;
  Container* parent = nullptr;
  SoupRef configSoup;
  SoupRef schema;
  bool isRoot = false;

  // The config of the asset the container belongs to, which holds its
  // "kind": the soup of the outermost container that has one. A nested
  // container's own soup is only its part of the config.
  SoupRef AssetConfig() const;
  // Made for a check alone (validation), which reads only the config's tags: a
  // definition entry the config lacks gets its own tag only where making it
  // leaves a trace (a registry, a mesh check, a finding). Children take it over.
  bool forCheck = false;
  CompactList<ContainerRuleFn> rules;
  CompactList<SoupRef> ruleParameters;
  std::shared_ptr<LODMeshRecord> lodMeshRecord;
  std::unique_ptr<SoupRef> extensions;
  // What the schema manager filed for the container (the keys it is listed
  // under, a live object) and whether it was reported against: only that is
  // looked up when the container is deleted.
  // A container is filed under one key, its parent's name, nearly always:
  // that key is kept in place, so filing a child takes no heap block that
  // its deletion would have to fetch again. Further keys go to a list.
  struct RegistryKeys {
    Kiv::PString first;  // null: none in place (a null key goes to the list)
    CompactList<Kiv::PString> more;
    [[nodiscard]] bool empty() const { return first.IsNull() && more.empty(); }
    void push_back(const Kiv::PString& key) {
      if (first.IsNull() && !key.IsNull())
        first = key;
      else
        more.push_back(key);
    }
    template <class Visit>
    void ForEach(Visit&& visit) const {
      if (!first.IsNull()) visit(first);
      for (const Kiv::PString& key : more) visit(key);
    }
  };
  RegistryKeys registryKeys;
  mutable ListPlace registryPlace;  // in the first list it was filed in
  mutable bool hasLiveObject = false;
  mutable bool reported = false;

private:
  [[nodiscard]] bool Import(const SoupRef& soup, const SoupRef& definition, Container* target, int depth);
  // What an import of the definition needs before it reads the soup, kept per
  // definition, schema and asset build.
  std::shared_ptr<const ImportPlan> PlanImport(const SoupRef& definition, const SoupRef& schema,
                                               int32_t build);

  Tag* CreateTag(Container* owner, const Kiv::PString& name, const SoupRef& entry,
                 const TagPrototype& prototype, const SoupRef& values, bool bindRules, long soleAt);

  // valueFollows: ValueOf is asked about the name next.
  [[nodiscard]] bool HasTagNamed(const Kiv::PString& name, bool valueFollows);
  // The text of the first tag of that name in values (empty when none).
  TagValue ValueOf(const SoupRef& values, const Kiv::PString& name);
  struct DefinitionMerge;
  void ResolveInheritance(const SoupRef& definition, DefinitionMerge& merge, std::vector<Kiv::PString>& path);

  const uint64_t m_id;
  bool m_parentGoing = false;  // set while the parent deletes its children
  // One index of the names this container meets, for two questions: is a
  // tag of the name in the tags list (the duplicate test of
  // CreateTagFromDefinition), and where is the first tag of the name in the
  // config soup last read (so reading the values of n tags costs O(n), not
  // O(n^2)). A tag is mostly made right after its value is read, so both
  // answers come from the one slot, read once. Made on the first question:
  // most containers of a large tree (table entries, a config's own
  // containers whose names occur once) are never asked, and a smaller
  // container is less to write and to read again when the tree goes.
  struct NameUse {
    static constexpr uint32_t kNoValue = 0x7FFFFFFF;  // and the most tags of a soup indexed
    uint32_t firstValue : 31 = kNoValue;              // among the soup's first valueIndexed tags
    uint32_t inTags : 1 = 0;                          // among tags[0, tagNamesIndexed)
  };
  struct NameLookup {
    NameIndex<NameUse> names;
    size_t tagNamesIndexed = 0;
    const Tag* lastIndexedTag = nullptr;  // tags[tagNamesIndexed - 1] when indexed
    SoupRef valueSoup;
    size_t valueCount = 0;
    size_t valueIndexed = 0;
  };
  NameLookup& Lookup() {
    if (!m_lookup) m_lookup = std::make_unique<NameLookup>();
    return *m_lookup;
  }
  std::unique_ptr<NameLookup> m_lookup;
};

// Containers and tags keep their place in the first registry list they are
// filed in (see PtrList.h).
inline ListPlace* ListPlaceOf(const Container* container) { return &container->registryPlace; }
inline ListPlace* ListPlaceOf(const Tag* tag) { return tag->RegistryPlace(); }

}  // namespace OBLLib
