#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

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
  EXPECT_NE(b.LastError().find("is too large: 100000 x 100000 pixels"), std::string::npos) << b.LastError();
  // Just inside the side limit: refused only for the pixels it lacks.
  put32(18, 16000);
  put32(22, 16000);
  EXPECT_FALSE(b.LoadFromMemory(bmp.data(), bmp.size(), "big.bmp"));
  EXPECT_NE(b.LastError().find("truncated file"), std::string::npos) << b.LastError();
  EXPECT_FALSE(b.Create(Bitmap::MaxSide + 1, 1, Bitmap::FormatGray8));
  EXPECT_FALSE(b.Create(0, 5, Bitmap::FormatGray8));
  EXPECT_FALSE(b.Create(5, 5, Bitmap::FormatNone));
}

// A BMP whose height is negative stores its top row first; it loads as the
// same picture stored bottom row first. Sizes that are refused say why truly.
TEST(Bitmap, TopDownBmpsLoadAndBadSizesAreNamedAsSuch) {
  // 24 bits, 2 x 3, each row one colour; rows padded to 8 bytes.
  auto bmp = [](int32_t height, bool topDown) {
    std::vector<uint8_t> out(54, 0);
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put32(10, 54);
    put32(14, 40);
    put32(18, 2);
    put32(22, static_cast<uint32_t>(height));
    out[26] = 1;
    out[28] = 24;
    const uint8_t rows[3][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}};  // B, G, R from the top
    for (int i = 0; i < 3; ++i) {
      const uint8_t* row = rows[topDown ? i : 2 - i];
      for (int x = 0; x < 2; ++x) out.insert(out.end(), row, row + 3);
      out.insert(out.end(), 2, 0);
    }
    put32(2, static_cast<uint32_t>(out.size()));
    return out;
  };
  const std::vector<uint8_t> upward = bmp(3, false), downward = bmp(-3, true);
  Bitmap up, down;
  ASSERT_TRUE(up.LoadFromMemory(upward.data(), upward.size(), "up.bmp")) << up.LastError();
  ASSERT_TRUE(down.LoadFromMemory(downward.data(), downward.size(), "down.bmp")) << down.LastError();
  ASSERT_EQ(down.Width(), 2);
  ASSERT_EQ(down.Height(), 3);
  EXPECT_EQ(down.GetPixel(1, 0), 0xFFFF0000u);
  EXPECT_EQ(down.GetPixel(0, 2), 0xFF0000FFu);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 2; ++x) EXPECT_EQ(down.GetPixel(x, y), up.GetPixel(x, y)) << x << "," << y;
  Bitmap::Size size;
  EXPECT_TRUE(Bitmap::ProbeMemory(downward.data(), downward.size(), size));
  EXPECT_EQ(size.height, 3);

  Bitmap refused;
  const std::vector<uint8_t> flat = bmp(0, false);
  EXPECT_FALSE(refused.LoadFromMemory(flat.data(), flat.size(), "flat.bmp"));
  EXPECT_NE(refused.LastError().find("declares 2 x 0 pixels, not a valid size"), std::string::npos)
      << refused.LastError();
  const std::vector<uint8_t> lowest = bmp(INT32_MIN, true);
  EXPECT_FALSE(refused.LoadFromMemory(lowest.data(), lowest.size(), "lowest.bmp"));
  EXPECT_NE(refused.LastError().find("not a valid size"), std::string::npos) << refused.LastError();
  const std::vector<uint8_t> tall = bmp(-20000, true);
  EXPECT_FALSE(refused.LoadFromMemory(tall.data(), tall.size(), "tall.bmp"));
  EXPECT_NE(refused.LastError().find("is too large: 2 x 20000 pixels"), std::string::npos)
      << refused.LastError();
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

// The probe must agree with a load on every file: whether it loads and its
// size. The seeds of every type, each cut short and each with one byte
// changed (chunk checksums are read by neither), so that headers, chunk
// rules, the inflate and the row filters all see damage.
TEST(Bitmap, ProbeAgreesWithLoad) {
  const std::string dir = std::string(ROVANA_SOURCE_DIR) + "/fuzz/corpus/bitmap_probe";
  int loaded = 0, refused = 0;
  auto agree = [&](const std::vector<uint8_t>& bytes, const std::string& what) {
    Bitmap b;
    const bool ok = b.LoadFromMemory(bytes.data(), bytes.size(), "x");
    Bitmap::Size size;
    std::string why;
    ASSERT_EQ(Bitmap::ProbeMemory(bytes.data(), bytes.size(), size, &why, "x"), ok) << what << ": " << why;
    if (ok) {
      EXPECT_EQ(size.width, b.Width()) << what;
      EXPECT_EQ(size.height, b.Height()) << what;
      ++loaded;
    } else {
      EXPECT_NE(why.find("'x'"), std::string::npos) << what << ": " << why;
      ++refused;
    }
  };
  int files = 0;
  for (Kiv::File::Find f(dir + "/*"); f.Next(); ++files) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(Kiv::File::ReadWholeFile(f.FullPath(), bytes, 1 << 20));
    // Every seed but one loads; that one ends its compressed data without
    // the checksum, where the decoder runs out of input.
    Bitmap::Size size;
    Bitmap whole;
    const bool loads = whole.Load(Kiv::PString(f.FullPath()));
    EXPECT_EQ(loads, f.Name() != "no_checksum.png") << f.Name();
    EXPECT_EQ(Bitmap::Probe(Kiv::PString(f.FullPath()), size), loads) << f.Name();
    for (size_t cut = 0; cut < bytes.size(); ++cut)
      agree(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)),
            f.Name() + " cut at " + std::to_string(cut));
    for (size_t at = 0; at < bytes.size(); ++at)
      for (uint8_t flip : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
        std::vector<uint8_t> changed = bytes;
        changed[at] ^= flip;
        agree(changed, f.Name() + " byte " + std::to_string(at) + " ^ " + std::to_string(flip));
      }
  }
  EXPECT_GE(files, 10);
  EXPECT_GT(loaded, 1000);
  EXPECT_GT(refused, 1000);
}

// PNG files whose header and chunks are sound but whose image data is not:
// the probe refuses each as a load does, and takes data that is only longer
// than needed.
TEST(Bitmap, ProbeRefusesSoundPngsWithBadData) {
  auto be32 = [](std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
  };
  auto chunk = [&](std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& body) {
    be32(out, static_cast<uint32_t>(body.size()));
    const size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    uint32_t crc = 0xFFFFFFFFu;  // checksums made right, so that only the data is at fault
    for (size_t i = at; i < out.size(); ++i) {
      crc ^= out[i];
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    be32(out, ~crc);
  };
  // A 2 x 2 image of one byte a pixel (gray, or colour 3: palette indices)
  // whose inflated rows are the given bytes (stored, not compressed, so each
  // byte is chosen).
  auto png = [&](const std::vector<uint8_t>& rows, bool badStream = false, uint8_t color = 0,
                 bool palette = false, bool emptyFirst = false) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    chunk(out, "IHDR", {0, 0, 0, 2, 0, 0, 0, 2, 8, color, 0, 0, 0});
    if (palette) chunk(out, "PLTE", std::vector<uint8_t>(15, 0x40));
    const uint16_t n = static_cast<uint16_t>(rows.size());
    // A stored block (or, bad, one of the reserved block type), then the rows.
    std::vector<uint8_t> z(7 + rows.size());
    const uint8_t head[7] = {0x78,
                             0x01,
                             uint8_t(badStream ? 0x07 : 0x01),
                             uint8_t(n),
                             uint8_t(n >> 8),
                             uint8_t(~n),
                             uint8_t(~n >> 8)};
    std::copy(head, head + 7, z.begin());
    std::copy(rows.begin(), rows.end(), z.begin() + 7);
    if (emptyFirst) {
      chunk(out, "IDAT", {});
      chunk(out, "tRNS", {0, 1});  // only data seen makes a later tRNS out of place
    }
    if (!rows.empty()) chunk(out, "IDAT", z);
    chunk(out, "IEND", {});
    return out;
  };
  struct Case {
    std::vector<uint8_t> file;
    bool loads;
  } cases[] = {
      {png({0, 1, 2, 4, 3, 4}), true},
      {png({0, 1, 2, 4, 3, 4, 0, 0}), true},  // more data than rows: taken
      {png({0, 1, 2, 4, 3}), false},          // a row short
      {png({0, 1, 2, 5, 3, 4}), false},       // an unknown row filter
      {png({0, 1, 2, 0, 3, 4}, true), false},
      {png({0, 1, 2, 0, 3, 4}, false, 3, true), true},
      {png({0, 1, 2, 0, 3, 4}, false, 3, false), false},  // palette indices without a palette
      {png({0, 1, 2, 0, 3, 4}, false, 0, false, true), true},
      {png({}, false, 0, false, true), false},  // image data chunks, all empty
  };
  for (const Case& c : cases) {
    Bitmap b;
    EXPECT_EQ(b.LoadFromMemory(c.file.data(), c.file.size()), c.loads) << b.LastError();
    Bitmap::Size size;
    std::string why;
    EXPECT_EQ(Bitmap::ProbeMemory(c.file.data(), c.file.size(), size, &why), c.loads) << why;
    EXPECT_EQ(size.width, c.loads ? 2 : 0);
  }
  // A reserved block type fails without the decoder giving a reason; in a
  // thread where nothing failed before, that must still be a clean failure.
  std::thread([&] {
    Bitmap b;
    EXPECT_FALSE(b.LoadFromMemory(cases[4].file.data(), cases[4].file.size(), "x"));
    EXPECT_NE(b.LastError().find("corrupt data"), std::string::npos) << b.LastError();
  }).join();
  std::thread([&] {
    Bitmap::Size size;
    std::string why;
    EXPECT_FALSE(Bitmap::ProbeMemory(cases[4].file.data(), cases[4].file.size(), size, &why));
    EXPECT_NE(why.find("corrupt data"), std::string::npos) << why;
  }).join();
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
