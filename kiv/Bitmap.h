#pragma once
// A bitmap in memory with load and save of BMP, TGA, PNG and JPEG files.
// Pixel formats (the engine's codes):
//   1 RGB24   three bytes per pixel, in the order B, G, R
//   2 RGBA32  four bytes per pixel, B, G, R, A (a little-endian 0xAARRGGBB)
//   3 RGBX32  as 2, but opaque: the alpha byte is not meaningful
//   4 Gray8   one byte per pixel
//   5 Block   an opaque block of bytes of a given size (compressed data)
// Rows are stored top row first, without padding.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kiv/PString.h"

namespace Kiv {

// Pixel memory from malloc: a decoder's own buffer is taken over without a
// copy, and a change of pixel format grows or shrinks it in place, so an
// image at the side limit is never held twice while it loads.
class PixelBuffer {
public:
  PixelBuffer() = default;
  // Copies throw std::bad_alloc without the memory, as a vector would.
  PixelBuffer(const PixelBuffer& other);
  PixelBuffer& operator=(const PixelBuffer& other);
  PixelBuffer(PixelBuffer&& other) noexcept
      : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}
  PixelBuffer& operator=(PixelBuffer&& other) noexcept;
  ~PixelBuffer() { clear(); }

  // size zeroed bytes (not touched until written); false, and empty, without the memory.
  [[nodiscard]] bool Allocate(size_t size);
  // Takes over `size` bytes that malloc gave (freed with free).
  void Adopt(void* data, size_t size);
  // Keeps the first bytes, up to the smaller size; false, and unchanged, when
  // growing finds no memory (shrinking always succeeds).
  [[nodiscard]] bool Resize(size_t size);
  void clear();
  uint8_t* data() { return m_data; }
  const uint8_t* data() const { return m_data; }
  size_t size() const { return m_size; }

private:
  uint8_t* m_data = nullptr;
  size_t m_size = 0;
};

class Bitmap {
public:
  enum Format : int {
    FormatNone = 0,
    FormatRGB24 = 1,
    FormatRGBA32 = 2,
    FormatRGBX32 = 3,
    FormatGray8 = 4,
    FormatBlock = 5
  };
  enum class FileType { Unknown, BMP, TGA, PNG, JPEG };

  // Larger declared sizes are refused before any pixel memory is taken.
  static constexpr int MaxSide = 16384;

  Bitmap() = default;

  // A zeroed bitmap. Block bitmaps take their byte size from blockBytes.
  [[nodiscard]] bool Create(int width, int height, Format format, size_t blockBytes = 0);
  void Destroy();

  // Asked with the size a file declares, before any pixel is decoded; false
  // refuses the load (a caller that counts the pixels it will hold).
  using Admit = std::function<bool(int width, int height)>;
  // Loads an image file; a relative path is taken below baseFolder when one
  // is given. On failure the bitmap is left empty and LastError() says why.
  [[nodiscard]] bool Load(const PString& path, std::string_view baseFolder = {}, const Admit& admit = {});
  [[nodiscard]] bool LoadFromMemory(const uint8_t* data, size_t size,
                                    std::string_view nameForMessages = "memory", const Admit& admit = {});
  // What loading the image would give, without keeping its pixels: the
  // same files load or fail as with Load, and the size is the same. A PNG's
  // data is inflated and its rows checked but not turned into pixels; the
  // other types are decoded and the pixels dropped. The error says why not.
  struct Size {
    int width = 0, height = 0;
  };
  [[nodiscard]] static bool Probe(const PString& path, Size& out, std::string* error = nullptr);
  [[nodiscard]] static bool ProbeMemory(const uint8_t* data, size_t size, Size& out,
                                        std::string* error = nullptr,
                                        std::string_view nameForMessages = "memory");
  // Writes the file type chosen by the extension (".bmp", ".tga", ".png",
  // ".jpg" or ".jpeg"), replacing any old file only when the write succeeds.
  [[nodiscard]] bool Save(std::string_view path, int jpegQuality = 90);
  [[nodiscard]] bool SaveToMemory(FileType type, std::vector<uint8_t>& out, int jpegQuality = 90);
  static FileType FileTypeFromPath(std::string_view path);

  [[nodiscard]] bool IsEmpty() const { return m_format == FormatNone; }
  int Width() const { return m_width; }
  int Height() const { return m_height; }
  Format GetFormat() const { return m_format; }
  // Bytes per pixel; 0 for block and empty bitmaps.
  int BytesPerPixel() const { return BytesPerPixel(m_format); }
  static int BytesPerPixel(Format format);
  size_t Pitch() const { return static_cast<size_t>(m_width) * static_cast<size_t>(BytesPerPixel()); }
  uint8_t* Data() { return m_pixels.data(); }
  const uint8_t* Data() const { return m_pixels.data(); }
  size_t DataSize() const { return m_pixels.size(); }

  // The pixel as 0xAARRGGBB (alpha 255 for formats without one; gray copies
  // into R, G and B). 0 outside the bitmap or for block data.
  uint32_t GetPixel(int x, int y) const;
  // Ignored outside the bitmap and for block data.
  void SetPixel(int x, int y, uint32_t argb);
  // Every pixel set to argb.
  void Clear(uint32_t argb);

  // Drawing. Colours are 0xAARRGGBB. Every primitive is clipped to the bitmap
  // before it loops, so coordinates anywhere in the int range are safe and
  // cost only the pixels that are inside. Mode bits of the shapes:
  //   ModeFill   fill the inside (else only the outline);
  //   ModeBlend  blend the colour by its alpha (else the pixels are replaced).
  // Image copies: mode 0 replaces the pixels, ModeBlend or ModeSourceAlpha
  // blend the source over the target by the source's alpha.
  enum Mode : int { ModeFill = 1, ModeBlend = 2, ModeSourceAlpha = 4 };
  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
  };

  // Blends argb over the pixel by argb's alpha; ignored outside the bitmap.
  void BlendPixel(int x, int y, uint32_t argb);
  // argb over `under` by argb's alpha, as every blending primitive does: an
  // opaque colour replaces, a clear one leaves, and an opaque pixel stays opaque.
  static uint32_t Blend(uint32_t under, uint32_t argb);
  // The line from (x1, y1) to (x2, y2), both ends included.
  void Line(int x1, int y1, int x2, int y2, uint32_t argb, int mode);
  // A rectangle; a negative width or height draws nothing.
  void Box(const Rect& rect, uint32_t argb, int mode);
  // The circle of radius r around (cx, cy); a negative radius draws nothing.
  void Circle(int cx, int cy, int r, uint32_t argb, int mode);
  void Triangle(int x1, int y1, int x2, int y2, int x3, int y3, uint32_t argb, int mode);
  // Copies the source rectangle of src (clipped to src) to (x, y) unscaled.
  // src may be this bitmap: overlapping parts are copied in an order that
  // reads each pixel before it is written. Both must hold pixels (not block data).
  void Image(const Bitmap& src, int x, int y, const Rect& srcRect, int mode);
  // Copies the source rectangle stretched onto the destination rectangle,
  // sampling the nearest source pixel.
  void Image(const Bitmap& src, const Rect& dstRect, const Rect& srcRect, int mode);

  // The pixels the drawing operations have visited since the last call; the
  // call clears the count. A caller that pays for drawing reads it after each.
  uint64_t TakeDrawn() { return std::exchange(m_drawn, 0); }

  // The packed colour of four channels of 0.0 to 1.0: each is clamped, a NaN
  // counts as 0, and becomes trunc(c * 255 + 0.5).
  static uint32_t PackColor(float r, float g, float b, float a);
  // Converts the pixels to another pixel format (not to or from Block).
  [[nodiscard]] bool ConvertTo(Format format);

  const std::string& LastError() const { return m_error; }

private:
  [[nodiscard]] bool Fail(std::string message);
  // Takes decoded pixels in R, G, B(, A) order with `channels` channels.
  [[nodiscard]] bool Adopt(PixelBuffer pixels, int width, int height, int channels, const std::string& label);
  // Sets (or blends) the pixels x0..x1 of row y, already clipped.
  void Span(int y, int x0, int x1, uint32_t argb, bool blend);

  int m_width = 0;
  int m_height = 0;
  Format m_format = FormatNone;
  PixelBuffer m_pixels;
  std::string m_error;
  uint64_t m_drawn = 0;
};

}  // namespace Kiv
