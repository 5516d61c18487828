#pragma once
// The script class "Image": a bitmap a script draws into with points, lines,
// rectangles, circles, triangles, other images and text. Its pixels are a
// 32-bit Kiv::Bitmap (B, G, R, A); every drawing call on an image without
// pixels does nothing. Text comes from the process-wide font cache.
//
// Script rectangles are two corners (x1, y1, x2, y2) and become
// {x1, y1, x2 - x1, y2 - y1}: reversed corners give a negative size, which
// draws nothing. Sizes and coordinates are script values: the bitmap clips
// every primitive, and a size over the bitmap's limits makes no bitmap.
#include <cstdint>
#include <memory>
#include <string_view>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"
#include "kiv/Bitmap.h"
#include "kiv/PString.h"

class GSOImage : public GSRuntime::GSObject {
public:
  explicit GSOImage(GSRuntime::GSContext* context);
  ~GSOImage() override;

  // A new empty image for a script, or null (the caller owns the one reference).
  static GSOImage* Create(GSRuntime::GSContext* context);
  // A new image holding the pixels of an image file (a relative path is taken
  // below baseFolder); null when the file cannot be read.
  static GSOImage* LoadImage(GSRuntime::GSContext* context, std::string_view baseFolder,
                             const Kiv::PString& path);

  // The pixels; null when the image has none.
  const Kiv::Bitmap* Bitmap() const { return m_bitmap.get(); }
  int Width() const { return m_bitmap ? m_bitmap->Width() : 0; }
  int Height() const { return m_bitmap ? m_bitmap->Height() : 0; }
  uint32_t LineColor() const { return m_lineColor; }
  uint32_t FillColor() const { return m_fillColor; }
  // How many changing operations the image has seen.
  uint32_t ChangeCount() const { return m_changes; }

  // The operations behind the natives of the same names.
  void SetLineColor(uint32_t argb) { m_lineColor = argb; }
  void SetFillColor(uint32_t argb) { m_fillColor = argb; }
  void SetTextFont(const Kiv::PString& face, int size);
  // Drops the pixels; with both sizes positive makes new ones filled with
  // the fill colour (none when a side is over the bitmap's limit).
  void Clear(int width, int height);
  // Keeps the old pixels at the top left (cropped or padded with transparent
  // black), or stretches them onto the new size. A size that cannot be made
  // leaves the image as it was.
  void Resize(int width, int height, bool scale);
  void DrawPoint(int x, int y);
  void DrawLine(int x1, int y1, int x2, int y2);
  void DrawRect(int x1, int y1, int x2, int y2);
  void DrawCircle(int x, int y, int radius);
  // Filled and outlined in the fill colour.
  void DrawTriangle(int x1, int y1, int x2, int y2, int x3, int y3);
  // Copies the source rectangle {sx, sy, sw, sh} of source to (x, y), blended
  // by the source's alpha, unscaled. From this same image the copy is made
  // only when the destination size (dw, dh) equals the source rectangle's.
  void DrawImage(int x, int y, int dw, int dh, const GSOImage* source, int sx, int sy, int sw, int sh);
  void DrawText(int x, int y, std::string_view utf8);
  // The text's width in the current font; 0 when no font can be made.
  int MeasureTextWidth(std::string_view utf8) const;

  // The 19 records of "Image".
  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  void NativeSetLineColor(GSRuntime::GSStack& stack);
  void NativeSetFillColor(GSRuntime::GSStack& stack);
  void NativeSetTextFont(GSRuntime::GSStack& stack);
  void NativeGetWidth(GSRuntime::GSStack& stack);
  void NativeGetHeight(GSRuntime::GSStack& stack);
  void NativeClear(GSRuntime::GSStack& stack);
  void NativeResize(GSRuntime::GSStack& stack);
  void NativeDrawPoint(GSRuntime::GSStack& stack);
  void NativeDrawLine(GSRuntime::GSStack& stack);
  void NativeDrawRect(GSRuntime::GSStack& stack);
  void NativeDrawCircle(GSRuntime::GSStack& stack);
  void NativeDrawTriangle(GSRuntime::GSStack& stack);
  void NativeDrawImageAt(GSRuntime::GSStack& stack);
  void NativeDrawImageCorners(GSRuntime::GSStack& stack);
  void NativeDrawImagePart(GSRuntime::GSStack& stack);
  void NativeDrawText(GSRuntime::GSStack& stack);
  void NativeMeasureTextWidth(GSRuntime::GSStack& stack);
  void NativeImportImage(GSRuntime::GSStack& stack);
  void NativeExportImage(GSRuntime::GSStack& stack);

  // True for a size an image can have (or none: a side of 0 or less); else
  // the thread gets "<native>> an image of W x H pixels is past the limit of
  // N pixels a side".
  bool AdmitSize(int width, int height, const char* native);
  // Counts `bytes` of pixels in place of what is counted against the script
  // memory limit; false, with nothing changed, when that would pass it, and
  // then the thread gets "<native>> the image would pass the script memory
  // limit" (a null native: nothing is raised).
  bool CountBytes(uint64_t bytes, const char* native);
  // Counts a change and pays the run budget for the pixels it touched.
  void Changed();

  std::unique_ptr<Kiv::Bitmap> m_bitmap;
  uint64_t m_counted = 0;  // bytes of pixels counted against the script memory limit
  uint32_t m_lineColor = 0xFFFFFFFFu;
  uint32_t m_fillColor = 0;
  Kiv::PString m_face;
  uint64_t m_faceCounted = 0;  // bytes of a script's face name counted against the limit
  int m_fontSize = 12;
  uint32_t m_changes = 0;
};
