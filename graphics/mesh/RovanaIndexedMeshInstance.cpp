#include "graphics/mesh/RovanaIndexedMeshInstance.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "graphics/mesh/RVAxisBoxTree.h"

RovanaIndexedMeshInstance::RovanaIndexedMeshInstance(const RovanaIndexedMeshDefinition* definition)
    : m_definition(definition),
      m_chunks(std::make_shared<ChunkArray>()),
      m_materials(std::make_shared<MaterialArray>()) {
  if (definition) InitFromDefinition(*definition);
}

RovanaIndexedMeshInstance::~RovanaIndexedMeshInstance() { SetResource(nullptr); }

void RovanaIndexedMeshInstance::SetResource(Kiv::Resource* resource) {
  if (m_resource) m_resource->Unlock();
  m_resource = nullptr;
  // A resource that cannot be locked is not kept.
  if (resource && resource->Lock() == 0) m_resource = resource;
}

void RovanaIndexedMeshInstance::InitFromResource(Kiv::Resource& resource,
                                                 const RovanaIndexedMeshDefinition& definition) {
  SetResource(&resource);
  InitFromDefinition(definition);
  MakeChunksPrivate();
  AttachBones(definition);
  definition.AddAttachmentPoints(*this);
}

void RovanaIndexedMeshInstance::AttachBones(const RovanaIndexedMeshDefinition& definition) {
  const auto& root = definition.GetRootBone();
  if (!root) return;
  std::shared_ptr<Kiv::Particle> bones = root->CreateInstance();
  m_boneRoot = bones.get();
  // A node made just before has no parent, so it is not refused.
  (void)Add(std::move(bones));
  FindChunkNodes();
}

void RovanaIndexedMeshInstance::FindChunkNodes() {
  m_chunkNodes.clear();
  if (!m_boneRoot || !m_definition) return;
  for (uint32_t i = 0; i < m_chunkCount; ++i) {
    const Kiv::PString& name = m_definition->GetChunkName(i);
    Kiv::Particle* node = nullptr;
    if (!name.IsEmpty()) node = name == m_boneRoot->GetName() ? m_boneRoot : m_boneRoot->FindByName(name);
    m_chunkNodes.push_back(node);
  }
}

void RovanaIndexedMeshInstance::InitFromDefinition(const RovanaIndexedMeshDefinition& definition) {
  m_definition = &definition;
  m_chunks = std::make_shared<ChunkArray>(definition.GetChunks());
  m_materials = std::make_shared<MaterialArray>(definition.GetMaterials());
  m_chunkCount = uint32_t(m_chunks->size());
  m_textureFigure = definition.GetTextureFigure();
  // The definition keeps the maximum corner first.
  for (int k = 0; k < 3; ++k) {
    m_boundsHigh[k] = definition.GetBounds()[k];
    m_boundsLow[k] = definition.GetBounds()[3 + k];
  }
  m_box = definition.GetOrientedBox();
  const auto& attachments = definition.GetAttachments();
  for (uint32_t i = 0; i < attachments.size(); ++i) {
    const std::string_view name = attachments[i].name.View();
    if (name.empty() || (name[0] != 'p' && name[0] != 'P')) continue;
    Kiv::PString first, second;
    Kiv::AttachmentPoint::GetSubNames(name, first, second);
    auto point = std::make_shared<Kiv::AttachmentPoint>(first, second);
    std::copy_n(attachments[i].position, 3, point->position);
    point->rotation = definition.GetAttachmentRotation(i);
    // A point already attached keeps its place.
    (void)AddReferencePoint(std::move(point));
  }
  SetName(definition.GetPath());
  UpdateBoundingVolume();
  ClonePerInstanceChunks();
}

void RovanaIndexedMeshInstance::ClonePerInstanceChunks() {
  bool unique = false;
  for (uint32_t i = 0; i < m_chunkCount; ++i) {
    if (!(*m_chunks)[i] || !((*m_chunks)[i]->GetFlags() & kChunkPerInstance)) continue;
    if (!unique) MakeChunksUnique();
    unique = true;
    CloneChunk(i);
  }
}

void RovanaIndexedMeshInstance::CopyInstanceTo(RovanaIndexedMeshInstance& copy) const {
  copy.SetName(GetName());
  CopyFrameTo(copy);
  CopyPointsTo(copy);
  copy.state = state;
  copy.m_definition = m_definition;
  copy.m_chunks = m_chunks;
  copy.m_materials = m_materials;
  copy.m_chunkCount = m_chunkCount;
  copy.m_opacity = m_opacity;
  copy.m_scale = m_scale;
  copy.m_scaled = m_scaled;
  std::copy_n(m_boundsLow, 3, copy.m_boundsLow);
  std::copy_n(m_boundsHigh, 3, copy.m_boundsHigh);
  copy.m_box = m_box;
  copy.m_volume = m_volume;
  copy.m_textureFigure = m_textureFigure;
  copy.SetResource(m_resource);
  // The copy's own subtree; its chunks follow its own bones.
  for (const auto& child : GetChildren()) {
    std::shared_ptr<Kiv::Particle> node = child->CreateInstance();
    if (child.get() == m_boneRoot) copy.m_boneRoot = node.get();
    // A node made just before has no parent, so it is not refused.
    (void)copy.Add(std::move(node));
  }
  if (!m_chunkNodes.empty()) copy.FindChunkNodes();
  copy.ClonePerInstanceChunks();
}

std::shared_ptr<Kiv::Particle> RovanaIndexedMeshInstance::CreateInstance() const {
  auto copy = std::make_shared<RovanaIndexedMeshInstance>(nullptr);
  CopyInstanceTo(*copy);
  return copy;
}

void RovanaIndexedMeshInstance::MakeChunksUnique() { m_chunks = std::make_shared<ChunkArray>(*m_chunks); }

void RovanaIndexedMeshInstance::MakeMaterialsUnique() {
  m_materials = std::make_shared<MaterialArray>(*m_materials);
}

void RovanaIndexedMeshInstance::CloneChunk(uint32_t i) {
  if (i >= m_chunkCount || i >= m_chunks->size() || !(*m_chunks)[i]) return;
  // A copy in an array another instance shares would be that one's too.
  if (m_chunks.use_count() > 1) MakeChunksUnique();
  (*m_chunks)[i] = std::shared_ptr<Kiv::GeometryChunk>((*m_chunks)[i]->Clone());
}

void RovanaIndexedMeshInstance::CloneMaterial(uint32_t i) {
  if (i >= m_chunkCount || i >= m_materials->size() || !(*m_materials)[i]) return;
  if (m_materials.use_count() > 1) MakeMaterialsUnique();
  (*m_materials)[i] = (*m_materials)[i]->CreateInstance();
}

bool RovanaIndexedMeshInstance::AddChunk(std::shared_ptr<Kiv::GeometryChunk> chunk,
                                         std::shared_ptr<Kiv::Material> material) {
  if (!chunk || !IsFree(*chunk) || !m_chunks || !m_materials) return false;
  if (chunk->GetFlags() & kChunkPerInstance) chunk = std::shared_ptr<Kiv::GeometryChunk>(chunk->Clone());
  // New arrays: a clone sharing the old ones keeps its chunks.
  auto chunks = std::make_shared<ChunkArray>(m_chunks->begin(), m_chunks->begin() + m_chunkCount);
  auto materials = std::make_shared<MaterialArray>(*m_materials);
  materials->resize(m_chunkCount);
  chunks->push_back(std::move(chunk));
  materials->push_back(std::move(material));
  m_chunks = std::move(chunks);
  m_materials = std::move(materials);
  if (!m_chunkNodes.empty()) m_chunkNodes.resize(m_chunkCount + 1, nullptr);
  ++m_chunkCount;
  return true;
}

bool RovanaIndexedMeshInstance::MergeChunk(const Kiv::GeometryChunk& chunk, const Kiv::Material& material,
                                           uint32_t i) {
  if (!IsFree(chunk) || !CanMergeInto(chunk, material, i)) return false;
  std::unique_ptr<Kiv::GeometryChunk> merged = (*m_chunks)[i]->Clone();
  if (!merged->AppendChunk(chunk)) return false;
  MakeChunksUnique();
  (*m_chunks)[i] = std::move(merged);
  return true;
}

bool RovanaIndexedMeshInstance::CanMergeInto(const Kiv::GeometryChunk& chunk, const Kiv::Material& material,
                                             uint32_t i) const {
  if (i >= m_chunkCount || i >= m_chunks->size() || !(*m_chunks)[i]) return false;
  const Kiv::Material* targetMaterial = i < m_materials->size() ? (*m_materials)[i].get() : nullptr;
  if (!(chunk.GetFlags() & kChunkTriangleList) || !((*m_chunks)[i]->GetFlags() & kChunkTriangleList))
    return false;
  return targetMaterial && targetMaterial->Equals(material) && material.Equals(*targetMaterial);
}

void RovanaIndexedMeshInstance::SetScale(float x, float y, float z) {
  m_scale = {x, y, z};
  m_scaled = x != 1.0f || y != 1.0f || z != 1.0f;
  UpdateBoundingVolume();
}

void RovanaIndexedMeshInstance::UpdateBoundingVolume() {
  m_volume = m_box;
  if (!m_scaled) return;
  for (int k = 0; k < 3; ++k) m_volume.extents[k] *= m_scale[k];
}

void RovanaIndexedMeshInstance::SetOpacity(float opacity) {
  m_opacity = opacity;
  for (uint32_t i = 0; i < m_chunkCount && i < m_chunks->size(); ++i)
    if ((*m_chunks)[i]) (*m_chunks)[i]->SetOpacity(opacity);
}

uint32_t RovanaIndexedMeshInstance::GetPolygonCount() const {
  uint32_t count = 0;
  for (uint32_t i = 0; i < m_chunkCount && i < m_chunks->size(); ++i)
    if (const Kiv::GeometryChunk* chunk = (*m_chunks)[i].get()) count += chunk->GetNumFaces();
  return count;
}

void RovanaIndexedMeshInstance::Cull(Kiv::ViewPoint& viewPoint) {
  Particle::Cull(viewPoint);
  if (GetCulledFrame() != viewPoint.GetFrame() || !(m_opacity > 0.0f)) return;
  const int level = viewPoint.CalcWantedMipLevelsForCull(*this, m_textureFigure);
  for (uint32_t i = 0; i < m_chunkCount && i < m_materials->size(); ++i)
    if ((*m_materials)[i]) (*m_materials)[i]->SetWantedMipLevel(level);
  m_stored = WorldTransform();
  viewPoint.Add(*this, m_stored);
}

void RovanaIndexedMeshInstance::Render(Kiv::ViewPoint& viewPoint, int pass, const Kiv::Matrix4& transform) {
  // Lighting is recorded, not drawn: a level without it is still checked.
  (void)UpdateLighting(&viewPoint.lights, false);
  RenderChunks(viewPoint, pass, transform, m_chunkCount, *m_chunks, *m_materials, m_chunkNodes);
}

void RovanaIndexedMeshInstance::RenderChunks(Kiv::ViewPoint& viewPoint, int pass,
                                             const Kiv::Matrix4& transform, uint32_t chunkCount,
                                             const ChunkArray& chunks, const MaterialArray& materials,
                                             const std::vector<Kiv::Particle*>& chunkNodes) {
  Kiv::Matrix4 world = transform;
  if (m_scaled) {
    Kiv::Matrix4 scale;
    for (int k = 0; k < 3; ++k) scale.m[5 * k] = m_scale[k];
    world = Kiv::Matrix4::Multiply(scale, transform);
  }
  for (uint32_t i = 0; i < chunkCount && i < chunks.size() && i < materials.size(); ++i) {
    Kiv::GeometryChunk* chunk = chunks[i].get();
    Kiv::Material* material = materials[i].get();
    if (!chunk || !material || chunk->GetNumFaces() == 0) continue;
    Kiv::Matrix4 nodeWorld;
    const Kiv::Matrix4* chunkWorld = &world;
    if (!chunkNodes.empty()) {
      const Kiv::Particle* node = i < chunkNodes.size() ? chunkNodes[i] : nullptr;
      if (!node || node->GetCulledFrame() != viewPoint.GetFrame()) continue;
      nodeWorld = node->WorldTransform();
      chunkWorld = &nodeWorld;
    }
    Kiv::RenderArgs args;
    args.display = &viewPoint.GetDisplay();
    args.camera = &viewPoint.GetCamera();
    args.chunk = chunk;
    args.transform = chunkWorld->m;
    args.lights = &viewPoint.lights;
    args.parameter = pass;
    material->RenderChunk(args);
  }
}

void RovanaIndexedMeshInstance::DrawGeometry(Kiv::Display& display, const Kiv::Camera& camera,
                                             const Kiv::Matrix4& transform, bool lit) {
  DrawChunks(display, camera, transform, lit, m_chunkCount, *m_chunks, *m_materials);
}

void RovanaIndexedMeshInstance::DrawChunks(Kiv::Display& display, const Kiv::Camera& camera,
                                           const Kiv::Matrix4& transform, bool lit, uint32_t chunkCount,
                                           const ChunkArray& chunks, const MaterialArray& materials) const {
  for (uint32_t i = 0; i < chunkCount && i < chunks.size(); ++i) {
    Kiv::GeometryChunk* chunk = chunks[i].get();
    if (!chunk || chunk->GetNumFaces() == 0) continue;
    display.SetWorldTransform(transform.m);
    const Kiv::Material* material = i < materials.size() ? materials[i].get() : nullptr;
    if (lit && material) material->SetLightingState(display, camera.view, nullptr, nullptr, m_opacity);
    display.Draw(*chunk);
  }
}

bool RovanaIndexedMeshInstance::UpdateLighting(const std::vector<Kiv::Light>* lights, bool force) {
  if (!m_updateLighting && !force) return false;
  CalculateLighting(lights, m_chunkCount);
  m_updateLighting = false;
  return true;
}

bool RovanaIndexedMeshInstance::GetTriangle(uint32_t c, uint32_t t, float corners[9]) const {
  if (c >= m_chunkCount || c >= m_chunks->size() || !(*m_chunks)[c]) return false;
  const Kiv::GeometryChunk& chunk = *(*m_chunks)[c];
  const uint16_t* indices = chunk.GetIndexArray();
  const Kiv::ElementArray positions = chunk.GetElement(Kiv::kElementPosition);
  if (!indices || !positions) return false;
  for (uint32_t corner = 0; corner < 3; ++corner) {
    uint64_t at;
    switch (chunk.GetFlags() & 0x1Fu) {
      case Kiv::kPrimitiveTriangleList: at = 3ull * t + corner; break;
      case Kiv::kPrimitiveTriangleStrip:
        at = corner == 0 ? t : (t % 2 == 0 ? uint64_t(t) + corner : uint64_t(t) + 3 - corner);
        break;
      case Kiv::kPrimitiveTriangleFan: at = corner == 0 ? 0 : uint64_t(t) + corner; break;
      default: return false;
    }
    if (at >= chunk.GetNumIndices()) return false;
    const uint16_t vertex = indices[at];
    if (vertex >= chunk.GetNumVertices()) return false;
    std::memcpy(corners + 3 * corner, positions.data + size_t(vertex) * positions.stride, 12);
  }
  return true;
}

bool RovanaIndexedMeshInstance::TestCollisionGeometry(const float origin[3], const float direction[3],
                                                      float& distance, uint32_t& chunk,
                                                      uint32_t& triangle) const {
  float point[3] = {origin[0], origin[1], origin[2]};
  float way[3] = {direction[0], direction[1], direction[2]};
  if (m_scaled) {
    for (int k = 0; k < 3; ++k) {
      if (m_scale[k] == 0.0f) return false;
      point[k] /= m_scale[k];
      way[k] /= m_scale[k];
    }
    const float length = std::sqrt(way[0] * way[0] + way[1] * way[1] + way[2] * way[2]);
    if (!(length > 0.0f)) return false;
    for (float& w : way) w /= length;
  }
  if (!RayMeetsBoundingBox(point, way, distance)) return false;
  // The definition's collision tree answers when it can; else every triangle is tried.
  if (const int answer = TestCollisionTree(point, way, distance, chunk, triangle); answer >= 0)
    return answer == 1;
  // Only the nearest hit in front of the origin counts, and it alone names
  // the triangle.
  float best = distance;
  bool hit = false;
  for (uint32_t c = 0; c < m_chunkCount && c < m_chunks->size(); ++c) {
    if (!(*m_chunks)[c]) continue;
    const uint32_t indices = (*m_chunks)[c]->GetNumIndices();
    const uint32_t kind = (*m_chunks)[c]->GetFlags() & 0x1Fu;
    const bool listed = kind == Kiv::kPrimitiveTriangleList;
    const bool joined = kind == Kiv::kPrimitiveTriangleStrip || kind == Kiv::kPrimitiveTriangleFan;
    const uint32_t triangles = listed ? indices / 3 : joined && indices >= 3 ? indices - 2 : 0;
    // The material's flag says whether both faces count.
    const Kiv::Material* material = c < m_materials->size() ? (*m_materials)[c].get() : nullptr;
    const bool twoSided = material && material->GetFlag();
    for (uint32_t t = 0; t < triangles; ++t) {
      float corners[9];
      if (!GetTriangle(c, t, corners)) continue;
      float at = std::numeric_limits<float>::infinity();
      if (!RVAxisBoxTree::IntersectRayTriangle(corners, twoSided, point, way, &at)) continue;
      if (at >= 0.0f && at < best) {
        best = at;
        chunk = c;
        triangle = t;
        hit = true;
      }
    }
  }
  if (hit) distance = best;
  return hit;
}
