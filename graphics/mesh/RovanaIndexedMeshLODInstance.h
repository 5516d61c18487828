#pragma once
// One placement of a mesh with levels of detail: the indexed instance whose
// chunks and materials are those of one level at a time. The level drawn is
// chosen from a LOD value by the object-LOD rule below; the collision level
// (the named level "collision", else the last distanced one) is the level
// the base holds for queries.
//
// Object-LOD rule (ours; the engine leaves it open): the LOD value is the
// camera distance to the bounding sphere's surface times the multiplier
// plus the offset; the level for a value is the last distanced level whose
// switching distance is at or below it (level 0 for smaller values).
#include <array>
#include <cstdint>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"

class RovanaIndexedMeshLODInstance : public RovanaIndexedMeshInstance {
public:
  explicit RovanaIndexedMeshLODInstance(const RovanaIndexedMeshLODDefinition* definition);

  void InitFromDefinition(const RovanaIndexedMeshLODDefinition& definition);
  // The base takes the level's chunks and materials; an index out of range
  // changes nothing.
  void SelectLevel(uint32_t level);
  uint32_t GetBaseLevel() const { return m_baseLevel; }
  uint32_t GetLevelCount() const { return uint32_t(m_levels.size()); }
  // The level index for a LOD value, by the rule above.
  uint32_t FindLODIndex(float value) const;
  // The LOD value for a camera at that distance from the sphere's centre.
  float FindLOD(float cameraDistance, float sphereRadius) const;
  // Chooses the drawn level for a LOD value unless the level is locked.
  void ChooseLevel(float value);
  uint32_t GetCurrentLevel() const { return m_currentLevel; }
  void LockLevel(bool locked) { m_levelLocked = locked; }
  // The tint is on unless all three components are exactly 1.
  void SetTint(float r, float g, float b);
  bool IsTinted() const { return m_tinted; }

private:
  std::vector<LODLevel> m_levels;
  std::vector<float> m_distances;
  float m_offset = 0.0f, m_multiplier = 1.0f;
  uint32_t m_baseLevel = 0;
  uint32_t m_currentLevel = 0;
  bool m_levelLocked = false;
  std::array<float, 3> m_tint{1.0f, 1.0f, 1.0f};
  bool m_tinted = false;
};
