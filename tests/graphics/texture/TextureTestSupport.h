#pragma once
// Shared by the texture tests: a temporary folder, generated images, a reader
// of the ".texture" layout and a block decoder (libsquish, independent of the
// compressor under test).
#include <squish.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "kiv/Bitmap.h"
#include "kiv/ChunkFile.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"
#include "kiv/TextureResource.h"

class TextureDir : public Kiv::TempFolder {
public:
  TextureDir() : Kiv::TempFolder("rovana-tex") {}

  // A PNG of the given size; pixel(x, y) gives 0xAARRGGBB.
  bool Image(const std::string& relative, int w, int h,
             const std::function<uint32_t(int, int)>& pixel) const {
    Kiv::File::Path folder(Path(relative));
    EXPECT_TRUE(Kiv::File::CreateDirectories(folder.RemoveFileName().Str()));
    Kiv::Bitmap b;
    if (!b.Create(w, h, Kiv::Bitmap::FormatRGBA32)) return false;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) b.SetPixel(x, y, pixel(x, y));
    return b.Save(Path(relative));
  }
  // Every file below the root with its bytes.
  std::vector<std::pair<std::string, std::string>> Snapshot() const {
    std::vector<std::pair<std::string, std::string>> out;
    Walk(Root(), out);
    std::sort(out.begin(), out.end());
    return out;
  }

private:
  static void Walk(const std::string& folder, std::vector<std::pair<std::string, std::string>>& out) {
    Kiv::File::Find find(folder + "/*");
    while (find.Next()) {
      const std::string path = find.FullPath();
      if (find.IsDirectory()) {
        if (!Kiv::File::IsSymlink(path)) Walk(path, out);
      } else if (Kiv::File::IsRegularFile(path)) {
        std::string bytes;
        EXPECT_TRUE(Kiv::File::ReadWholeFile(path, bytes));
        out.emplace_back(path, bytes);
      }
    }
  }
};

// A smooth test picture: gradients, so block compression keeps it close.
inline uint32_t Smooth(int x, int y, int w, int h, uint8_t alpha = 255) {
  uint32_t r = static_cast<uint32_t>(255 * x / std::max(1, w - 1));
  uint32_t g = static_cast<uint32_t>(255 * y / std::max(1, h - 1));
  uint32_t b = static_cast<uint32_t>(128 + 100 * std::sin((x + y) / 23.0));
  return static_cast<uint32_t>(alpha) << 24 | r << 16 | g << 8 | b;
}

struct TextureLevel {
  uint32_t face = 0, level = 0, width = 0, height = 0, bitmapFormat = 0;
  std::vector<uint8_t> data;
};

struct TextureFile {
  uint32_t version = 0, format = 0, width = 0, height = 0, faces = 0, levels = 0;
  uint8_t alphaKind = 0, flags = 0;
  std::vector<TextureLevel> mips;
};

// Reads a ".texture" file; false when it is not one or is damaged.
inline bool ReadTextureFile(const std::string& path, TextureFile& out) {
  std::vector<uint8_t> bytes;
  if (!Kiv::File::ReadWholeFile(path, bytes)) return false;
  Kiv::ChunkFileReader reader;
  if (!reader.Open(bytes.data(), bytes.size(), Kiv::kTextureFormTag)) return false;
  out = TextureFile();
  bool header = false;
  for (const Kiv::Chunk& chunk : reader.Chunks()) {
    Kiv::ChunkCursor c(chunk);
    if (chunk.tag == "TXHD") {
      out.version = c.U32();
      out.format = c.U32();
      out.width = c.U32();
      out.height = c.U32();
      out.faces = c.U32();
      out.levels = c.U32();
      out.alphaKind = c.U8();
      out.flags = c.U8();
      header = !c.Failed();
    } else if (chunk.tag == "MIPS") {
      TextureLevel m;
      m.face = c.U32();
      m.level = c.U32();
      m.width = c.U32();
      m.height = c.U32();
      m.bitmapFormat = c.U32();
      uint32_t n = c.U32();
      const std::span<const uint8_t> p = c.Bytes(n);
      if (c.Failed() || c.Remaining() != 0) return false;
      m.data.assign(p.begin(), p.end());
      out.mips.push_back(std::move(m));
    }
  }
  return header && out.mips.size() == static_cast<size_t>(out.faces) * out.levels;
}

// One level decoded to RGBA bytes; empty when the format is unknown.
inline std::vector<uint8_t> DecodeLevel(uint32_t format, const TextureLevel& m) {
  std::vector<uint8_t> rgba(static_cast<size_t>(m.width) * m.height * 4);
  int flags = format == 10 ? squish::kDxt1 : format == 11 ? squish::kDxt3 : format == 12 ? squish::kDxt5 : 0;
  if (flags) {
    if (m.data.size() != static_cast<size_t>(squish::GetStorageRequirements(
                             static_cast<int>(m.width), static_cast<int>(m.height), flags)))
      return {};
    squish::DecompressImage(rgba.data(), static_cast<int>(m.width), static_cast<int>(m.height), m.data.data(),
                            flags);
    return rgba;
  }
  const size_t bpp = format == 5 ? 3 : 4;
  if (m.data.size() != static_cast<size_t>(m.width) * m.height * bpp) return {};
  for (size_t i = 0; i < static_cast<size_t>(m.width) * m.height; ++i) {
    rgba[4 * i] = m.data[bpp * i + 2];
    rgba[4 * i + 1] = m.data[bpp * i + 1];
    rgba[4 * i + 2] = m.data[bpp * i];
    rgba[4 * i + 3] = bpp == 4 ? m.data[bpp * i + 3] : 255;
  }
  return rgba;
}

// Mean absolute difference per channel between RGBA bytes and a picture.
// With alpha, the colour of fully transparent pixels does not count.
inline double MeanError(const std::vector<uint8_t>& rgba, int w, int h,
                        const std::function<uint32_t(int, int)>& pixel, bool withAlpha) {
  double sum = 0;
  size_t channels = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint32_t p = pixel(x, y);
      const uint8_t* q = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      if (withAlpha) {
        sum += std::abs(int(q[3]) - int(p >> 24));
        ++channels;
        if ((p >> 24) == 0) continue;
      }
      sum += std::abs(int(q[0]) - int((p >> 16) & 255)) + std::abs(int(q[1]) - int((p >> 8) & 255)) +
             std::abs(int(q[2]) - int(p & 255));
      channels += 3;
    }
  return channels ? sum / static_cast<double>(channels) : 0.0;
}

// A normal map: unit vectors of a gentle bump field, packed as 0.5 + 0.5 n.
inline uint32_t NormalPixel(int x, int y, int w, int h) {
  double nx = 0.4 * std::sin(x * 6.283 / w), ny = 0.4 * std::cos(y * 6.283 / h);
  double nz = std::sqrt(1.0 - nx * nx - ny * ny);
  auto pack = [](double v) { return static_cast<uint32_t>(std::lround((v * 0.5 + 0.5) * 255)); };
  return 0xff000000u | pack(nx) << 16 | pack(ny) << 8 | pack(nz);
}
