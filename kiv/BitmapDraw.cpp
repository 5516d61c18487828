// Drawing into a Bitmap: every primitive clips its extent to the bitmap first
// and loops only over what is inside, so script-sized coordinates and radii
// cost nothing when they lie far outside.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "kiv/Bitmap.h"

namespace Kiv {

namespace {

uint32_t BlendOver(uint32_t dst, uint32_t src) {
  // Each channel is (s * a + d * (255 - a) + 127) / 255, two channels to a
  // word: red with blue, green with the target's alpha (whose source term is
  // a itself, added last). (t + (t >> 8)) >> 8 with t = v + 128 divides
  // exactly for every v up to 255 * 255, so an opaque source comes out as
  // itself and a transparent one as the target without a branch, which
  // lets a row of pixels blend in vector steps.
  const uint32_t a = src >> 24;
  const uint32_t inv = 255 - a;
  uint32_t rb = (src & 0x00FF00FFu) * a + (dst & 0x00FF00FFu) * inv + 0x00800080u;
  rb = ((rb + ((rb >> 8) & 0x00FF00FFu)) >> 8) & 0x00FF00FFu;
  uint32_t ga = ((src >> 8) & 0xFFu) * a + ((dst >> 8) & 0x00FF00FFu) * inv + 0x00800080u;
  ga = ((ga + ((ga >> 8) & 0x00FF00FFu)) >> 8) & 0x00FF00FFu;
  return rb | ((ga << 8) + (a << 24));
}

// The integer square root of v >= 0.
int64_t ISqrt(int64_t v) {
  int64_t x = static_cast<int64_t>(std::sqrt(static_cast<double>(v)));
  while (x > 0 && x * x > v) --x;
  while ((x + 1) * (x + 1) <= v) ++x;
  return x;
}

inline void StoreWord(uint8_t* p, uint32_t argb) { std::memcpy(p, &argb, 4); }
inline uint32_t LoadWord(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Little-endian hosts hold a B, G, R, A pixel as 0xAARRGGBB.
static_assert(std::endian::native == std::endian::little, "pixel words assume a little-endian host");

}  // namespace

uint32_t Bitmap::PackColor(float r, float g, float b, float a) {
  auto channel = [](float c) -> uint32_t {
    if (!(c > 0.0f)) return 0;  // NaN too
    if (c > 1.0f) c = 1.0f;
    return static_cast<uint32_t>(c * 255.0f + 0.5f);
  };
  return channel(a) << 24 | channel(r) << 16 | channel(g) << 8 | channel(b);
}

void Bitmap::Span(int y, int x0, int x1, uint32_t argb, bool blend) {
  const int bpp = BytesPerPixel();
  if (bpp == 4) {
    if (m_format == FormatRGBX32) argb |= 0xFF000000u;
    uint8_t* p = m_pixels.data() + (static_cast<size_t>(y) * static_cast<size_t>(m_width) + x0) * 4;
    const int n = x1 - x0 + 1;
    m_drawn += uint64_t(n);
    if (!blend || argb >> 24 == 255) {
      for (int i = 0; i < n; ++i) StoreWord(p + size_t(i) * 4, argb);
    } else if (argb >> 24 != 0) {
      for (int i = 0; i < n; ++i) StoreWord(p + size_t(i) * 4, BlendOver(LoadWord(p + size_t(i) * 4), argb));
    }
    return;
  }
  m_drawn += uint64_t(x1 - x0 + 1);
  for (int x = x0; x <= x1; ++x) SetPixel(x, y, blend ? BlendOver(GetPixel(x, y), argb) : argb);
}

void Bitmap::Clear(uint32_t argb) {
  if (BytesPerPixel() == 0) return;
  for (int y = 0; y < m_height; ++y) Span(y, 0, m_width - 1, argb, false);
}

uint32_t Bitmap::Blend(uint32_t under, uint32_t argb) { return BlendOver(under, argb); }

void Bitmap::BlendPixel(int x, int y, uint32_t argb) {
  if (BytesPerPixel() == 0 || x < 0 || y < 0 || x >= m_width || y >= m_height) return;
  ++m_drawn;
  SetPixel(x, y, BlendOver(GetPixel(x, y), argb));
}

void Bitmap::Line(int x1, int y1, int x2, int y2, uint32_t argb, int mode) {
  if (BytesPerPixel() == 0) return;
  // Cut the segment to the bitmap (Liang-Barsky) so the walk below is never
  // longer than the bitmap's diagonal.
  double t0 = 0.0, t1 = 1.0;
  const double dx = double(x2) - x1, dy = double(y2) - y1;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {x1 - 0.0, (m_width - 1.0) - x1, y1 - 0.0, (m_height - 1.0) - y1};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0.0) {
      if (q[i] < 0.0) return;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0.0) {
      if (t > t1) return;
      t0 = std::max(t0, t);
    } else {
      if (t < t0) return;
      t1 = std::min(t1, t);
    }
  }
  int ax = x1, ay = y1, bx = x2, by = y2;
  if (t0 > 0.0) {
    ax = static_cast<int>(std::lround(x1 + t0 * dx));
    ay = static_cast<int>(std::lround(y1 + t0 * dy));
  }
  if (t1 < 1.0) {
    bx = static_cast<int>(std::lround(x1 + t1 * dx));
    by = static_cast<int>(std::lround(y1 + t1 * dy));
  }
  const bool blend = (mode & ModeBlend) != 0;
  const int sx = ax < bx ? 1 : -1, sy = ay < by ? 1 : -1;
  const int ex = std::abs(bx - ax), ey = -std::abs(by - ay);
  int err = ex + ey;
  for (;; ++m_drawn) {
    if (ax >= 0 && ay >= 0 && ax < m_width && ay < m_height)
      SetPixel(ax, ay, blend ? BlendOver(GetPixel(ax, ay), argb) : argb);
    if (ax == bx && ay == by) break;
    const int e2 = 2 * err;
    if (e2 >= ey) {
      err += ey;
      ax += sx;
    }
    if (e2 <= ex) {
      err += ex;
      ay += sy;
    }
  }
}

// Draws the clipped part of the pixels x0..x1 (any int64 range) of row y.
#define KIV_CLIPPED_SPAN(y, x0, x1, argb, blend)                                            \
  do {                                                                                      \
    const int64_t cx0 = std::max<int64_t>(x0, 0);                                           \
    const int64_t cx1 = std::min<int64_t>(x1, int64_t(m_width) - 1);                        \
    if ((y) >= 0 && (y) < m_height && cx0 <= cx1)                                           \
      Span(static_cast<int>(y), static_cast<int>(cx0), static_cast<int>(cx1), argb, blend); \
  } while (0)

void Bitmap::Box(const Rect& rect, uint32_t argb, int mode) {
  if (BytesPerPixel() == 0 || rect.width <= 0 || rect.height <= 0) return;
  const bool blend = (mode & ModeBlend) != 0;
  const int64_t left = rect.x, top = rect.y;
  const int64_t right = left + rect.width - 1, bottom = top + rect.height - 1;
  const int64_t y0 = std::max<int64_t>(top, 0), y1 = std::min<int64_t>(bottom, int64_t(m_height) - 1);
  if (mode & ModeFill) {
    for (int64_t y = y0; y <= y1; ++y) KIV_CLIPPED_SPAN(y, left, right, argb, blend);
    return;
  }
  KIV_CLIPPED_SPAN(top, left, right, argb, blend);
  if (bottom != top) KIV_CLIPPED_SPAN(bottom, left, right, argb, blend);
  for (int64_t y = std::max(y0, top + 1); y <= std::min(y1, bottom - 1); ++y) {
    KIV_CLIPPED_SPAN(y, left, left, argb, blend);
    if (right != left) KIV_CLIPPED_SPAN(y, right, right, argb, blend);
  }
}

void Bitmap::Circle(int cx, int cy, int r, uint32_t argb, int mode) {
  if (BytesPerPixel() == 0 || r < 0) return;
  const bool blend = (mode & ModeBlend) != 0;
  // A pixel (dx, dy) is inside when dx² + dy² <= r² + r, a radius of about
  // r + 1/2; the outline is the inside less the inside of radius r - 1.
  const int64_t R = r, outer = R * R + R, inner = r > 0 ? (R - 1) * (R - 1) + (R - 1) : -1;
  const int64_t y0 = std::max<int64_t>(int64_t(cy) - R, 0);
  const int64_t y1 = std::min<int64_t>(int64_t(cy) + R, int64_t(m_height) - 1);
  for (int64_t y = y0; y <= y1; ++y) {
    const int64_t dy = y - cy;
    const int64_t xo = ISqrt(outer - dy * dy);
    const int64_t vi = inner - dy * dy;
    if ((mode & ModeFill) || vi < 0) {
      KIV_CLIPPED_SPAN(y, cx - xo, cx + xo, argb, blend);
      continue;
    }
    const int64_t xi = ISqrt(vi);
    KIV_CLIPPED_SPAN(y, cx - xo, cx - xi - 1, argb, blend);
    KIV_CLIPPED_SPAN(y, cx + xi + 1, cx + xo, argb, blend);
  }
}

void Bitmap::Triangle(int x1, int y1, int x2, int y2, int x3, int y3, uint32_t argb, int mode) {
  if (BytesPerPixel() == 0) return;
  const bool blend = (mode & ModeBlend) != 0;
  if (!(mode & ModeFill)) {
    Line(x1, y1, x2, y2, argb, mode);
    Line(x2, y2, x3, y3, argb, mode);
    Line(x3, y3, x1, y1, argb, mode);
    return;
  }
  const double px[3] = {double(x1), double(x2), double(x3)}, py[3] = {double(y1), double(y2), double(y3)};
  const int64_t top = std::min({y1, y2, y3}), bottom = std::max({y1, y2, y3});
  const int64_t y0 = std::max<int64_t>(top, 0), yEnd = std::min<int64_t>(bottom, int64_t(m_height) - 1);
  for (int64_t y = y0; y <= yEnd; ++y) {
    double lo = 1e300, hi = -1e300;
    for (int i = 0; i < 3; ++i) {
      const int j = (i + 1) % 3;
      const double ya = py[i], yb = py[j];
      if (double(y) < std::min(ya, yb) || double(y) > std::max(ya, yb)) continue;
      if (ya == yb) {
        lo = std::min({lo, px[i], px[j]});
        hi = std::max({hi, px[i], px[j]});
        continue;
      }
      const double x = px[i] + (double(y) - ya) * (px[j] - px[i]) / (yb - ya);
      lo = std::min(lo, x);
      hi = std::max(hi, x);
    }
    if (lo > hi) continue;
    lo = std::max(lo, -1.0);
    hi = std::min(hi, double(m_width));
    KIV_CLIPPED_SPAN(y, std::llround(lo), std::llround(hi), argb, blend);
  }
}

#undef KIV_CLIPPED_SPAN

void Bitmap::Image(const Bitmap& src, int x, int y, const Rect& srcRect, int mode) {
  if (BytesPerPixel() == 0 || src.BytesPerPixel() == 0 || srcRect.width <= 0 || srcRect.height <= 0) return;
  // Clip the source rectangle to the source, then the target to this bitmap.
  int64_t sx0 = srcRect.x, sy0 = srcRect.y;
  int64_t sx1 = sx0 + srcRect.width, sy1 = sy0 + srcRect.height;  // exclusive
  int64_t dx0 = x, dy0 = y;
  auto clip = [](int64_t& s0, int64_t& s1, int64_t& d0, int64_t srcSide, int64_t dstSide) {
    if (s0 < 0) {
      d0 -= s0;
      s0 = 0;
    }
    s1 = std::min(s1, srcSide);
    if (d0 < 0) {
      s0 -= d0;
      d0 = 0;
    }
    s1 = std::min(s1, s0 + (dstSide - d0));
  };
  clip(sx0, sx1, dx0, src.m_width, m_width);
  clip(sy0, sy1, dy0, src.m_height, m_height);
  if (sx0 >= sx1 || sy0 >= sy1) return;
  const int w = static_cast<int>(sx1 - sx0), h = static_cast<int>(sy1 - sy0);
  m_drawn += uint64_t(w) * uint64_t(h);
  // A copy within this bitmap walks away from the target, rows first, so
  // every source pixel is read before anything is written over it.
  const bool down = &src != this || dy0 <= sy0;
  const bool right = &src != this || dy0 != sy0 || dx0 <= sx0;
  const bool blend = mode != 0;
  const size_t bpp = size_t(BytesPerPixel());
  for (int i = 0; i < h; ++i) {
    const int row = down ? i : h - 1 - i;
    uint8_t* out = m_pixels.data() + ((size_t(dy0) + size_t(row)) * size_t(m_width) + size_t(dx0)) * bpp;
    const uint8_t* in =
        src.m_pixels.data() + ((size_t(sy0) + size_t(row)) * size_t(src.m_width) + size_t(sx0)) * bpp;
    if (!blend && m_format == src.m_format) {
      std::memmove(out, in, size_t(w) * bpp);
    } else if (m_format == FormatRGBA32 && src.m_format == FormatRGBA32 && blend && right) {
      for (size_t at = 0; at < size_t(w) * 4; at += 4)
        StoreWord(out + at, BlendOver(LoadWord(out + at), LoadWord(in + at)));
    } else if (m_format == FormatRGBA32 && src.m_format == FormatRGBA32) {
      for (int j = 0; j < w; ++j) {
        const size_t at = size_t(right ? j : w - 1 - j) * 4;
        const uint32_t c = LoadWord(in + at);
        StoreWord(out + at, blend ? BlendOver(LoadWord(out + at), c) : c);
      }
    } else {
      for (int j = 0; j < w; ++j) {
        const int col = right ? j : w - 1 - j;
        const uint32_t c = src.GetPixel(int(sx0) + col, int(sy0) + row);
        const int tx = int(dx0) + col, ty = int(dy0) + row;
        SetPixel(tx, ty, blend ? BlendOver(GetPixel(tx, ty), c) : c);
      }
    }
  }
}

void Bitmap::Image(const Bitmap& src, const Rect& dstRect, const Rect& srcRect, int mode) {
  if (&src == this) {
    const Bitmap copy = src;
    Image(copy, dstRect, srcRect, mode);
    return;
  }
  if (BytesPerPixel() == 0 || src.BytesPerPixel() == 0) return;
  if (dstRect.width <= 0 || dstRect.height <= 0 || srcRect.width <= 0 || srcRect.height <= 0) return;
  const int64_t dx0 = std::max<int64_t>(dstRect.x, 0);
  const int64_t dx1 = std::min<int64_t>(int64_t(dstRect.x) + dstRect.width, m_width);
  const int64_t dy0 = std::max<int64_t>(dstRect.y, 0);
  const int64_t dy1 = std::min<int64_t>(int64_t(dstRect.y) + dstRect.height, m_height);
  if (dx0 >= dx1 || dy0 >= dy1) return;
  m_drawn += uint64_t(dx1 - dx0) * uint64_t(dy1 - dy0);
  // The nearest source pixel of each target column and row, sampled at the
  // target pixel's centre; -1 when it falls outside the source.
  auto sample = [](int64_t d, int64_t dStart, int64_t dSize, int64_t sStart, int64_t sSize, int64_t sSide) {
    const double offset = std::floor((double(d - dStart) + 0.5) * double(sSize) / double(dSize));
    const int64_t s = sStart + static_cast<int64_t>(offset);
    return s < 0 || s >= sSide ? int64_t(-1) : s;
  };
  std::vector<int> columns(size_t(dx1 - dx0));
  for (int64_t d = dx0; d < dx1; ++d)
    columns[size_t(d - dx0)] =
        int(sample(d, dstRect.x, dstRect.width, srcRect.x, srcRect.width, src.m_width));
  const bool blend = mode != 0;
  const bool fast = !blend && m_format == src.m_format && BytesPerPixel() == 4;
  // Columns that are not stretched and lie inside the source copy as whole rows.
  bool rows = fast && columns.front() >= 0;
  for (size_t i = 1; rows && i < columns.size(); ++i) rows = columns[i] == columns[i - 1] + 1;
  for (int64_t d = dy0; d < dy1; ++d) {
    const int64_t sy = sample(d, dstRect.y, dstRect.height, srcRect.y, srcRect.height, src.m_height);
    if (sy < 0) continue;
    if (fast) {
      uint8_t* out = m_pixels.data() + (size_t(d) * size_t(m_width) + size_t(dx0)) * 4;
      const uint8_t* in = src.m_pixels.data() + size_t(sy) * size_t(src.m_width) * 4;
      if (rows) {
        std::memcpy(out, in + size_t(columns.front()) * 4, columns.size() * 4);
        continue;
      }
      for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i] >= 0) std::memcpy(out + i * 4, in + size_t(columns[i]) * 4, 4);
      continue;
    }
    for (size_t i = 0; i < columns.size(); ++i) {
      if (columns[i] < 0) continue;
      const uint32_t c = src.GetPixel(columns[i], int(sy));
      const int tx = int(dx0) + int(i), ty = int(d);
      SetPixel(tx, ty, blend ? BlendOver(GetPixel(tx, ty), c) : c);
    }
  }
}

}  // namespace Kiv
