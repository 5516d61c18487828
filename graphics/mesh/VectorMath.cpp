#include "graphics/mesh/VectorMath.h"

#include <cmath>
#include <cstring>

#include "kiv/render/StdMath.h"

RVColour ColourProduct(const RVColour& a, const RVColour& b) {
  return {a.r * b.r, a.g * b.g, a.b * b.b, a.a * b.a};
}

namespace {
float Clamp01(float v) {
  if (v > 1.0f) return 1.0f;
  if (v >= 0.0f) return v;
  return 0.0f;  // below 0, or NaN
}
}  // namespace

void ColourClamp(RVColour& c) {
  c.r = Clamp01(c.r);
  c.g = Clamp01(c.g);
  c.b = Clamp01(c.b);
  c.a = Clamp01(c.a);
}

RVColour ColourScale(const RVColour& c, float f) { return {c.r * f, c.g * f, c.b * f, c.a * f}; }

void TransformVector(const float v[4], const float m[16], float out[4]) {
  float r[4];
  for (int j = 0; j < 4; ++j) r[j] = v[0] * m[j] + v[1] * m[4 + j] + v[2] * m[8 + j] + v[3] * m[12 + j];
  std::memcpy(out, r, sizeof r);
}

void TransformPoint(const float p[3], const float m[16], float out[3]) {
  const float v[4] = {p[0], p[1], p[2], 1.0f};
  float r[4];
  TransformVector(v, m, r);
  out[0] = r[0] / r[3];
  out[1] = r[1] / r[3];
  out[2] = r[2] / r[3];
}

void MatrixCopy(float dst[16], const float src[16]) { std::memmove(dst, src, 16 * sizeof(float)); }

float VectorLength(const float v[3]) { return Kiv::StdMath::Sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

float NormalizeVector(const float v[3], float out[3]) {
  const float s = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  if (!(s > 0.0f) || !std::isfinite(s)) {
    if (out != v) std::memmove(out, v, 3 * sizeof(float));
    return std::sqrt(s);
  }
  const float r = Kiv::StdMath::InvSqrt(s);
  out[0] = v[0] * r;
  out[1] = v[1] * r;
  out[2] = v[2] * r;
  return s * r;
}

float NormalizeVector(float v[3]) { return NormalizeVector(v, v); }

void QuaternionToMatrix3(const float q[4], float m[9]) {
  const float x = q[0], y = q[1], z = q[2], w = q[3];
  m[0] = 1 - 2 * (y * y + z * z);
  m[1] = 2 * (x * y + z * w);
  m[2] = 2 * (x * z - y * w);
  m[3] = 2 * (x * y - z * w);
  m[4] = 1 - 2 * (x * x + z * z);
  m[5] = 2 * (y * z + x * w);
  m[6] = 2 * (x * z + y * w);
  m[7] = 2 * (y * z - x * w);
  m[8] = 1 - 2 * (x * x + y * y);
}

void QuaternionToMatrix4(const float q[4], float m[16]) {
  float r[9];
  QuaternionToMatrix3(q, r);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) m[row * 4 + col] = r[row * 3 + col];
    m[row * 4 + 3] = 0.0f;
  }
  m[12] = m[13] = m[14] = 0.0f;
  m[15] = 1.0f;
}

void ComputeTriangleNormal(const float a[3], const float b[3], const float c[3], float out[3]) {
  const float e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
  const float e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  out[0] = e1[1] * e2[2] - e1[2] * e2[1];
  out[1] = e1[2] * e2[0] - e1[0] * e2[2];
  out[2] = e1[0] * e2[1] - e1[1] * e2[0];
  const float length = VectorLength(out);
  if (length > 0.0f && std::isfinite(length)) {
    out[0] /= length;
    out[1] /= length;
    out[2] /= length;
  }
}

void MatrixSetRows(float m[16], const float v[16]) {
  float t[16];
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) t[col * 4 + row] = v[row * 4 + col];
  std::memcpy(m, t, sizeof t);
}

void MatrixMultiplyInPlace(float a[16], const float b[16]) {
  float r[16];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      r[i * 4 + j] =
          a[i * 4] * b[j] + a[i * 4 + 1] * b[4 + j] + a[i * 4 + 2] * b[8 + j] + a[i * 4 + 3] * b[12 + j];
  std::memcpy(a, r, sizeof r);
}

void RVBox::Grow(const float p[3]) {
  for (int i = 0; i < 3; ++i) {
    if (p[i] < min[i]) min[i] = p[i];
    if (p[i] > max[i]) max[i] = p[i];
  }
}

bool RVBox::Contains(const float p[3]) const {
  for (int i = 0; i < 3; ++i)
    if (!(min[i] <= p[i] && p[i] <= max[i])) return false;
  return true;
}

RVBox RVQuantisedBox::Decode(float scale) const {
  RVBox box;
  for (int i = 0; i < 3; ++i) {
    box.min[i] = static_cast<float>(corner[i]) * scale;
    box.max[i] = box.min[i] + static_cast<float>(extent[i]) * scale;
  }
  return box;
}
