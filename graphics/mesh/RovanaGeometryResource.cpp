#include "graphics/mesh/RovanaGeometryResource.h"

#include "graphics/mesh/RovanaDynamicMeshInstance.h"
#include "graphics/mesh/RovanaIndexedMeshLODInstance.h"
#include "graphics/mesh/RovanaProgressiveMeshDefinition.h"
#include "kiv/render/MeshFile.h"
#include "kiv/render/RenderKernel.h"

RovanaGeometryBaseResource::RovanaGeometryBaseResource(Kiv::PString owner, Kiv::PString path,
                                                       const Kiv::ResourceDatabase* database)
    : Kiv::Resource(std::move(owner), std::move(path), database) {}

RovanaGeometryBaseResource::~RovanaGeometryBaseResource() = default;

void RovanaGeometryBaseResource::SetDisplay(Kiv::Display* display, Kiv::MaterialManager* manager) {
  m_display = display;
  m_manager = manager;
}

std::unique_ptr<RovanaIndexedMeshDefinition> RovanaGeometryBaseResource::CreateDefinition() const {
  return std::make_unique<RovanaIndexedMeshDefinition>(m_options);
}

int RovanaGeometryBaseResource::ReadDefinition(RovanaIndexedMeshDefinition& definition,
                                               std::string_view fileName) {
  const int opened = definition.OpenMeshFile(GetDatabase(), fileName);
  if (opened != Kiv::kMeshOk) return opened;
  return definition.Load(m_display, m_manager, this, fileName, kVertexColour);
}

int RovanaGeometryBaseResource::Load(std::string_view fileName) {
  ClearNames();
  m_definition.reset();
  if (!m_display) return 1;
  m_definition = CreateDefinition();
  m_lastRead = ReadDefinition(*m_definition, fileName);
  if (m_lastRead == Kiv::kMeshOk) return 0;
  m_definition.reset();
  return 1;
}

std::vector<Kiv::Material*> RovanaGeometryBaseResource::WalkMaterials() const {
  std::vector<Kiv::Material*> materials;
  if (m_definition) {
    for (const auto& material : m_definition->GetMaterials()) {
      if (material) materials.push_back(material.get());
    }
  }
  return materials;
}

std::vector<Kiv::GeometryChunk*> RovanaGeometryBaseResource::WalkChunks() const {
  std::vector<Kiv::GeometryChunk*> chunks;
  if (m_definition) {
    for (const auto& chunk : m_definition->GetChunks()) chunks.push_back(chunk.get());
  }
  return chunks;
}

std::string RovanaGeometryBaseResource::FailureReason() const {
  if (!m_display) return "no display to set it up on";
  if (m_lastRead != Kiv::kMeshOk) return Kiv::MeshResultText(m_lastRead);
  if (!m_definition) return "it was not read";
  return "a texture of one of its materials does not load";
}

bool RovanaGeometryBaseResource::LoadAll() {
  if (!Kiv::Resource::LoadAll()) return false;
  for (Kiv::Material* material : WalkMaterials()) {
    if (material->IsLoaded() == Kiv::kMaterialOk) continue;
    for (const Kiv::MaterialTexture& entry : material->GetTextures()) {
      std::shared_ptr<Kiv::Texture> texture = material->GetTexture(entry.slot);
      if (!texture || texture->IsLoaded()) continue;
      texture->Load();
      if (texture->HasFailed()) return false;
    }
  }
  return true;
}

int RovanaGeometryBaseResource::IsAllLoaded() {
  const int base = Kiv::Resource::IsAllLoaded();
  if (base != Kiv::kResourceReady) return base;
  for (Kiv::Material* material : WalkMaterials()) {
    const int loaded = material->IsLoaded();
    if (loaded == Kiv::kMaterialOk) continue;
    if (loaded != Kiv::kMaterialNotLoaded || material->GetTextures().empty()) return Kiv::kResourceFailed;
    // The first texture still loading decides.
    int state = Kiv::kResourceWaiting;
    for (const Kiv::MaterialTexture& entry : material->GetTextures()) {
      std::shared_ptr<Kiv::Texture> texture = material->GetTexture(entry.slot);
      if (!texture || texture->IsLoaded()) continue;
      const Kiv::Resource* source = texture->GetResource();
      if (texture->HasFailed() ||
          (source && const_cast<Kiv::Resource*>(source)->IsAllLoaded() == Kiv::kResourceFailed)) {
        state = Kiv::kResourceFailed;
      }
      break;
    }
    return state;
  }
  return Kiv::kResourceReady;
}

int RovanaGeometryBaseResource::LoadComplete(int frame) {
  if (m_definition) {
    m_definition->FinishMaterials();
    for (Kiv::GeometryChunk* chunk : WalkChunks()) {
      // A chunk that cannot be prepared does not change the outcome.
      // A chunk that cannot be prepared is not drawn; nothing draws here.
      if (frame != 0) (void)chunk->PrepareForFrame();
    }
  }
  return Kiv::Resource::LoadComplete(frame);
}

uint64_t RovanaGeometryBaseResource::CalculateDataSize() const {
  return m_definition ? m_definition->EstimateMemorySize() : 0;
}

// Progressive.

std::unique_ptr<RovanaIndexedMeshDefinition> RovanaProgressiveMeshResource::CreateDefinition() const {
  return std::make_unique<RovanaProgressiveMeshDefinition>(m_options);
}

int RovanaProgressiveMeshResource::ReadDefinition(RovanaIndexedMeshDefinition& definition,
                                                  std::string_view fileName) {
  return definition.Load(m_display, m_manager, this, fileName, kVertexColour);
}

// Levels of detail.

std::unique_ptr<RovanaIndexedMeshDefinition> RovanaIndexedMeshLODResource::CreateDefinition() const {
  return std::make_unique<RovanaIndexedMeshLODDefinition>(m_options);
}

int RovanaIndexedMeshLODResource::ReadDefinition(RovanaIndexedMeshDefinition& definition,
                                                 std::string_view fileName) {
  if (!m_manager) return Kiv::kMeshNoManager;
  return static_cast<RovanaIndexedMeshLODDefinition&>(definition)
      .ReadLODFile(m_display, m_manager, this, fileName, kVertexColour);
}

int RovanaIndexedMeshLODResource::LoadTxt(std::string_view fileName) {
  ClearNames();
  m_definition.reset();
  if (!m_display) return 1;
  m_definition = CreateDefinition();
  m_lastRead = m_manager
                   ? GetLODDefinition()->LoadLODText(m_display, m_manager, this, fileName, kVertexColour)
                   : int(Kiv::kMeshNoManager);
  // What a failed text read made stays until the resource goes.
  return m_lastRead == Kiv::kMeshOk ? 0 : 1;
}

std::vector<Kiv::Material*> RovanaIndexedMeshLODResource::WalkMaterials() const {
  std::vector<Kiv::Material*> materials;
  if (const RovanaIndexedMeshLODDefinition* definition = GetLODDefinition()) {
    for (const LODLevel& level : definition->GetLevels()) {
      for (const auto& material : level.materials) {
        if (material) materials.push_back(material.get());
      }
    }
  }
  return materials;
}

std::vector<Kiv::GeometryChunk*> RovanaIndexedMeshLODResource::WalkChunks() const {
  std::vector<Kiv::GeometryChunk*> chunks;
  if (const RovanaIndexedMeshLODDefinition* definition = GetLODDefinition()) {
    for (const LODLevel& level : definition->GetLevels()) {
      for (const auto& chunk : level.chunks) chunks.push_back(chunk.get());
    }
  }
  return chunks;
}

int RovanaIndexedMeshLODResource::LoadComplete(int frame) {
  if (RovanaIndexedMeshLODDefinition* definition = GetLODDefinition()) {
    definition->CompleteLoad();
    for (Kiv::GeometryChunk* chunk : WalkChunks()) {
      // A chunk that cannot be prepared is not drawn; nothing draws here.
      if (frame != 0) (void)chunk->PrepareForFrame();
    }
  }
  return Kiv::Resource::LoadComplete(frame);
}

uint64_t RovanaIndexedMeshLODResource::CalculateDataSize() const {
  const RovanaIndexedMeshLODDefinition* definition = GetLODDefinition();
  return definition ? definition->CalculateDataSize() : 0;
}

namespace {

// The plain or the skinned instance of a mesh, initialised from the resource.
template <class Plain, class Skinned>
std::shared_ptr<Kiv::Particle> MakeInstance(Kiv::Resource& resource,
                                            const RovanaIndexedMeshDefinition& definition) {
  const bool skinned = !definition.GetInfluences().empty() && definition.GetRootBone();
  if (skinned) {
    auto instance = std::make_shared<Skinned>(nullptr);
    instance->InitFromResource(resource, definition);
    return instance;
  }
  auto instance = std::make_shared<Plain>(nullptr);
  instance->InitFromResource(resource, definition);
  return instance;
}

}  // namespace

std::shared_ptr<Kiv::Particle> RovanaGeometryBaseResource::CreateMeshInstance() {
  if (!m_display || !m_definition) return nullptr;
  return MakeInstance<RovanaIndexedMeshInstance, RovanaDynamicIndexedMeshInstance>(*this, *m_definition);
}

std::shared_ptr<Kiv::Particle> RovanaProgressiveMeshResource::CreateMeshInstance() {
  if (!m_display || !m_definition) return nullptr;
  return MakeInstance<RovanaProgressiveMeshInstance, RovanaDynamicProgressiveMeshInstance>(*this,
                                                                                           *m_definition);
}

std::shared_ptr<Kiv::Particle> RovanaIndexedMeshLODResource::CreateMeshInstance() {
  const RovanaIndexedMeshLODDefinition* definition = GetLODDefinition();
  if (!m_display || !definition) return nullptr;
  if (!definition->GetBones().empty()) {
    if (!definition->GetRootBone()) return nullptr;
    auto instance = std::make_shared<RovanaDynamicIndexedMeshLODInstance>(nullptr);
    instance->InitFromResource(*this, *definition);
    return instance;
  }
  auto instance = std::make_shared<RovanaIndexedMeshLODInstance>(nullptr);
  instance->InitFromResource(*this, *definition);
  return instance;
}
