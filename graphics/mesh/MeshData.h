#pragma once
// Meshes loaded for the check of an asset: whether a mesh file of the asset
// loads, which of its materials and textures do not, its attachment points,
// the nodes of its skeleton and the animations bound to it. Every problem is
// reported through the config error handler by its interface-text key; the
// mesh itself never prints. A failed material or texture is a finding, not a
// failed load.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/MeshProbe.h"
#include "foundation/Text.h"
#include "graphics/mesh/RovanaGeometryResource.h"
#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "kiv/PString.h"
#include "kiv/render/Resource.h"

namespace OBLLib {
class Container;
}

// What the meshes of one asset check share: the content folder, the display
// and material manager loads are made for, the asset folder inside the
// content folder, and what texture descriptions were found to name.
struct MeshCheckSite {
  Kiv::ResourceDatabase* database = nullptr;
  Kiv::Display* display = nullptr;
  Kiv::MaterialManager* manager = nullptr;
  std::string assetFolder;  // inside the content folder, forward slashes
  // On-disk path of a texture description or image -> whether it exists and
  // the image a description names. Each file is asked about once.
  struct FileFacts {
    bool exists = false;
    std::string primary;
    // For an image: whether it was probed, and whether it loads.
    bool probed = false, loads = false;
  };
  std::unordered_map<std::string, FileFacts>* files = nullptr;
};

struct MeshParticleRecord {
  Kiv::PString name;
  float position[3] = {0, 0, 0};
};

class MeshData : public OBLLib::CheckedMesh {
public:
  explicit MeshData(const MeshCheckSite& site);

  // Loads the mesh (a name inside the content folder) and checks it; the
  // context receives the findings (null: only context-free ones are made).
  // True when the mesh loaded and was instanced, whatever the checks found.
  [[nodiscard]] virtual bool Load(const Kiv::PString& name, OBLLib::Container* context);
  [[nodiscard]] bool LoadAnimation(const Kiv::PString& name) override;

  uint32_t LevelCount() const override { return 0; }
  size_t AttachmentCount() const override { return m_attachments.size(); }
  void SelectLevel(uint32_t) override {}
  uint32_t PolygonCount() const override { return m_polygons; }

  [[nodiscard]] bool IsLoaded() const { return m_loaded; }
  const std::vector<MeshAttachment>& GetAttachments() const { return m_attachments; }
  const std::vector<MeshParticleRecord>& GetParticles() const { return m_particles; }
  const std::vector<std::pair<Kiv::PString, uint32_t>>& GetAnimations() const { return m_animations; }
  const Kiv::PString& GetMeshKey() const { return m_meshKey; }

protected:
  // Reports the text of a key filled with the values: an error for the
  // context, or a context-free one without a context.
  void Report(const char* key, std::initializer_list<FormatArg> values) const;
  // The resource's load, the collection of what the definition holds and
  // the material and texture checks shared by both mesh forms.
  [[nodiscard]] bool LoadResource(RovanaGeometryBaseResource& resource);
  void Collect(const RovanaIndexedMeshDefinition& definition, const Kiv::Resource& resource);
  void CheckTextures(const RovanaIndexedMeshDefinition& definition);
  // A file's path in the content folder (key: lower case, forward slashes)
  // as the file system spells it (as given when it is not there).
  std::string ShownName(const Kiv::PString& key, const Kiv::PString& given) const;
  std::string ShownName() const { return ShownName(m_meshKey, m_meshName); }
  // A file's name as the asset knows it: that path without the asset folder.
  std::string NameInAsset(const Kiv::PString& key, const Kiv::PString& given) const;
  std::string NameInAsset() const { return NameInAsset(m_meshKey, m_meshName); }
  // Reports that the mesh cannot be set up, with the reason in the log.
  void ReportSetUpFailure(const std::string& reason) const;

  MeshCheckSite m_site;
  Kiv::PString m_meshName, m_meshKey;
  OBLLib::Container* m_context = nullptr;
  bool m_loaded = false;
  bool m_hasSkeleton = false;
  uint32_t m_polygons = 0;
  std::vector<MeshAttachment> m_attachments;
  std::vector<MeshParticleRecord> m_particles;
  std::vector<std::pair<Kiv::PString, uint32_t>> m_animations;
};

// A mesh with levels of detail ("lm" and ".lm.txt").
class LODMeshData : public MeshData {
public:
  using MeshData::MeshData;
  [[nodiscard]] bool Load(const Kiv::PString& name, OBLLib::Container* context) override;

  uint32_t LevelCount() const override { return uint32_t(m_levelPolygons.size()); }
  void SelectLevel(uint32_t level) override;
  uint32_t PolygonCount() const override;
  uint32_t SelectedLevel() const { return m_selected; }

private:
  std::vector<uint32_t> m_levelPolygons;
  uint32_t m_selected = 0;
};

// The loader the schema manager's mesh check and the legacy mesh tables use:
// one content folder per asset under check, each texture file asked about
// once per asset.
class MeshDataLoader : public OBLLib::MeshLoader, public OBLLib::MeshProbe {
public:
  // Without a display and manager, those of the schema manager's scene.
  MeshDataLoader(Kiv::Display* display = nullptr, Kiv::MaterialManager* manager = nullptr);
  ~MeshDataLoader() override;

  std::unique_ptr<OBLLib::CheckedMesh> Load(Form form, const Kiv::PString& path,
                                            OBLLib::Container* context) override;
  [[nodiscard]] bool Load(const std::string& path, OBLLib::MeshInfo& out) override;
  [[nodiscard]] bool LoadAnimation(const std::string& path, OBLLib::MeshInfo& mesh) override;
  // Texture files asked about so far (each one once).
  size_t FilesAsked() const { return m_files.size(); }

  // The site for a content folder and an asset folder inside it during the
  // asset check numbered `check`; a new folder or a new check starts a new
  // content database, so a check sees the files as they are when it starts.
  [[nodiscard]] bool Site(const std::string& contentFolder, const std::string& assetFolder, uint64_t check,
                          MeshCheckSite& out);

private:
  Kiv::Display* m_display;
  Kiv::MaterialManager* m_manager;
  std::string m_folder;
  std::unique_ptr<Kiv::ResourceDatabase> m_database;
  std::unordered_map<std::string, MeshCheckSite::FileFacts> m_files;
};
