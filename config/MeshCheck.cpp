// The schema manager's side of mesh files: which loader a file goes to by
// its extension, the current mesh, and the performance warnings of meshes
// with levels of detail.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/MeshProbe.h"
#include "config/TagNames.h"
#include "foundation/InterfaceTextDB.h"
#include "kiv/File.h"
#include "kiv/String.h"

namespace OBLLib {

namespace {

std::shared_ptr<MeshLoader>& Loader() {
  static std::shared_ptr<MeshLoader> loader;
  return loader;
}

// Kinds whose meshes are drawn near the camera, where levels of detail and
// attachment points are not a matter of performance.
constexpr std::array<std::string_view, 5> kExemptKinds = {"traincar", "bogey", "interior", "pantograph",
                                                          "drivercharacter"};

Kiv::PString Text(const char* key) { return InterfaceTextDB::Instance().GetString(Kiv::PString(key), true); }

// The extension after the last dot of the file name, lower case.
std::string Extension(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : Kiv::ToLowerAscii(name.substr(dot + 1));
}

void PerformanceChecks(CheckedMesh& mesh, const Container* container) {
  // The asset's kind, not the mesh-table entry's (which has none).
  const SoupRef config = container->AssetConfig();
  if (!config) return;
  const Kiv::PString kind = config.GetNamedTag(tn::kind);
  for (std::string_view exempt : kExemptKinds)
    if (Kiv::CompareNoCase(kind.View(), exempt) == 0) return;
  ErrorHandler* eh = ErrorHandler::Instance();
  if (!eh) return;
  if (mesh.Info().attachmentPoints.empty() && mesh.AttachmentCount() == 0)
    eh->Warning(Text("$obl_lm_performance_no_attachments"), container);
  if (mesh.LevelCount() == 1) eh->Warning(Text("$obl_lm_performance_single_lod"), container);
  // A mesh without levels has no lowest level to judge.
  if (mesh.LevelCount() == 0) return;
  mesh.SelectLevel(mesh.LevelCount() - 1);
  if (mesh.PolygonCount() < 300) eh->Warning(Text("$obl_lm_performance_low_poly"), container);
}

}  // namespace

void SetMeshLoader(std::shared_ptr<MeshLoader> loader) { Loader() = std::move(loader); }

MeshLoader* GetMeshLoader() { return Loader().get(); }

LiveObject* DataManager::CheckLODMesh(const std::string& path, Container* container) {
  MeshLoader* loader = GetMeshLoader();
  if (path.empty() || !loader || !container) return nullptr;
  const std::string extension = Extension(path);
  // A file path is kept inside the content folder with the folder's own
  // separators; the loader resolves it there.
  const Kiv::PString name(path);

  auto load = [&](MeshLoader::Form form, bool performance) -> LiveObject* {
    std::unique_ptr<CheckedMesh> mesh = loader->Load(form, name, container);
    if (!mesh) {
      meshFailure = true;
      return nullptr;
    }
    CheckedMesh* made = mesh.get();
    if (auto* previous = dynamic_cast<CheckedMesh*>(m_currentMesh)) previous->isCurrent = false;
    SetLiveObject(container, std::move(mesh));
    m_currentMesh = made;
    made->isCurrent = true;
    if (performance) PerformanceChecks(*made, container);
    return made;
  };

  ErrorHandler* eh = ErrorHandler::Instance();
  if (extension == "im") return load(MeshLoader::Form::kPlain, false);
  if (extension == "lm") return load(MeshLoader::Form::kLevels, true);
  if (extension == "txt") {
    if (!Kiv::File::Path(path).IsExt("lm.txt")) return nullptr;
    return load(MeshLoader::Form::kLevels, false);
  }
  if (extension == "pm") {
    meshFailure = true;
    if (eh) {
      const Kiv::PString text = Text("$obl_dm_unsupportedformat");
      if (TruncatedHundredths(build) < 290)
        eh->Warning(text, container);
      else
        eh->Error(text, container);
    }
    // Loaded only for what the loader reports of it.
    loader->Load(MeshLoader::Form::kPlain, name, container);
    return nullptr;
  }
  if (extension == "kin") {
    auto* mesh = dynamic_cast<CheckedMesh*>(m_currentMesh);
    if (mesh && mesh->allowsAnimation) {
      // An animation that does not load leaves the mesh as it loaded; the loader reports why.
      (void)mesh->LoadAnimation(name);
    } else if (!meshFailure) {
      meshFailure = true;
      if (eh) eh->Error(Text("$obl_dm_animationfailed"), container);
    }
    return nullptr;
  }
  return nullptr;
}

}  // namespace OBLLib
