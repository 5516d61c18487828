#pragma once
// A position in the world: a tile pair and offsets inside the tile. Tiles are
// 720 units wide in both directions.
#include <cstdint>

namespace Kiv {

struct WorldCoordinate {
  static constexpr float kTileSize = 720.0f;

  int16_t tileX = 0;
  int16_t tileY = 0;
  float x = 0.0f;  // offsets inside the tile
  float y = 0.0f;
  float z = 0.0f;  // height; not tiled
  bool changed = false;

  // Moves whole tiles out of the offsets so that each lies in [0, 720), up to
  // a bias of 0.0001 tile: an offset just below 720 counts as the next tile
  // with a small negative offset. Tiles wrap at 16 bits. A coordinate with a
  // non-finite offset, or one more than 2^31 tiles away, is left unchanged.
  void Normalize();
};

}  // namespace Kiv
