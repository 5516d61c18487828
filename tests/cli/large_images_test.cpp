// Image files as large as the side limit allows convert through the program.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "kiv/TextureResource.h"
#include "ProgramFixture.h"

namespace {

void PutLE(std::ofstream& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// An uncompressed 32-bit BMP of that size, every row the same gradient.
void WriteBmp(const std::string& path, int width, int height) {
  std::ofstream out(path, std::ios::binary);
  const uint32_t row = static_cast<uint32_t>(width) * 4;
  out.write("BM", 2);
  PutLE(out, 54 + row * static_cast<uint32_t>(height), 4);
  PutLE(out, 0, 4);
  PutLE(out, 54, 4);  // where the pixels start
  PutLE(out, 40, 4);  // the header's size
  PutLE(out, static_cast<uint32_t>(width), 4);
  PutLE(out, static_cast<uint32_t>(height), 4);
  PutLE(out, 1, 2);   // planes
  PutLE(out, 32, 2);  // bits a pixel
  for (int i = 0; i < 6; ++i) PutLE(out, 0, 4);
  std::vector<char> pixels(row);
  for (int x = 0; x < width; ++x) {
    pixels[4 * size_t(x)] = static_cast<char>(x >> 6);
    pixels[4 * size_t(x) + 1] = static_cast<char>(0x80);
    pixels[4 * size_t(x) + 2] = static_cast<char>(0x40);
    pixels[4 * size_t(x) + 3] = static_cast<char>(0xFF);
  }
  for (int y = 0; y < height; ++y) out.write(pixels.data(), static_cast<std::streamsize>(row));
}

}  // namespace

using LargeImages = ProgramFixture;

// A file just past 256 MiB, far within 16384 pixels a side, is read whole
// and converted at its own proportions.
TEST_F(LargeImages, BmpPastQuarterGibibyteConverts) {
  const std::string folder = Write("large/large.texture.txt", "Primary=large.bmp\n");
  WriteBmp(folder + "/large.bmp", 16384, 4097);
  EXPECT_EQ(Run({"compresstexture", folder}), 0);
  EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n");
  Kiv::TextureFileFacts facts;
  ASSERT_TRUE(Kiv::ProbeTextureFile(folder + "/large.texture", facts));
  EXPECT_EQ(facts.width, 2048u);
  EXPECT_EQ(facts.height, 512u);
}
