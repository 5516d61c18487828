#include "scriptlib/GSOImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "graphics/font/FontCache.h"
#include "kiv/File.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

// The extent from one corner to the other; corners a whole int range apart
// saturate instead of wrapping, which the bitmap then clips.
int Extent(int from, int to) {
  const int64_t d = int64_t(to) - int64_t(from);
  return int(std::clamp<int64_t>(d, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

Kiv::Bitmap::Rect CornerRect(int x1, int y1, int x2, int y2) {
  return {x1, y1, Extent(x1, x2), Extent(y1, y2)};
}

float FloatArgument(const GSStack& stack, uint32_t index) {
  const uint32_t cell = stack.Argument(index);
  float value;
  std::memcpy(&value, &cell, sizeof value);
  return value;
}

uint32_t ColorArguments(const GSStack& stack) {
  return Kiv::Bitmap::PackColor(FloatArgument(stack, 1), FloatArgument(stack, 2), FloatArgument(stack, 3),
                                FloatArgument(stack, 4));
}

int Int(const GSStack& stack, uint32_t index) { return GetNativeIntParameter(stack, index); }

}  // namespace

// A failed bind leaves no handle, which NewScriptObject tests.
GSOImage::GSOImage(GSContext* context) : m_face("swiss") {
  (void)BindScriptClass(ScriptClasses().image, context);
}

GSOImage::~GSOImage() { ScriptMemory::Give(m_counted + m_faceCounted); }

namespace {

// Within the bitmap's side limit the script memory limit, which counts the
// pixels, bounds an image.
bool ScriptImageSize(int width, int height) {
  return width > 0 && height > 0 && width <= Kiv::Bitmap::MaxSide && height <= Kiv::Bitmap::MaxSide;
}

// The bytes of a bitmap of that size; 0 for one that is never made (no
// pixels, or more than a script image may have).
uint64_t PixelBytes(int width, int height) {
  if (!ScriptImageSize(width, height)) return 0;
  return uint64_t(width) * uint64_t(height) * 4;
}

}  // namespace

bool GSOImage::AdmitSize(int width, int height, const char* native) {
  if (width <= 0 || height <= 0 || ScriptImageSize(width, height)) return true;
  char text[160];
  std::snprintf(text, sizeof text, "%s> an image of %d x %d pixels is past the limit of %d pixels a side",
                native, width, height, Kiv::Bitmap::MaxSide);
  Raise(text);
  return false;
}

bool GSOImage::CountBytes(uint64_t bytes, const char* native) {
  if (bytes > m_counted && !ScriptMemory::Take(bytes - m_counted)) {
    if (native) Raise((std::string(native) + "> the image would pass the script memory limit").c_str());
    return false;
  }
  if (bytes < m_counted) ScriptMemory::Give(m_counted - bytes);
  m_counted = bytes;
  return true;
}

// A pixel blended over the target (the source or glyph read, the target read,
// mixed and written) takes about as long as copying eight pixels does.
constexpr uint64_t kBlendedPixelBytes = 32;

// A pixel written into an image larger than the caches takes about as long
// as copying twice its four bytes does.
constexpr uint64_t kWrittenPixelBytes = 8;

void GSOImage::Changed() {
  ++m_changes;
  if (m_bitmap) PayRunBudget(kWrittenPixelBytes * m_bitmap->TakeDrawn());
}

namespace {

// Walking a text costs far more per byte than copying it (a glyph looked up
// per character): one budget byte for each byte walked.
bool PayForText(std::string_view utf8) { return PayNativeWork(uint64_t(utf8.size()) * kBytesPerBudgetByte); }

// Making a font (finding and opening its face, sizing it, making its glyph
// bitmap) takes about as long as copying this many bytes besides the font's
// own.
constexpr uint64_t kFontMadeBytes = 8ull << 20;

// The font of a face and size from the process-wide cache, which stays
// within its own bound whatever a script asks for; a font made here is paid,
// and so is one that failed (each new description that fails is tried anew).
std::shared_ptr<TTFont> CachedFont(const Kiv::PString& face, int size) {
  FontDescription description;
  description.face = face.Str();
  description.size = size;
  bool made = false;
  std::shared_ptr<TTFont> font = GetCachedTTFont(description, &made);
  if (made) PayRunBudget(kFontMadeBytes + (font ? FontBytes(*font) : 0));
  return font;
}

// Rendering a glyph into its cell costs about what making an object does,
// besides the cell's bytes written.
void PayForGlyphs(const TTFont& font, uint64_t rendered) {
  PayRunBudget(rendered * (kObjectMadeBytes + 4 * uint64_t(font.CellWidth()) * uint64_t(font.CellHeight())));
}

}  // namespace

GSOImage* GSOImage::Create(GSContext* context) { return NewScriptObject<GSOImage>(context); }

GSOImage* GSOImage::LoadImage(GSContext* context, std::string_view baseFolder, const Kiv::PString& path) {
  GSOImage* image = Create(context);
  if (!image) return nullptr;
  // The pixels are counted at the size the file declares, before anything
  // is decoded: an image past the script memory limit is one that cannot be
  // had, as a file that cannot be read.
  Kiv::File::Path full(path.View());
  if (!baseFolder.empty() && !full.IsAbsolute()) full = Kiv::File::Path(baseFolder).Join(path.View());
  const auto admit = [image](int width, int height) {
    return ScriptImageSize(width, height) && image->CountBytes(PixelBytes(width, height), nullptr);
  };
  auto bitmap = std::make_unique<Kiv::Bitmap>();
  // Every drawing operation works on one 32-bit layout, whatever the file held.
  if (!bitmap->Load(Kiv::PString(full.View()), {}, admit) ||
      !image->CountBytes(PixelBytes(bitmap->Width(), bitmap->Height()), nullptr) ||
      !bitmap->ConvertTo(Kiv::Bitmap::FormatRGBA32)) {
    delete image;
    return nullptr;
  }
  image->m_bitmap = std::move(bitmap);
  PayRunBudget(2 * image->m_counted);  // decoded, then converted
  return image;
}

void GSOImage::SetTextFont(const Kiv::PString& face, int size) {
  m_face = face;
  m_fontSize = size;
}

void GSOImage::Clear(int width, int height) {
  m_bitmap.reset();
  ++m_changes;
  if (!ScriptImageSize(width, height)) return;
  auto bitmap = std::make_unique<Kiv::Bitmap>();
  if (!bitmap->Create(width, height, Kiv::Bitmap::FormatRGBA32)) return;
  PayRunBudget(PixelBytes(width, height));  // made zeroed, then filled
  bitmap->Clear(m_fillColor);
  m_bitmap = std::move(bitmap);
  PayRunBudget(kWrittenPixelBytes * m_bitmap->TakeDrawn());
}

void GSOImage::Resize(int width, int height, bool scale) {
  if (width == Width() && height == Height()) return;
  if (width <= 0 || height <= 0 || !m_bitmap) {
    Clear(width, height);
    return;
  }
  if (!ScriptImageSize(width, height)) return;
  auto bitmap = std::make_unique<Kiv::Bitmap>();
  if (!bitmap->Create(width, height, Kiv::Bitmap::FormatRGBA32)) return;  // created zeroed: transparent black
  PayRunBudget(PixelBytes(width, height));
  const Kiv::Bitmap::Rect target{0, 0, width, height};
  const Kiv::Bitmap::Rect source = scale ? Kiv::Bitmap::Rect{0, 0, Width(), Height()} : target;
  bitmap->Image(*m_bitmap, target, source, 0);
  m_bitmap = std::move(bitmap);
  // A pixel drawn is read from the old pixels and written to the new.
  PayRunBudget((4 + kWrittenPixelBytes) * m_bitmap->TakeDrawn());
  Changed();
}

void GSOImage::DrawPoint(int x, int y) {
  if (!m_bitmap) return;
  m_bitmap->BlendPixel(x, y, m_lineColor);
  Changed();
}

void GSOImage::DrawLine(int x1, int y1, int x2, int y2) {
  if (!m_bitmap) return;
  m_bitmap->Line(x1, y1, x2, y2, m_lineColor, Kiv::Bitmap::ModeBlend);
  Changed();
}

void GSOImage::DrawRect(int x1, int y1, int x2, int y2) {
  if (!m_bitmap) return;
  const Kiv::Bitmap::Rect rect = CornerRect(x1, y1, x2, y2);
  m_bitmap->Box(rect, m_fillColor, Kiv::Bitmap::ModeFill);
  m_bitmap->Box(rect, m_lineColor, 0);
  Changed();
}

void GSOImage::DrawCircle(int x, int y, int radius) {
  if (!m_bitmap) return;
  m_bitmap->Circle(x, y, radius, m_fillColor, Kiv::Bitmap::ModeFill);
  m_bitmap->Circle(x, y, radius, m_lineColor, Kiv::Bitmap::ModeBlend);
  Changed();
}

void GSOImage::DrawTriangle(int x1, int y1, int x2, int y2, int x3, int y3) {
  if (!m_bitmap) return;
  m_bitmap->Triangle(x1, y1, x2, y2, x3, y3, m_fillColor, Kiv::Bitmap::ModeFill);
  m_bitmap->Triangle(x1, y1, x2, y2, x3, y3, m_fillColor, Kiv::Bitmap::ModeBlend);
  Changed();
}

void GSOImage::DrawImage(int x, int y, int dw, int dh, const GSOImage* source, int sx, int sy, int sw,
                         int sh) {
  if (!m_bitmap || !source || !source->m_bitmap) return;
  if (source == this && (dw != sw || dh != sh)) return;
  m_bitmap->Image(*source->m_bitmap, x, y, {sx, sy, sw, sh}, Kiv::Bitmap::ModeSourceAlpha);
  PayRunBudget(kBlendedPixelBytes * m_bitmap->TakeDrawn());
  Changed();
}

void GSOImage::DrawText(int x, int y, std::string_view utf8) {
  if (!m_bitmap) return;
  const std::shared_ptr<TTFont> font = CachedFont(m_face, m_fontSize);
  if (!font || !PayForText(utf8)) return;
  const uint64_t rendered = TTFont::GlyphsRendered();
  // A text outside the image draws nothing.
  uint64_t visited = 0;
  (void)font->DrawText(*m_bitmap, x, y, utf8, m_lineColor, &visited);
  PayForGlyphs(*font, TTFont::GlyphsRendered() - rendered);
  PayRunBudget(kBlendedPixelBytes * visited);
  Changed();
}

int GSOImage::MeasureTextWidth(std::string_view utf8) const {
  const std::shared_ptr<TTFont> font = CachedFont(m_face, m_fontSize);
  return font && PayForText(utf8) ? font->GetTextWidth(utf8) : 0;
}

void GSOImage::NativeSetLineColor(GSStack& stack) { SetLineColor(ColorArguments(stack)); }

void GSOImage::NativeSetFillColor(GSStack& stack) { SetFillColor(ColorArguments(stack)); }

// The face name is kept while the image lives: counted before it is copied,
// in place of the name it replaces.
void GSOImage::NativeSetTextFont(GSStack& stack) {
  std::string_view face;
  if (!GetNativeStringViewParameter(stack, 1, face, false)) return;
  if (face.size() > m_faceCounted && !ScriptMemory::Take(face.size() - m_faceCounted))
    return Raise("Image.SetTextFont> the font name would pass the script memory limit");
  if (face.size() < m_faceCounted) ScriptMemory::Give(m_faceCounted - face.size());
  m_faceCounted = face.size();
  PayRunBudget(face.size());
  SetTextFont(Kiv::PString(face.data(), face.size()), Int(stack, 2));
}

void GSOImage::NativeGetWidth(GSStack& stack) { PushNativeResult(stack, uint32_t(Width())); }

void GSOImage::NativeGetHeight(GSStack& stack) { PushNativeResult(stack, uint32_t(Height())); }

// The new bitmap is counted before it is made (with the old one while
// both are held), and what the image holds after.
void GSOImage::NativeClear(GSStack& stack) {
  const int width = Int(stack, 1), height = Int(stack, 2);
  if (!AdmitSize(width, height, "Image.Clear") || !CountBytes(PixelBytes(width, height), "Image.Clear"))
    return;
  Clear(width, height);
  CountBytes(PixelBytes(Width(), Height()), "Image.Clear");
  if (width > 0 && height > 0 && !m_bitmap) Raise("Image.Clear> the pixels could not be made");
}

void GSOImage::NativeResize(GSStack& stack) {
  const int width = Int(stack, 1), height = Int(stack, 2);
  if (!AdmitSize(width, height, "Image.Resize") ||
      !CountBytes(PixelBytes(width, height) + PixelBytes(Width(), Height()), "Image.Resize"))
    return;
  Resize(width, height, GetNativeBoolParameter(stack, 3));
  CountBytes(PixelBytes(Width(), Height()), "Image.Resize");
  if (width > 0 && height > 0 && (width != Width() || height != Height()))
    Raise("Image.Resize> the pixels could not be made");
}

void GSOImage::NativeDrawPoint(GSStack& stack) { DrawPoint(Int(stack, 1), Int(stack, 2)); }

void GSOImage::NativeDrawLine(GSStack& stack) {
  DrawLine(Int(stack, 1), Int(stack, 2), Int(stack, 3), Int(stack, 4));
}

void GSOImage::NativeDrawRect(GSStack& stack) {
  DrawRect(Int(stack, 1), Int(stack, 2), Int(stack, 3), Int(stack, 4));
}

void GSOImage::NativeDrawCircle(GSStack& stack) { DrawCircle(Int(stack, 1), Int(stack, 2), Int(stack, 3)); }

void GSOImage::NativeDrawTriangle(GSStack& stack) {
  DrawTriangle(Int(stack, 1), Int(stack, 2), Int(stack, 3), Int(stack, 4), Int(stack, 5), Int(stack, 6));
}

void GSOImage::NativeDrawImageAt(GSStack& stack) {
  GSOImage* source = nullptr;
  if (!GetNativeParameter(stack, 3, source, true) || !source) return;
  const int w = source->Width(), h = source->Height();
  DrawImage(Int(stack, 1), Int(stack, 2), w, h, source, 0, 0, w, h);
}

void GSOImage::NativeDrawImageCorners(GSStack& stack) {
  GSOImage* source = nullptr;
  if (!GetNativeParameter(stack, 5, source, true) || !source) return;
  const int x1 = Int(stack, 1), y1 = Int(stack, 2);
  const int w = source->Width(), h = source->Height();
  DrawImage(x1, y1, Extent(x1, Int(stack, 3)), Extent(y1, Int(stack, 4)), source, 0, 0, w, h);
}

void GSOImage::NativeDrawImagePart(GSStack& stack) {
  GSOImage* source = nullptr;
  if (!GetNativeParameter(stack, 5, source, true) || !source) return;
  const int x1 = Int(stack, 1), y1 = Int(stack, 2);
  const Kiv::Bitmap::Rect part = CornerRect(Int(stack, 6), Int(stack, 7), Int(stack, 8), Int(stack, 9));
  DrawImage(x1, y1, Extent(x1, Int(stack, 3)), Extent(y1, Int(stack, 4)), source, part.x, part.y, part.width,
            part.height);
}

void GSOImage::NativeDrawText(GSStack& stack) {
  std::string_view text;
  if (GetNativeStringViewParameter(stack, 3, text, false)) DrawText(Int(stack, 1), Int(stack, 2), text);
}

void GSOImage::NativeMeasureTextWidth(GSStack& stack) {
  std::string_view text;
  if (!GetNativeStringViewParameter(stack, 1, text, false)) {
    PushNativeResult(stack, 0);
    return;
  }
  PushNativeResult(stack, uint32_t(MeasureTextWidth(text)));
}

void GSOImage::NativeImportImage(GSStack& stack) {
  GSOSoup* soup = nullptr;
  if (GetNativeParameter(stack, 1, soup, true)) ++m_changes;
}

void GSOImage::NativeExportImage(GSStack& stack) {
  PushObject(stack, GSOSoup::Create(Context(), SoupRef(), true), false);
}

void GSOImage::RegisterNatives(GSMachine& machine) {
  const char* const i = "Image";
  AddNative(machine, i, "$void@Image::SetLineColor(float,float,float,float)", &GSOImage::NativeSetLineColor);
  AddNative(machine, i, "$void@Image::SetFillColor(float,float,float,float)", &GSOImage::NativeSetFillColor);
  AddNative(machine, i, "$void@Image::SetTextFont(string,int)", &GSOImage::NativeSetTextFont);
  AddNative(machine, i, "$int@Image::GetWidth()", &GSOImage::NativeGetWidth);
  AddNative(machine, i, "$int@Image::GetHeight()", &GSOImage::NativeGetHeight);
  AddNative(machine, i, "$void@Image::Clear(int,int)", &GSOImage::NativeClear);
  AddNative(machine, i, "$void@Image::Resize(int,int,bool)", &GSOImage::NativeResize);
  AddNative(machine, i, "$void@Image::DrawPoint(int,int)", &GSOImage::NativeDrawPoint);
  AddNative(machine, i, "$void@Image::DrawLine(int,int,int,int)", &GSOImage::NativeDrawLine);
  AddNative(machine, i, "$void@Image::DrawRect(int,int,int,int)", &GSOImage::NativeDrawRect);
  AddNative(machine, i, "$void@Image::DrawCircle(int,int,int)", &GSOImage::NativeDrawCircle);
  AddNative(machine, i, "$void@Image::DrawTriangle(int,int,int,int,int,int)", &GSOImage::NativeDrawTriangle);
  AddNative(machine, i, "$void@Image::DrawImage(int,int,Image)", &GSOImage::NativeDrawImageAt);
  AddNative(machine, i, "$void@Image::DrawImage(int,int,int,int,Image)", &GSOImage::NativeDrawImageCorners);
  AddNative(machine, i, "$void@Image::DrawImage(int,int,int,int,Image,int,int,int,int)",
            &GSOImage::NativeDrawImagePart);
  AddNative(machine, i, "$void@Image::DrawText(int,int,string)", &GSOImage::NativeDrawText);
  AddNative(machine, i, "$int@Image::MeasureTextWidth(string)", &GSOImage::NativeMeasureTextWidth);
  AddNative(machine, i, "$void@Image::ImportImage(Soup)", &GSOImage::NativeImportImage);
  AddNative(machine, i, "$Soup@Image::ExportImage()", &GSOImage::NativeExportImage);
}
