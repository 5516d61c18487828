// The compressed format chosen for a texture, the size limit, option
// precedence, the uncompressed mip chains and the compressor's output handler.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "TextureTestSupport.h"
#include "kiv/Options.h"
#include "graphics/texture/CompressAsciiResource.h"
#include "graphics/texture/NvttHandlers.h"
#include "graphics/texture/TextureCompress.h"
#include "modules/nvtt/NvttErrors.h"

namespace {

enum Alpha { kOpaque, kMasked, kGraded };

uint32_t AlphaPixel(Alpha kind, int x, int y, int w, int h) {
  uint8_t a = kind == kOpaque   ? 255
              : kind == kMasked ? ((x + y) % 2 ? 255 : 0)
                                : static_cast<uint8_t>(10 + x % 200);
  return Smooth(x, y, w, h, a);
}

// A loaded conversion resource over a generated image.
class Loaded {
public:
  Loaded(int w, int h, Alpha alpha, const std::string& description, const std::string& options)
      : m_options(options) {
    EXPECT_TRUE(m_dir.Image("img.png", w, h, [&](int x, int y) { return AlphaPixel(alpha, x, y, w, h); }));
    m_dir.Write("t.texture.convert-tex.txt", "Primary=img.png\n" + description);
    m_res.Reset(new CompressAsciiResource("t.texture.convert-tex.txt", m_dir.Root()));
    m_res->SetOptions(&m_options);
    m_lockResult = m_res->Lock();
  }
  ~Loaded() {
    if (m_lockResult == 0) m_res->Unlock();
  }
  CompressAsciiResource* operator->() { return m_res.Get(); }
  int LockResult() const { return m_lockResult; }
  const TextureDir& Dir() const { return m_dir; }

private:
  TextureDir m_dir;
  Kiv::Options m_options;
  Kiv::Ref<CompressAsciiResource> m_res;
  int m_lockResult = -1;
};

int Choose(int w, int h, Alpha alpha, const std::string& description, const std::string& options,
           bool* chosenAlpha = nullptr) {
  Loaded t(w, h, alpha, description, options);
  EXPECT_EQ(t.LockResult(), 0) << t->LoadError();
  int code = t->ChooseFormat();
  if (chosenAlpha) *chosenAlpha = t->ChosenAlpha();
  return code;
}

}  // namespace

TEST(TextureFormat, ChoiceFollowsHintAlphaSizeAndCompressionWords) {
  // Large enough, hint left to the options: the Compression word of the
  // texture's alpha position decides; a position not given stays 1.
  EXPECT_EQ(Choose(256, 256, kGraded, "", "-Compression=dxt5"), 1);
  EXPECT_EQ(Choose(256, 256, kGraded, "", "-Compression=auto"), 12);
  EXPECT_EQ(Choose(256, 256, kOpaque, "", "-Compression=auto"), 10);
  EXPECT_EQ(Choose(256, 256, kMasked, "", "-Compression=dxt3,dxt5,dxt1"), 12);
  EXPECT_EQ(Choose(256, 256, kGraded, "", "-Compression=dxt3,dxt5,dxt1,dxt3"), 10);  // fourth word ignored
  EXPECT_EQ(Choose(256, 256, kGraded, "", "-Compression=dxt1,none,auto"), 1);  // "auto" only counts first
  bool alpha = false;
  EXPECT_EQ(Choose(256, 256, kMasked, "", "-Compression=auto", &alpha), 10);
  EXPECT_TRUE(alpha);  // DXT1a
  EXPECT_EQ(Choose(256, 256, kOpaque, "", "-Compression=dxt1a", &alpha), 10);
  EXPECT_TRUE(alpha);
  // Sides that are not multiples of 4 stay uncompressed.
  EXPECT_EQ(Choose(100, 30, kOpaque, "", "-Compression=auto"), 3);
  EXPECT_EQ(Choose(100, 30, kGraded, "", "-Compression=auto"), 1);
  // Too small for the options to decide: the hint does.
  EXPECT_EQ(Choose(32, 32, kOpaque, "", "-Compression=auto"), 3);
  EXPECT_EQ(Choose(32, 32, kGraded, "", "-Compression=auto"), 1);
  EXPECT_EQ(Choose(32, 32, kOpaque, "Hint=dxt1\n", "-Compression=auto", &alpha), 10);
  EXPECT_FALSE(alpha);
  EXPECT_EQ(Choose(32, 32, kMasked, "Hint=dxt1\n", "", &alpha), 10);
  EXPECT_TRUE(alpha);
  EXPECT_EQ(Choose(32, 32, kOpaque, "Hint=dxt3\n", ""), 11);
  EXPECT_EQ(Choose(32, 32, kOpaque, "Hint=dxt5\n", ""), 12);
  EXPECT_EQ(Choose(256, 256, kGraded, "Hint=none\n", "-Compression=auto"), 1);
  // forceOptions: the Compression word wins over the hint and the size.
  EXPECT_EQ(Choose(16, 16, kOpaque, "Hint=none\n", "-forceOptions -Compression=dxt3"), 11);
  // A masked normal map counts as graded alpha.
  EXPECT_EQ(Choose(256, 256, kMasked, "NormalMap=1\n", "-Compression=dxt1,dxt1a,dxt5"), 12);
}

TEST(TextureFormat, OptionsAndDescriptionPrecedence) {
  {
    // The description overrides the options...
    Loaded t(64, 64, kOpaque, "Hint=dxt1\nTile=s\n", "-Hint=dxt5 -Tile=none");
    ASSERT_EQ(t.LockResult(), 0);
    EXPECT_EQ(t->GetCompressionHint(), 1);
    EXPECT_EQ(t->Settings().wrapS, 2);
    EXPECT_EQ(t->Settings().wrapT, 1);
  }
  {
    // ...unless forceOptions is given.
    Loaded t(64, 64, kOpaque, "Hint=dxt1\n", "-forceOptions -Hint=dxt5");
    ASSERT_EQ(t.LockResult(), 0);
    EXPECT_TRUE(t->ForceOptions());
    EXPECT_EQ(t->GetCompressionHint(), 3);
  }
  {
    Loaded t(64, 64, kOpaque, "", "-Hint=sparkly");
    EXPECT_NE(t.LockResult(), 0);
    EXPECT_NE(t->LoadError().find("bad value 'sparkly'"), std::string::npos) << t->LoadError();
  }
  {
    // No options: nothing to convert with.
    TextureDir dir;
    ASSERT_TRUE(dir.Image("i.png", 8, 8, [](int x, int y) { return Smooth(x, y, 8, 8); }));
    dir.Write("t.convert-tex.txt", "Primary=i.png\n");
    const Kiv::Ref<CompressAsciiResource> res(new CompressAsciiResource("t.convert-tex.txt", dir.Root()));
    EXPECT_NE(res->Lock(), 0);
  }
}

TEST(TextureFormat, SizeLimitKeepsProportions) {
  struct Limit {
    const char* option;
    uint32_t w, h;
  } limits[] = {
      {"-MaxTextureSize=512", 512, 256},      {"-MaxTextureSize=300,100", 200, 100},
      {"-MaxTextureSize=0", 1000, 500},       {"-MaxTextureSize=-5", 1000, 500},
      {"-MaxTextureSize=abc,xyz", 1000, 500}, {"-MaxTextureSize=3000,1", 2, 1},
  };
  for (const Limit& l : limits) {
    SCOPED_TRACE(l.option);
    Loaded t(1000, 500, kOpaque, "", l.option);
    ASSERT_EQ(t.LockResult(), 0);
    uint32_t w, h;
    t->GetSize(w, h);
    EXPECT_EQ(w, l.w);
    EXPECT_EQ(h, l.h);
  }
}

TEST(TextureFormat, UncompressedChainsHalveDownToOnePixel) {
  for (int code : {1, 3, 5}) {
    SCOPED_TRACE(code);
    Kiv::Bitmap source;
    ASSERT_TRUE(source.Create(8, 2, Kiv::Bitmap::FormatRGBA32));
    for (int x = 0; x < 8; ++x) {
      source.SetPixel(x, 0, 0x40000000u | static_cast<uint32_t>(x * 20) << 16);
      source.SetPixel(x, 1, 0x40000000u | static_cast<uint32_t>(x * 20 + 10) << 16);
    }
    source.SetPixel(0, 0, 0);  // a zero pixel stays transparent for code 3
    TextureCompress chain;
    ASSERT_TRUE(TextureCompress::Compress(source, chain, code, true, false, false, true, false));
    ASSERT_EQ(chain.Count(), 4u);
    std::string sizes;
    for (size_t i = 0; i < 4; ++i)
      sizes += std::to_string(chain.Get(i)->Width()) + "x" + std::to_string(chain.Get(i)->Height()) + " ";
    EXPECT_EQ(sizes, "8x2 4x1 2x1 1x1 ");
    const Kiv::Bitmap& top = *chain.Get(0);
    EXPECT_EQ(top.DataSize(), code == 5 ? 48u : 64u);
    if (code == 1) {
      EXPECT_EQ(top.GetPixel(1, 0) >> 24, 0x40u);
    }
    if (code == 3) {
      EXPECT_EQ(source.Data()[3], 0);        // the zero pixel
      EXPECT_EQ(source.Data()[4 + 3], 255);  // every other one made opaque
    }
    // Level 1 is the exact 2 x 2 box average: red of columns 2 and 3.
    EXPECT_EQ((chain.Get(1)->GetPixel(1, 0) >> 16) & 255, (40u + 50u + 60u + 70u + 2u) / 4u);
  }
  Kiv::Bitmap gray;
  ASSERT_TRUE(gray.Create(4, 4, Kiv::Bitmap::FormatGray8));
  TextureCompress none;
  EXPECT_FALSE(TextureCompress::Compress(gray, none, 1, true, false, false, true, false));
  Kiv::Bitmap rgba;
  ASSERT_TRUE(rgba.Create(4, 4, Kiv::Bitmap::FormatRGBA32));
  std::string why;
  EXPECT_FALSE(TextureCompress::Compress(rgba, none, 7, true, false, false, true, false, &why));
  EXPECT_EQ(none.Count(), 0u);
  EXPECT_NE(why.find("7"), std::string::npos);
}

TEST(TextureFormat, BlockChainsAndMipLocks) {
  Loaded t(64, 32, kGraded, "Hint=dxt5\nMipFilter=none\n", "-Compression=auto");
  ASSERT_EQ(t.LockResult(), 0);
  EXPECT_EQ(t->GetMip(0, 0), nullptr);
  ASSERT_TRUE(t->GetMipLock());  // compresses
  ASSERT_EQ(t->FaceCount(), 1u);
  ASSERT_NE(t->GetMip(0, 0), nullptr);
  EXPECT_EQ(t->GetMip(0, 0)->GetFormat(), Kiv::Bitmap::FormatBlock);
  EXPECT_EQ(t->GetMip(0, 0)->DataSize(), 64u * 32u);  // 16 bytes per 4 x 4 block
  EXPECT_EQ(t->GetMip(1, 0), nullptr);                // no mipmaps asked for
  EXPECT_EQ(t->GetMip(0, 1), nullptr);
  // Compressing again replaces the chain instead of adding to it.
  ASSERT_TRUE(t->CompressMips(false));
  EXPECT_EQ(t->FaceCount(), 1u);
  EXPECT_TRUE(t->GetMipUnlock());
  EXPECT_EQ(t->GetMip(0, 0), nullptr);
  EXPECT_FALSE(t->GetMipUnlock());
}

TEST(TextureFormat, ModifyMapFlipsGreenOfTexturesWithAlpha) {
  for (Alpha alpha : {kGraded, kOpaque}) {
    Loaded t(8, 8, alpha, "ModifyMap=1\nHint=none\n", "-Compression=auto");
    ASSERT_EQ(t.LockResult(), 0);
    ASSERT_TRUE(t->GetMipLock());
    const Kiv::Bitmap* top = t->GetMip(0, 0);
    ASSERT_NE(top, nullptr);
    const uint32_t source = AlphaPixel(alpha, 5, 3, 8, 8);
    const uint32_t green = (top->GetPixel(5, 3) >> 8) & 255;
    EXPECT_EQ(green, alpha == kGraded ? 255 - ((source >> 8) & 255) : (source >> 8) & 255);
    EXPECT_TRUE(t->GetMipUnlock());
  }
}

TEST(TextureFormat, OutputHandlerRefusesWritesOutsideAnImage) {
  TextureCompress chain;
  {
    OurOutputHandler out(chain);
    uint8_t bytes[16] = {};
    EXPECT_FALSE(out.writeData(bytes, 8));  // no image begun
    out.beginImage(16, 4, 4);
    EXPECT_TRUE(out.writeData(bytes, 8));
    EXPECT_TRUE(out.writeData(bytes, 8));
    EXPECT_FALSE(out.writeData(bytes, 1));  // past the image's size
    out.beginImage(8, 2, 2);
    EXPECT_TRUE(out.writeData(bytes, 4));
    EXPECT_FALSE(out.Finish());  // the last image is short and an overflow was refused
  }
  EXPECT_EQ(chain.Count(), 2u);
  std::string text;
  OurErrorHandler errors(text);
  errors.error(nvtt::Error_InvalidInput);
  EXPECT_FALSE(text.empty());
}

// The block coder leaves one index of a block with 16 different colours to
// whatever its stack held; a thread of its own has other stack contents, so
// the bytes must not depend on the thread that compresses.
TEST(TextureFormat, BlockBytesDoNotDependOnTheThread) {
  const int w = 64, h = 32;
  Kiv::Bitmap noisy;
  ASSERT_TRUE(noisy.Create(w, h, Kiv::Bitmap::FormatRGBA32));
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1103515245u + 12345u;
      const uint8_t a = x < 8 ? 0 : static_cast<uint8_t>(x * 4);  // transparent, then graded
      noisy.SetPixel(x, y, (Smooth(x, y, w, h, a) ^ (seed >> 8 & 0x0f0f0f)));
    }
  struct Format {
    int code;
    bool alpha;
  };
  for (Format f : {Format{Kiv::kTexDXT1, false}, Format{Kiv::kTexDXT1, true}, Format{Kiv::kTexDXT3, true},
                   Format{Kiv::kTexDXT5, true}}) {
    SCOPED_TRACE(f.code * 10 + f.alpha);
    TextureCompress here, there;
    Kiv::Bitmap a(noisy), b(noisy);
    ASSERT_TRUE(TextureCompress::Compress(a, here, f.code, f.alpha, true, false, true, false));
    bool ok = false;
    std::thread([&] {
      ok = TextureCompress::Compress(b, there, f.code, f.alpha, true, false, true, false);
    }).join();
    ASSERT_TRUE(ok);
    ASSERT_EQ(here.Count(), there.Count());
    for (size_t i = 0; i < here.Count(); ++i) {
      ASSERT_EQ(here.Get(i)->DataSize(), there.Get(i)->DataSize());
      EXPECT_EQ(std::memcmp(here.Get(i)->Data(), there.Get(i)->Data(), here.Get(i)->DataSize()), 0)
          << "level " << i;
    }
    if (f.code != Kiv::kTexDXT1 || f.alpha) continue;
    // The repaired indices still decode close to the source.
    TextureLevel level{0, 0, w, h, 5, {}};
    level.data.assign(here.Get(0)->Data(), here.Get(0)->Data() + here.Get(0)->DataSize());
    const std::vector<uint8_t> decoded = DecodeLevel(10, level);
    ASSERT_FALSE(decoded.empty());
    EXPECT_LT(MeanError(
                  decoded, w, h, [&](int x, int y) { return noisy.GetPixel(x, y); }, false),
              6.0);
  }
}

namespace {

// Mip chain of a 64 x 64 pattern as plain pixels, built with the given filter value.
std::vector<uint8_t> MipChainWithFilter(int filter) {
  const int side = 64;
  std::vector<uint8_t> bgra(side * side * 4);
  for (int i = 0; i < side * side; ++i) {
    bgra[size_t(i) * 4] = uint8_t(i * 37);
    bgra[size_t(i) * 4 + 1] = uint8_t(i * 91);
    bgra[size_t(i) * 4 + 2] = uint8_t(i * 13 + i / side * 7);
    bgra[size_t(i) * 4 + 3] = 255;
  }
  struct Bytes : nvtt::OutputHandler {
    std::vector<uint8_t> all;
    void beginImage(int, int, int, int, int, int) override {}
    bool writeData(const void* data, int size) override {
      all.insert(all.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
      return true;
    }
  } out;
  nvtt::InputOptions input;
  input.setMipmapGeneration(true, -1);
  input.setTextureLayout(nvtt::TextureType_2D, side, side, 1);
  input.setFormat(nvtt::InputFormat_BGRA_8UB);
  input.setMipmapData(bgra.data(), side, side, 1, 0, 0);
  input.setMipmapFilter(static_cast<nvtt::MipmapFilter>(filter));
  nvtt::CompressionOptions compression;
  compression.setFormat(nvtt::Format_RGBA);
  nvtt::OutputOptions output;
  output.setOutputHandler(&out);
  output.setOutputHeader(false);
  nvtt::Compressor compressor;
  EXPECT_TRUE(compressor.process(input, compression, output));
  return out.all;
}

}  // namespace

// Colour maps are to be filtered with nvtt's filter value 3, which the library
// has no name for; the converter names the filter that value runs as. A newer
// nvtt that treated the value otherwise would change every texture's bytes.
TEST(TextureFormat, FilterValueThreeRunsAsKaiser) {
  const std::vector<uint8_t> three = MipChainWithFilter(3);
  EXPECT_EQ(three, MipChainWithFilter(nvtt::MipmapFilter_Kaiser));
  EXPECT_NE(three, MipChainWithFilter(nvtt::MipmapFilter_Box));
}
