#include "graphics/mesh/RVDebugVp.h"

#include <algorithm>

RVDebugVp::RVDebugVp(Kiv::Display& display) : Kiv::Viewport(display) { Kiv::CurrentViewport() = this; }

RVDebugVp::~RVDebugVp() {
  if (Kiv::CurrentViewport() == this) Kiv::CurrentViewport() = &Kiv::DefaultViewport();
}

void RVDebugVp::Draw(const float from[3], const float to[3], float value) {
  Primitive p{};
  std::copy(from, from + 3, p.from);
  std::copy(to, to + 3, p.to);
  p.value = value;
  p.kind = 0;
  p.flags = 1;
  Submit(p);
}

RVDebugVp& RVDebugVp::Instance() {
  static RVDebugVp instance;
  return instance;
}
