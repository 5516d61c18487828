#include "graphics/material/AlphaBlendCacheUnsorted.h"

#include <algorithm>

namespace Kiv {

namespace {

std::atomic<AlphaBlendCacheUnsorted*> g_instance{nullptr};
std::atomic<bool> g_frozen{false};

}  // namespace

AlphaBlendCacheUnsorted::AlphaBlendCacheUnsorted()
    : RenderingCache(AlphaBlendCacheUnsortedID, PString("AlphaBlendCacheUnsorted"), 55.0f) {
  g_instance = this;
}

AlphaBlendCacheUnsorted::~AlphaBlendCacheUnsorted() {
  AlphaBlendCacheUnsorted* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
}

AlphaBlendCacheUnsorted* AlphaBlendCacheUnsorted::Instance() { return g_instance.load(); }

void AlphaBlendCacheUnsorted::SetRenderFreeze(bool frozen) { g_frozen = frozen; }

void AlphaBlendCacheUnsorted::Clear() {
  m_chunks.clear();
  m_materials.clear();
  m_transforms.clear();
  m_parameters.clear();
}

void AlphaBlendCacheUnsorted::BeginFrame() {
  if (!g_frozen) Clear();
}

void AlphaBlendCacheUnsorted::Render(Display& display) {
  if (g_frozen) return;
  SetRenderState(display);
  for (size_t i = 0; i < m_chunks.size(); ++i) {
    if (!m_materials[i]) continue;
    RenderArgs args;
    args.display = &display;
    args.chunk = m_chunks[i];
    args.transform = m_transforms[i].data();
    args.parameter = -1;
    args.chunkParameter = m_parameters[i];
    m_materials[i]->RenderChunk(args);
  }
  RestoreRenderState(display);
}

void AlphaBlendCacheUnsorted::Add(GeometryChunk* chunk, std::shared_ptr<Material> material,
                                  const float transform[16], uint32_t parameter) {
  std::array<float, 16> copy{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  if (transform) std::copy_n(transform, 16, copy.begin());
  m_chunks.push_back(chunk);
  m_materials.push_back(std::move(material));
  m_transforms.push_back(copy);
  m_parameters.push_back(parameter);
}

void AlphaBlendCacheUnsorted::SetRenderState(Display& display) {
  display.GetAlphaBlendFunction(m_previousSource, m_previousDestination);
  display.SetAlphaBlendFunction(m_source, m_destination);
  display.SetAlphaTestMode(false);
  display.SetAlphaBlendMode(true);
  display.SetDepthWriteMode(false);
}

void AlphaBlendCacheUnsorted::RestoreRenderState(Display& display) {
  display.SetAlphaBlendFunction(m_previousSource, m_previousDestination);
  display.SetAlphaBlendMode(false);
  display.SetAlphaTestMode(false);
  display.SetDepthWriteMode(true);
}

}  // namespace Kiv
