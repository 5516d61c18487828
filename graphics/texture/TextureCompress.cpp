#include "graphics/texture/TextureCompress.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kiv/OnDemandLibrary.h"
#include "kiv/TextureResource.h"
#include "graphics/texture/NvttHandlers.h"
#include "graphics/texture/NvttModule.h"

void OurOutputHandler::beginImage(int size, int width, int height) {
  if (!Finish()) m_failed = true;
  m_current.reset();
  m_size = 0;
  m_written = 0;
  auto image = std::make_unique<Kiv::Bitmap>();
  if (size <= 0 || !image->Create(width, height, Kiv::Bitmap::FormatBlock, static_cast<size_t>(size))) {
    m_failed = true;
    return;
  }
  m_current = std::move(image);
  m_size = size;
}

bool OurOutputHandler::writeData(const void* data, int size) {
  if (!m_current || size < 0 || size > m_size - m_written) {
    m_failed = true;
    return false;
  }
  std::memcpy(m_current->Data() + m_written, data, static_cast<size_t>(size));
  m_written += size;
  return true;
}

bool OurOutputHandler::Finish() {
  if (!m_current) return !m_failed;
  if (m_written != m_size) m_failed = true;
  m_target.Append(std::move(m_current));
  m_current.reset();
  return !m_failed;
}

namespace {

// Pixels other than 0 become opaque.
void MakeOpaque(Kiv::Bitmap& bitmap) {
  uint8_t* p = bitmap.Data();
  const size_t count = static_cast<size_t>(bitmap.Width()) * static_cast<size_t>(bitmap.Height());
  for (size_t i = 0; i < count; ++i, p += 4)
    if (p[0] | p[1] | p[2] | p[3]) p[3] = 255;
}

bool CompressUncompressed(const Kiv::Bitmap& source, TextureCompress& target, int code) {
  auto level = std::make_unique<Kiv::Bitmap>(source);
  const Kiv::Bitmap::Format format = code == Kiv::kTexRGBA32   ? Kiv::Bitmap::FormatRGBA32
                                     : code == Kiv::kTexRGBX32 ? Kiv::Bitmap::FormatRGBX32
                                                               : Kiv::Bitmap::FormatRGB24;
  if (!level->ConvertTo(format)) return false;
  for (;;) {
    const int w = level->Width(), h = level->Height();
    std::unique_ptr<Kiv::Bitmap> next;
    if (w > 1 || h > 1) {
      next = Kiv::ScaleBitmap(*level, std::max(w / 2, 1), std::max(h / 2, 1));
      if (!next) return false;
    }
    target.Append(std::move(level));
    if (!next) return true;
    level = std::move(next);
  }
}

// Collects the images the compressor hands out uncompressed (32-bit BGRA),
// one per mip level.
class LevelCollector final {
public:
  struct Level {
    int width = 0, height = 0;
    std::vector<uint8_t> bgra;
  };
  void beginImage(int size, int width, int height) {
    if (size != width * height * 4) m_failed = true;
    m_levels.push_back({width, height, {}});
    m_levels.back().bgra.reserve(static_cast<size_t>(std::max(size, 0)));
  }
  bool writeData(const void* data, int size) {
    if (m_levels.empty() || size < 0) return !(m_failed = true);
    Level& level = m_levels.back();
    if (level.bgra.size() + static_cast<size_t>(size) > static_cast<size_t>(level.width) * level.height * 4)
      return !(m_failed = true);
    const auto* p = static_cast<const uint8_t*>(data);
    level.bgra.insert(level.bgra.end(), p, p + size);
    return true;
  }
  bool Complete() const {
    if (m_failed || m_levels.empty()) return false;
    for (const Level& l : m_levels)
      if (l.bgra.size() != static_cast<size_t>(l.width) * l.height * 4) return false;
    return true;
  }
  std::vector<Level>& Levels() { return m_levels; }

private:
  std::vector<Level> m_levels;
  bool m_failed = false;
};

// The 16 pixels (BGRA) the block coder reads for the block at (x, y): blocks
// that pass the image's edge repeat its last pixels in the coder's pattern.
void BlockPixels(const uint8_t* bgra, int width, int height, int x, int y, uint8_t out[16][4]) {
  static const int kRepeat[4][4] = {{0, 0, 0, 0}, {0, 1, 0, 1}, {0, 1, 2, 0}, {0, 1, 2, 3}};
  const int bw = std::min(width - x, 4), bh = std::min(height - y, 4);
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) {
      const uint8_t* p =
          bgra + (static_cast<size_t>(y + kRepeat[bh - 1][row]) * width + x + kRepeat[bw - 1][col]) * 4;
      std::memcpy(out[row * 4 + col], p, 4);
    }
}

bool SameColour(const uint8_t* a, const uint8_t* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

// True when the block coder's colour set for these pixels has 16 points:
// the case in which it leaves one index unset (see RepairColourIndices).
bool SixteenPointColourSet(const uint8_t px[16][4], RovanaNvttFormat format) {
  bool single = true;
  for (int i = 1; i < 16 && single; ++i) single = SameColour(px[i], px[0]);
  if (format == kRovanaNvttDXT1) {
    // Opaque DXT1 merges equal colours: 16 points only when all differ.
    for (int i = 1; i < 16; ++i)
      for (int j = 0; j < i; ++j)
        if (SameColour(px[i], px[j])) return false;
    return true;
  }
  if (format == kRovanaNvttDXT1a) {
    bool anyAlpha = false, allAlpha = true;
    for (int i = 0; i < 16; ++i) (px[i][3] < 128 ? anyAlpha : allAlpha) = (px[i][3] < 128);
    return !((!anyAlpha && single) || allAlpha);
  }
  return !single;  // DXT3 and DXT5 keep every pixel as a point
}

// Sets every index of one colour block to the palette entry nearest its
// pixel (ties to the lower index). The endpoints stay as the coder chose them.
// DXT1 blocks whose first endpoint is not above the second have three colours
// and, with punch-through alpha, index 3 for pixels of alpha 0.
void ReindexColourBlock(const uint8_t px[16][4], uint8_t* block, RovanaNvttFormat format) {
  const bool threeColourAllowed = format == kRovanaNvttDXT1 || format == kRovanaNvttDXT1a;
  const int c0 = block[0] | block[1] << 8, c1 = block[2] | block[3] << 8;
  int palette[4][3];
  auto expand = [](int c, int* out) {
    const int r = (c >> 11) & 31, g = (c >> 5) & 63, b = c & 31;
    out[0] = b << 3 | b >> 2, out[1] = g << 2 | g >> 4, out[2] = r << 3 | r >> 2;  // B, G, R
  };
  expand(c0, palette[0]);
  expand(c1, palette[1]);
  const bool four = !threeColourAllowed || c0 > c1;
  for (int k = 0; k < 3; ++k) {
    if (four) {
      palette[2][k] = (2 * palette[0][k] + palette[1][k]) / 3;
      palette[3][k] = (palette[0][k] + 2 * palette[1][k]) / 3;
    } else {
      palette[2][k] = (palette[0][k] + palette[1][k]) / 2;
      palette[3][k] = 0;
    }
  }
  uint32_t indices = 0;
  for (int i = 0; i < 16; ++i) {
    int best = 0;
    if (!four && format == kRovanaNvttDXT1a && px[i][3] == 0) {
      best = 3;  // transparent
    } else if (c0 != c1 || !four) {
      int bestError = INT32_MAX;
      for (int e = 0; e < (four ? 4 : 3); ++e) {
        int error = 0;
        for (int k = 0; k < 3; ++k) error += (px[i][k] - palette[e][k]) * (px[i][k] - palette[e][k]);
        if (error < bestError) bestError = error, best = e;
      }
    }
    indices |= static_cast<uint32_t>(best) << (2 * i);
  }
  for (int k = 0; k < 4; ++k) block[4 + k] = static_cast<uint8_t>(indices >> (8 * k));
}

// nvtt 2.0.8's cluster fit reads one element past its 16-point arrays, and the
// compiler that built the library used that to assume at most 15 points: for
// a block whose colour set has 16 points the index of one pixel is never
// written and comes from whatever the stack held, which changes with the
// thread and with address-space randomisation. Those blocks get all their
// indices chosen again from the coder's endpoints, so the bytes depend only
// on the pixels.
bool RepairColourIndices(const LevelCollector::Level& level, Kiv::Bitmap& blocks, RovanaNvttFormat format) {
  const size_t blockBytes = format == kRovanaNvttDXT1 || format == kRovanaNvttDXT1a ? 8 : 16;
  const size_t colourOffset = blockBytes - 8;
  const size_t count =
      static_cast<size_t>((level.width + 3) / 4) * static_cast<size_t>((level.height + 3) / 4);
  if (blocks.DataSize() != count * blockBytes) return false;
  uint8_t* out = blocks.Data();
  uint8_t px[16][4];
  for (int y = 0; y < level.height; y += 4)
    for (int x = 0; x < level.width; x += 4, out += blockBytes) {
      BlockPixels(level.bgra.data(), level.width, level.height, x, y, px);
      if (SixteenPointColourSet(px, format)) ReindexColourBlock(px, out + colourOffset, format);
    }
  return true;
}

RovanaNvttFormat BlockFormat(int code, bool alpha) {
  return code == Kiv::kTexDXT1   ? (alpha ? kRovanaNvttDXT1a : kRovanaNvttDXT1)
         : code == Kiv::kTexDXT3 ? kRovanaNvttDXT3
                                 : kRovanaNvttDXT5;
}

// The compressor's module, opened on the first texture it is needed for;
// null, with the reason in error, when it cannot be.
const RovanaNvttModule* NvttModule(std::string& error) {
  static Kiv::OnDemandLibrary library(Kiv::BesideProgram(kRovanaNvttFile), {kRovanaNvttEntry});
  static const RovanaNvttModule* const module =
      library.Load() ? library.Function<const RovanaNvttModule* (*)()>(0)() : nullptr;
  if (!module) {
    error = "the texture compressor is not available (" +
            (library.Error().empty() ? library.File() + " has no usable entry" : library.Error()) + ")";
    return nullptr;
  }
  if (module->version != kRovanaNvttVersion) {
    error = "the texture compressor " + library.File() + " is of another version";
    return nullptr;
  }
  return module;
}

// One compressor run over one image: either the whole mip chain handed out
// uncompressed (format Plain), or one level block-compressed (no mipmaps).
template <typename Handler>
bool RunNvtt(const uint8_t* bgra, int width, int height, RovanaNvttFormat format, bool wrap, bool normalMap,
             bool mipmap, Handler& handler, bool hardware, std::string& error) {
  const RovanaNvttModule* module = NvttModule(error);
  if (!module) return false;
  RovanaNvttJob job{};
  job.bgra = bgra;
  job.width = width;
  job.height = height;
  job.format = format;
  job.wrap = wrap;
  job.normalMap = normalMap;
  job.mipmap = mipmap;
  job.hardware = hardware;
  job.output.context = &handler;
  job.output.begin = [](void* context, int size, int w, int h) {
    static_cast<Handler*>(context)->beginImage(size, w, h);
  };
  job.output.write = [](void* context, const void* data, int size) {
    return static_cast<Handler*>(context)->writeData(data, size) ? 1 : 0;
  };
  const bool ok = module->compress(&job) != 0;
  if (!ok) error = job.error;
  return ok;
}

// The mip chain comes from the compressor as plain pixels first, so that
// every level's blocks can be checked against the pixels they were made from.
bool RunCompressor(const Kiv::Bitmap& source, TextureCompress& target, int code, bool alpha, bool wrap,
                   bool normalMap, bool mipmap, bool hardware, std::string& error) {
  LevelCollector chain;
  if (!RunNvtt(source.Data(), source.Width(), source.Height(), kRovanaNvttPlain, wrap, normalMap, mipmap,
               chain, hardware, error) ||
      !chain.Complete())
    return false;
  const RovanaNvttFormat format = BlockFormat(code, alpha);
  OurOutputHandler output(target);
  for (LevelCollector::Level& level : chain.Levels()) {
    if (!RunNvtt(level.bgra.data(), level.width, level.height, format, wrap, normalMap, false, output,
                 hardware, error) ||
        !output.Finish() || target.Count() == 0 || !RepairColourIndices(level, *target.Back(), format))
      return false;
    level.bgra = std::vector<uint8_t>();  // done with this level
  }
  return true;
}

}  // namespace

bool TextureCompress::Compress(Kiv::Bitmap& source, TextureCompress& target, int code, bool alpha, bool wrap,
                               bool normalMap, bool mipmap, bool hardware, std::string* errorText) {
  std::string error;
  if (errorText) errorText->clear();
  target.Clear();
  const Kiv::Bitmap::Format format = source.GetFormat();
  if (format != Kiv::Bitmap::FormatRGBA32 && format != Kiv::Bitmap::FormatRGBX32) return false;
  if (format == Kiv::Bitmap::FormatRGBX32 || code == Kiv::kTexRGBX32) MakeOpaque(source);

  bool ok = false;
  switch (code) {
    case Kiv::kTexRGBA32:
    case Kiv::kTexRGBX32:
    case Kiv::kTexRGB24: ok = CompressUncompressed(source, target, code); break;
    case Kiv::kTexDXT1:
    case Kiv::kTexDXT3:
    case Kiv::kTexDXT5: {
      ok = RunCompressor(source, target, code, alpha, wrap, normalMap, mipmap, hardware, error);
      break;
    }
    default: error = "unknown texture format code " + std::to_string(code); break;
  }
  if (!ok) {
    target.Clear();
    if (errorText) *errorText = error;
  }
  return ok;
}
