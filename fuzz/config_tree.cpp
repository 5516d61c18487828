// Loads a schema and a config through the typed config tree. The input is the
// schema text, a line "%%", and the config text (without the line, all schema).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/TagNames.h"
#include "foundation/Soup.h"
#include "kiv/File.h"
#include "fuzz/fuzz_scratch.h"

using namespace OBLLib;

namespace {

std::string g_dir;

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  g_dir = FuzzScratchFolder("fuzz-config-tree") + "/";
  // Any result will do: the run looks for faults, not answers.
  (void)ErrorHandler::Create();
}

// Imports the config's tags into the container much as an asset check does,
// exercising every lookup the tree offers.
void Import(Container& target, const SoupRef& def, const SoupRef& config, int depth) {
  if (depth > 32) return;
  const SoupRef own = target.ApplyObsoleteTags(def);
  std::map<Kiv::PString, float, PStringLess> tags, containers;
  target.CountCompulsoryElements(own, tags, Container::Compulsory::kTags);
  target.CountCompulsoryElements(own, containers, Container::Compulsory::kContainers);
  for (size_t i = 0; i < config.CountTags(); ++i) {
    const Kiv::PString name = config.GetIndexedTagName(i);
    if (SoupRef nested = config.GetIndexedSoup(i)) {
      SoupRef entry;
      target.CheckStringTableTag(own, name, entry, &target);
      if (!entry) entry = Container::FindEntryDefinition(own, target.elementDefinitions, name);
      Kiv::PString type = entry.GetNamedTag(tn::element_type);
      if (entry.HasNamedTag(tn::container_type0))
        type = target.GetContainerType(entry, nested.GetNamedTag(tn::kind));
      Container* child = target.MakeChild(name, type, &target, nested, static_cast<int32_t>(i));
      if (!child) continue;
      target.AddChild(child);
      const SoupRef childDef = child->FindChildDefinition(type);
      child->LoadDefinition(childDef, true);
      DataManager::Instance()->RegisterObjectByKey(target.name, child);
      Import(*child, childDef, nested, depth + 1);
    } else {
      SoupRef entry = target.ExpandNumberedArray(own, name);
      if (!entry) entry = Container::FindEntryDefinition(own, target.elementDefinitions, name);
      if (Tag* tag = target.CreateTagFromDefinition(&target, name, entry, config)) {
        tag->BindValidation(entry);
        // Any result will do: the run looks for faults, not answers.
        (void)RunTagRules(*tag);
        target.AddTag(tag);
      }
    }
  }
  target.MoveHeaderTagsToFront();
  // Any result will do: the run looks for faults, not answers.
  (void)target.BuildAtLeast(2.9f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view schemaText = input, configText;
  if (size_t cut = input.find("\n%%\n"); cut != std::string_view::npos) {
    schemaText = input.substr(0, cut);
    configText = input.substr(cut + 4);
  }
  std::ofstream(g_dir + "kind.txt", std::ios::binary | std::ios::trunc)
      .write(schemaText.data(), schemaText.size());
  // Any result will do: the run looks for faults, not answers.
  (void)Kiv::File::Unlink(g_dir + "personalDetails.txt");

  const long tagsBefore = Tag::LiveCount(), containersBefore = Container::LiveCount();
  // Any result will do: the run looks for faults, not answers.
  (void)DataManager::Create(g_dir.c_str());
  DataManager* dm = DataManager::Instance();
  if (dm->LoadSchema()) {
    SoupRef config;
    if (ParseSoupText(configText, config)) {
      dm->build = config.GetNamedTagAsFloat(tn::rovana_build, 1.3f) + 0.001f;
      Kiv::PString kind = config.GetNamedTag(tn::kind);
      SoupRef def = dm->Schema().GetNamedSoup(kind);
      if (!def && dm->Schema().CountTags() > 0) {
        kind = dm->Schema().GetIndexedTagName(0);
        def = dm->Schema().GetIndexedSoup(0);
      }
      auto root = std::make_unique<Container>();
      root->name = root->type = kind;
      root->schema = dm->Schema();
      root->configSoup = config;
      root->isRoot = true;
      root->LoadDefinition(def, true);
      Import(*root, def, config, 0);
      root.reset();
    }
  }
  DataManager::Destroy();
  ErrorHandler::Instance()->Clear();
  // A tree that is gone leaves nothing alive behind.
  if (Tag::LiveCount() != tagsBefore || Container::LiveCount() != containersBefore) std::abort();
  return 0;
}
