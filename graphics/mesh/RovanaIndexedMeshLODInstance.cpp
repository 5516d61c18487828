#include "graphics/mesh/RovanaIndexedMeshLODInstance.h"

#include <algorithm>

RovanaIndexedMeshLODInstance::RovanaIndexedMeshLODInstance(const RovanaIndexedMeshLODDefinition* definition)
    : RovanaIndexedMeshInstance(nullptr) {
  if (definition) InitFromDefinition(*definition);
}

void RovanaIndexedMeshLODInstance::InitFromDefinition(const RovanaIndexedMeshLODDefinition& definition) {
  RovanaIndexedMeshInstance::InitFromDefinition(definition);
  m_levels = definition.GetLevels();
  m_distances = definition.GetDistances();
  m_offset = definition.GetOffset();
  m_multiplier = definition.GetMultiplier();
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
