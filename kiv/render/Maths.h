#pragma once
// The engine's small maths types: quaternions (x, y, z, w), 4 x 4 matrices in
// row order that transform row vectors, and oriented boxes.
#include <cstdint>
#include <span>

namespace Kiv {

struct Quaternion {
  float x = 0.0f, y = 0.0f, z = 0.0f, w = 1.0f;

  // The rotation of a 3 x 3 matrix given row by row (rows are the images of
  // the axes, as row vectors are transformed). The result is normalised.
  void Set(const float m[9]);
  void Normalise();
};

struct Matrix4 {
  float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

  static Matrix4 Identity() { return {}; }
  // The rotation of q and the translation t (the last row).
  static Matrix4 FromRotationTranslation(const Quaternion& q, const float t[3]);
  // a * b: first a, then b.
  static Matrix4 Multiply(const Matrix4& a, const Matrix4& b);
  // The inverse; false (and this unchanged) when the matrix is singular.
  [[nodiscard]] bool Invert();
  // (x, y, z, 1) times the matrix, without the projective divide.
  void TransformPoint(const float in[3], float out[3]) const;
};

// A box with a centre, three unit axes (rows) and half extents along them.
struct OrientedBox {
  float centre[3] = {0, 0, 0};
  float axes[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  float extents[3] = {0, 0, 0};

  void Zero() { *this = OrientedBox{}; }
  // Fits the box to points given as x, y, z triples: an axis-aligned fit.
  // No points give the zero box.
  void Fit(std::span<const float> xyz);
  // Fits to `count` points that lie `stride` bytes apart.
  void Fit(const uint8_t* points, size_t stride, size_t count);
  // The eight corners.
  void CalcCorners(float corners[8][3]) const;
};

}  // namespace Kiv
