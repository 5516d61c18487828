// The container checks a definition's "validation" list binds to a container.
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "config/AssetPaths.h"
#include "config/DataManager.h"
#include "config/DefinitionCache.h"
#include "config/ErrorHandler.h"
#include "config/Messages.h"
#include "config/TagNames.h"
#include "config/TagRules.h"
#include "kiv/File.h"
#include "kiv/String.h"

namespace OBLLib {

namespace {

const Kiv::PString kDuplicateContainerName("$obl_val_duplicatecontainername");
const Kiv::PString kDuplicateTagName("$obl_val_duplicatetagname");
const Kiv::PString kTextureFileNotSpecified("$obl_val_texturefilenotspecified");
const Kiv::PString kTextureFileDne("$obl_val_texturefiledne");
const Kiv::PString kShadowMissing("$obl_val_shadow_missing");
const Kiv::PString kNoVisibleMesh("$obl_val_no_visible_mesh");

const Kiv::PString kTexture("texture");
const Kiv::PString kAssetFilename("asset-filename");
const Kiv::PString kMeshTable("mesh-table");
const Kiv::PString kShadow("shadow");
const Kiv::PString kAutoCreate("auto-create");
const Kiv::PString kValidation("validation");
const Kiv::PString kInherit("inherit");

// Deeper inheritance is taken for a malformed schema (as in LoadDefinition).
constexpr size_t kMaxInheritDepth = 64;

// Each later holder of a name already seen gets one finding; the result is
// the same as comparing every pair, in linear time.
bool CheckUniqueNames(Container& c, const SoupRef&) {
  ErrorHandler* eh = ErrorHandler::Instance();
  bool ok = true;
  std::unordered_set<Kiv::PString> seen;
  for (const Container* child : c.children) {
    if (seen.insert(child->name).second) continue;
    ok = false;
    if (eh) eh->Error(FormatMessage(kDuplicateContainerName, {child->name, c.name}), child);
  }
  seen.clear();
  for (const Tag* tag : c.tags) {
    if (seen.insert(tag->name).second) continue;
    ok = false;
    if (eh) eh->Error(FormatMessage(kDuplicateTagName, {tag->name, c.name}), tag);
  }
  return ok;
}

bool CheckHasValidTextureFile(Container& c, const SoupRef&) {
  if (CurrentContentFolderIsPacked()) return true;
  ErrorHandler* eh = ErrorHandler::Instance();
  const Tag* named = nullptr;
  for (const Tag* tag : c.tags)
    if (tag->name == kTexture || tag->name == kAssetFilename) {
      named = tag;
      break;
    }
  if (!named) {
    if (eh) eh->Error(FormatMessage(kTextureFileNotSpecified));
    return false;
  }
  Kiv::File::Path path(Kiv::ToLowerAscii(named->value.View()));
  path.SetExt("texture");
  if (CurrentAssetFileExists(path.View())) return true;
  path.SetExt("texture.txt");
  if (CurrentAssetFileExists(path.View())) return true;
  if (eh) eh->Error(FormatMessage(kTextureFileDne, {named->value.View()}), named);
  return false;
}

const Container* MeshTableOf(const Container& c) {
  if (!c.isRoot) return nullptr;
  for (const Container* child : c.children)
    if (child->name == kMeshTable) return child;
  return nullptr;
}

bool CheckMeshTableHasShadow(Container& c, const SoupRef&) {
  const Container* table = MeshTableOf(c);
  if (!table) return true;
  for (const Container* entry : table->children)
    if (entry->name == kShadow) return true;
  if (ErrorHandler* eh = ErrorHandler::Instance()) eh->Warning(FormatMessage(kShadowMissing), &c);
  return false;
}

bool CheckMeshTableHasVisibleMesh(Container& c, const SoupRef&) {
  const Container* table = MeshTableOf(c);
  if (!table) return true;
  for (const Container* entry : table->children) {
    for (const Tag* tag : entry->tags) {
      if (!(tag->name == kAutoCreate)) continue;
      if (tag->value.View() != "0") return true;
      break;
    }
  }
  if (ErrorHandler* eh = ErrorHandler::Instance()) eh->Warning(FormatMessage(kNoVisibleMesh), &c);
  return false;
}

constexpr NamedContainerCheck kChecks[] = {
    {"uniquenames", &CheckUniqueNames},
    {"hasvalidtexturefile", &CheckHasValidTextureFile},
    {"meshtablehasshadow", &CheckMeshTableHasShadow},
    {"meshtablehasvisiblemesh", &CheckMeshTableHasVisibleMesh},
};

const std::unordered_map<Kiv::PString, ContainerRuleFn>& CheckTable() {
  static const auto* table = [] {
    auto* t = new std::unordered_map<Kiv::PString, ContainerRuleFn>;
    for (const NamedContainerCheck& check : kChecks) (*t)[Kiv::PString(check.name)] = check.check;
    return t;
  }();
  return *table;
}

// Named "validation" entries merged in order: a later entry of a name
// replaces the earlier one and takes the last place.
struct ValidationList {
  std::vector<std::pair<Kiv::PString, SoupRef>> items;
  std::unordered_map<Kiv::PString, size_t> where;
  void Merge(const SoupRef& validation) {
    for (size_t i = 0; i < validation.CountTags(); ++i) {
      Kiv::PString name = validation.GetIndexedTagName(i);
      if (auto found = where.find(name); found != where.end()) items[found->second].first = Kiv::PString();
      where[name] = items.size();
      items.emplace_back(name, validation.GetIndexedSoup(i));
    }
  }
};

// Inherited lists first, depth first; a definition already on the path is
// skipped, so an inheritance cycle in the schema ends.
void MergeInherited(const SoupRef& def, const SoupRef& schema, ValidationList& list,
                    std::vector<Kiv::PString>& path) {
  SoupRef inherit = def.GetNamedSoup(kInherit);
  for (size_t i = 0; i < inherit.CountTags(); ++i) {
    Kiv::PString name = inherit.GetIndexedTagName(i);
    if (path.size() >= kMaxInheritDepth || std::find(path.begin(), path.end(), name) != path.end()) continue;
    SoupRef base = schema.GetNamedSoup(name);
    if (!base) continue;
    path.push_back(name);
    MergeInherited(base, schema, list, path);
    path.pop_back();
    list.Merge(base.GetNamedSoup(kValidation));
  }
}

}  // namespace

std::span<const NamedContainerCheck> NamedContainerChecks() { return kChecks; }

namespace {

// The checks bound for a definition, container type and schema: the schema is
// never written, so a list once merged holds for every later container of that
// type. Each key holds its soups, so no node is reused while cached.
struct BoundChecks {
  SoupRef def, schema;
  Kiv::PString type;
  std::vector<std::pair<ContainerRuleFn, SoupRef>> checks;
};
DefinitionCache<BoundChecks>& BoundCheckLists() {
  static auto* cache = new DefinitionCache<BoundChecks>;
  return *cache;
}

}  // namespace

// The merged list is built for this container only: the shared schema is
// never written, so one check cannot change the next.
void Container::BindContainerChecks(const SoupRef& def, Container* container) {
  if (!container) return;
  const DataManager* dm = DataManager::Existing();
  const SoupRef schemaUsed = dm ? dm->Schema() : SoupRef();
  std::shared_ptr<const BoundChecks> bound = BoundCheckLists().Find(
      def.Get(), [&](const BoundChecks& b) { return b.type == container->type && b.schema == schemaUsed; });
  if (!bound) {
    auto made = std::make_shared<BoundChecks>();
    made->def = def;
    made->schema = schemaUsed;
    made->type = container->type;
    ValidationList list;
    std::vector<Kiv::PString> path{container->type};
    MergeInherited(def, schemaUsed, list, path);
    list.Merge(def.GetNamedSoup(kValidation));
    const auto& table = CheckTable();
    for (const auto& [name, parameters] : list.items) {
      if (name.IsNull()) continue;
      if (auto found = table.find(name); found != table.end())
        made->checks.emplace_back(found->second, parameters);
    }
    bound = made;
    if (def) BoundCheckLists().Add(def.Get(), bound);
  }
  for (const auto& [check, parameters] : bound->checks) container->AddContainerRule(check, parameters);
}

}  // namespace OBLLib
