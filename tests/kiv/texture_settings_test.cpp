// The engine texture layer: option texts, texture descriptions, loading with
// alpha detection, resampling and the chunk-file container.
#include <gtest/gtest.h>

#include <functional>

#include "kiv/Bitmap.h"
#include "kiv/ChunkFile.h"
#include "kiv/File.h"
#include "kiv/Options.h"
#include "kiv/TextureResource.h"
#include "tests/graphics/texture/TextureTestSupport.h"

namespace {

// A texture that loads its description like the engine does.
class Plain : public Kiv::AsciiTextureResource {
public:
  using Kiv::AsciiTextureResource::AsciiTextureResource;
};

struct Loaded {
  Loaded(const TextureDir& f, const std::string& name) : res(new Plain(name, f.Root())) {
    result = res->Lock();
  }
  ~Loaded() {
    if (result == 0) res->Unlock();
  }
  Kiv::Ref<Plain> res;
  int result;
};

}  // namespace

TEST(TextureOptions, TokensKeysAndQuotes) {
  Kiv::Options o("-Automip=none -Compression=auto");
  EXPECT_EQ(o.Count(), 2u);
  EXPECT_EQ(o.Get("AUTOMIP"), "none");
  EXPECT_EQ(o.Get("compression"), "auto");
  EXPECT_FALSE(o.Has("Hint"));

  Kiv::Options more;
  EXPECT_TRUE(more.SetRaw("  -forceOptions\t-Name=\"a b\"  -MaxTextureSize=512,256 -name=c "));
  EXPECT_TRUE(more.Has("FORCEOPTIONS"));
  EXPECT_EQ(more.Get("forceOptions"), "");
  EXPECT_EQ(more.Get("Name"), "c");  // later token of the same key wins
  EXPECT_EQ(more.Get("MaxTextureSize"), "512,256");
  EXPECT_EQ(more.Count(), 3u);

  Kiv::Options bad;
  EXPECT_FALSE(bad.SetRaw("plain -=x -Good=1 -Open=\"unterminated"));
  EXPECT_EQ(bad.Get("Good"), "1");
  EXPECT_FALSE(bad.Has(""));
}

TEST(TextureDescription, SettingsWordsAndRefusals) {
  Kiv::TextureSettings s;
  std::string primary, alpha, why;
  ASSERT_TRUE(Kiv::AsciiTextureResource::ParseDescription(
      "; comment\r\n# another\r\n// third\r\n\r\n  primary = a.png \r\nALPHA=sub/a_alpha.png\r\nHint=DXT3\r\n"
      "AlphaHint=masked\r\nAnisotropy=8\r\nAutoMip=none\r\nMagFilter=point\r\nMinFilter=linear\r\n"
      "MipFilter=none\r\nTile=t\r\nNormalMap=yes\r\nModifyMap=1\r\n",
      s, primary, alpha, why))
      << why;
  EXPECT_EQ(primary, "a.png");
  EXPECT_EQ(alpha, "sub/a_alpha.png");
  EXPECT_EQ(s.compressionHint, 2);
  EXPECT_EQ(s.alphaKind, 2);
  EXPECT_TRUE(s.alphaKindGiven);
  EXPECT_EQ(s.anisotropy, 8u);
  EXPECT_EQ(s.autoMip, "none");
  EXPECT_EQ(s.magFilter, "point");
  EXPECT_FALSE(s.useMipMaps);
  EXPECT_EQ(s.wrapS, 1);
  EXPECT_EQ(s.wrapT, 2);
  EXPECT_EQ(s.normalMap, 1);
  EXPECT_EQ(s.modifyMap, 1);

  // A UTF-8 byte-order mark before the first key is skipped.
  ASSERT_TRUE(
      Kiv::AsciiTextureResource::ParseDescription("\xEF\xBB\xBFPrimary=b.png\n", s, primary, alpha, why))
      << why;
  EXPECT_EQ(primary, "b.png");

  struct Bad {
    const char* text;
    const char* why;
  } bad[] = {
      {"Primary=a.png\nGlitter=1\n", "unknown setting 'Glitter'"},
      {"Primary=a.png\nHint=dxt2\n", "bad value 'dxt2'"},
      {"Primary=a.png\nAnisotropy=0\n", "bad value '0'"},
      {"Primary=a.png\nAnisotropy=4x\n", "bad value '4x'"},
      {"Primary=a.png\nTile=u\n", "bad value 'u'"},
      {"Primary=a.png\njust words\n", "line 2 is not 'key=value'"},
      {"Primary=../a.png\n", "not inside"},
      {"Primary=sub/../../a.png\n", "not inside"},
      {"Primary=/etc/hosts\n", "not inside"},
      {"Primary=\\\\server\\a.png\n", "not inside"},
      {"Primary=c:a.png\n", "not inside"},
      {"Primary=\n", "not inside"},
      {"Hint=dxt1\n", "no 'Primary' image"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    Kiv::TextureSettings t;
    EXPECT_FALSE(Kiv::AsciiTextureResource::ParseDescription(b.text, t, primary, alpha, why));
    EXPECT_NE(why.find(b.why), std::string::npos) << why;
  }
  Kiv::TextureSettings t;
  std::string longLine = "Primary=" + std::string(600, 'a') + ".png\n";
  EXPECT_FALSE(Kiv::AsciiTextureResource::ParseDescription(longLine, t, primary, alpha, why));
  EXPECT_FALSE(Kiv::AsciiTextureResource::ParseDescription(std::string("Primary=a.png\0\n", 15), t, primary,
                                                           alpha, why));
  // A sub-folder inside the texture's folder is fine.
  EXPECT_TRUE(
      Kiv::AsciiTextureResource::ParseDescription("Primary=sub/./x/../a.png\n", t, primary, alpha, why));
}

TEST(TextureLoad, AlphaKindComesFromTheImagesUnlessGiven) {
  TextureDir f;
  ASSERT_TRUE(
      f.Image("opaque.png", 8, 4, [](int x, int) { return 0xff000000u | static_cast<uint32_t>(x * 30); }));
  ASSERT_TRUE(f.Image("masked.png", 8, 4, [](int x, int) { return x < 4 ? 0xff112233u : 0x00112233u; }));
  ASSERT_TRUE(f.Image("graded.png", 8, 4,
                      [](int x, int) { return static_cast<uint32_t>(x * 30) << 24 | 0x445566u; }));
  ASSERT_TRUE(f.Image("grey.png", 8, 4,
                      [](int x, int) { return 0xff000000u | static_cast<uint32_t>(x * 30) * 0x010101u; }));
  ASSERT_TRUE(f.Image("small.png", 4, 4, [](int, int) { return 0xffffffffu; }));
  f.Write("o.txt", "Primary=opaque.png\n");
  f.Write("m.txt", "Primary=masked.png\n");
  f.Write("g.txt", "Primary=graded.png\n");
  f.Write("a.txt", "Primary=opaque.png\nAlpha=grey.png\n");
  f.Write("h.txt", "Primary=graded.png\nAlphaHint=none\n");
  f.Write("s.txt", "Primary=opaque.png\nAlpha=small.png\n");
  f.Write("x.txt", "Primary=nothere.png\n");
  f.Write("c.txt", "Primary=broken.png\n");
  f.Write("broken.png", "\x89PNG\r\n\x1a\nthis is not an image");

  struct Expect {
    const char* name;
    uint8_t kind;
    Kiv::Bitmap::Format format;
  } cases[] = {
      {"o.txt", 0, Kiv::Bitmap::FormatRGBX32}, {"m.txt", 2, Kiv::Bitmap::FormatRGBA32},
      {"g.txt", 1, Kiv::Bitmap::FormatRGBA32}, {"a.txt", 1, Kiv::Bitmap::FormatRGBA32},
      {"h.txt", 0, Kiv::Bitmap::FormatRGBX32},
  };
  for (const Expect& e : cases) {
    SCOPED_TRACE(e.name);
    Loaded t(f, e.name);
    ASSERT_EQ(t.result, 0) << t.res->LoadError();
    EXPECT_EQ(t.res->GetAlphaKind(), e.kind);
    ASSERT_TRUE(t.res->GetMipLock());
    const Kiv::Bitmap* top = t.res->GetMip(0, 0);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->GetFormat(), e.format);
    EXPECT_EQ(t.res->GetMip(1, 0), nullptr);
    EXPECT_EQ(t.res->ChooseFormat(), e.kind == 0 ? 3 : 1);
    EXPECT_TRUE(t.res->GetMipUnlock());
  }
  {
    // The grey level of the alpha image becomes the alpha.
    Loaded t(f, "a.txt");
    ASSERT_EQ(t.result, 0);
    ASSERT_TRUE(t.res->GetMipLock());
    EXPECT_EQ(t.res->GetMip(0, 0)->GetPixel(3, 1) >> 24, 90u);
    EXPECT_TRUE(t.res->GetMipUnlock());
  }
  for (const char* failing : {"s.txt", "x.txt", "c.txt", "none.txt"}) {
    SCOPED_TRACE(failing);
    Loaded t(f, failing);
    EXPECT_NE(t.result, 0);
    EXPECT_FALSE(t.res->LoadError().empty());
    EXPECT_FALSE(t.res->IsLocked());
    EXPECT_FALSE(t.res->GetMipLock());
  }
}

TEST(TextureScale, BoxAveragesAndProportions) {
  Kiv::Bitmap b;
  ASSERT_TRUE(b.Create(4, 2, Kiv::Bitmap::FormatRGBA32));
  const uint32_t px[8] = {0x00000000, 0x04080c10, 0xff000000, 0xff0000ff,
                          0x10101010, 0x14181c20, 0x01000000, 0x010000ff};
  for (int i = 0; i < 8; ++i) b.SetPixel(i % 4, i / 4, px[i]);
  auto half = Kiv::ScaleBitmap(b, 2, 1);
  ASSERT_TRUE(half);
  EXPECT_EQ(half->GetPixel(0, 0), 0x0a0c0e10u);  // (0 + 4 + 16 + 20) / 4 = 10 per channel step
  EXPECT_EQ(half->GetPixel(1, 0), 0x80000080u);  // 255, 255, 1, 1 average with rounding
  auto one = Kiv::ScaleBitmap(b, 1, 1);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->Width(), 1);
  // Three-to-two keeps the edges and covers every source pixel.
  Kiv::Bitmap c;
  ASSERT_TRUE(c.Create(3, 1, Kiv::Bitmap::FormatRGB24));
  c.SetPixel(0, 0, 0xff000000);
  c.SetPixel(1, 0, 0xff000060);
  c.SetPixel(2, 0, 0xff0000c0);
  auto two = Kiv::ScaleBitmap(c, 2, 1);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->GetPixel(0, 0) & 0xff, 0x30u);
  EXPECT_EQ(two->GetPixel(1, 0) & 0xff, 0x90u);
  Kiv::Bitmap block;
  ASSERT_TRUE(block.Create(4, 4, Kiv::Bitmap::FormatBlock, 8));
  EXPECT_EQ(Kiv::ScaleBitmap(block, 2, 2), nullptr);
  EXPECT_EQ(Kiv::ScaleBitmap(b, 0, 1), nullptr);
}

TEST(TextureChunkFile, RoundTripAndDamage) {
  Kiv::ChunkFileWriter w(Kiv::kTextureFormTag);
  w.BeginChunk("HEAD");
  w.WriteU32(0x01020304);
  w.WriteU8(7);
  w.BeginChunk("DATA");  // closes HEAD
  w.WriteBytes("abc", 3);
  const std::vector<uint8_t> bytes = w.Bytes();
  ASSERT_EQ(bytes.size(), 8u + 8 + 5 + 8 + 3);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "KVXBMMTF");

  Kiv::ChunkFileReader r;
  ASSERT_TRUE(r.Open(bytes.data(), bytes.size(), Kiv::kTextureFormTag)) << r.Error();
  ASSERT_EQ(r.Chunks().size(), 2u);
  EXPECT_EQ(r.Chunks()[0].tag, "HEAD");
  Kiv::ChunkCursor c(r.Chunks()[0]);
  EXPECT_EQ(c.U32(), 0x01020304u);
  EXPECT_EQ(c.U8(), 7);
  EXPECT_FALSE(c.Failed());
  EXPECT_EQ(c.U32(), 0u);  // past the end
  EXPECT_TRUE(c.Failed());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.Chunks()[1].data), r.Chunks()[1].size), "abc");

  EXPECT_FALSE(r.Open(bytes.data(), bytes.size(), 0x12345678));
  for (size_t cut : {size_t(0), size_t(7), size_t(12), bytes.size() - 1}) {
    SCOPED_TRACE(cut);
    EXPECT_FALSE(r.Open(bytes.data(), cut, Kiv::kTextureFormTag));
  }
  std::vector<uint8_t> huge = bytes;
  huge[12] = 0xff, huge[13] = 0xff, huge[14] = 0xff, huge[15] = 0xff;  // length far past the end
  EXPECT_FALSE(r.Open(huge.data(), huge.size(), Kiv::kTextureFormTag));
}

namespace {

// A ".texture" file as the writers lay it out: a header, then each level of
// each face; every field can be set wrong.
struct TextureLayout {
  uint32_t version = 1, format = Kiv::kTexDXT1, width = 8, height = 4, faces = 1, levels = 2;
  struct Level {
    uint32_t face, level, width, height, bitmapFormat, bytes;
  };
  std::vector<Level> mips = {{0, 0, 8, 4, Kiv::Bitmap::FormatBlock, 16},
                             {0, 1, 4, 2, Kiv::Bitmap::FormatBlock, 8}};

  std::vector<uint8_t> Bytes() const {
    Kiv::ChunkFileWriter w(Kiv::kTextureFormTag);
    w.BeginChunk("TXHD");
    for (uint32_t v : {version, format, width, height, faces, levels}) w.WriteU32(v);
    w.WriteU8(255);
    w.WriteU8(8);
    for (const Level& m : mips) {
      w.BeginChunk("MIPS");
      for (uint32_t v : {m.face, m.level, m.width, m.height, m.bitmapFormat, m.bytes}) w.WriteU32(v);
      w.WriteBytes(std::vector<uint8_t>(m.bytes, 0x55).data(), m.bytes);
    }
    return w.Bytes();
  }
};

bool Probes(const std::vector<uint8_t>& bytes, Kiv::TextureFileFacts& facts, std::string& why) {
  return Kiv::ProbeTextureMemory(bytes.data(), bytes.size(), facts, &why);
}

}  // namespace

// A converted texture is whole when its header and levels agree; anything
// cut short or out of place is refused with a reason, from memory and from a
// file alike.
TEST(TextureFileProbe, WholeFilesPassAndDamagedOnesAreRefused) {
  Kiv::TextureFileFacts facts;
  std::string why;
  const TextureLayout good;
  const std::vector<uint8_t> bytes = good.Bytes();
  ASSERT_TRUE(Probes(bytes, facts, why)) << why;
  EXPECT_EQ(facts.format, uint32_t(Kiv::kTexDXT1));
  EXPECT_EQ(facts.width, 8u);
  EXPECT_EQ(facts.height, 4u);
  EXPECT_EQ(facts.levels, 2u);
  for (size_t cut = 0; cut < bytes.size(); ++cut)
    EXPECT_FALSE(Kiv::ProbeTextureMemory(bytes.data(), cut, facts, &why)) << cut;

  // Uncompressed levels take the bytes of their own pixel format.
  TextureLayout plain;
  plain.format = Kiv::kTexRGBX32;
  plain.levels = 1;
  plain.mips = {{0, 0, 8, 4, Kiv::Bitmap::FormatRGB24, 8 * 4 * 3}};
  EXPECT_TRUE(Probes(plain.Bytes(), facts, why)) << why;

  const std::vector<std::pair<const char*, std::function<void(TextureLayout&)>>> damage = {
      {"version", [](TextureLayout& t) { t.version = 2; }},
      {"format", [](TextureLayout& t) { t.format = 7; }},
      {"no width", [](TextureLayout& t) { t.width = 0; }},
      {"huge", [](TextureLayout& t) { t.width = 1u << 20; }},
      {"no faces", [](TextureLayout& t) { t.faces = 0; }},
      {"more levels than a chain", [](TextureLayout& t) { t.levels = 5; }},
      {"a level missing", [](TextureLayout& t) { t.mips.pop_back(); }},
      {"a level twice", [](TextureLayout& t) { t.mips[1] = t.mips[0]; }},
      {"a level of another face", [](TextureLayout& t) { t.mips[1].face = 1; }},
      {"a level of the wrong size", [](TextureLayout& t) { t.mips[1].width = 3; }},
      {"blocks short", [](TextureLayout& t) { t.mips[0].bytes = 8; }},
      {"an unknown pixel format", [](TextureLayout& t) { t.mips[1].bitmapFormat = 9; }},
  };
  for (const auto& [what, change] : damage) {
    TextureLayout broken;
    change(broken);
    why.clear();
    EXPECT_FALSE(Probes(broken.Bytes(), facts, why)) << what;
    EXPECT_FALSE(why.empty()) << what;
  }
  std::vector<uint8_t> text(bytes.size(), 'a');
  EXPECT_FALSE(Probes(text, facts, why));

  TextureDir dir;
  dir.Write("good.texture", std::string(bytes.begin(), bytes.end()));
  ASSERT_GT(bytes.size(), 100u);
  dir.Write("cut.texture", std::string(bytes.begin(), bytes.begin() + 100));
  EXPECT_TRUE(Kiv::ProbeTextureFile(dir.Path("good.texture"), facts, &why)) << why;
  EXPECT_FALSE(Kiv::ProbeTextureFile(dir.Path("cut.texture"), facts, &why));
  EXPECT_FALSE(Kiv::ProbeTextureFile(dir.Path("missing.texture"), facts, &why));
}
