#include "kiv/TextureResource.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>

#include "kiv/Bytes.h"
#include "kiv/File.h"
#include "kiv/PString.h"
#include "kiv/String.h"

namespace Kiv {

// ---------------------------------------------------------------------------
// Scaling.

std::unique_ptr<Bitmap> ScaleBitmap(const Bitmap& source, int width, int height) {
  const int bpp = source.BytesPerPixel();
  if (bpp <= 0 || width <= 0 || height <= 0 || source.IsEmpty()) return nullptr;
  auto out = std::make_unique<Bitmap>();
  if (!out->Create(width, height, source.GetFormat())) return nullptr;
  const int64_t sw = source.Width(), sh = source.Height();
  // Source column range of every target column, worked out once.
  std::vector<int> x0(static_cast<size_t>(width)), x1(static_cast<size_t>(width));
  for (int x = 0; x < width; ++x) {
    int64_t a = x * sw / width;
    int64_t b = ((x + 1) * sw + width - 1) / width;
    x0[static_cast<size_t>(x)] = static_cast<int>(a);
    x1[static_cast<size_t>(x)] = static_cast<int>(std::max(b, a + 1));
  }
  const uint8_t* src = source.Data();
  uint8_t* dst = out->Data();
  const size_t pitch = source.Pitch();
  for (int y = 0; y < height; ++y) {
    int64_t ya = y * sh / height;
    int64_t yb = std::max(((y + 1) * sh + height - 1) / height, ya + 1);
    for (int x = 0; x < width; ++x) {
      uint64_t sum[4] = {0, 0, 0, 0};  // a box may hold a whole image at the side limit
      const int xa = x0[static_cast<size_t>(x)], xb = x1[static_cast<size_t>(x)];
      for (int64_t sy = ya; sy < yb; ++sy) {
        const uint8_t* row = src + static_cast<size_t>(sy) * pitch;
        for (int sx = xa; sx < xb; ++sx)
          for (int c = 0; c < bpp; ++c) sum[c] += row[static_cast<size_t>(sx) * bpp + c];
      }
      const uint64_t n = static_cast<uint64_t>((yb - ya) * (xb - xa));
      uint8_t* px = dst + (static_cast<size_t>(y) * width + x) * bpp;
      for (int c = 0; c < bpp; ++c) px[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Probing ".texture" files.

namespace {

// Copies n bytes at an offset of the file into out; false when they are not all there.
using ReadAt = std::function<bool(uint64_t offset, uint8_t* out, size_t n)>;

// Bytes a level of w x h takes in a file of the texture format, for block
// data; 0 for an unknown format.
uint64_t BlockLevelBytes(uint32_t format, uint64_t w, uint64_t h) {
  const uint64_t blocks = ((w + 3) / 4) * ((h + 3) / 4);
  switch (format) {
    case kTexDXT1: return blocks * 8;
    case kTexDXT3:
    case kTexDXT5: return blocks * 16;
    case kTexRGB24: return w * h * 3;
    case kTexRGBA32:
    case kTexRGBX32: return w * h * 4;
    default: return 0;
  }
}

bool WalkTextureFile(uint64_t size, const ReadAt& read, TextureFileFacts& out, std::string& why) {
  out = TextureFileFacts{};
  uint8_t head[8];
  if (size < 8 || !read(0, head, 8) || std::memcmp(head, "KVXB", 4) != 0 ||
      LoadLE32(head + 4) != kTextureFormTag)
    return (why = "not a texture file"), false;
  bool header = false;
  std::vector<bool> seen;  // face * levels + level
  size_t found = 0;
  for (uint64_t at = 8; at < size;) {
    uint8_t chunk[8 + 26];
    if (size - at < 8 || !read(at, chunk, 8)) return (why = "a chunk is cut short"), false;
    const uint64_t length = LoadLE32(chunk + 4), body = at + 8;
    if (length > size - body) return (why = "a chunk runs past the end"), false;
    at = body + length;
    const std::string_view tag(reinterpret_cast<const char*>(chunk), 4);
    if (tag == "TXHD") {
      if (header || length < 26 || !read(body, chunk + 8, 26)) return (why = "a bad header"), false;
      const uint8_t* h = chunk + 8;
      out.format = LoadLE32(h + 4);
      out.width = LoadLE32(h + 8);
      out.height = LoadLE32(h + 12);
      out.faces = LoadLE32(h + 16);
      out.levels = LoadLE32(h + 20);
      if (LoadLE32(h) != 1 || BlockLevelBytes(out.format, 1, 1) == 0)
        return (why = "an unknown format"), false;
      if (out.width == 0 || out.height == 0 || out.width > uint32_t(Bitmap::MaxSide) ||
          out.height > uint32_t(Bitmap::MaxSide) || out.faces == 0 || out.faces > 6 || out.levels == 0 ||
          out.levels > TextureResource::MipCountForSize(out.width, out.height, true))
        return (why = "a bad size"), false;
      seen.assign(size_t(out.faces) * out.levels, false);
      header = true;
    } else if (tag == "MIPS") {
      uint8_t m[24];
      if (!header) return (why = "a level before the header"), false;
      if (length < 24 || !read(body, m, 24)) return (why = "a bad level"), false;
      const uint32_t face = LoadLE32(m), level = LoadLE32(m + 4), w = LoadLE32(m + 8), h = LoadLE32(m + 12),
                     bitmapFormat = LoadLE32(m + 16), bytes = LoadLE32(m + 20);
      if (face >= out.faces || level >= out.levels || seen[size_t(face) * out.levels + level])
        return (why = "a level out of place"), false;
      seen[size_t(face) * out.levels + level] = true;
      ++found;
      if (w != std::max(out.width >> level, 1u) || h != std::max(out.height >> level, 1u))
        return (why = "a level of the wrong size"), false;
      const int bpp = Bitmap::BytesPerPixel(static_cast<Bitmap::Format>(bitmapFormat));
      uint64_t need = 0;
      if (bitmapFormat == Bitmap::FormatBlock)
        need = BlockLevelBytes(out.format, w, h);
      else if (bitmapFormat >= Bitmap::FormatRGB24 && bitmapFormat <= Bitmap::FormatGray8)
        need = uint64_t(w) * h * uint64_t(bpp);
      if (need == 0 || bytes != need || length - 24 != bytes)
        return (why = "a level of the wrong length"), false;
    }
  }
  if (!header) return (why = "no header"), false;
  if (found != seen.size()) return (why = "levels are missing"), false;
  return true;
}

}  // namespace

bool ProbeTextureMemory(const uint8_t* data, size_t size, TextureFileFacts& out, std::string* why) {
  std::string reason;
  const bool ok = WalkTextureFile(
      data ? size : 0,
      [&](uint64_t offset, uint8_t* to, size_t n) {
        if (offset > size || n > size - offset) return false;
        std::memcpy(to, data + offset, n);
        return true;
      },
      out, reason);
  if (why) *why = reason;
  return ok;
}

bool ProbeTextureFile(std::string_view path, TextureFileFacts& out, std::string* why) {
  out = TextureFileFacts{};
  File file;
  int64_t length = -1;
  if (!file.Open(path, File::Mode::Read) || (length = file.Length()) < 0) {
    if (why) *why = "cannot read: " + File::LastError();
    return false;
  }
  std::string reason;
  const bool ok = WalkTextureFile(
      uint64_t(length),
      [&](uint64_t offset, uint8_t* to, size_t n) {
        return file.Seek(int64_t(offset)) && file.Read(to, n) == int64_t(n);
      },
      out, reason);
  if (why) *why = reason;
  return ok;
}

// ---------------------------------------------------------------------------
// TextureResource.

TextureResource::TextureResource(std::string name, std::string folder)
    : m_name(std::move(name)), m_folder(std::move(folder)) {}

TextureResource::~TextureResource() = default;

std::string TextureResource::FilePath() const {
  if (m_folder.empty()) return m_name;
  return File::Path(m_folder).Join(m_name).Str();
}

int TextureResource::Lock() {
  if (m_lockCount > 0) {
    ++m_lockCount;
    return 0;
  }
  m_loadError.clear();
  int result = Load();
  if (result != 0) {
    Unload();
    return result;
  }
  if (m_faces.empty()) {
    m_loadError = "no image";
    return 1;
  }
  m_lockCount = 1;
  return 0;
}

void TextureResource::Unlock() {
  if (m_lockCount == 0) return;
  if (--m_lockCount == 0) {
    m_mipLockCount = 0;
    Unload();
  }
}

void TextureResource::Unload() { m_faces.clear(); }

void TextureResource::GetSize(uint32_t& width, uint32_t& height) const {
  if (m_faces.empty()) {
    width = height = 0;
    return;
  }
  width = static_cast<uint32_t>(m_faces[0].Width());
  height = static_cast<uint32_t>(m_faces[0].Height());
}

uint32_t TextureResource::MipCountForSize(uint32_t width, uint32_t height, bool mipmaps) {
  if (!mipmaps) return 1;
  uint32_t side = std::max(width, height), count = 1;
  while (side > 1) {
    side /= 2;
    ++count;
  }
  return count;
}

uint32_t TextureResource::GetNumMipLevels() const {
  uint32_t w, h;
  GetSize(w, h);
  return MipCountForSize(w, h, m_settings.useMipMaps);
}

int TextureResource::ChooseFormat() { return m_settings.alphaKind == 0 ? kTexRGBX32 : kTexRGBA32; }

bool TextureResource::GetMipLock() {
  if (m_lockCount == 0) return false;
  ++m_mipLockCount;
  return true;
}

bool TextureResource::GetMipUnlock() {
  if (m_mipLockCount == 0) return false;
  --m_mipLockCount;
  return true;
}

const Bitmap* TextureResource::GetMip(uint32_t level, uint32_t face) const {
  if (level != 0 || face >= m_faces.size() || m_mipLockCount == 0) return nullptr;
  return &m_faces[face];
}

bool TextureResource::Save(const std::string& path) {
  if (!GetMipLock()) return false;
  ChunkFileWriter out(kTextureFormTag);
  bool ok = SaveLockedInternal(out);
  // The lock was taken above.
  (void)GetMipUnlock();
  return ok && File::ReplaceFileAtomic(path, out.Bytes().data(), out.Bytes().size());
}

bool TextureResource::SaveLockedInternal(ChunkFileWriter& out) {
  if (m_lockCount == 0 || m_mipLockCount == 0 || GetDepth() == 0) return false;
  const int format = GetFormat();
  const uint32_t depth = GetDepth();
  uint32_t levels = 0;
  while (GetMip(levels, 0)) ++levels;
  if (levels == 0) return false;
  const Bitmap* top = GetMip(0, 0);
  out.BeginChunk("TXHD");
  out.WriteU32(1);  // layout version
  out.WriteU32(static_cast<uint32_t>(format));
  out.WriteU32(static_cast<uint32_t>(top->Width()));
  out.WriteU32(static_cast<uint32_t>(top->Height()));
  out.WriteU32(depth);
  out.WriteU32(levels);
  out.WriteU8(m_settings.alphaKind);
  uint8_t flags = 0;
  if (m_settings.wrapS == 2) flags |= 1;
  if (m_settings.wrapT == 2) flags |= 2;
  if (m_settings.normalMap) flags |= 4;
  if (m_settings.useMipMaps) flags |= 8;
  out.WriteU8(flags);
  out.EndChunk();
  for (uint32_t face = 0; face < depth; ++face) {
    for (uint32_t level = 0; level < levels; ++level) {
      const Bitmap* mip = GetMip(level, face);
      if (!mip) return false;  // every face has the same number of levels
      out.BeginChunk("MIPS");
      out.WriteU32(face);
      out.WriteU32(level);
      out.WriteU32(static_cast<uint32_t>(mip->Width()));
      out.WriteU32(static_cast<uint32_t>(mip->Height()));
      out.WriteU32(static_cast<uint32_t>(mip->GetFormat()));
      out.WriteU32(static_cast<uint32_t>(mip->DataSize()));
      out.WriteBytes(mip->Data(), mip->DataSize());
      out.EndChunk();
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Description parsing.

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool ParseFlag(std::string_view value, uint8_t& out) {
  if (value == "1" || EqualsNoCase(value, "yes") || EqualsNoCase(value, "true")) {
    out = 1;
    return true;
  }
  if (value == "0" || EqualsNoCase(value, "no") || EqualsNoCase(value, "false")) {
    out = 0;
    return true;
  }
  return false;
}

template <size_t N>
int WordIndex(std::string_view value, const char* const (&words)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (EqualsNoCase(value, words[i])) return static_cast<int>(i);
  return -1;
}

}  // namespace

bool AsciiTextureResource::ApplySetting(TextureSettings& s, std::string_view key, std::string_view value,
                                        std::string& why) {
  static const char* const kHints[] = {"none", "dxt1", "dxt3", "dxt5", "auto"};
  static const char* const kAlpha[] = {"none", "translucent", "masked"};
  static const char* const kFilters[] = {"point", "linear"};
  static const char* const kMipFilters[] = {"none", "point", "linear"};
  static const char* const kTiles[] = {"none", "s", "t", "st"};
  auto bad = [&] {
    why = "bad value '" + std::string(value) + "' for '" + std::string(key) + "'";
    return false;
  };
  if (EqualsNoCase(key, "Hint")) {
    int i = WordIndex(value, kHints);
    if (i < 0) return bad();
    s.compressionHint = static_cast<uint8_t>(i);
  } else if (EqualsNoCase(key, "AlphaHint")) {
    if (EqualsNoCase(value, "auto")) {
      s.alphaKindGiven = false;
      return true;
    }
    int i = WordIndex(value, kAlpha);
    if (i < 0) return bad();
    s.alphaKind = static_cast<uint8_t>(i);
    s.alphaKindGiven = true;
  } else if (EqualsNoCase(key, "Anisotropy")) {
    uint32_t n = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > 16) return bad();
    s.anisotropy = n;
  } else if (EqualsNoCase(key, "AutoMip")) {
    if (!EqualsNoCase(value, "none") && !EqualsNoCase(value, "auto")) return bad();
    s.autoMip = EqualsNoCase(value, "none") ? "none" : "auto";
  } else if (EqualsNoCase(key, "MagFilter") || EqualsNoCase(key, "MinFilter")) {
    int i = WordIndex(value, kFilters);
    if (i < 0) return bad();
    (EqualsNoCase(key, "MagFilter") ? s.magFilter : s.minFilter) = kFilters[i];
  } else if (EqualsNoCase(key, "MipFilter")) {
    int i = WordIndex(value, kMipFilters);
    if (i < 0) return bad();
    s.mipFilter = kMipFilters[i];
    s.useMipMaps = i != 0;
  } else if (EqualsNoCase(key, "Tile")) {
    int i = WordIndex(value, kTiles);
    if (i < 0) return bad();
    s.wrapS = (i & 1) ? 2 : 1;
    s.wrapT = (i & 2) ? 2 : 1;
  } else if (EqualsNoCase(key, "NormalMap")) {
    if (!ParseFlag(value, s.normalMap)) return bad();
  } else if (EqualsNoCase(key, "ModifyMap")) {
    if (!ParseFlag(value, s.modifyMap)) return bad();
  } else {
    why = "unknown setting '" + std::string(key) + "'";
    return false;
  }
  return true;
}

bool AsciiTextureResource::ParseDescription(std::string_view text, TextureSettings& settings,
                                            std::string& primary, std::string& alpha, std::string& why) {
  primary.clear();
  alpha.clear();
  // Editors that save UTF-8 may put a byte-order mark first; it is no part of
  // the first key.
  text = Kiv::SkipByteOrderMark(text);
  if (text.size() > kMaxDescriptionBytes) {
    why = "description too large";
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    why = "description holds a zero byte";
    return false;
  }
  int lineNo = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view raw = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++lineNo;
    if (raw.size() > kMaxLineLength) {
      why = "line " + std::to_string(lineNo) + " is too long";
      return false;
    }
    std::string_view line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#' || line.substr(0, 2) == "//") continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      why = "line " + std::to_string(lineNo) + " is not 'key=value'";
      return false;
    }
    std::string_view key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    if (EqualsNoCase(key, "Primary") || EqualsNoCase(key, "Alpha")) {
      if (!IsNameInsideFolder(value)) {  // images lie inside the description's folder
        why = "image name '" + std::string(value) + "' is not inside the texture's folder";
        return false;
      }
      (EqualsNoCase(key, "Primary") ? primary : alpha) = std::string(value);
      continue;
    }
    std::string reason;
    if (!ApplySetting(settings, key, value, reason)) {
      why = "line " + std::to_string(lineNo) + ": " + reason;
      return false;
    }
  }
  if (primary.empty()) {
    why = "no 'Primary' image";
    return false;
  }
  return true;
}

bool AsciiTextureResource::LoadTextureOptions(const Options& config) {
  static const char* const kKeys[] = {"Hint",      "AlphaHint", "Anisotropy", "AutoMip",
                                      "MagFilter", "MinFilter", "MipFilter",  "Tile"};
  for (const char* key : kKeys) {
    std::string value;
    if (!config.Get(key, value)) continue;
    std::string why;
    if (!ApplySetting(m_settings, key, value, why)) {
      m_loadError = why;
      return false;
    }
  }
  return true;
}

int AsciiTextureResource::Fail(std::string why) {
  m_loadError = std::move(why);
  m_faces.clear();
  return 1;
}

bool AsciiTextureResource::ImageInsideRoot(const std::string& folder, const std::string& name,
                                           std::string& why) const {
  if (m_imageRoot.empty()) return true;
  const std::string path = File::Path(folder).Join(name).Str();
  if (!File::RealPath(path)) return true;  // missing: the image loader says so
  if (IsInsideFolderResolved(m_imageRoot, path)) return true;
  why = "image name '" + name + "' leads outside the converted folder through a symbolic link";
  return false;
}

int AsciiTextureResource::LoadTxt() {
  const std::string path = FilePath();
  // A description linked from elsewhere is not read, as its images would not be.
  if (!m_imageRoot.empty() && File::RealPath(path) && !IsInsideFolderResolved(m_imageRoot, path))
    return Fail("'" + path + "' leads outside the converted folder through a symbolic link");
  std::string text;
  if (!File::ReadWholeFile(path, text, kMaxDescriptionBytes))
    return Fail("cannot read '" + path + "': " + File::LastError());
  std::string primaryName, alphaName, why;
  if (!ParseDescription(text, m_settings, primaryName, alphaName, why)) return Fail(why);
  const std::string folder = File::Path(path).RemoveFileName().Str();

  if (!ImageInsideRoot(folder, primaryName, why) ||
      (!alphaName.empty() && !ImageInsideRoot(folder, alphaName, why)))
    return Fail(why);
  Bitmap image;
  if (!image.Load(PString(primaryName), folder, m_imageAdmit)) return Fail(image.LastError());
  if (!image.ConvertTo(Bitmap::FormatRGBA32)) return Fail(image.LastError());
  if (!alphaName.empty()) {
    Bitmap alpha;
    if (!alpha.Load(PString(alphaName), folder, m_imageAdmit)) return Fail(alpha.LastError());
    if (alpha.Width() != image.Width() || alpha.Height() != image.Height())
      return Fail("alpha image '" + alphaName + "' differs in size from '" + primaryName + "'");
    if (!alpha.ConvertTo(Bitmap::FormatRGBA32)) return Fail(alpha.LastError());
    // The alpha image's grey level (the mean of its colour channels) is the alpha.
    const size_t count = static_cast<size_t>(image.Width()) * static_cast<size_t>(image.Height());
    const uint8_t* a = alpha.Data();
    uint8_t* p = image.Data();
    for (size_t i = 0; i < count; ++i)
      p[4 * i + 3] = static_cast<uint8_t>((a[4 * i] + a[4 * i + 1] + a[4 * i + 2] + 1) / 3);
  }
  if (!m_settings.alphaKindGiven) {
    bool any = false, graded = false;
    const size_t count = static_cast<size_t>(image.Width()) * static_cast<size_t>(image.Height());
    const uint8_t* p = image.Data();
    for (size_t i = 0; i < count && !graded; ++i) {
      uint8_t a = p[4 * i + 3];
      if (a != 255) any = true;
      if (a != 0 && a != 255) graded = true;
    }
    m_settings.alphaKind = graded ? 1 : (any ? 2 : 0);
  }
  if (m_settings.alphaKind == 0 && !image.ConvertTo(Bitmap::FormatRGBX32)) return Fail(image.LastError());
  m_faces.clear();
  m_faces.push_back(std::move(image));
  return 0;
}

}  // namespace Kiv
