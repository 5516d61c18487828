#pragma once
// Small numeric helpers of the mesh and material code. Matrices are 16 floats
// in row order and transform row vectors (a point times the matrix).
// Quaternions are (x, y, z, w).
#include <cstdint>

struct RVColour {
  float r = 0.0f, g = 0.0f, b = 0.0f, a = 0.0f;
};

RVColour ColourProduct(const RVColour& a, const RVColour& b);
// Every component clamped to 0..1; NaN becomes 0.
void ColourClamp(RVColour& c);
RVColour ColourScale(const RVColour& c, float factor);

// (x, y, z, 1) times m, divided by the resulting w.
void TransformPoint(const float point[3], const float m[16], float out[3]);
// (x, y, z, w) times m.
void TransformVector(const float v[4], const float m[16], float out[4]);
void MatrixCopy(float dst[16], const float src[16]);

// Length of a 3-vector through the engine's square-root table.
float VectorLength(const float v[3]);
// Scales v to unit length and returns its old length; a zero or non-finite
// vector is left as it is.
float NormalizeVector(float v[3]);
// out = v / |v|, returning |v|; out = v when v has no direction.
float NormalizeVector(const float v[3], float out[3]);

// 3 x 3 rotation matrix (rows) of a unit quaternion.
void QuaternionToMatrix3(const float q[4], float m[9]);
// 4 x 4 rotation matrix of a unit quaternion, with a zero translation row.
void QuaternionToMatrix4(const float q[4], float m[16]);

// (b - a) x (c - a), normalised; left unnormalised when its length is 0 or NaN.
void ComputeTriangleNormal(const float a[3], const float b[3], const float c[3], float out[3]);

// A 4 x 4 matrix from sixteen values given row by row, stored column by column.
void MatrixSetRows(float m[16], const float rowValues[16]);
// a = a * b (any common storage order of both).
void MatrixMultiplyInPlace(float a[16], const float b[16]);

// An axis-aligned box.
struct RVBox {
  float min[3] = {0.0f, 0.0f, 0.0f};
  float max[3] = {0.0f, 0.0f, 0.0f};
  // Grows the box to contain p.
  void Grow(const float p[3]);
  [[nodiscard]] bool Contains(const float p[3]) const;
};

// A box stored as a signed 16-bit corner and unsigned 16-bit extents, in
// units of a tree's scale.
struct RVQuantisedBox {
  int16_t corner[3] = {0, 0, 0};
  uint16_t extent[3] = {0, 0, 0};
  RVBox Decode(float scale) const;
};
