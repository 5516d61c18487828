#pragma once
// Geometry tests shared by the mesh code.

// True unless the normal of the plane through the three points (the cross
// product of the edges a->b and a->c, not normalised) has a squared length
// below 0.1. Points with NaN or infinite coordinates are degenerate.
[[nodiscard]] bool IsTriangleNonDegenerate(const float a[3], const float b[3], const float c[3]);
