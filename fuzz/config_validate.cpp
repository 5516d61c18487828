// Runs a config soup through the asset check: legacy upgrade, kind mapping,
// import with validation, then every bound tag rule and container check.
// The input is the config text; the schema is fixed.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "config/AssetValidation.h"
#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/MeshProbe.h"
#include "foundation/ResultsLog.h"
#include "foundation/Soup.h"
#include "fuzz/fuzz_scratch.h"

using namespace OBLLib;

namespace {

const char* const kSchema = R"(
asset-base { subpossibilities {
  kuid { kind "value" type "kuid" compulsory 1 }
  username { kind "value" type "string" compulsory 1 }
  kind { kind "value" type "string" compulsory 1 }
  rovana-build { kind "value" type "float" compulsory 2.7 validation { range { min 1 max 4 } } }
  category-class { kind "value" type "string" }
  category-era { kind "value" type "string" }
  category-region { kind "value" type "string" }
  description { kind "value" type "string" }
  script { kind "value" type "filepath" validation { scriptfileexists 1 } }
  thumbnails { kind "element" element-type "thumbnails" }
  bogeys { kind "element" element-type "bogeys" }
  attached-track { kind "element" element-type "attached-track" }
} obsolete-tag { region { kind "value" type "string" obsolete-version 2.6 } } }
mesh-base { inherit { asset-base 1 }
  subpossibilities {
    mesh-table { kind "element" element-type "mesh-table" compulsory 2.9 }
    collate-meshes { kind "value" type "bool" }
    width { kind "value" type "float" validation { ispositive 1 isnotzero 1 arraysize { size 2 } } }
    lights-on { kind "value" type "string" validation { mustbeinlightcontainer 1 needcollatemeshes 1 } }
    pair { kind "value" type "string" validation { mustbepaired { 0 "width" 1 "pair2" } isnottraincar 1 istracksidetype 1 } }
    mesh0 { kind "value" type "string" sequence 1 validation { fileexists 1 } }
    null-kuid { kind "value" type "kuidbrowser" }
  }
  validation { uniquenames 1 meshtablehasshadow 1 meshtablehasvisiblemesh 1 hasvalidtexturefile 1 }
}
scenery { top-level 1 inherit { mesh-base 1 } }
traincar { top-level 1 inherit { mesh-base 1 } }
bridge { top-level 1 inherit { mesh-base 1 } }
tunnel { top-level 1 inherit { bridge 1 } }
double-track { top-level 1 inherit { bridge 1 } }
obsolete-track { top-level 1 inherit { mesh-base 1 } }
mesh-table { array-element { kind "element" element-type "mesh-element" } validation { uniquenames 1 } }
mesh-element { subpossibilities {
  mesh { kind "value" type "filepath" compulsory 1 validation { fileexists 1 } }
  auto-create { kind "value" type "bool" }
  att-parent { kind "value" type "string" validation { notownparent 1 mustbeownparent 1 } }
  effects { kind "element" element-type "effects" }
} }
effects { array-element { kind "element" element-type "effect" } }
effect { subpossibilities { kind { kind "value" type "string" } name { kind "value" type "string" } } }
thumbnails { array-element { kind "element" element-type "thumbnail" } }
thumbnail { subpossibilities { image { kind "value" type "filepath" compulsory 1 } } }
bogeys { tagarray { kind "value" type "kuid" } }
attached-track { tagarray { kind "value" type "string" } }
)";

// Every mesh loads with a few attachment points, so the mesh tables of old
// layouts get their attached tracks and name effects.
class AnyMesh : public MeshProbe {
public:
  bool Load(const std::string& path, MeshInfo& out) override {
    out.filePath = path;
    for (const char* p :
         {"a.road0a", "a.road0b", "a.otrack0a", "a.otrack0b", "a.itrack0a", "a.itrack0b", "a.name0"})
      out.attachmentPoints.emplace_back(p);
    out.namedEntries.emplace_back("default");
    return true;
  }
  bool LoadAnimation(const std::string&, MeshInfo&) override { return true; }
};

std::string g_dir;

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  g_dir = FuzzScratchFolder("fuzz-config-validate");
  std::filesystem::create_directories(g_dir + "/schema");
  std::filesystem::create_directories(g_dir + "/assets/asset");
  std::ofstream(g_dir + "/schema/kind.txt") << kSchema;
  std::ofstream(g_dir + "/assets/asset/body.im") << "mesh";
  // Any result will do: the run looks for faults, not answers.
  (void)ErrorHandler::Create();
  // Any result will do: the run looks for faults, not answers.
  (void)DataManager::Create((g_dir + "/schema/").c_str());
  // Any result will do: the run looks for faults, not answers.
  (void)DataManager::Instance()->LoadSchema();
  SetMeshProbe(std::make_shared<AnyMesh>());
  // The schema manager stays to the end of the process: destroying it from
  // an exit handler would run after the file layer's own state is gone.
}

void RunRules(Container& c) {
  // Any result will do: the run looks for faults, not answers.
  for (Tag* tag : c.tags) (void)RunTagRules(*tag);
  // Any result will do: the run looks for faults, not answers.
  (void)RunContainerRules(c);
  for (Container* child : c.children) RunRules(*child);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  const std::string path = g_dir + "/assets/asset/config.txt";
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);

  const long tagsBefore = Tag::LiveCount(), containersBefore = Container::LiveCount();
  ResultsLog log;
  // Any result will do: the run looks for faults, not answers.
  (void)CheckAssetFolder(log, g_dir + "/assets/asset");

  // The same soup again, this time with its rules run over the tree.
  SoupRef config;
  if (ParseSoupText(std::string_view(reinterpret_cast<const char*>(data), size), config)) {
    DataManager* dm = DataManager::Instance();
    dm->SetCurrentAsset(Kiv::PString(g_dir + "/assets"), Kiv::File::Path("asset"));
    auto root = std::make_unique<Container>();
    if (root->SetupRoot(config)) RunRules(*root);
    root.reset();
    dm->ClearLiveObjects();
  }
  ErrorHandler::Instance()->Clear();
  // A tree that is gone leaves nothing alive behind.
  if (Tag::LiveCount() != tagsBefore || Container::LiveCount() != containersBefore) std::abort();
  return 0;
}
