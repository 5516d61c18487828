#include "foundation/Geometry.h"

#include <cmath>

bool IsTriangleNonDegenerate(const float a[3], const float b[3], const float c[3]) {
  // Doubles: large coordinates must not overflow the squared length.
  const double e1[3] = {double(b[0]) - a[0], double(b[1]) - a[1], double(b[2]) - a[2]};
  const double e2[3] = {double(c[0]) - a[0], double(c[1]) - a[1], double(c[2]) - a[2]};
  const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                       e1[0] * e2[1] - e1[1] * e2[0]};
  const double len2 = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
  return std::isfinite(len2) && len2 >= 0.1;
}
