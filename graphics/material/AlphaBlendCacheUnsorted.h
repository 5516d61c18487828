#pragma once
// The unsorted alpha-blend cache: chunks added during a frame are drawn at
// its end in the order they came, with blending on and depth writes off.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "kiv/render/Material.h"
#include "kiv/render/RenderKernel.h"

namespace Kiv {

class AlphaBlendCacheUnsorted : public RenderingCache {
public:
  static constexpr uint32_t AlphaBlendCacheUnsortedID = 4;

  AlphaBlendCacheUnsorted();
  ~AlphaBlendCacheUnsorted() override;

  // The process's instance (the last made that still lives); null when none.
  static AlphaBlendCacheUnsorted* Instance();
  // While set, frames neither clear nor draw the cache.
  static void SetRenderFreeze(bool frozen);

  void Clear();
  // Begins a frame: clears, unless frozen.
  void BeginFrame();
  // Draws every chunk in the order added through its material (parameter
  // -1, the chunk's own parameter as given to Add), unless frozen.
  void Render(Display& display);
  void Add(GeometryChunk* chunk, std::shared_ptr<Material> material, const float transform[16],
           uint32_t parameter);
  size_t Count() const { return m_chunks.size(); }
  uint32_t GetBlendSource() const { return m_source; }
  uint32_t GetBlendDestination() const { return m_destination; }

  void SetRenderState(Display& display);
  void RestoreRenderState(Display& display);

private:
  std::vector<GeometryChunk*> m_chunks;
  std::vector<std::shared_ptr<Material>> m_materials;
  std::vector<std::array<float, 16>> m_transforms;
  std::vector<uint32_t> m_parameters;
  uint32_t m_source = 4, m_destination = 5;
  uint32_t m_previousSource = 1, m_previousDestination = 0;
};

}  // namespace Kiv
