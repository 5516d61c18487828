#include "graphics/mesh/RovanaIndexedMeshLODInstance.h"

#include <algorithm>
#include <cmath>

RovanaIndexedMeshLODInstance::RovanaIndexedMeshLODInstance(const RovanaIndexedMeshLODDefinition* definition)
    : RovanaIndexedMeshInstance(nullptr) {
  if (definition) InitFromDefinition(*definition);
}

void RovanaIndexedMeshLODInstance::InitFromDefinition(const RovanaIndexedMeshLODDefinition& definition) {
  m_lodDefinition = &definition;
  m_distances = definition.GetDistances();
  m_calcPoint = definition.GetCalcPoint();
  m_namedLevels = definition.GetNamedLevels();
  m_offset = definition.GetOffset();
  m_multiplier = definition.GetMultiplier();
  m_renderCutOff = definition.GetRenderCutOff();
  m_attachmentCutOff = definition.GetAttachmentCutOff();
  RovanaIndexedMeshInstance::InitFromDefinition(definition);
  // The instance's own level table: per-instance chunks are copied.
  m_levels = definition.GetLevels();
  ClonePerInstanceLevelChunks();
  m_lightingDirty.assign(m_levels.size(), 1);
  m_dirtyCount = uint32_t(m_levels.size());
  const int named = definition.GetLevelIndexByName("collision");
  if (named >= 0) {
    SelectLevel(uint32_t(named));
  } else if (!m_distances.empty()) {
    SelectLevel(uint32_t(m_distances.size() - 1));
  } else if (!m_levels.empty()) {
    SelectLevel(0);
  }
  m_currentLevel = 0;
}

void RovanaIndexedMeshLODInstance::ClonePerInstanceLevelChunks() {
  for (LODLevel& level : m_levels)
    for (auto& chunk : level.chunks)
      if (chunk && (chunk->GetFlags() & kChunkPerInstance))
        chunk = std::shared_ptr<Kiv::GeometryChunk>(chunk->Clone());
}

void RovanaIndexedMeshLODInstance::InitFromResource(Kiv::Resource& resource,
                                                    const RovanaIndexedMeshLODDefinition& definition) {
  SetResource(&resource);
  InitFromDefinition(definition);
  AttachBones(definition);
  FindLevelNodes();
  definition.AddAttachmentPoints(*this);
  for (const Kiv::PString& name : definition.GetCullList())
    if (Kiv::Particle* found = FindCullParticle(name)) m_cullParticles.push_back(found);
}

Kiv::Particle* RovanaIndexedMeshLODInstance::FindCullParticle(const Kiv::PString& name) {
  if (Kiv::Particle* found = FindByName(name)) return found;
  // An attachment point goes by its name and sub-name ("a" and "light" for "a.light").
  for (const auto& point : GetAttachmentPoints()) {
    const auto* attachment = dynamic_cast<const Kiv::AttachmentPoint*>(point.get());
    const bool whole = point->GetName() == name;
    const bool split = attachment && !attachment->GetSubName().IsEmpty() &&
                       point->GetName().Str() + "." + attachment->GetSubName().Str() == name.View();
    if (whole || split) return point.get();
  }
  return nullptr;
}

void RovanaIndexedMeshLODInstance::FindLevelNodes() {
  m_levelNodes.assign(m_levels.size(), {});
  // Chunk nodes are the base's business only for the collision level.
  m_chunkNodes.clear();
  for (size_t l = 0; l < m_levels.size(); ++l) {
    const LODLevel& level = m_levels[l];
    std::vector<Kiv::Particle*> nodes;
    bool any = false;
    for (uint32_t c = 0; c < level.ChunkCount(); ++c) {
      const Kiv::PString name = c < level.chunkNames.size() ? level.chunkNames[c] : Kiv::PString();
      Kiv::Particle* node = name.IsEmpty() ? nullptr : FindByName(name);
      any = any || node;
      nodes.push_back(node);
    }
    // A level none of whose chunks names a node is drawn with the instance.
    if (any) m_levelNodes[l] = std::move(nodes);
  }
}

void RovanaIndexedMeshLODInstance::CopyInstanceTo(RovanaIndexedMeshInstance& base) const {
  RovanaIndexedMeshInstance::CopyInstanceTo(base);
  auto* copy = dynamic_cast<RovanaIndexedMeshLODInstance*>(&base);
  if (!copy) return;
  copy->m_lodDefinition = m_lodDefinition;
  copy->m_namedLevels = m_namedLevels;
  copy->m_levels = m_levels;
  copy->ClonePerInstanceLevelChunks();
  copy->m_distances = m_distances;
  copy->m_calcPoint = m_calcPoint;
  copy->m_offset = m_offset;
  copy->m_multiplier = m_multiplier;
  copy->m_lastValue = m_lastValue;
  copy->m_renderCutOff = m_renderCutOff;
  copy->m_attachmentCutOff = m_attachmentCutOff;
  copy->m_currentLevel = m_currentLevel;
  copy->m_levelLocked = m_levelLocked;
  copy->m_lightingDirty = m_lightingDirty;
  copy->m_dirtyCount = m_dirtyCount;
  copy->m_tint = m_tint;
  copy->m_tinted = m_tinted;
  copy->SelectLevel(m_baseLevel);
  copy->FindLevelNodes();
  // The copy's ":Cull" particles are its own, found again by name.
  if (m_lodDefinition)
    for (const Kiv::PString& name : m_lodDefinition->GetCullList())
      if (Kiv::Particle* found = copy->FindCullParticle(name)) copy->m_cullParticles.push_back(found);
}

std::shared_ptr<Kiv::Particle> RovanaIndexedMeshLODInstance::CreateInstance() const {
  auto copy = std::make_shared<RovanaIndexedMeshLODInstance>(nullptr);
  CopyInstanceTo(*copy);
  return copy;
}

void RovanaIndexedMeshLODInstance::SelectLevel(uint32_t level) {
  if (level >= m_levels.size()) return;
  const LODLevel& chosen = m_levels[level];
  m_chunks = std::make_shared<ChunkArray>(chosen.chunks);
  m_materials = std::make_shared<MaterialArray>(chosen.materials);
  m_chunkCount = chosen.ChunkCount();
  m_baseLevel = level;
}

uint32_t RovanaIndexedMeshLODInstance::FindLODIndex(float value) const {
  uint32_t index = 0;
  for (uint32_t i = 0; i < m_distances.size() && i < m_levels.size(); ++i)
    if (m_distances[i] <= value) index = i;
  return index;
}

float RovanaIndexedMeshLODInstance::FindLOD(float cameraDistance, float sphereRadius) const {
  return std::max(0.0f, cameraDistance - sphereRadius) * m_multiplier + m_offset;
}

void RovanaIndexedMeshLODInstance::ChooseLevel(float value) {
  if (!m_levelLocked) m_currentLevel = FindLODIndex(value);
}

void RovanaIndexedMeshLODInstance::SetTint(float r, float g, float b) {
  m_tint = {r, g, b};
  m_tinted = !(r == 1.0f && g == 1.0f && b == 1.0f);
}

float RovanaIndexedMeshLODInstance::ComputeLODValue(const Kiv::ViewPoint& viewPoint) const {
  // The bounding sphere: the volume's centre in the world, its corner distance.
  const Kiv::OrientedBox& box = GetBoundingVolume();
  float centre[3];
  WorldTransform().TransformPoint(box.centre, centre);
  const float radius = std::sqrt(box.extents[0] * box.extents[0] + box.extents[1] * box.extents[1] +
                                 box.extents[2] * box.extents[2]);
  float distance = 0.0f;
  for (int k = 0; k < 3; ++k) {
    const float d = centre[k] - viewPoint.GetCamera().position[k];
    distance += d * d;
  }
  return FindLOD(std::sqrt(distance), radius + kSphereMargin);
}

void RovanaIndexedMeshLODInstance::Cull(Kiv::ViewPoint& viewPoint) {
  const float value = ComputeLODValue(viewPoint);
  m_lastValue = value;
  for (Kiv::Particle* particle : m_cullParticles) {
    if (m_attachmentCutOff < value) {
      particle->state |= Kiv::Particle::kStateCulledOff;
    } else {
      particle->state &= uint8_t(~Kiv::Particle::kStateCulledOff);
    }
  }
  Particle::Cull(viewPoint);
  if (!(m_opacity > 0.0f)) SetCulledFrame(0);
  if (GetCulledFrame() != viewPoint.GetFrame()) return;
  ChooseLevel(value);
  if (!(m_renderCutOff <= m_lastValue) || m_currentLevel >= m_levels.size()) return;
  for (const auto& material : m_levels[m_currentLevel].materials)
    if (material) material->Activate(true);
  m_stored = WorldTransform();
  viewPoint.Add(*this, m_stored);
}

void RovanaIndexedMeshLODInstance::Render(Kiv::ViewPoint& viewPoint, int pass,
                                          const Kiv::Matrix4& transform) {
  if (m_currentLevel >= m_levels.size()) return;
  // Lighting is recorded, not drawn: a level without it is still checked.
  (void)UpdateLevelLighting(m_currentLevel, false);
  const LODLevel& level = m_levels[m_currentLevel];
  static const std::vector<Kiv::Particle*> kNone;
  const auto& nodes = m_currentLevel < m_levelNodes.size() ? m_levelNodes[m_currentLevel] : kNone;
  RenderChunks(viewPoint, pass, transform, level.ChunkCount(), level.chunks, level.materials, nodes);
}

void RovanaIndexedMeshLODInstance::DrawGeometry(Kiv::Display& display, const Kiv::Camera& camera,
                                                const Kiv::Matrix4& transform, bool lit) {
  if (m_currentLevel >= m_levels.size()) return;
  const LODLevel& level = m_levels[m_currentLevel];
  DrawChunks(display, camera, transform, lit, level.ChunkCount(), level.chunks, level.materials);
}

void RovanaIndexedMeshLODInstance::SetOpacity(float opacity) {
  m_opacity = opacity;
  for (size_t l = 0; l < m_distances.size() && l < m_levels.size(); ++l)
    for (const auto& chunk : m_levels[l].chunks)
      if (chunk) chunk->SetOpacity(opacity);
}

void RovanaIndexedMeshLODInstance::SetUpdateLighting(bool update) {
  Kiv::LightTarget::SetUpdateLighting(update);
  std::fill(m_lightingDirty.begin(), m_lightingDirty.end(), uint8_t(update ? 1 : 0));
  m_dirtyCount = update ? uint32_t(m_levels.size()) : 0;
}

bool RovanaIndexedMeshLODInstance::UpdateLevelLighting(uint32_t level, bool force) {
  if (level >= m_levels.size()) return false;
  const bool dirty = m_lightingDirty[level] != 0;
  if (!dirty && !force) return false;
  CalculateLighting(nullptr, m_levels[level].ChunkCount());
  if (dirty) {
    m_lightingDirty[level] = 0;
    if (m_dirtyCount > 0 && --m_dirtyCount == 0) m_updateLighting = false;
  }
  return true;
}

void RovanaIndexedMeshLODInstance::UpdateAllLighting(bool distancedOnly) {
  const size_t count = distancedOnly ? std::min(m_distances.size(), m_levels.size()) : m_levels.size();
  // Lighting is recorded, not drawn: a level without it is still checked.
  for (size_t l = 0; l < count; ++l) (void)UpdateLevelLighting(uint32_t(l), false);
}

// ---- the skinned LOD instance ----

void RovanaDynamicIndexedMeshLODInstance::InitFromResource(Kiv::Resource& resource,
                                                           const RovanaIndexedMeshLODDefinition& definition) {
  RovanaIndexedMeshLODInstance::InitFromResource(resource, definition);
  m_animationCutOff = definition.GetAnimationCutOff();
  const auto& bones = definition.GetBones();
  std::vector<InfluenceSource> sources(bones.size());
  for (size_t b = 0; b < bones.size(); ++b) {
    sources[b].name = bones[b].name;
    sources[b].parentName = bones[b].parentName;
    sources[b].position = bones[b].position;
    sources[b].rotation = bones[b].rotation;
    sources[b].key = &bones[b];
    for (size_t l = 0; l < m_levels.size(); ++l)
      sources[b].sets.push_back(l < bones[b].levels.size() ? &bones[b].levels[l] : nullptr);
  }
  std::vector<bool> hardware;
  for (const LODLevel& level : m_levels) hardware.push_back(level.hardwareAnimated);
  BuildFromSource(sources, hardware);
  BindToOwnBones();
  for (const LODNamedLevel& named : m_namedLevels) {
    if (!named.animated || named.level >= m_levels.size()) continue;
    if (std::find(m_animatedLevels.begin(), m_animatedLevels.end(), named.level) == m_animatedLevels.end())
      m_animatedLevels.push_back(named.level);
  }
  OwnLevelChunks();
}

void RovanaDynamicIndexedMeshLODInstance::BindToOwnBones() {
  // The skeleton's root is the copied tree's node of the root bone's name.
  const InfluenceBone* root = GetRootBone();
  Kiv::Particle* node = m_boneRoot;
  if (root && node && root->name != node->GetName()) node = node->FindByName(root->name);
  BindToNodes(node);
}

void RovanaDynamicIndexedMeshLODInstance::OwnLevelChunks() {
  for (size_t l = 0; l < m_levels.size(); ++l) {
    LODLevel& level = m_levels[l];
    std::vector<Kiv::GeometryChunk*> pointers;
    for (auto& chunk : level.chunks) {
      if (chunk && !(chunk->GetFlags() & kChunkNotFree)) {
        chunk = std::shared_ptr<Kiv::GeometryChunk>(chunk->Clone());
        if (!level.hardwareAnimated) chunk->DuplicateVertexArray(nullptr);
      }
      pointers.push_back(chunk.get());
    }
    AssignHardwareMatrices(pointers);
  }
  // The base holds the collision level's own chunks again.
  SelectLevel(m_baseLevel);
}

std::shared_ptr<Kiv::Particle> RovanaDynamicIndexedMeshLODInstance::CreateInstance() const {
  auto copy = std::make_shared<RovanaDynamicIndexedMeshLODInstance>(nullptr);
  CopyInstanceTo(*copy);
  copy->CopyFrom(*this);
  copy->m_animatedLevels = m_animatedLevels;
  copy->m_animationCutOff = m_animationCutOff;
  copy->m_animationState = m_animationState | 1u;
  copy->BindToOwnBones();
  copy->OwnLevelChunks();
  return copy;
}

void RovanaDynamicIndexedMeshLODInstance::SetBoneState(bool culledOff) {
  for (const auto& child : GetChildren()) {
    const std::string_view name = child->GetName().View();
    if (name.size() <= 2 || name.substr(0, 2) != "b.") continue;
    child->EnumerateParticles([culledOff](Kiv::Particle& node) {
      if (culledOff) {
        node.state |= Kiv::Particle::kStateCulledOff;
      } else {
        node.state &= uint8_t(~Kiv::Particle::kStateCulledOff);
      }
    });
  }
}

void RovanaDynamicIndexedMeshLODInstance::UpdateAnimation(uint32_t frame) {
  if (m_lastValue - m_offset > m_animationCutOff) {
    m_animationState |= 2u;
    SetBoneState(true);
  } else if (m_lastValue + m_offset < m_animationCutOff) {
    m_animationState &= uint8_t(~2u);
    SetBoneState(false);
  }
  if (!(m_animationState & 3u)) return;
  m_animationState &= uint8_t(~1u);
  SkinLevel(m_currentLevel, frame);
  for (uint32_t level : m_animatedLevels)
    if (level != m_currentLevel) SkinLevel(level, frame);
}

void RovanaDynamicIndexedMeshLODInstance::SkinLevel(uint32_t level, uint32_t frame) {
  if (level >= m_levels.size()) return;
  std::vector<SkinnedChunk> chunks;
  for (const auto& chunk : m_levels[level].chunks) chunks.push_back(SkinnedChunk::Of(chunk.get()));
  Update(chunks, frame, level);
}

void RovanaDynamicIndexedMeshLODInstance::Render(Kiv::ViewPoint& viewPoint, int pass,
                                                 const Kiv::Matrix4& transform) {
  UpdateAnimation(viewPoint.GetFrame());
  RovanaIndexedMeshLODInstance::Render(viewPoint, pass, transform);
}

void RovanaDynamicIndexedMeshLODInstance::DrawGeometry(Kiv::Display& display, const Kiv::Camera& camera,
                                                       const Kiv::Matrix4& transform, bool lit) {
  UpdateAnimation(0);
  RovanaIndexedMeshLODInstance::DrawGeometry(display, camera, transform, lit);
}
