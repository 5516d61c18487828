#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"

namespace fs = std::filesystem;
using Kiv::Bitmap;

namespace {

// A pattern with every channel varying, alpha included (never all zero,
// which some readers take as "no alpha").
Bitmap MakePattern(Bitmap::Format format, int w = 13, int h = 7) {
  Bitmap b;
  EXPECT_TRUE(b.Create(w, h, format));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint32_t a = static_cast<uint32_t>(40 + x * 15) & 0xFF;
      uint32_t r = static_cast<uint32_t>(x * 19) & 0xFF, g = static_cast<uint32_t>(y * 37) & 0xFF;
      uint32_t bl = static_cast<uint32_t>((x * y * 7) & 0xFF);
      b.SetPixel(x, y, (a << 24) | (r << 16) | (g << 8) | bl);
    }
  return b;
}

class BitmapFiles : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_FALSE(root.empty()); }
  Kiv::TempFolder m_temp{"kivbmp"};
  std::string root = m_temp.Root();
};

TEST_F(BitmapFiles, LosslessFormatsRoundTripExactly) {
  struct Case {
    const char* name;
    Bitmap::Format format;
    Bitmap::Format loadedAs;
  };
  const Case cases[] = {
      {"rgba.png", Bitmap::FormatRGBA32, Bitmap::FormatRGBA32},
      {"rgb.png", Bitmap::FormatRGB24, Bitmap::FormatRGB24},
      {"gray.png", Bitmap::FormatGray8, Bitmap::FormatGray8},
      {"rgba.tga", Bitmap::FormatRGBA32, Bitmap::FormatRGBA32},
      {"rgb.TGA", Bitmap::FormatRGB24, Bitmap::FormatRGB24},
      {"rgba.bmp", Bitmap::FormatRGBA32, Bitmap::FormatRGBA32},
      {"rgb.bmp", Bitmap::FormatRGB24, Bitmap::FormatRGB24},
      {"opaque.png", Bitmap::FormatRGBX32, Bitmap::FormatRGB24},
  };
  for (const Case& c : cases) {
    Bitmap src = MakePattern(c.format);
    std::string path = root + "/" + c.name;
    ASSERT_TRUE(src.Save(path)) << c.name << ": " << src.LastError();
    Bitmap back;
    ASSERT_TRUE(back.Load(Kiv::PString(c.name), root)) << c.name << ": " << back.LastError();
    EXPECT_EQ(back.GetFormat(), c.loadedAs) << c.name;
    ASSERT_EQ(back.Width(), src.Width());
    ASSERT_EQ(back.Height(), src.Height());
    for (int y = 0; y < src.Height(); ++y)
      for (int x = 0; x < src.Width(); ++x)
        ASSERT_EQ(back.GetPixel(x, y), src.GetPixel(x, y)) << c.name << " at " << x << "," << y;
  }
}

TEST_F(BitmapFiles, JpegRoundTripsWithinTolerance) {
  Bitmap src;
  ASSERT_TRUE(src.Create(32, 24, Bitmap::FormatRGB24));
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x)
      src.SetPixel(x, y, 0xFF000000u | uint32_t(x * 8) << 16 | uint32_t(y * 10) << 8 | 128);
  ASSERT_TRUE(src.Save(root + "/smooth.jpeg", 95)) << src.LastError();
  Bitmap back;
  ASSERT_TRUE(back.Load(Kiv::PString(root + "/SMOOTH.jpeg"))) << back.LastError();
  ASSERT_EQ(back.Width(), 32);
  ASSERT_EQ(back.Height(), 24);
  int worst = 0;
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x)
      for (int shift : {0, 8, 16}) {
        int a = (src.GetPixel(x, y) >> shift) & 0xFF, b = (back.GetPixel(x, y) >> shift) & 0xFF;
        worst = std::max(worst, std::abs(a - b));
      }
  EXPECT_LE(worst, 12);
}

TEST_F(BitmapFiles, BadFilesFailWithAMessageAndLeaveTheBitmapEmpty) {
  Bitmap good = MakePattern(Bitmap::FormatRGBA32, 40, 40);
  std::vector<uint8_t> png, jpg, bmp, tga, rawTga;
  ASSERT_TRUE(good.SaveToMemory(Bitmap::FileType::PNG, png));
  ASSERT_TRUE(good.SaveToMemory(Bitmap::FileType::JPEG, jpg));
  ASSERT_TRUE(good.SaveToMemory(Bitmap::FileType::BMP, bmp));
  ASSERT_TRUE(good.SaveToMemory(Bitmap::FileType::TGA, tga));  // run-length packed
  // An uncompressed 2 x 2 TGA, 24 bits.
  rawTga = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 24, 0};
  rawTga.resize(18 + 12, 0x7F);

  Bitmap b;
  ASSERT_TRUE(b.LoadFromMemory(rawTga.data(), rawTga.size(), "raw.tga")) << b.LastError();
  EXPECT_EQ(b.GetPixel(1, 1), 0xFF7F7F7Fu);
  for (const auto* bytes : {&png, &jpg, &bmp, &tga, &rawTga}) {
    for (size_t cut : {size_t(1), size_t(8), size_t(30), bytes->size() / 2, bytes->size() - 1}) {
      if (cut >= bytes->size()) continue;
      EXPECT_FALSE(b.LoadFromMemory(bytes->data(), cut, "cut")) << cut << " of " << bytes->size();
      EXPECT_TRUE(b.IsEmpty());
      EXPECT_NE(b.LastError().find("'cut'"), std::string::npos) << b.LastError();
    }
  }
  const char text[] = "kind \"traincar\"\nkuid <kuid:1:2>\n";
  EXPECT_FALSE(b.LoadFromMemory(reinterpret_cast<const uint8_t*>(text), sizeof text - 1, "config.txt"));
  EXPECT_FALSE(b.LoadFromMemory(nullptr, 0));

  EXPECT_FALSE(b.Load(Kiv::PString(root + "/missing.png")));
  EXPECT_NE(b.LastError().find("missing.png"), std::string::npos);
  fs::create_directories(root + "/folder.png");
  EXPECT_FALSE(b.Load(Kiv::PString(root + "/folder.png")));
  EXPECT_FALSE(b.Load(Kiv::PString()));
  EXPECT_FALSE(b.Save(root + "/name.gif"));   // no encoder for that type
  EXPECT_FALSE(b.Save(root + "/empty.png"));  // nothing to save
  EXPECT_FALSE(fs::exists(root + "/empty.png"));

  // A failed save leaves an existing file alone.
  ASSERT_TRUE(good.Save(root + "/keep.png"));
  auto before = fs::file_size(root + "/keep.png");
  Bitmap block;
  ASSERT_TRUE(block.Create(4, 4, Bitmap::FormatBlock, 8));
  EXPECT_FALSE(block.Save(root + "/keep.png"));
  EXPECT_EQ(fs::file_size(root + "/keep.png"), before);
}

// A header that declares a huge picture must be refused before decoding.
TEST(Bitmap, HugeDeclaredSizesAreRefused) {
  // Minimal BMP header: 54 bytes, 24 bits, 100000 x 100000, no pixel data.
  std::vector<uint8_t> bmp(54, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bmp[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, 54);
  put32(10, 54);
  put32(14, 40);
  put32(18, 100000);
  put32(22, 100000);
  bmp[26] = 1;
  bmp[28] = 24;
  Bitmap b;
  EXPECT_FALSE(b.LoadFromMemory(bmp.data(), bmp.size(), "huge.bmp"));
  EXPECT_TRUE(b.IsEmpty());
  // Just inside the side limit but far too many pixels in all.
  put32(18, 16000);
  put32(22, 16000);
  EXPECT_FALSE(b.LoadFromMemory(bmp.data(), bmp.size(), "big.bmp"));
  EXPECT_FALSE(b.Create(Bitmap::MaxSide + 1, 1, Bitmap::FormatGray8));
  EXPECT_FALSE(b.Create(16000, 16000, Bitmap::FormatRGBA32));
  EXPECT_FALSE(b.Create(0, 5, Bitmap::FormatGray8));
  EXPECT_FALSE(b.Create(5, 5, Bitmap::FormatNone));
}

// Huffman tables whose code counts add up to more than 256 symbols once
// overflowed a table inside the decoder.
TEST(Bitmap, CorruptJpegTablesAreRefused) {
  std::vector<uint8_t> jpg = {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 8, 0, 8, 1, 1, 0x11, 0};  // 8 x 8 gray
  std::vector<uint8_t> dht = {0xFF, 0xC4, 0, 0, 0x00};
  for (int i = 0; i < 16; ++i) dht.push_back(0x11);  // 16 x 17 = 272 symbols
  for (int i = 0; i < 272; ++i) dht.push_back(static_cast<uint8_t>(i));
  size_t len = dht.size() - 2;
  dht[2] = static_cast<uint8_t>(len >> 8);
  dht[3] = static_cast<uint8_t>(len);
  jpg.insert(jpg.end(), dht.begin(), dht.end());
  const uint8_t sos[] = {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 0, 63, 0, 0x12, 0x34, 0xFF, 0xD9};
  jpg.insert(jpg.end(), std::begin(sos), std::end(sos));
  Bitmap b;
  EXPECT_FALSE(b.LoadFromMemory(jpg.data(), jpg.size(), "bad-tables.jpg"));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_NE(b.LastError().find("bad-tables.jpg"), std::string::npos) << b.LastError();
  EXPECT_NE(b.LastError().find("Huffman"), std::string::npos) << b.LastError();
}

TEST(Bitmap, PixelAccessAndConversion) {
  Bitmap b;
  ASSERT_TRUE(b.Create(3, 2, Bitmap::FormatRGBA32));
  EXPECT_EQ(b.Pitch(), 12u);
  b.SetPixel(1, 1, 0x80112233u);
  const uint8_t* p = b.Data() + 12 + 4;
  EXPECT_EQ(p[0], 0x33);  // B, G, R, A in memory
  EXPECT_EQ(p[3], 0x80);
  b.SetPixel(3, 0, 0xFFFFFFFFu);  // outside: ignored
  b.SetPixel(-1, 0, 0xFFFFFFFFu);
  EXPECT_EQ(b.GetPixel(3, 0), 0u);
  EXPECT_EQ(b.GetPixel(2, 1), 0u);

  ASSERT_TRUE(b.ConvertTo(Bitmap::FormatRGBX32));
  EXPECT_EQ(b.GetPixel(1, 1), 0xFF112233u);
  ASSERT_TRUE(b.ConvertTo(Bitmap::FormatRGB24));
  EXPECT_EQ(b.DataSize(), 18u);
  EXPECT_EQ(b.GetPixel(1, 1), 0xFF112233u);
  b.Clear(0xFFFFFFFFu);
  ASSERT_TRUE(b.ConvertTo(Bitmap::FormatGray8));
  EXPECT_EQ(b.GetPixel(2, 1), 0xFFFFFFFFu);
  EXPECT_FALSE(b.ConvertTo(Bitmap::FormatBlock));
}

// The committed fuzz seeds are real images of each type.
TEST(Bitmap, FuzzSeedCorpusLoads) {
  std::string dir = std::string(ROVANA_SOURCE_DIR) + "/fuzz/corpus/bitmap_load";
  int loaded = 0;
  for (Kiv::File::Find f(dir + "/*"); f.Next();) {
    Bitmap b;
    EXPECT_TRUE(b.Load(Kiv::PString(f.FullPath()))) << b.LastError();
    ++loaded;
  }
  EXPECT_GE(loaded, 4);
}

}  // namespace
