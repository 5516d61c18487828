#include "kiv/Bitmap.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kiv/Bytes.h"
#include "kiv/File.h"
#include "kiv/JpegDecode.h"
#include "kiv/String.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image.h>
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace Kiv {

namespace {

// An image at the side limit both ways.
constexpr int64_t kMaxPixels = int64_t(Bitmap::MaxSide) * Bitmap::MaxSide;
// The decoders take a byte count of type int. Larger files are refused
// before they are read; smaller ones are mapped, not copied, so a file costs
// no memory of its own beside its pixels.
constexpr uint64_t kMaxFileBytes = INT_MAX;

// An image file's bytes: mapped when large, else read.
struct ImageFile {
  std::string read;
  MappedFile mapped;
  const uint8_t* Data() const {
    return reinterpret_cast<const uint8_t*>(mapped.Data() ? mapped.Data() : read.data());
  }
  size_t Size() const { return mapped.Data() ? mapped.Size() : read.size(); }
  // False with File::LastError.
  bool Open(std::string_view path) { return File::ReadOrMapWholeFile(path, read, mapped, kMaxFileBytes); }
};

// The pixel at p in a format with pixels as 0xAARRGGBB (alpha 255 for formats
// without one; gray copies into R, G and B), and the reverse.
uint32_t ReadPixel(const uint8_t* p, Bitmap::Format format) {
  switch (format) {
    case Bitmap::FormatGray8: return 0xFF000000u | (uint32_t(p[0]) << 16) | (uint32_t(p[0]) << 8) | p[0];
    case Bitmap::FormatRGB24:
    case Bitmap::FormatRGBX32: return 0xFF000000u | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
    default: return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
  }
}

void WritePixel(uint8_t* p, Bitmap::Format format, uint32_t argb) {
  const uint8_t b = argb & 0xFF, g = (argb >> 8) & 0xFF, r = (argb >> 16) & 0xFF, a = argb >> 24;
  if (format == Bitmap::FormatGray8) {
    p[0] = static_cast<uint8_t>((r * 77 + g * 150 + b * 29 + 128) >> 8);
    return;
  }
  p[0] = b;
  p[1] = g;
  p[2] = r;
  if (format == Bitmap::FormatRGBA32) p[3] = a;
  if (format == Bitmap::FormatRGBX32) p[3] = 0xFF;
}

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
}

// Why the decoder failed last. Some failures (a reserved deflate block type)
// leave no reason, which must not be read as text.
std::string DecoderReason() {
  const char* reason = stbi_failure_reason();
  return reason ? reason : "corrupt data";
}

// The decoder pads a cut-off JPEG with zeros and reports success, so a
// truncated file is caught here: after the first start-of-scan segment there
// must be an end-of-image marker (inside scan data a 0xFF byte is always
// followed by 0x00 or a restart marker, so the pair cannot occur by chance).
bool JpegHasEnd(const uint8_t* data, size_t size) {
  ByteReader r(data, size);
  r.Skip(2);
  while (r.Remaining() >= 4) {
    if (r.U8() != 0xFF) return false;
    if (r.Peek() == 0xFF) continue;  // fill byte
    const uint8_t marker = r.U8();
    const uint16_t length = r.U16BE();
    if (length < 2 || !r.Skip(length - 2)) return false;
    if (marker == 0xDA) {
      const std::span<const uint8_t> rest = r.Bytes(r.Remaining());
      for (size_t j = 0; j + 1 < rest.size(); ++j)
        if (rest[j] == 0xFF && rest[j + 1] == 0xD9) return true;
      return false;
    }
  }
  return false;
}

// The decoder stops at the end chunk without reading its checksum; a PNG
// must hold every chunk whole up to and including that end chunk.
bool PngHasEnd(const uint8_t* data, size_t size) {
  ByteReader r(data, size);
  r.Skip(8);
  while (r.Remaining() >= 12) {
    const uint32_t length = r.U32BE();
    const std::string_view type = r.Chars(4);
    if (!r.Has(uint64_t(length) + 4)) return false;  // data and checksum
    if (type == "IEND") return true;
    r.Skip(uint64_t(length) + 4);
  }
  return false;
}

// The decoder reads past the end of a BMP as zero bytes; the pixel rows the
// header declares must all be present.
bool BmpHasEnd(const uint8_t* data, size_t size) {
  ByteReader r(data, size);
  r.Seek(10);
  const uint64_t offset = r.U32(), header = r.U32();
  uint64_t w, h, bpp, compression = 0;
  if (header == 12) {
    w = r.U16();
    h = r.U16();
    r.Skip(2);  // planes
    bpp = r.U16();
  } else {
    const int32_t sw = r.I32(), sh = r.I32();
    w = static_cast<uint64_t>(sw < 0 ? -int64_t(sw) : sw);
    h = static_cast<uint64_t>(sh < 0 ? -int64_t(sh) : sh);
    r.Skip(2);  // planes
    bpp = r.U16();
    compression = r.U32();
  }
  if (r.Failed()) return false;
  if (compression == 1 || compression == 2) return true;  // run-length data: refused by the decoder itself
  const uint64_t row = ((bpp * w + 31) / 32) * 4;
  return offset + row * h <= size;
}

// The same for TGA, whose run-length packets are walked to their end.
bool TgaHasEnd(const uint8_t* data, size_t size) {
  ByteReader r(data, size);
  const uint64_t idLength = r.U8(), mapType = r.U8(), type = r.U8();
  r.Skip(2);  // first map entry
  const uint64_t mapLength = r.U16(), mapBits = r.U8();
  r.Skip(4);  // origin
  const uint64_t w = r.U16(), h = r.U16(), bits = r.U8();
  r.Skip(1);  // descriptor
  const uint64_t pixelBytes = (bits + 7) / 8;
  r.Skip(idLength + (mapType ? mapLength * ((mapBits + 7) / 8) : 0));
  uint64_t pixels = w * h;
  if (type < 8) return r.Has(pixels * pixelBytes);
  while (pixels > 0) {
    const uint8_t packet = r.U8();
    const uint64_t count = (packet & 0x7Fu) + 1;
    if (!r.Skip((packet & 0x80u) ? pixelBytes : count * pixelBytes)) return false;
    pixels -= count < pixels ? count : pixels;
  }
  return !r.Failed();
}

enum class Coded { PNG, BMP, TGA, JPEG };

const uint8_t kPngMagic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::string TooLarge(const std::string& label, int64_t w, int64_t h) {
  return String()
      .Setf("Bitmap::Load> '%s' is too large: %lld x %lld pixels (at most %d a side)", label.c_str(),
            static_cast<long long>(w), static_cast<long long>(h), Bitmap::MaxSide)
      .Str();
}

// What every load checks before it decodes: a known type whose declared size
// is within the limits and whose data is all there. False with the reason.
bool ReadyToDecode(const uint8_t* data, size_t size, const std::string& label, Coded& type, int& w, int& h,
                   std::string& error) {
  if (!data || size == 0) {
    error = "Bitmap::Load> '" + label + "' is empty";
    return false;
  }
  if (size > INT_MAX) {
    error = "Bitmap::Load> '" + label + "' is too large";
    return false;
  }
  const std::string unreadable = "Bitmap::Load> '" + label + "' is not a readable image (";
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8) {
    // JPEG goes to libjpeg-turbo, the decoder hardened against corrupt files.
    type = Coded::JPEG;
    if (JpegHasEnd(data, size)) return true;
    error = unreadable + "truncated file)";
    return false;
  }
  // The decoder refuses an over-large PNG header as an unknown type; its
  // size is read here so the message says what is wrong.
  const bool isPng = size >= 8 && std::memcmp(data, kPngMagic, 8) == 0;
  if (isPng && size >= 24 && std::memcmp(data + 12, "IHDR", 4) == 0) {
    const uint32_t declaredW = LoadBE32(data + 16), declaredH = LoadBE32(data + 20);
    if (declaredW > uint32_t(Bitmap::MaxSide) || declaredH > uint32_t(Bitmap::MaxSide)) {
      error = TooLarge(label, declaredW, declaredH);
      return false;
    }
  }
  int comp = 0;
  if (!stbi_info_from_memory(data, static_cast<int>(size), &w, &h, &comp)) {
    error = unreadable + DecoderReason() + ")";
    return false;
  }
  const bool isBmp = size >= 2 && data[0] == 'B' && data[1] == 'M';
  // A BMP stored top row first declares a negative height; the decoder
  // reports it as declared.
  if (isBmp && h < 0 && h != INT_MIN) h = -h;
  if (w <= 0 || h <= 0) {
    error = String()
                .Setf("Bitmap::Load> '%s' declares %d x %d pixels, not a valid size", label.c_str(), w, h)
                .Str();
    return false;
  }
  if (w > Bitmap::MaxSide || h > Bitmap::MaxSide) {
    error = TooLarge(label, w, h);
    return false;
  }
  // The decoder tells PNG and BMP by their magic; what it took for a picture
  // without one of these is a TGA.
  bool complete;
  if (isPng) {
    type = Coded::PNG;
    complete = PngHasEnd(data, size);
  } else if (isBmp) {
    type = Coded::BMP;
    complete = BmpHasEnd(data, size);
  } else {
    type = Coded::TGA;
    complete = TgaHasEnd(data, size);
  }
  if (!complete) error = unreadable + "truncated file)";
  return complete;
}

struct PngPass {
  uint64_t rowBytes;  // without the filter byte
  uint32_t width, rows;
};

// Whether the decoder would take a PNG whose chunks ReadyToDecode found
// whole, without unfiltering its rows: the decoder's chunk rules, its own
// inflate of the image data, and the amount and row filters of what comes
// out. Only these can fail once the header and chunks are sound; the rest of
// a decode turns bytes into pixels and cannot.
bool PngDecodes(const uint8_t* data, size_t size, std::string& why) {
  constexpr uint32_t kCriticalBit = 1u << 29;  // clear in a chunk type the reader must understand
  ByteReader r(data, size);
  r.Skip(8);
  bool first = true, iphone = false, sawData = false;
  uint32_t width = 0, height = 0, depth = 0, channels = 0, paletteLength = 0;
  bool paletted = false, interlaced = false;
  // The image data: one chunk is used where it lies, several are joined.
  const uint8_t* stream = nullptr;
  uint64_t streamBytes = 0;
  std::vector<uint8_t> joined;
  for (;;) {
    const uint32_t length = r.U32BE();
    const std::string_view type = r.Chars(4);
    if (r.Failed()) return (why = "outofdata"), false;
    const std::span<const uint8_t> bytes = r.Bytes(length);
    ByteReader body(bytes);
    r.Skip(4);  // checksum, unread as the decoder leaves it
    if (first && type != "IHDR" && type != "CgBI") return (why = "first not IHDR"), false;
    if (type == "CgBI") {
      iphone = true;
    } else if (type == "IHDR") {
      if (!first) return (why = "multiple IHDR"), false;
      first = false;
      if (length != 13) return (why = "bad IHDR len"), false;
      width = body.U32BE();
      height = body.U32BE();
      depth = body.U8();
      const uint32_t color = body.U8(), compression = body.U8(), filter = body.U8(), interlace = body.U8();
      if (width > uint32_t(Bitmap::MaxSide) || height > uint32_t(Bitmap::MaxSide))
        return (why = "too large"), false;
      if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16)
        return (why = "bad depth"), false;
      if (color > 6 || (color == 3 && depth == 16) || (color != 3 && (color & 1)))
        return (why = "bad ctype"), false;
      if (compression || filter || interlace > 1) return (why = "bad method"), false;
      if (!width || !height) return (why = "0-pixel image"), false;
      paletted = color == 3;
      interlaced = interlace == 1;
      channels = paletted ? 1 : (color & 2 ? 3 : 1) + (color & 4 ? 1 : 0);
      if ((1u << 30) / width / (paletted ? 4 : channels) < height) return (why = "too large"), false;
    } else if (type == "PLTE") {
      if (length > 256 * 3 || length % 3) return (why = "invalid PLTE"), false;
      paletteLength = length / 3;
    } else if (type == "tRNS") {
      if (sawData) return (why = "tRNS after IDAT"), false;
      if (paletted) {
        if (paletteLength == 0) return (why = "tRNS before PLTE"), false;
        if (length > paletteLength) return (why = "bad tRNS len"), false;
      } else {
        if (!(channels & 1)) return (why = "tRNS with alpha"), false;
        if (length != channels * 2) return (why = "bad tRNS len"), false;
      }
    } else if (type == "IDAT") {
      if (paletted && !paletteLength) return (why = "no PLTE"), false;
      // The decoder counts image data as seen from the first chunk that holds any.
      if (length == 0) continue;
      if (sawData && joined.empty()) joined.assign(stream, stream + streamBytes);
      if (sawData) joined.insert(joined.end(), bytes.begin(), bytes.end());
      stream = sawData ? joined.data() : bytes.data();
      streamBytes += length;
      sawData = true;
    } else if (type == "IEND") {
      break;
    } else if ((LoadBE32(type.data()) & kCriticalBit) == 0) {
      return (why = "unknown critical chunk"), false;
    }
  }
  if (!sawData) return (why = "no IDAT"), false;
  const uint32_t lineBytes = (width * depth + 7) / 8;
  const uint32_t expected = lineBytes * height * channels + height;
  // The rows of each pass (one, or seven when interlaced), each row led by
  // its filter byte.
  std::vector<PngPass> passes;
  auto add = [&](uint32_t x, uint32_t y) {
    if (x && y) passes.push_back({(uint64_t(channels) * x * depth + 7) >> 3, x, y});
  };
  if (!interlaced) {
    add(width, height);
  } else {
    static const uint32_t kX0[7] = {0, 4, 0, 2, 0, 1, 0}, kY0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const uint32_t kDX[7] = {8, 8, 4, 4, 2, 2, 1}, kDY[7] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; ++p)
      add((width - kX0[p] + kDX[p] - 1) / kDX[p], (height - kY0[p] + kDY[p] - 1) / kDY[p]);
  }
  int produced = 0;
  char* inflated = stbi_zlib_decode_malloc_guesssize_headerflag(
      reinterpret_cast<const char*>(stream), static_cast<int>(streamBytes), static_cast<int>(expected),
      &produced, !iphone);
  if (!inflated) return (why = DecoderReason()), false;
  // Each pass of rows must be there whole, each row led by a known filter.
  const uint8_t* rows = reinterpret_cast<const uint8_t*>(inflated);
  uint64_t left = static_cast<uint32_t>(produced);
  bool ok = true;
  auto fail = [&](const char* reason) {
    why = reason;
    ok = false;
  };
  for (const PngPass& pass : passes) {
    if (left < (pass.rowBytes + 1) * pass.rows) {
      fail("not enough pixels");
    } else if (depth < 8 && pass.rowBytes > pass.width) {
      fail("invalid width");
    } else {
      for (uint32_t j = 0; j < pass.rows && ok; ++j)
        if (rows[j * (pass.rowBytes + 1)] > 4) fail("invalid filter");
    }
    if (!ok) break;
    rows += (pass.rowBytes + 1) * pass.rows;
    left -= (pass.rowBytes + 1) * pass.rows;
  }
  stbi_image_free(inflated);
  return ok;
}

}  // namespace

PixelBuffer::PixelBuffer(const PixelBuffer& other) { *this = other; }

PixelBuffer& PixelBuffer::operator=(const PixelBuffer& other) {
  if (this == &other) return *this;
  clear();
  if (other.m_size == 0) return *this;
  m_data = static_cast<uint8_t*>(std::malloc(other.m_size));
  if (!m_data) throw std::bad_alloc();
  std::memcpy(m_data, other.m_data, other.m_size);
  m_size = other.m_size;
  return *this;
}

PixelBuffer& PixelBuffer::operator=(PixelBuffer&& other) noexcept {
  if (this != &other) {
    clear();
    m_data = std::exchange(other.m_data, nullptr);
    m_size = std::exchange(other.m_size, 0);
  }
  return *this;
}

bool PixelBuffer::Allocate(size_t size) {
  clear();
  if (size == 0) return true;
  m_data = static_cast<uint8_t*>(std::calloc(size, 1));
  if (!m_data) return false;
  m_size = size;
  return true;
}

void PixelBuffer::Adopt(void* data, size_t size) {
  clear();
  m_data = static_cast<uint8_t*>(data);
  m_size = data ? size : 0;
}

bool PixelBuffer::Resize(size_t size) {
  if (size == 0) {
    clear();
    return true;
  }
  if (size == m_size) return true;
  // A large block is moved by remapping its pages, not by copying them.
  void* grown = std::realloc(m_data, size);
  if (!grown && size < m_size) {
    m_size = size;  // the block stays as large as it was
    return true;
  }
  if (!grown) return false;
  m_data = static_cast<uint8_t*>(grown);
  m_size = size;
  return true;
}

void PixelBuffer::clear() {
  std::free(m_data);
  m_data = nullptr;
  m_size = 0;
}

int Bitmap::BytesPerPixel(Format format) {
  switch (format) {
    case FormatRGB24: return 3;
    case FormatRGBA32:
    case FormatRGBX32: return 4;
    case FormatGray8: return 1;
    default: return 0;
  }
}

bool Bitmap::Fail(std::string message) {
  m_error = std::move(message);
  return false;
}

void Bitmap::Destroy() {
  m_width = m_height = 0;
  m_format = FormatNone;
  m_pixels.clear();
}

bool Bitmap::Create(int width, int height, Format format, size_t blockBytes) {
  Destroy();
  if (width <= 0 || height <= 0 || width > MaxSide || height > MaxSide)
    return Fail(String().Setf("Bitmap::Create> bad size %d x %d", width, height).Str());
  size_t bytes;
  if (format == FormatBlock) {
    if (blockBytes == 0 || blockBytes > static_cast<size_t>(kMaxPixels) * 4)
      return Fail("Bitmap::Create> bad block size");
    bytes = blockBytes;
  } else if (BytesPerPixel(format) > 0) {
    bytes =
        static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(BytesPerPixel(format));
  } else {
    return Fail(String().Setf("Bitmap::Create> unknown format %d", static_cast<int>(format)).Str());
  }
  if (!m_pixels.Allocate(bytes)) return Fail("Bitmap::Create> out of memory");
  m_width = width;
  m_height = height;
  m_format = format;
  m_error.clear();
  return true;
}

bool Bitmap::Load(const PString& path, std::string_view baseFolder, const Admit& admit) {
  Destroy();
  File::Path full(path.View());
  if (!baseFolder.empty() && !full.IsAbsolute()) full = File::Path(baseFolder).Join(path.View());
  ImageFile file;
  if (!file.Open(full.View())) return Fail("Bitmap::Load> cannot read image: " + File::LastError());
  if (!LoadFromMemory(file.Data(), file.Size(), full.View(), admit)) return false;
  if (!file.mapped.Shrank()) return true;
  Destroy();
  return Fail("Bitmap::Load> '" + std::string(full.View()) + "' changed while it was read");
}

bool Bitmap::LoadFromMemory(const uint8_t* data, size_t size, std::string_view name, const Admit& admit) {
  Destroy();
  std::string label(name);
  Coded type;
  int w = 0, h = 0, comp = 0;
  if (!ReadyToDecode(data, size, label, type, w, h, m_error)) return false;
  if (admit && !admit(w, h))
    return Fail(
        String().Setf("Bitmap::Load> '%s' of %d x %d pixels is not taken", label.c_str(), w, h).Str());
  if (type == Coded::JPEG) {
    JpegImage jpeg;
    std::string why;
    if (!DecodeJpeg(data, size, MaxSide, kMaxPixels, jpeg, why))
      return Fail("Bitmap::Load> '" + label + "' is not a readable image (" + why + ")");
    return Adopt(std::move(jpeg.pixels), jpeg.width, jpeg.height, jpeg.channels, label);
  }
  stbi_uc* pixels = stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &comp, 0);
  if (!pixels) return Fail("Bitmap::Load> '" + label + "' is not a readable image (" + DecoderReason() + ")");
  // The decoder allocates with malloc (StbImage.cpp), so its buffer is kept as it is.
  PixelBuffer decoded;
  decoded.Adopt(pixels, static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(comp));
  return Adopt(std::move(decoded), w, h, comp, label);
}

bool Bitmap::Probe(const PString& path, Size& out, std::string* error) {
  out = Size{};
  const File::Path full(path.View());
  ImageFile file;
  if (!file.Open(full.View())) {
    if (error) *error = "Bitmap::Load> cannot read image: " + File::LastError();
    return false;
  }
  if (!ProbeMemory(file.Data(), file.Size(), out, error, full.View())) return false;
  if (!file.mapped.Shrank()) return true;
  out = Size{};
  if (error) *error = "Bitmap::Load> '" + std::string(full.View()) + "' changed while it was read";
  return false;
}

bool Bitmap::ProbeMemory(const uint8_t* data, size_t size, Size& out, std::string* error,
                         std::string_view name) {
  out = Size{};
  const std::string label(name);
  std::string why;
  Coded type;
  int w = 0, h = 0, comp = 0;
  if (!ReadyToDecode(data, size, label, type, w, h, why)) {
    if (error) *error = why;
    return false;
  }
  bool ok;
  if (type == Coded::PNG) {
    ok = PngDecodes(data, size, why);
  } else if (type == Coded::JPEG) {
    // Scan data can be corrupt anywhere, so a JPEG is decoded to be known.
    JpegImage jpeg;
    ok = DecodeJpeg(data, size, MaxSide, kMaxPixels, jpeg, why);
    w = jpeg.width;
    h = jpeg.height;
  } else {
    // BMP and TGA decode in one pass over bytes already known to be there.
    stbi_uc* pixels = stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &comp, 0);
    ok = pixels != nullptr;
    if (!ok) why = DecoderReason();
    stbi_image_free(pixels);
  }
  if (!ok) {
    if (error) *error = "Bitmap::Load> '" + label + "' is not a readable image (" + why + ")";
    return false;
  }
  out.width = w;
  out.height = h;
  return true;
}

bool Bitmap::Adopt(PixelBuffer pixels, int w, int h, int comp, const std::string& label) {
  Destroy();
  const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (comp < 1 || comp > 4 || w <= 0 || h <= 0 || w > MaxSide || h > MaxSide ||
      pixels.size() < count * static_cast<size_t>(comp))
    return Fail("Bitmap::Load> '" + label + "' has an unsupported layout");
  // Reordered in place: B and R trade places, gray and alpha widen to four
  // bytes from the last pixel back, so no pixel is written before it is read.
  if (comp == 2 && !pixels.Resize(count * 4)) return Fail("Bitmap::Load> out of memory for '" + label + "'");
  uint8_t* p = pixels.data();
  switch (comp) {
    case 2:
      for (size_t i = count; i-- > 0;) {
        const uint8_t gray = p[2 * i], alpha = p[2 * i + 1];
        p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = gray;
        p[4 * i + 3] = alpha;
      }
      break;
    case 3:
      for (size_t i = 0; i < count; ++i) std::swap(p[3 * i], p[3 * i + 2]);
      break;
    case 4:
      for (size_t i = 0; i < count; ++i) std::swap(p[4 * i], p[4 * i + 2]);
      break;
    default: break;
  }
  m_pixels = std::move(pixels);
  m_width = w;
  m_height = h;
  m_format = comp == 1 ? FormatGray8 : (comp == 3 ? FormatRGB24 : FormatRGBA32);
  m_error.clear();
  return true;
}

Bitmap::FileType Bitmap::FileTypeFromPath(std::string_view path) {
  File::Path p(path);
  if (p.IsExt("bmp")) return FileType::BMP;
  if (p.IsExt("tga")) return FileType::TGA;
  if (p.IsExt("png")) return FileType::PNG;
  if (p.IsExt("jpg") || p.IsExt("jpeg")) return FileType::JPEG;
  return FileType::Unknown;
}

bool Bitmap::SaveToMemory(FileType type, std::vector<uint8_t>& out, int jpegQuality) {
  out.clear();
  if (IsEmpty() || m_format == FormatBlock) return Fail("Bitmap::Save> no pixels to save");
  // stb wants R, G, B(, A) order.
  int comp = m_format == FormatGray8 ? 1 : (m_format == FormatRGBA32 && type != FileType::JPEG ? 4 : 3);
  size_t count = static_cast<size_t>(m_width) * static_cast<size_t>(m_height);
  std::vector<uint8_t> rgb(count * static_cast<size_t>(comp));
  int bpp = BytesPerPixel();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* px = m_pixels.data() + i * static_cast<size_t>(bpp);
    uint8_t* o = rgb.data() + i * static_cast<size_t>(comp);
    if (comp == 1) {
      o[0] = px[0];
      continue;
    }
    o[0] = px[2];
    o[1] = px[1];
    o[2] = px[0];
    if (comp == 4) o[3] = px[3];
  }
  int ok = 0;
  switch (type) {
    case FileType::BMP:
      ok = stbi_write_bmp_to_func(AppendBytes, &out, m_width, m_height, comp, rgb.data());
      break;
    case FileType::TGA:
      ok = stbi_write_tga_to_func(AppendBytes, &out, m_width, m_height, comp, rgb.data());
      break;
    case FileType::PNG:
      ok = stbi_write_png_to_func(AppendBytes, &out, m_width, m_height, comp, rgb.data(), m_width * comp);
      break;
    case FileType::JPEG:
      ok = stbi_write_jpg_to_func(AppendBytes, &out, m_width, m_height, comp, rgb.data(),
                                  jpegQuality < 1 ? 1 : (jpegQuality > 100 ? 100 : jpegQuality));
      break;
    default: return Fail("Bitmap::Save> unknown image file type");
  }
  if (!ok) {
    out.clear();
    return Fail("Bitmap::Save> the image encoder failed");
  }
  return true;
}

bool Bitmap::Save(std::string_view path, int jpegQuality) {
  FileType type = FileTypeFromPath(path);
  if (type == FileType::Unknown) return Fail("Bitmap::Save> no image type for '" + std::string(path) + "'");
  std::vector<uint8_t> bytes;
  if (!SaveToMemory(type, bytes, jpegQuality)) return false;
  if (!File::ReplaceFileAtomic(path, bytes.data(), bytes.size()))
    return Fail("Bitmap::Save> " + File::LastError());
  return true;
}

uint32_t Bitmap::GetPixel(int x, int y) const {
  int bpp = BytesPerPixel();
  if (bpp == 0 || x < 0 || y < 0 || x >= m_width || y >= m_height) return 0;
  return ReadPixel(
      m_pixels.data() + (static_cast<size_t>(y) * static_cast<size_t>(m_width) + static_cast<size_t>(x)) *
                            static_cast<size_t>(bpp),
      m_format);
}

void Bitmap::SetPixel(int x, int y, uint32_t argb) {
  int bpp = BytesPerPixel();
  if (bpp == 0 || x < 0 || y < 0 || x >= m_width || y >= m_height) return;
  WritePixel(
      m_pixels.data() + (static_cast<size_t>(y) * static_cast<size_t>(m_width) + static_cast<size_t>(x)) *
                            static_cast<size_t>(bpp),
      m_format, argb);
}

bool Bitmap::ConvertTo(Format format) {
  if (IsEmpty() || m_format == FormatBlock || BytesPerPixel(format) == 0)
    return Fail("Bitmap::ConvertTo> cannot convert these pixels");
  if (format == m_format) return true;
  const size_t count = static_cast<size_t>(m_width) * static_cast<size_t>(m_height);
  const size_t from = static_cast<size_t>(BytesPerPixel()), to = static_cast<size_t>(BytesPerPixel(format));
  // Between the two four-byte formats only the alpha byte changes.
  if (from == 4 && to == 4) {
    for (size_t i = 3; i < m_pixels.size(); i += 4) m_pixels.data()[i] = 0xFF;
    m_format = format;
    return true;
  }
  // In place, so an image at the side limit does not need twice its memory:
  // a wider format grows the memory first and fills it from the last pixel
  // back, a narrower one from the first pixel on, then shrinks it; either
  // way each pixel is read before anything is written over it.
  if (to > from && !m_pixels.Resize(count * to)) return Fail("Bitmap::ConvertTo> out of memory");
  uint8_t* p = m_pixels.data();
  if (to > from) {
    for (size_t i = count; i-- > 0;) WritePixel(p + i * to, format, ReadPixel(p + i * from, m_format));
  } else {
    for (size_t i = 0; i < count; ++i) WritePixel(p + i * to, format, ReadPixel(p + i * from, m_format));
    (void)m_pixels.Resize(count * to);  // shrinking always succeeds
  }
  m_format = format;
  return true;
}

}  // namespace Kiv
