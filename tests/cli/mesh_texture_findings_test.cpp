// Meshes and textures of an asset as `validate` and `compresstexture` meet
// them: assets made here with meshes that do not set up, damaged textures,
// materials of unknown types and images stored top row first.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include <zlib.h>

#include "foundation/Crc32.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "tests/graphics/mesh/MeshFixture.h"
#include "ProgramFixture.h"

namespace {

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A mesh of one quad per material, each naming the textures.
std::string Mesh(const std::vector<std::string>& materials, const std::vector<std::string>& textures = {}) {
  MeshFixture::Mesh mesh;
  for (const std::string& material : materials) {
    mesh.chunks.push_back(MeshFixture::Quad(1.0f, material));
    for (uint32_t slot = 0; slot < textures.size(); ++slot)
      mesh.chunks.back().material.textures.push_back({slot, textures[slot], 1.0f});
  }
  return AsText(MeshFixture::Write(mesh));
}

std::string SampleFile(const std::string& relative) {
  std::string bytes;
  EXPECT_TRUE(Kiv::File::ReadWholeFile(std::string(ROVANA_SOURCE_DIR) + "/samples/" + relative, bytes));
  return bytes;
}

// An 8 x 8 24-bit BMP stored top row first (a negative height).
std::string TopDownBmp() {
  std::string bmp(54, '\0');
  auto put32 = [&](size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i) bmp[at + size_t(i)] = char(uint32_t(v) >> (8 * i));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, 54 + 8 * 8 * 3);
  put32(10, 54);
  put32(14, 40);
  put32(18, 8);
  put32(22, -8);
  bmp[26] = 1;
  bmp[28] = 24;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) bmp += std::string{char(x * 30), char(y * 30), char(200)};
  return bmp;
}

// A black PNG of one bit a pixel: its zeros pack small at any size.
std::string BlackPng(uint32_t width, uint32_t height) {
  const std::vector<uint8_t> rows(size_t(height) * ((width + 7) / 8 + 1), 0);
  uLongf packed = compressBound(rows.size());
  std::string z(packed, '\0');
  EXPECT_EQ(compress(reinterpret_cast<Bytef*>(z.data()), &packed, rows.data(), rows.size()), Z_OK);
  z.resize(packed);
  auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
  std::string png = "\x89PNG\r\n\x1a\n";
  auto chunk = [&](const std::string& typed) {  // the type and the body
    png += be32(uint32_t(typed.size() - 4)) + typed + be32(Crc32(typed.data(), typed.size()));
  };
  chunk("IHDR" + be32(width) + be32(height) + std::string("\1\0\0\0\0", 5));
  chunk("IDAT" + z);
  chunk("IEND");
  return png;
}

class MeshTextureFindings : public ProgramFixture {
protected:
  // A scenery asset whose mesh table names the meshes, one entry each.
  std::string Asset(const std::string& name, int number, const std::vector<std::string>& meshes) {
    std::string config = "kuid <kuid:523:" + std::to_string(number) + ">\nkind scenery\nusername \"" + name +
                         "\"\nauthor \"Tests\"\ncategory-class BU\nrovana-build 3.4\n"
                         "description \"Made by a test.\"\nmesh-table\n{\n";
    for (size_t i = 0; i < meshes.size(); ++i)
      config += "  " + (i == 0 ? std::string("default") : "part" + std::to_string(i)) + "\n  {\n    mesh \"" +
                meshes[i] + "\"\n    auto-create 1\n  }\n";
    config += "}\n";
    return Write(name + "/config.txt", config);
  }
};

}  // namespace

// A mesh that reads but cannot be set up is named in its finding, so two of
// them give two different lines.
TEST_F(MeshTextureFindings, EachMeshThatCannotBeSetUpIsNamed) {
  const std::string whole = Mesh({"body.m.onetex"});
  const std::string folder = Asset("wrecks", 7101, {"first.im", "sub/second.im"});
  Write("wrecks/first.im", whole.substr(0, 60));
  Write("wrecks/sub/second.im", whole.substr(0, 90));
  EXPECT_EQ(Run({"validate", folder}), -1);
  EXPECT_EQ(m_last,
            "- Unable to set up the mesh 'first.im'.\n"
            "- Unable to set up the mesh 'sub/second.im'.\n"
            "OK (2 Errors,0 Warnings)\n");
}

// Mesh files are named as they are spelled on disk, and the log says why one
// cannot be set up.
TEST_F(MeshTextureFindings, MeshesAreNamedAsOnDiskWithTheReasonLogged) {
  const std::string whole = Mesh({"body.m.onetex"});
  const std::string folder = Asset("Hulks", 7103, {"Inner/Inner.im", "Outer/Outer.im"});
  Write("Hulks/Inner/Inner.im", whole.substr(0, 60));
  Write("Hulks/Outer/Outer.im", Mesh({"body.m.unknown"}, {"Rust.tga"}));
  Write("Hulks/Outer/Rust.tga", std::string(512, '\x3c'));
  Write("Hulks/Paint.texture.txt", "Primary=paint.png\n");
  Write("Hulks/Paint.png", std::string(64, '\x3c'));
  EXPECT_EQ(Run({"validate", folder}), -1);
  EXPECT_EQ(m_last,
            "- Unable to set up the mesh 'Inner/Inner.im'.\n"
            "- Unable to load the material 'Outer/body.m.unknown' of the mesh 'Outer/Outer.im'.\n"
            "- Unable to load the texture 'Outer/Rust.tga' of the mesh 'Outer/Outer.im'.\n"
            "- Unable to load the image 'Paint.png'.\nOK (4 Errors,0 Warnings)\n");
  std::string log;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(m_userData + "/rovanautil.log", log));
  EXPECT_NE(log.find("unable to set up the mesh 'Hulks/Inner/Inner.im': the file is malformed or cut short"),
            std::string::npos)
      << log;
}

// Textures a mesh names that are there but do not load are findings: a
// ".texture" of text, one cut short, a TGA of garbage and an image named by
// a description that is cut short. Each is reported once for each mesh that
// names it; whole ones pass.
TEST_F(MeshTextureFindings, DamagedTexturesNamedByAMeshAreFound) {
  const std::string converted = SampleFile("userdata/local/clean_shed/brick.texture");
  const std::string png = SampleFile("textures/brick.png");
  const std::vector<std::string> textures = {"whole.texture", "text.texture", "cut.texture", "garbage.tga",
                                             "described.texture"};
  const std::string folder = Asset("damaged", 7102, {"body.im", "lid.im"});
  Write("damaged/body.im", Mesh({"body.m.onetex", "trim.m.onetex"}, textures));
  Write("damaged/lid.im", Mesh({"lid.m.onetex"}, {"cut.texture"}));
  Write("damaged/whole.texture", converted);
  Write("damaged/text.texture", "Primary=brick.png\nAlpha=none\n");
  Write("damaged/cut.texture", converted.substr(0, 100));
  Write("damaged/garbage.tga", std::string(512, '\x3c'));
  Write("damaged/described.texture.txt", "Primary=described.png\n");
  Write("damaged/described.png", png.substr(0, png.size() - 20));
  EXPECT_EQ(Run({"validate", folder}), -1);
  EXPECT_NE(m_last.find("- Unable to load the texture 'text.texture' of the mesh 'body.im'.\n"
                        "- Unable to load the texture 'cut.texture' of the mesh 'body.im'.\n"
                        "- Unable to load the texture 'garbage.tga' of the mesh 'body.im'.\n"
                        "- Unable to load the texture 'described.texture' of the mesh 'body.im'.\n"
                        "- Unable to load the texture 'cut.texture' of the mesh 'lid.im'.\n"),
            std::string::npos)
      << m_last;
  EXPECT_EQ(m_last.find("whole.texture"), std::string::npos) << m_last;

  // Mended, the asset passes.
  for (const char* name : {"text.texture", "cut.texture"}) Write(std::string("damaged/") + name, converted);
  Kiv::Bitmap tga;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(tga.Create(8, 8, Kiv::Bitmap::FormatRGB24) &&
              tga.SaveToMemory(Kiv::Bitmap::FileType::TGA, bytes));
  Write("damaged/garbage.tga", AsText(bytes));
  Write("damaged/described.png", png);
  EXPECT_EQ(Run({"validate", folder}), 0) << m_last;
  EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n");
}

// Materials of types that nothing can make are each reported, and the mesh
// is loaded and checked on with stand-ins: its textures are still looked at.
TEST_F(MeshTextureFindings, EveryFailedMaterialIsReportedAndTheMeshLoadsOn) {
  const std::string folder = Asset("strange", 7103, {"body.im"});
  Write("strange/body.im",
        Mesh({"glass.m.nosuchtype", "brass.m.othertype", "glass.m.nosuchtype"}, {"gone.texture"}));
  EXPECT_EQ(Run({"validate", folder}), -1);
  EXPECT_EQ(m_last,
            "- Unable to load the material 'glass.m.nosuchtype' of the mesh 'body.im'.\n"
            "- Unable to load the material 'brass.m.othertype' of the mesh 'body.im'.\n"
            "- Unable to load the texture 'gone.texture' of the mesh 'body.im'.\n"
            "OK (3 Errors,0 Warnings)\n");
}

// An image stored top row first converts and passes the checks like any
// other; a picture of no rows is refused as such.
TEST_F(MeshTextureFindings, TopDownBmpsConvertAndPass) {
  Write("textures/sign.bmp", TopDownBmp());
  Write("textures/sign.texture.txt", "Primary=sign.bmp\n");
  EXPECT_EQ(Run({"compresstexture", m_userData + "/editing/textures"}), 0) << m_last;
  EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n");
  EXPECT_TRUE(Kiv::File::Exists(m_userData + "/editing/textures/sign.texture"));

  const std::string folder = Asset("signpost", 7104, {"post.im"});
  Write("signpost/post.im", Mesh({"post.m.onetex"}, {"sign.texture"}));
  Write("signpost/sign.bmp", TopDownBmp());
  Write("signpost/sign.texture.txt", "Primary=sign.bmp\n");
  EXPECT_EQ(Run({"validate", folder}), 0) << m_last;
  EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n");

  std::string flat = TopDownBmp().substr(0, 54);
  flat[22] = flat[23] = flat[24] = flat[25] = 0;
  Write("textures/sign.bmp", flat);
  EXPECT_EQ(Run({"compresstexture", m_userData + "/editing/textures"}), -1);
  EXPECT_NE(m_last.find("declares 8 x 0 pixels, not a valid size"), std::string::npos) << m_last;
}

// The side limit is the only size limit: an image of 16384 x 8192 converts;
// one past it is refused as too large, with its size.
TEST_F(MeshTextureFindings, ImagesUpToTheSideLimitConvertAndLargerAreTooLarge) {
  Write("textures/wide.png", BlackPng(16384, 8192));
  Write("textures/wide.texture.txt", "Primary=wide.png\n");
  EXPECT_EQ(Run({"compresstexture", m_userData + "/editing/textures"}), 0) << m_last;
  EXPECT_TRUE(Kiv::File::Exists(m_userData + "/editing/textures/wide.texture"));

  Write("textures/wide.png", BlackPng(20000, 20000));
  EXPECT_EQ(Run({"compresstexture", m_userData + "/editing/textures"}), -1);
  EXPECT_NE(m_last.find("wide.png' is too large: 20000 x 20000 pixels (at most 16384 a side)"),
            std::string::npos)
      << m_last;
}
