#include "kiv/render/WorldCoordinate.h"

#include <cmath>

namespace Kiv {

namespace {
// Whole tiles in an offset, or false when there is no sensible answer.
bool TilesIn(float offset, int32_t& tiles) {
  if (!std::isfinite(offset)) return false;
  double n = std::trunc(static_cast<double>(offset) / WorldCoordinate::kTileSize + 0.0001);
  if (offset < 0.0f) n -= 1.0;
  if (n < -2147483648.0 || n > 2147483647.0) return false;
  tiles = static_cast<int32_t>(n);
  return true;
}
}  // namespace

void WorldCoordinate::Normalize() {
  int32_t nx, ny;
  if (!TilesIn(x, nx) || !TilesIn(y, ny)) return;
  tileX =
      static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(tileX) + static_cast<uint32_t>(nx)));
  tileY =
      static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(tileY) + static_cast<uint32_t>(ny)));
  x -= static_cast<float>(nx) * kTileSize;
  y -= static_cast<float>(ny) * kTileSize;
  changed = true;
}

}  // namespace Kiv
