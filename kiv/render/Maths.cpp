#include "kiv/render/Maths.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace Kiv {

void Quaternion::Set(const float m[9]) {
  // Shepperd's method on the transpose (our matrices act on row vectors).
  const float m00 = m[0], m01 = m[3], m02 = m[6];
  const float m10 = m[1], m11 = m[4], m12 = m[7];
  const float m20 = m[2], m21 = m[5], m22 = m[8];
  const float trace = m00 + m11 + m22;
  if (trace > 0.0f) {
    const float s = std::sqrt(trace + 1.0f) * 2.0f;
    w = 0.25f * s;
    x = (m21 - m12) / s;
    y = (m02 - m20) / s;
    z = (m10 - m01) / s;
  } else if (m00 > m11 && m00 > m22) {
    const float s = std::sqrt(1.0f + m00 - m11 - m22) * 2.0f;
    w = (m21 - m12) / s;
    x = 0.25f * s;
    y = (m01 + m10) / s;
    z = (m02 + m20) / s;
  } else if (m11 > m22) {
    const float s = std::sqrt(1.0f + m11 - m00 - m22) * 2.0f;
    w = (m02 - m20) / s;
    x = (m01 + m10) / s;
    y = 0.25f * s;
    z = (m12 + m21) / s;
  } else {
    const float s = std::sqrt(1.0f + m22 - m00 - m11) * 2.0f;
    w = (m10 - m01) / s;
    x = (m02 + m20) / s;
    y = (m12 + m21) / s;
    z = 0.25f * s;
  }
  Normalise();
}

void Quaternion::Normalise() {
  const float length = std::sqrt(x * x + y * y + z * z + w * w);
  if (!(length > 0.0f) || !std::isfinite(length)) {
    *this = Quaternion{};
    return;
  }
  x /= length;
  y /= length;
  z /= length;
  w /= length;
}

Matrix4 Matrix4::FromRotationTranslation(const Quaternion& q, const float t[3]) {
  Matrix4 r;
  const float x = q.x, y = q.y, z = q.z, w = q.w;
  const float rows[9] = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),
                         2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),
                         2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y)};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r.m[i * 4 + j] = rows[i * 3 + j];
    r.m[i * 4 + 3] = 0.0f;
  }
  r.m[12] = t[0];
  r.m[13] = t[1];
  r.m[14] = t[2];
  r.m[15] = 1.0f;
  return r;
}

Matrix4 Matrix4::Multiply(const Matrix4& a, const Matrix4& b) {
  Matrix4 r;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      float sum = 0.0f;
      for (int k = 0; k < 4; ++k) sum += a.m[i * 4 + k] * b.m[k * 4 + j];
      r.m[i * 4 + j] = sum;
    }
  }
  return r;
}

bool Matrix4::Invert() {
  // Gauss-Jordan elimination with partial pivoting, in double precision.
  double a[4][8];
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      a[i][j] = m[i * 4 + j];
      a[i][j + 4] = i == j ? 1.0 : 0.0;
    }
  }
  for (int col = 0; col < 4; ++col) {
    int pivot = col;
    for (int row = col + 1; row < 4; ++row) {
      if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
    }
    if (!(std::fabs(a[pivot][col]) > 1e-12)) return false;
    if (pivot != col) {
      for (int j = 0; j < 8; ++j) std::swap(a[pivot][j], a[col][j]);
    }
    const double scale = 1.0 / a[col][col];
    for (int j = 0; j < 8; ++j) a[col][j] *= scale;
    for (int row = 0; row < 4; ++row) {
      if (row == col) continue;
      const double factor = a[row][col];
      for (int j = 0; j < 8; ++j) a[row][j] -= factor * a[col][j];
    }
  }
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) m[i * 4 + j] = float(a[i][j + 4]);
  }
  return true;
}

void Matrix4::TransformPoint(const float in[3], float out[3]) const {
  float r[3];
  for (int j = 0; j < 3; ++j) r[j] = in[0] * m[j] + in[1] * m[4 + j] + in[2] * m[8 + j] + m[12 + j];
  std::memcpy(out, r, sizeof r);
}

void OrientedBox::Fit(std::span<const float> xyz) {
  Fit(reinterpret_cast<const uint8_t*>(xyz.data()), 3 * sizeof(float), xyz.size() / 3);
}

void OrientedBox::Fit(const uint8_t* points, size_t stride, size_t count) {
  Zero();
  if (count == 0 || points == nullptr) return;
  float lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX};
  float hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
  for (size_t i = 0; i < count; ++i) {
    float p[3];
    std::memcpy(p, points + i * stride, sizeof p);
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::fmin(lo[a], p[a]);
      hi[a] = std::fmax(hi[a], p[a]);
    }
  }
  for (int a = 0; a < 3; ++a) {
    centre[a] = 0.5f * (lo[a] + hi[a]);
    extents[a] = 0.5f * (hi[a] - lo[a]);
    axes[a][a] = 1.0f;
  }
}

void OrientedBox::CalcCorners(float corners[8][3]) const {
  for (int c = 0; c < 8; ++c) {
    const float s[3] = {c & 1 ? 1.0f : -1.0f, c & 2 ? 1.0f : -1.0f, c & 4 ? 1.0f : -1.0f};
    for (int j = 0; j < 3; ++j) {
      corners[c][j] = centre[j];
      for (int a = 0; a < 3; ++a) corners[c][j] += s[a] * extents[a] * axes[a][j];
    }
  }
}

}  // namespace Kiv
