#include "graphics/mesh/MeshData.h"

#include <algorithm>
#include <unordered_set>

#include "config/AssetPaths.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/Messages.h"
#include "config/TextureChecks.h"
#include "foundation/Log.h"
#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "graphics/mesh/RovanaIndexedMeshLODInstance.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "kiv/TextureResource.h"

namespace {

// An attachment or node name as the asset's config gives it: without the
// folder parts in front of it.
Kiv::PString WithoutFolders(const Kiv::PString& name) {
  const std::string_view text = name.View();
  const size_t slash = text.rfind('/');
  return slash == std::string_view::npos ? name : Kiv::PString(text.substr(slash + 1));
}

// text without the folder prefix and its separator, when it starts with it
// (without regard to case, as files are found).
std::string Inside(std::string_view folder, std::string_view text) {
  if (!folder.empty() && text.size() > folder.size() &&
      Kiv::CompareNoCase(text.substr(0, folder.size()), folder) == 0 &&
      (text[folder.size()] == '/' || text[folder.size()] == '\\'))
    return std::string(text.substr(folder.size() + 1));
  return std::string(text);
}

std::string ForwardSlashes(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

// Whether the image file at this on-disk path loads: a converted ".texture"
// from its headers, another image as the texture file checks probe it.
bool ProbeImage(const std::string& path) {
  if (Kiv::File::Path(path).IsExt("texture")) {
    Kiv::TextureFileFacts facts;
    return Kiv::ProbeTextureFile(path, facts);
  }
  Kiv::Bitmap::Size size;
  return Kiv::Bitmap::Probe(Kiv::PString(path), size) && size.width > 0 && size.height > 0;
}

}  // namespace

MeshData::MeshData(const MeshCheckSite& site) : OBLLib::CheckedMesh(OBLLib::MeshInfo{}), m_site(site) {}

void MeshData::Report(const char* key, std::initializer_list<FormatArg> values) const {
  OBLLib::ErrorHandler* eh = OBLLib::ErrorHandler::Instance();
  if (!eh) return;
  const Kiv::PString text = OBLLib::FormatMessage(Kiv::PString(key), values);
  if (m_context)
    eh->Error(text, m_context);
  else
    eh->Error(text);
}

std::string MeshData::ShownName(const Kiv::PString& key, const Kiv::PString& given) const {
  const std::optional<std::string> found =
      m_site.database ? m_site.database->ResolveName(key.View()) : std::nullopt;
  return found ? Kiv::SpelledOnDisk(*found, key.View()) : ForwardSlashes(given.Str());
}

std::string MeshData::NameInAsset(const Kiv::PString& key, const Kiv::PString& given) const {
  return Inside(m_site.assetFolder, ShownName(key, given));
}

void MeshData::ReportSetUpFailure(const std::string& reason) const {
  if (!m_context) return;
  const std::string shown = ShownName();
  LogLine("MeshData::Load> unable to set up the mesh '%s': %s", shown.c_str(), reason.c_str());
  Report("$obl_mesh_initialise_mesh", {NameInAsset()});
}

bool MeshData::LoadResource(RovanaGeometryBaseResource& resource) {
  resource.SetDisplay(m_site.display, m_site.manager);
  // A material that does not load is a finding; the mesh still loads with
  // its type's plain material, or a null one when even that cannot be had,
  // so every failed material and the mesh's other problems are found too.
  resource.SetAllowsSubstitutes(true);
  resource.SetAllowsNullSubstitutes(true);
  const bool locked = resource.Lock() == 0;
  // Each material that failed, named inside the asset folder.
  for (const std::string& key : resource.GetFailedMaterials()) {
    // "owner*folder*name"
    const size_t first = key.find('*');
    const size_t second = first == std::string::npos ? std::string::npos : key.find('*', first + 1);
    std::string material = key;
    if (second != std::string::npos) {
      std::string folder = key.substr(first + 1, second - first - 1);
      if (!folder.empty() && m_site.database)
        folder = Kiv::SpelledOnDisk(Kiv::File::Path(m_site.database->Folder()).Join(folder).Str(), folder);
      const std::string name = key.substr(second + 1);
      material = folder.empty() ? name : folder + "/" + name;
    }
    Report("$obl_mesh_failedmaterial", {Inside(m_site.assetFolder, material), NameInAsset()});
  }
  if (!locked) {
    ReportSetUpFailure(resource.FailureReason());
    return false;
  }
  return true;
}

void MeshData::Collect(const RovanaIndexedMeshDefinition& definition, const Kiv::Resource& resource) {
  (void)resource;
  OBLLib::MeshInfo& info = MutableInfo();
  info.filePath = m_meshKey.Str();
  m_attachments = definition.GetAttachments();
  for (MeshAttachment& attachment : m_attachments) {
    attachment.name = WithoutFolders(attachment.name);
    info.attachmentPoints.push_back(attachment.name);
  }
  CheckTextures(definition);
  if (const auto& root = definition.GetRootBone()) {
    m_hasSkeleton = true;
    root->EnumerateParticles([&](Kiv::Particle& node) {
      MeshParticleRecord record;
      record.name = node.GetName();
      std::copy_n(node.position, 3, record.position);
      m_particles.push_back(record);
      info.namedEntries.push_back(node.GetName());
    });
  }
  if (!definition.GetInfluences().empty()) m_hasSkeleton = true;
}

void MeshData::CheckTextures(const RovanaIndexedMeshDefinition& definition) {
  if (!m_site.database) return;
  std::unordered_map<std::string, MeshCheckSite::FileFacts> local;
  auto& files = m_site.files ? *m_site.files : local;
  // Whether an image inside the content folder is there and loads; each is
  // asked about and probed (not decoded) once.
  auto loads = [&](const std::string& name) {
    const std::string disk = Kiv::File::Path(m_site.database->Folder()).Join(name).Str();
    MeshCheckSite::FileFacts& facts = files[disk];
    if (!facts.probed) {
      facts.probed = true;
      const std::optional<std::string> found = m_site.database->ResolveName(name);
      facts.exists = found.has_value();
      if (found) facts.loads = ProbeImage(*found);
    }
    return facts.loads;
  };

  std::vector<const Kiv::Material*> materials;
  for (const auto& material : definition.GetMaterials())
    if (material) materials.push_back(material.get());
  std::unordered_set<std::string> checked;
  for (const Kiv::Material* material : materials) {
    const MeshMaterialSource* source = definition.GetMaterialSource(material);
    if (!source) continue;
    for (const Kiv::MaterialTexture& texture : source->textures) {
      const std::string name = ForwardSlashes(Kiv::ToLowerAscii(texture.path.View()));
      if (name.empty() || !checked.insert(name).second) continue;
      const std::string shown = Inside(m_site.assetFolder, name);
      const Kiv::File::Path path(name);
      std::string image = name;
      if (path.IsExt("texture") || path.IsExt("txt")) {
        const std::string description = path.IsExt("texture") ? name + ".txt" : name;
        const std::string disk = Kiv::File::Path(m_site.database->Folder()).Join(description).Str();
        auto [it, made] = files.try_emplace(disk);
        if (made) {
          it->second.exists = m_site.database->ResolveName(description).has_value();
          if (it->second.exists && OBLLib::ReadTexturePrimary(disk, it->second.primary))
            it->second.primary = Kiv::ToLowerAscii(it->second.primary);
        }
        // Without a description the texture itself is looked up (a
        // converted texture has none); a description without an image is
        // reported by the texture file checks.
        if (it->second.exists && !it->second.primary.empty()) {
          Kiv::File::Path named(description);
          named.RemoveFileName();
          image = named.IsEmpty() ? it->second.primary : named.Join(it->second.primary).Str();
        } else if (it->second.exists) {
          continue;
        }
      }
      if (!loads(ForwardSlashes(image))) {
        // Named as the file system spells it when it is there.
        const std::optional<std::string> found = m_site.database->ResolveName(name);
        Report("$obl_mesh_load_texture",
               {found ? Inside(m_site.assetFolder, Kiv::SpelledOnDisk(*found, name)) : shown, NameInAsset()});
      }
    }
  }
}

bool MeshData::Load(const Kiv::PString& name, OBLLib::Container* context) {
  m_context = context;
  m_meshName = name;
  m_meshKey = Kiv::PString(ForwardSlashes(Kiv::ToLowerAscii(name.View())));
  Kiv::Resource* found = m_site.database ? m_site.database->GetResource(m_meshKey.View()) : nullptr;
  if (dynamic_cast<RovanaProgressiveMeshResource*>(found)) return true;  // nothing of it is checked
  auto* resource = dynamic_cast<RovanaGeometryBaseResource*>(found);
  if (!resource) {
    if (m_context || found) Report("$obl_mesh_load_mesh", {NameInAsset()});
    return false;
  }
  if (!LoadResource(*resource)) return false;
  RovanaIndexedMeshDefinition* definition = resource->GetDefinition();
  if (!definition) {
    resource->Unlock();
    ReportSetUpFailure("it holds no mesh definition");
    return false;
  }
  m_loaded = true;
  // The count an instance of the mesh gives; the instance is not kept, as
  // the resource it would point into goes with the asset's content folder.
  m_polygons = RovanaIndexedMeshInstance(definition).GetPolygonCount();
  Collect(*definition, *resource);
  resource->Unlock();
  return true;
}

bool MeshData::LoadAnimation(const Kiv::PString& name) {
  const Kiv::PString lower(ForwardSlashes(Kiv::ToLowerAscii(name.View())));
  if (!m_loaded) {
    Report("$obl_mesh_animationfailedmesh", {NameInAsset(lower, name)});
    return false;
  }
  if (!m_site.database || !m_site.database->ResolveName(lower.View())) {
    Report("$obl_mesh_animationfailedres", {NameInAsset(lower, name)});
    return false;
  }
  if (!m_hasSkeleton) {
    Report("$obl_mesh_animationfailedskeleton", {NameInAsset(lower, name)});
    return false;
  }
  m_animations.emplace_back(lower, 0u);
  return true;
}

bool LODMeshData::Load(const Kiv::PString& name, OBLLib::Container* context) {
  m_context = context;
  m_meshName = name;
  m_meshKey = Kiv::PString(ForwardSlashes(Kiv::ToLowerAscii(name.View())));
  Kiv::Resource* found = m_site.database ? m_site.database->GetResource(m_meshKey.View()) : nullptr;
  if (!found) {
    if (m_context) Report("$obl_mesh_load_mesh", {NameInAsset()});
    return false;
  }
  auto* resource = dynamic_cast<RovanaIndexedMeshLODResource*>(found);
  if (!resource) {
    ReportSetUpFailure("it is not a mesh with levels of detail");
    return false;
  }
  if (!LoadResource(*resource)) return false;
  const RovanaIndexedMeshLODDefinition* definition = resource->GetLODDefinition();
  if (!definition) {
    resource->Unlock();
    ReportSetUpFailure("it holds no mesh definition with levels of detail");
    return false;
  }
  m_loaded = true;
  // Each level's count as the LOD instance gives it with that level selected.
  RovanaIndexedMeshLODInstance instance(definition);
  for (uint32_t level = 0; level < instance.GetLevelCount(); ++level) {
    instance.SelectLevel(level);
    m_levelPolygons.push_back(instance.GetPolygonCount());
  }
  Collect(*definition, *resource);
  resource->Unlock();
  return true;
}

void LODMeshData::SelectLevel(uint32_t level) {
  if (level < m_levelPolygons.size()) m_selected = level;
}

uint32_t LODMeshData::PolygonCount() const {
  return m_selected < m_levelPolygons.size() ? m_levelPolygons[m_selected] : 0;
}

// ---- the loader ----

MeshDataLoader::MeshDataLoader(Kiv::Display* display, Kiv::MaterialManager* manager)
    : m_display(display), m_manager(manager) {}

MeshDataLoader::~MeshDataLoader() = default;

bool MeshDataLoader::Site(const std::string& contentFolder, const std::string& assetFolder, uint64_t check,
                          MeshCheckSite& out) {
  if (contentFolder.empty()) return false;
  // A fresh content database per asset: what one asset loaded is not kept
  // while the next is checked, and nothing is known of its files yet.
  const std::string key = contentFolder + '\n' + assetFolder + '\n' + std::to_string(check);
  if (!m_database || key != m_folder) {
    m_database = std::make_unique<Kiv::ResourceDatabase>(contentFolder);
    // Meshes of one asset name the same files again and again.
    m_database->RememberLookups();
    // During a whole asset check its listings answer for the asset's files.
    m_database->SetLookup(
        [contentFolder](std::string_view name) { return OBLLib::ListedContentFile(contentFolder, name); });
    m_folder = key;
    m_files.clear();  // files may change between checks
  }
  out.database = m_database.get();
  out.display = m_display;
  out.manager = m_manager;
  if (!out.display || !out.manager) {
    const OBLLib::DataManager* dm = OBLLib::DataManager::Existing();
    if (Kiv::RenderKernel* kernel = dm ? dm->SceneKernel() : nullptr) {
      out.display = kernel->GetDisplay();
      out.manager = &kernel->GetMaterialManager();
    }
  }
  out.assetFolder = ForwardSlashes(Kiv::ToLowerAscii(assetFolder));
  out.files = &m_files;
  return true;
}

std::unique_ptr<OBLLib::CheckedMesh> MeshDataLoader::Load(Form form, const Kiv::PString& path,
                                                          OBLLib::Container* context) {
  const OBLLib::DataManager* dm = OBLLib::DataManager::Existing();
  MeshCheckSite site;
  if (!dm || !Site(dm->contentFolder, dm->assetFolder.Str(), dm->CheckSerial(), site)) return nullptr;
  std::unique_ptr<MeshData> mesh =
      form == Form::kLevels ? std::make_unique<LODMeshData>(site) : std::make_unique<MeshData>(site);
  if (!mesh->Load(path, context) || !mesh->IsLoaded()) return nullptr;
  return mesh;
}

bool MeshDataLoader::Load(const std::string& path, OBLLib::MeshInfo& out) {
  Kiv::File::Path file(path);
  const std::string name = file.GetFileName();
  file.RemoveFileName();
  MeshCheckSite site;
  const OBLLib::DataManager* dm = OBLLib::DataManager::Existing();
  if (!Site(file.Str(), "", dm ? dm->CheckSerial() : 0, site)) return false;
  const bool levels = Kiv::File::Path(name).IsExt("lm") || Kiv::File::Path(name).IsExt("lm.txt");
  std::unique_ptr<MeshData> mesh =
      levels ? std::make_unique<LODMeshData>(site) : std::make_unique<MeshData>(site);
  if (!mesh->Load(Kiv::PString(name), nullptr) || !mesh->IsLoaded()) return false;
  out = mesh->Info();
  out.filePath = path;
  return true;
}

bool MeshDataLoader::LoadAnimation(const std::string& path, OBLLib::MeshInfo& mesh) {
  (void)mesh;
  // A mesh of the legacy tables binds an animation that exists beside it.
  return Kiv::File::FileSize(path) >= 0;
}
