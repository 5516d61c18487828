// Import of a config soup into the typed tree, checking it against the schema.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "config/Container.h"
#include "config/DataManager.h"
#include "config/DefinitionCache.h"
#include "config/ErrorHandler.h"
#include "config/Messages.h"
#include "config/TagNames.h"
#include "config/TagPrototype.h"

namespace OBLLib {

namespace {

const Kiv::PString kObsoleteTag("$obl_container_obsoletetag");
const Kiv::PString kNoDefinition("$obl_container_nodefinition");
const Kiv::PString kOldContainer("$obl_container_oldcontainer");
const Kiv::PString kNoContainerDefinition("$obl_container_nocontainerdefinition");
const Kiv::PString kErrorInTemplate("$obl_container_errorintemplate");
const Kiv::PString kMissingTag("$obl_container_missingtag");
const Kiv::PString kMissingContainer("$obl_container_missingcontainer");
const Kiv::PString kTooDeep("$obl_container_toodeep");
const Kiv::PString kTraceTag("we're now doing the tag: %s");
const Kiv::PString kTraceType("we're now up to %s");

const Kiv::PString kDotCache(".cache");
const Kiv::PString kContainerType0("container-type0");
const Kiv::PString kElement("element");
const Kiv::PString kElementType("element-type");
const Kiv::PString kArrayElement("array-element");
const Kiv::PString kTagArray("tagarray");
const Kiv::PString kSubpossibilities("subpossibilities");
const Kiv::PString kInherit("inherit");
const Kiv::PString kIcon("icon");
const Kiv::PString kSmoke("smoke");
const Kiv::PString kSequence("sequence");
const Kiv::PString kFile("file");
const Kiv::PString kKind("kind");
const Kiv::PString kDescription("description");
const Kiv::PString kUsername("username");

// Nested containers deeper than this are not imported: no schema nests its
// containers this far, and the walk must not exhaust the stack.
constexpr int kMaxImportDepth = 64;
// More inherited definitions than this are taken for a malformed schema.
constexpr size_t kMaxInherited = 4096;

using BuildMap = std::map<Kiv::PString, float, PStringLess>;

ErrorHandler* Findings() { return ErrorHandler::Instance(); }

float AssetBuild() {
  const DataManager* dm = DataManager::Existing();
  return dm ? dm->build : 3.4f;
}

// The definitions that a definition inherits, for the import's look-ups: the
// ones it names, in order, then what those inherit in turn, level by level,
// each once. (Followed to every level, as the definition loading does, so a
// schema may inherit through several definitions.) A name the schema lacks
// contributes an empty entry, which every look-up skips.
std::vector<SoupRef> InheritedDefinitions(const SoupRef& def, const SoupRef& schema) {
  std::vector<SoupRef> out;
  std::unordered_set<Kiv::PString> seen;
  std::deque<SoupRef> work{def};
  while (!work.empty() && out.size() < kMaxInherited) {
    SoupRef inherit = work.front().GetNamedSoup(kInherit);
    work.pop_front();
    for (size_t i = 0; i < inherit.CountTags() && out.size() < kMaxInherited; ++i) {
      Kiv::PString name = inherit.GetIndexedTagName(i);
      if (!seen.insert(name).second) continue;
      SoupRef base = schema.GetNamedSoup(name);
      out.push_back(base);
      if (base) work.push_back(base);
    }
  }
  return out;
}

// The definition of a value tag: the definition's own entry; else, in each
// inherited definition in order, its entry or its whole tag array; else the
// definition's own tag array.
SoupRef FindValueDefinition(const SoupRef& def, const std::vector<SoupRef>& inherited,
                            const Kiv::PString& name) {
  if (SoupRef own = def.GetNamedSoup(kSubpossibilities).GetNamedSoup(name)) return own;
  for (const SoupRef& base : inherited) {
    if (!base) continue;
    if (SoupRef entry = base.GetNamedSoup(kSubpossibilities).GetNamedSoup(name)) return entry;
    if (SoupRef array = base.GetNamedSoup(kTagArray)) return array;
  }
  return def.GetNamedSoup(kTagArray);
}

}  // namespace

// What an import into a container of a definition needs before it reads the
// soup (steps 1-3): the same for every import of that definition, schema and
// asset build, so it is made once and kept. The private definitions made for
// obsolete tags are never written, so they may be shared.
struct ImportPlan {
  SoupRef definition, schema;  // held, so their nodes are not reused while kept
  int32_t build = 0;
  SoupRef def;                              // the definition with the obsolete tags admitted
  std::vector<SoupRef> inherited;           // likewise
  std::vector<Kiv::PString> obsoleteNames;  // in the order the container receives them
  // Compulsory tags and containers in name order with their builds, and where
  // each name lies.
  std::vector<std::pair<Kiv::PString, float>> tags, containers;
  std::unordered_map<Kiv::PString, size_t> tagAt, containerAt;
  // The definitions of value tags by name as FindValueDefinition finds them in def and
  // inherited, each entry read once; a name not among them takes otherValues.
  struct ValueDefinition {
    SoupRef entry;
    TagPrototype prototype;
  };
  std::unordered_map<Kiv::PString, ValueDefinition> values;
  ValueDefinition otherValues;
  const ValueDefinition& FindValue(const Kiv::PString& name) const {
    auto found = values.find(name);
    return found == values.end() ? otherValues : found->second;
  }
  void ReadValueDefinitions();
};

void ImportPlan::ReadValueDefinitions() {
  // Each soup answers for a name with its first tag of that name, when that tag is a
  // container; an earlier soup's answer stands.
  auto take = [this](const SoupRef& subs) {
    std::unordered_set<Kiv::PString> met;
    for (size_t i = 0; i < subs.CountTags(); ++i) {
      const Kiv::PString name = subs.GetIndexedTagName(i);
      if (!met.insert(name).second) continue;
      SoupRef entry = subs.GetIndexedSoup(i);
      if (!entry || values.count(name)) continue;
      TagPrototype prototype(entry);
      values.emplace(name, ValueDefinition{std::move(entry), std::move(prototype)});
    }
  };
  take(def.GetNamedSoup(kSubpossibilities));
  for (const SoupRef& base : inherited) {
    if (!base) continue;
    take(base.GetNamedSoup(kSubpossibilities));
    // An inherited tag array answers for every name not found before it.
    if (SoupRef array = base.GetNamedSoup(kTagArray)) {
      otherValues.prototype = TagPrototype(array);
      otherValues.entry = std::move(array);
      return;
    }
  }
  otherValues.entry = def.GetNamedSoup(kTagArray);
  otherValues.prototype = TagPrototype(otherValues.entry);
}

namespace {

DefinitionCache<ImportPlan>& Plans() {
  static auto* cache = new DefinitionCache<ImportPlan>;
  return *cache;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Numbered tags ("mesh12", "mesh3") share the definition of their "0" form
// when that definition is marked as a sequence.
SoupRef FindSequenceDefinition(const SoupRef& def, const std::vector<SoupRef>& inherited,
                               std::string_view name) {
  std::string base;
  if (name.size() > 3 && IsDigit(name[name.size() - 1]) && IsDigit(name[name.size() - 2]))
    base = std::string(name.substr(0, name.size() - 2)) + "0";
  else if (name.size() > 2 && IsDigit(name.back()))
    base = std::string(name.substr(0, name.size() - 1)) + "0";
  else
    return SoupRef();
  SoupRef found = FindValueDefinition(def, inherited, Kiv::PString(base));
  return found.GetNamedTagAsInt(kSequence, 0) != 0 ? found : SoupRef();
}

bool DroppedWithFile(const Kiv::PString& name) {
  static const Kiv::PString names[] = {Kiv::PString("lifetime"), Kiv::PString("maxsize"),
                                       Kiv::PString("minsize"), Kiv::PString("rate"),
                                       Kiv::PString("velocity")};
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

Tag* FindTagIn(const Container& c, const Kiv::PString& name) {
  for (const std::vector<Tag*>* list : {&c.tags, &c.headerTags})
    for (Tag* tag : *list)
      if (tag->name == name) return tag;
  return nullptr;
}

}  // namespace

std::shared_ptr<const ImportPlan> Container::PlanImport(const SoupRef& definition, const SoupRef& schema,
                                                        int32_t build) {
  if (auto cached = Plans().Find(definition.Get(),
                                 [&](const ImportPlan& p) { return p.build == build && p.schema == schema; }))
    return cached;
  auto plan = std::make_shared<ImportPlan>();
  plan->definition = definition;
  plan->schema = schema;
  plan->build = build;
  plan->inherited = InheritedDefinitions(definition, schema);
  BuildMap tags, containers;
  CountCompulsoryElements(definition, tags, Compulsory::kTags);
  CountCompulsoryElements(definition, containers, Compulsory::kContainers);
  for (const SoupRef& base : plan->inherited) {
    CountCompulsoryElements(base, tags, Compulsory::kTags);
    CountCompulsoryElements(base, containers, Compulsory::kContainers);
  }
  for (const auto& item : tags) {
    plan->tagAt.emplace(item.first, plan->tags.size());
    plan->tags.push_back(item);
  }
  for (const auto& item : containers) {
    plan->containerAt.emplace(item.first, plan->containers.size());
    plan->containers.push_back(item);
  }
  plan->def = AdmitObsoleteTags(definition, build, plan->obsoleteNames);
  for (SoupRef& base : plan->inherited)
    if (base) base = AdmitObsoleteTags(base, build, plan->obsoleteNames);
  plan->ReadValueDefinitions();
  Plans().Add(definition.Get(), plan);
  return plan;
}

bool Container::ImportAndValidate(const SoupRef& soup, const SoupRef& def, Container* target) {
  return Import(soup, def, target, 0);
}

bool Container::Import(const SoupRef& soup, const SoupRef& definition, Container* target, int depth) {
  if (!target) return false;
  ErrorHandler* eh = Findings();
  DataManager* dm = DataManager::Instance();
  if (depth > kMaxImportDepth) {
    if (eh) eh->Error(FormatMessage(kTooDeep, {target->name}), target);
    return false;
  }

  // 1-3: what the definition inherits, what it requires, what is obsolete.
  const int32_t assetBuild = BuildHundredths(AssetBuild());
  const std::shared_ptr<const ImportPlan> plan = PlanImport(definition, dm->Schema(), assetBuild);
  const std::vector<SoupRef>& inherited = plan->inherited;
  const SoupRef& def = plan->def;
  // The obsolete names go to the container the tags are made in, which is
  // where the tag classification looks for them.
  target->obsoleteTagNames.insert(target->obsoleteTagNames.end(), plan->obsoleteNames.begin(),
                                  plan->obsoleteNames.end());
  // Which compulsory tags and containers the soup has given.
  std::vector<char> tagGiven(plan->tags.size()), containerGiven(plan->containers.size());
  auto give = [](const std::unordered_map<Kiv::PString, size_t>& at, std::vector<char>& given,
                 const Kiv::PString& name) {
    if (auto found = at.find(name); found != at.end()) given[found->second] = 1;
  };

  int32_t childIndex = 0;
  // Compulsory tags the definition made before the import, by name: a config
  // tag of the same name fills one in (step 6).
  std::unordered_map<Kiv::PString, Tag*> premade;
  for (const std::vector<Tag*>* list : {&target->tags, &target->headerTags})
    for (Tag* tag : *list)
      if (tag->madeFromDefinition) premade.emplace(tag->name, tag);

  // Makes, files, binds and imports a child of a typed container definition.
  auto importTyped = [&](const Kiv::PString& name, const Kiv::PString& type, const SoupRef& nested) {
    if (eh) eh->Trace(kTraceType, target);
    Container* child = MakeChild(name, type, target, nested, childIndex++);
    if (!child) return false;
    dm->RegisterObjectByKey(target->name, child);
    const SoupRef childDef = FindChildDefinition(type);
    child->LoadDefinition(childDef, true);
    BindContainerChecks(childDef, child);
    target->AddChild(child);
    return Import(nested, childDef, child, depth + 1);
  };

  // Only the last definition a nested container is looked up in reports a
  // smoke container that none of them covers: an inherited one may define it.
  size_t lastInherited = inherited.size();
  for (size_t b = 0; b < inherited.size(); ++b)
    if (inherited[b]) lastInherited = b;

  // 4: every tag of the soup in stored order. The tag list takes at most one
  // tag per soup entry: room for them at once, not by doubling.
  target->tags.reserve(target->tags.size() + soup.CountTags());
  for (size_t i = 0; i < soup.CountTags(); ++i) {
    // A name that only this soup tag holds (a table's entry, mostly) is no
    // compulsory or definition name, and no tag has it yet: asked before the
    // copy below adds a holder.
    const bool sole = soup.Get()->GetTag(i).GetName().HasOneHolder();
    const Kiv::PString name = soup.GetIndexedTagName(i);
    if (eh) eh->Trace(kTraceTag, target);
    SoupRef nested = soup.GetIndexedSoup(i);
    if (nested) {
      // 5: a nested container.
      SoupRef found;
      CheckStringTableTag(def, name, found, target, lastInherited == inherited.size());
      for (size_t b = 0; !found && b < inherited.size(); ++b)
        if (inherited[b]) CheckStringTableTag(inherited[b], name, found, target, b == lastInherited);
      if (!found) {
        const auto& obsolete = target->obsoleteTagNames;
        if (!inherited.empty() && std::find(obsolete.begin(), obsolete.end(), name) != obsolete.end()) {
          if (eh) eh->Warning(FormatMessage(kObsoleteTag, {name, target->name}));
        } else if (eh) {
          eh->Error(FormatMessage(kNoDefinition, {name, target->name}), target);
        }
        if (name == kDotCache && eh) eh->Error(FormatMessage(kOldContainer));
        continue;
      }
      if (found.HasNamedTag(kContainerType0)) {
        const Kiv::PString type = GetContainerType(found, nested.GetNamedTag(kKind));
        if (!importTyped(name, type, nested)) return false;
        continue;
      }
      const Kiv::PString kind = found.GetNamedTag(kKind);
      if (kind == kElement) {
        give(plan->containerAt, containerGiven, name);
        const Kiv::PString elementType = found.GetNamedTag(kElementType);
        Container* child = MakeChild(name, elementType, target, nested, childIndex++);
        if (!child) return false;
        // Owned by the tree before anything is reported against it, so its
        // finding lives as long as the tree.
        target->AddChild(child);
        const SoupRef childDef = FindChildDefinition(elementType);
        if (!childDef) {
          if (eh) eh->Error(FormatMessage(kNoContainerDefinition, {name}), child);
          return false;
        }
        SoupRef arrayElement = childDef.GetNamedSoup(kArrayElement);
        for (size_t j = 0; j < arrayElement.CountTags(); ++j) {
          Kiv::PString type = arrayElement.GetNamedTag(ContainerTypeName(j));
          if (type.IsEmpty()) continue;
          child->elementDefinitions.push_back(FindChildDefinition(type));
          child->elementTypeNames.push_back(type);
        }
        if (SoupRef tagArray = childDef.GetNamedSoup(kTagArray)) child->tagArrayDefinition = tagArray;
        if (childDef.GetNamedSoup(kSubpossibilities)) child->LoadDefinition(childDef, true);
        BindContainerChecks(childDef, child);
        if (!Import(nested, childDef, child, depth + 1)) return false;
        continue;
      }
      if (found.GetNamedTag(kIcon) == kSmoke) {
        if (!importTyped(name, kSmoke, nested)) return false;
        continue;
      }
      if (eh) eh->Error(FormatMessage(kErrorInTemplate, {name, target->name, kind}), target);
      continue;
    }

    // 6: a value tag.
    if (!sole) give(plan->tagAt, tagGiven, name);
    const std::string_view text = name.View();
    const Kiv::PString& lookup = text.starts_with("description-") ? kDescription
                                 : text.starts_with("username-")  ? kUsername
                                                                  : name;
    const ImportPlan::ValueDefinition* found =
        sole && &lookup == &name ? &plan->otherValues : &plan->FindValue(lookup);
    // Made only for a name the plan does not know: most tags need none.
    std::optional<ImportPlan::ValueDefinition> sequence;
    if (!found->entry) {
      sequence.emplace();
      sequence->entry = FindSequenceDefinition(def, inherited, lookup.View());
      sequence->prototype = TagPrototype(sequence->entry);
      found = &*sequence;
    }
    const SoupRef& entry = found->entry;
    // A compulsory tag that the definition made before the import takes the
    // config's value: otherwise the value would be lost and the tag checked
    // (and exported) empty.
    auto made = premade.empty() || sole ? premade.end() : premade.find(name);
    if (made != premade.end()) {
      Tag* tag = made->second;
      premade.erase(made);
      tag->madeFromDefinition = false;
      TagValue given = ValueOf(soup, name);
      if (!given.IsEmpty()) tag->value = std::move(given);
      ClassifyTag(tag, entry, found->prototype, soup, target);
    } else if (Tag* tag = CreateBoundTag(target, name, entry, found->prototype, soup, sole ? long(i) : -1)) {
      target->AddTag(tag);
    }
  }

  // 7: compulsory tags the soup lacks.
  for (size_t t = 0; t < plan->tags.size(); ++t) {
    if (tagGiven[t]) continue;
    const auto& [name, since] = plan->tags[t];
    const ImportPlan::ValueDefinition& found = plan->FindValue(name);
    if (DroppedWithFile(name) && FindTagIn(*target, kFile)) continue;
    if (assetBuild >= BuildHundredths(since)) {
      // The definition loading may already have made the tag with its default
      // value: the finding then goes to that tag, so a missing tag is never
      // passed in silence.
      if (Tag* made = FindTagIn(*target, name)) {
        if (eh) eh->Error(FormatMessage(kMissingTag, {name}), made);
      } else if (Tag* tag = CreateBoundTag(target, name, found.entry, found.prototype, SoupRef())) {
        if (eh) eh->Error(FormatMessage(kMissingTag, {name}), tag);
        target->AddTag(tag);
      }
    } else if (eh) {
      eh->Warning(FormatMessage(kMissingTag, {name}));
    }
  }

  // 8: compulsory containers the soup lacks.
  for (size_t c = 0; c < plan->containers.size(); ++c) {
    if (!eh) break;
    if (containerGiven[c]) continue;
    const auto& [name, since] = plan->containers[c];
    Kiv::PString text = FormatMessage(kMissingContainer, {name});
    if (assetBuild >= BuildHundredths(since))
      eh->Error(text);
    else
      eh->Warning(text);
  }

  // 9: "kuid" and "username" lead the tags of the container they belong to.
  target->MoveHeaderTagsToFront();
  return true;
}

}  // namespace OBLLib
