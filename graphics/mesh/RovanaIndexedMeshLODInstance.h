#pragma once
// One placement of a mesh with levels of detail: the indexed instance whose
// chunks and materials are those of one level at a time. The level drawn is
// chosen from a LOD value by the object-LOD rule below; the collision level
// (the named level "collision", else the last distanced one) is the level
// the base holds for queries. Each level keeps its own lighting mark.
//
// Object-LOD rule (ours; the engine leaves it open): the LOD value is the
// camera distance to the bounding sphere's surface times the multiplier
// plus the offset; the level for a value is the last distanced level whose
// switching distance is at or below it (level 0 for smaller values). The
// value is compared with the cut-offs as distances: an instance is drawn at
// values from the render cut-off on, attachment points marked ":Cull" are
// culled off beyond the attachment cut-off, and the bones of a skinned
// instance ("b." nodes) beyond the animation cut-off (within a band of the
// offset either side, nothing changes).
#include <array>
#include <cstdint>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"
#include "graphics/mesh/RovanaInfluenceMesh.h"

class RovanaIndexedMeshLODInstance : public RovanaIndexedMeshInstance {
public:
  static constexpr uint32_t kTypeId = 21;
  // The sphere the LOD value is measured from is this much larger than the
  // bounding sphere.
  static constexpr float kSphereMargin = 5.0f;

  explicit RovanaIndexedMeshLODInstance(const RovanaIndexedMeshLODDefinition* definition);

  void InitFromDefinition(const RovanaIndexedMeshLODDefinition& definition);
  // Keeps the resource locked, takes the definition, places a copy of its
  // bone tree below this node, finds each level's chunk nodes by name, adds
  // the attachment points and collects those marked ":Cull".
  void InitFromResource(Kiv::Resource& resource, const RovanaIndexedMeshLODDefinition& definition);
  std::shared_ptr<Particle> CreateInstance() const override;
  uint32_t GetID() const override { return kTypeId; }

  // The base takes the level's chunks and materials; an index out of range
  // changes nothing.
  void SelectLevel(uint32_t level);
  uint32_t GetBaseLevel() const { return m_baseLevel; }
  uint32_t GetLevelCount() const { return uint32_t(m_levels.size()); }
  const LODLevel& GetLevel(uint32_t level) const { return m_levels.at(level); }
  // The level index for a LOD value, by the rule above.
  uint32_t FindLODIndex(float value) const;
  // The LOD value for a camera at that distance from the sphere's centre.
  float FindLOD(float cameraDistance, float sphereRadius) const;
  // The LOD value culling computed last.
  float GetLastLODValue() const { return m_lastValue; }
  // Chooses the drawn level for a LOD value unless the level is locked.
  void ChooseLevel(float value);
  uint32_t GetCurrentLevel() const { return m_currentLevel; }
  void LockLevel(bool locked) { m_levelLocked = locked; }
  // The tint is on unless all three components are exactly 1.
  void SetTint(float r, float g, float b);
  [[nodiscard]] bool IsTinted() const { return m_tinted; }
  const std::array<float, 3>& GetTint() const { return m_tint; }
  const std::vector<Kiv::Particle*>& GetCullParticles() const { return m_cullParticles; }

  // Culls with the LOD value: ":Cull" points by the attachment cut-off, the
  // level chosen, and the instance listed from the render cut-off on.
  void Cull(Kiv::ViewPoint& viewPoint) override;
  // Draws the current level's chunks (with its lighting brought up to date);
  // a chunk of a level with chunk nodes only when its node was visited.
  void Render(Kiv::ViewPoint& viewPoint, int pass, const Kiv::Matrix4& transform) override;
  void DrawGeometry(Kiv::Display& display, const Kiv::Camera& camera, const Kiv::Matrix4& transform,
                    bool lit) override;
  // The opacity of the node and of every chunk of every distanced level.
  void SetOpacity(float opacity) override;

  // Marks (or clears) every level's lighting as changed.
  void SetUpdateLighting(bool update) override;
  // Recalculates a level's lighting when it is marked (or forced); true
  // when it did.
  [[nodiscard]] bool UpdateLevelLighting(uint32_t level, bool force);
  // Every level's, or only the distanced levels'.
  void UpdateAllLighting(bool distancedOnly);
  [[nodiscard]] bool IsLevelLightingDirty(uint32_t level) const {
    return level < m_lightingDirty.size() && m_lightingDirty[level];
  }
  uint32_t GetDirtyCount() const { return m_dirtyCount; }

protected:
  void CopyInstanceTo(RovanaIndexedMeshInstance& copy) const override;
  // The level table's per-instance chunks replaced by copies.
  void ClonePerInstanceLevelChunks();
  // Per-level chunk nodes and the ":Cull" particles, found below this node.
  void FindLevelNodes();
  // The particle of a ":Cull" name: a node below this one or an attachment point.
  Kiv::Particle* FindCullParticle(const Kiv::PString& name);
  // The LOD value for the view point's camera (the sphere enlarged).
  float ComputeLODValue(const Kiv::ViewPoint& viewPoint) const;

  const RovanaIndexedMeshLODDefinition* m_lodDefinition = nullptr;
  std::vector<LODNamedLevel> m_namedLevels;
  std::vector<LODLevel> m_levels;
  std::vector<std::vector<Kiv::Particle*>> m_levelNodes;  // per level, per chunk; empty: none
  std::vector<float> m_distances;
  uint32_t m_calcPoint = 0;
  float m_offset = 0.0f, m_multiplier = 1.0f;
  float m_lastValue = 0.0f;
  float m_renderCutOff = 0.0f, m_attachmentCutOff = 0.0f;
  uint32_t m_baseLevel = 0;
  uint32_t m_currentLevel = 0;
  bool m_levelLocked = false;
  std::vector<uint8_t> m_lightingDirty;
  uint32_t m_dirtyCount = 0;
  std::array<float, 3> m_tint{1.0f, 1.0f, 1.0f};
  bool m_tinted = false;
  std::vector<Kiv::Particle*> m_cullParticles;
};

// A LOD placement of a mesh with bones: it skins its current level (and
// every level named as animated) before drawing, once per frame, and
// culls off its "b." bones beyond the animation cut-off.
class RovanaDynamicIndexedMeshLODInstance final : public RovanaIndexedMeshLODInstance,
                                                  public RovanaInfluenceMesh {
public:
  static constexpr uint32_t kTypeId = 22;

  explicit RovanaDynamicIndexedMeshLODInstance(const RovanaIndexedMeshLODDefinition* definition)
      : RovanaIndexedMeshLODInstance(definition) {}

  // As the plain LOD instance, with the skeleton built from the bone table
  // (one chunk set per level) and bound to the copied bone tree.
  void InitFromResource(Kiv::Resource& resource, const RovanaIndexedMeshLODDefinition& definition);
  std::shared_ptr<Particle> CreateInstance() const override;
  uint32_t GetID() const override { return kTypeId; }

  void Render(Kiv::ViewPoint& viewPoint, int pass, const Kiv::Matrix4& transform) override;
  void DrawGeometry(Kiv::Display& display, const Kiv::Camera& camera, const Kiv::Matrix4& transform,
                    bool lit) override;
  // The animation state for the last LOD value (with the offset as a band
  // either side of the cut-off), then the skinning of the current level and
  // the animated levels when it is due.
  void UpdateAnimation(uint32_t frame);
  // Bit 0: skinning due; bit 1: beyond the animation cut-off.
  uint8_t GetAnimationState() const { return m_animationState; }
  const std::vector<uint32_t>& GetAnimatedLevels() const { return m_animatedLevels; }
  // Skinning is due again (as after creation).
  void RequestSkinning() { m_animationState |= 1u; }

private:
  void SetBoneState(bool culledOff);
  void BindToOwnBones();
  void SkinLevel(uint32_t level, uint32_t frame);
  // Each level's chunks made this instance's own and given their matrices.
  void OwnLevelChunks();

  std::vector<uint32_t> m_animatedLevels;
  float m_animationCutOff = 0.0f;
  uint8_t m_animationState = 1;
};
