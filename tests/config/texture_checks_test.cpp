// The texture file checks on generated asset folders.
#include <gtest/gtest.h>

#include <filesystem>

#include "ConfigFixture.h"
#include "config/AssetFiles.h"
#include "config/AssetPaths.h"
#include "config/TextureChecks.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"

using namespace OBLLib;
namespace fs = std::filesystem;

namespace {

class TextureChecksTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    m_dm = Start(false);
    m_asset = m_dir / "asset";
    fs::create_directories(m_asset);
  }
  void File(const std::string& name, const std::string& text) {
    fs::create_directories((m_asset / name).parent_path());
    std::ofstream(m_asset / name, std::ios::binary) << text;
  }
  void Image(const std::string& name, int w, int h) {
    Kiv::Bitmap b;
    ASSERT_TRUE(b.Create(w, h, Kiv::Bitmap::FormatRGB24));
    ASSERT_TRUE(b.Save((m_asset / name).string()));
  }
  // The findings of a walk, one "E text" / "W text" line each, and the result.
  std::string Check(bool* ok = nullptr) {
    EH().Clear();
    const bool result = ValidateTextureFiles(m_asset.string(), m_asset.string());
    if (ok) *ok = result;
    const std::string out = FindingLines();
    EXPECT_EQ(result, out.empty()) << out;
    // A whole asset check walks the folder's listings: the same findings, in order.
    EH().Clear();
    AssetFiles files(m_asset.string());
    EXPECT_EQ(ValidateTextureFiles(files), result);
    EXPECT_EQ(FindingLines(), out);
    return out;
  }

  DataManager* m_dm = nullptr;
  fs::path m_asset;
};

TEST_F(TextureChecksTest, DuplicateBySettingsAndBuild) {
  File("wood.texture", "binary");
  File("wood.texture.txt", "Primary=wood.bmp\n");
  Image("wood.bmp", 4, 4);
  const std::string finding =
      "The texture 'wood.texture' has both a settings file and a converted texture.\n";
  m_dm->build = 2.8f;
  EXPECT_EQ(Check(), "W " + finding);
  m_dm->build = 2.9f;
  EXPECT_EQ(Check(), "E " + finding);
  m_dm->checkOptions[0] = true;
  EXPECT_EQ(Check(), "");
}

// Each settings file on its own in a fresh folder, with its findings.
TEST_F(TextureChecksTest, SettingsFiles) {
  struct Case {
    std::string settings;
    const char* out;
  } cases[] = {
      {"Primary=Wood.BMP\r\n", ""},
      {"primary=nothing.bmp\nPrimary=gone.bmp\nPrimary=wide.bmp\n", ""},
      {"Primary=odd.bmp\n", "E The size of the image 'odd.bmp' is not a power of two.\n"},
      {"Primary=wood.bmp\nAlpha=small.bmp\n", "E The images named in 't.texture.txt' differ in size.\n"},
      // A missing image has no size to compare.
      {"Primary=gone.bmp\nAlpha=small.bmp\n",
       "E The image 'gone.bmp' named in 't.texture.txt' does not exist.\n"},
      {"Primary=broken.bmp\nAlpha=gone.bmp\n", "E Unable to load the image 'broken.bmp'.\n"},
      {"Primary=../outside.bmp\n", "E The image '../outside.bmp' named in 't.texture.txt' does not exist.\n"},
      {"Primary=wood.bmp\nAlpha=gon\xe9.bmp\n",
       "E The texture settings file 't.texture.txt' has characters outside the ANSI range.\n"
       "E The alpha image 'gon\xe9.bmp' named in 't.texture.txt' does not exist.\n"},
      // A line longer than a piece continues as a line of its own.
      {std::string(511, 'x') + "Primary=odd.bmp\n",
       "E The size of the image 'odd.bmp' is not a power of two.\n"},
  };
  for (const Case& c : cases) {
    fs::remove_all(m_asset);
    fs::create_directories(m_asset);
    Image("wood.bmp", 256, 128);
    Image("wide.bmp", 512, 2);
    Image("odd.bmp", 96, 64);
    Image("small.bmp", 128, 128);
    File("broken.bmp", "BM not really");
    std::ofstream(m_dir / "outside.bmp") << "x";
    File("t.texture.txt", c.settings);
    EXPECT_EQ(Check(), c.out) << c.settings;
  }
}

TEST_F(TextureChecksTest, ConversionLeftoversAndSubfolders) {
  File("a.convert-tex.txt", "Primary=a.bmp\n");
  File("sub/deeper/b.texture.txt", "Primary=B.bmp\n");
  Image("sub/deeper/b.bmp", 8, 8);
  m_dm->checkOptions[1] = true;
  bool ok = true;
  EXPECT_EQ(Check(&ok),
            "E Unable to load the image 'a.convert-tex.txt'.\n"
            "E The texture of 'sub/deeper/b.texture.txt' could not be converted.\n");
  EXPECT_FALSE(ok);
  File("sub/deeper/b.texture", "binary");
  m_dm->checkOptions[0] = true;
  File("a.convert-tex.txt", "");
  fs::remove(m_asset / "a.convert-tex.txt");
  EXPECT_EQ(Check(&ok), "");
  EXPECT_TRUE(ok);
}

// PNG images are checked through to their pixel data: one whose header is
// sound but whose data is not, or that is cut short, does not load. Named by
// two settings files, it is reported once (the handler keeps one report of
// a text).
TEST_F(TextureChecksTest, DamagedPngsDoNotLoad) {
  Image("good.png", 8, 8);
  Image("odd.png", 12, 8);
  std::string bytes;
  ASSERT_TRUE(Kiv::File::ReadWholeFile((m_asset / "good.png").string(), bytes, 1 << 20));
  const size_t data = bytes.find("IDAT");
  ASSERT_NE(data, std::string::npos);
  std::string corrupt = bytes;
  corrupt[data + 6] = '\xFF';  // the first block after the stream header: a reserved block type
  File("corrupt.png", corrupt);
  File("truncated.png", bytes.substr(0, bytes.size() / 2));
  File("a.texture.txt", "Primary=good.png\nAlpha=corrupt.png\n");
  File("b.texture.txt", "Primary=corrupt.png\n");
  File("c.texture.txt", "Primary=truncated.png\n");
  File("d.texture.txt", "Primary=Good.PNG\nAlpha=odd.png\n");
  EXPECT_EQ(Check(),
            "E Unable to load the image 'corrupt.png'.\n"
            "E Unable to load the image 'truncated.png'.\n"
            "E The size of the image 'odd.png' is not a power of two.\n"
            "E The images named in 'd.texture.txt' differ in size.\n");
}

// During a whole asset check, look-ups of the asset's files relative to the
// content folder are answered from its listings exactly as the disk would
// answer them, and left to the disk where the listings cannot tell.
TEST_F(TextureChecksTest, ListingsAnswerForTheAssetsFiles) {
  Image("a.png", 4, 4);
  fs::create_directories(m_asset / "Sub");
  Image("Sub/B.png", 4, 4);
  fs::create_directories(m_asset / "folder.png");
  std::ofstream(m_dir / "outside.png") << "x";
  fs::create_symlink(m_dir / "outside.png", m_asset / "link.png");
  const std::string content = m_dir.string();
  m_dm->contentFolder = content;
  m_dm->assetFolder = Kiv::File::Path("asset");
  EXPECT_FALSE(ListedContentFile(content, "asset/a.png"));  // no check running
  AssetFiles files(m_asset.string());
  m_dm->assetFiles = &files;
  for (const char* name : {"asset/a.png", "asset/sub/b.png", "asset/SUB/b.PNG"}) {
    const auto listed = ListedContentFile(content, name);
    ASSERT_TRUE(listed && *listed) << name;
    EXPECT_EQ(**listed, Kiv::ResolvePathBelow(content, name)) << name;
  }
  const auto folder = ListedContentFile(content, "asset/folder.png");
  ASSERT_TRUE(folder);
  EXPECT_FALSE(*folder);  // a folder is no file
  // Missing, even where a folder spelled like the asset's in another case
  // holds the name: that folder is another asset's.
  fs::create_directories(m_dir / "ASSET");
  std::ofstream(m_dir / "ASSET" / "other.png") << "x";
  for (const char* name : {"asset/missing.png", "asset/other.png"}) {
    const auto missing = ListedContentFile(content, name);
    ASSERT_TRUE(missing) << name;
    EXPECT_FALSE(*missing) << name;
  }
  // Left to the disk: through a link, outside the asset, the asset's folder
  // spelled otherwise, or another content folder.
  EXPECT_FALSE(ListedContentFile(content, "asset/link.png"));
  EXPECT_FALSE(ListedContentFile(content, "ASSET/other.png"));
  EXPECT_FALSE(ListedContentFile(content, "outside.png"));
  EXPECT_FALSE(ListedContentFile(content, "assets/a.png"));
  EXPECT_FALSE(ListedContentFile(content + "/asset", "a.png"));
  m_dm->assetFiles = nullptr;
}

// Linked folders are not walked, so a link back up the tree ends; a
// settings "file" that is a folder is reported, not read.
TEST_F(TextureChecksTest, LinksAndOddEntries) {
  fs::create_directories(m_asset / "sub");
  fs::create_directory_symlink(m_asset, m_asset / "sub" / "loop");
  File("sub/x.texture.txt", "Primary=x.bmp\n");
  Image("sub/x.bmp", 16, 16);
  fs::create_directories(m_asset / "odd.texture.txt");
  EXPECT_EQ(Check(), "E Unable to load the image 'odd.texture.txt'.\n");
  // An image name that is a folder is no image.
  fs::create_directories(m_asset / "sub" / "Folder.bmp");
  File("sub/y.texture.txt", "Primary=folder.bmp\n");
  EXPECT_EQ(Check(),
            "E Unable to load the image 'odd.texture.txt'.\n"
            "E The image 'sub/folder.bmp' named in 'sub/y.texture.txt' does not exist.\n");
}

// Images and settings files reached through a symbolic link count only when they
// really lie inside the asset: links out are missing and never read.
TEST_F(TextureChecksTest, LinksOutOfTheAssetAreMissing) {
  const fs::path outside = m_dir / "outside";
  fs::create_directories(outside);
  {
    Kiv::Bitmap b;
    ASSERT_TRUE(b.Create(4, 4, Kiv::Bitmap::FormatRGB24));
    ASSERT_TRUE(b.Save((outside / "secret.bmp").string()));
  }
  std::ofstream(outside / "settings.txt") << "Primary=own.bmp\n";
  Image("own.bmp", 4, 4);
  fs::create_symlink(outside / "secret.bmp", m_asset / "link.bmp");
  fs::create_directory_symlink(outside, m_asset / "etcdir");
  fs::create_symlink(m_asset / "own.bmp", m_asset / "inside.bmp");
  fs::create_directories(m_asset / "sub");
  fs::create_directory_symlink(m_asset / "sub", m_asset / "sublink");
  Image("sub/deep.bmp", 8, 8);

  struct Case {
    const char* settings;
    const char* out;
  } cases[] = {
      {"Primary=link.bmp\n", "E The image 'link.bmp' named in 't.texture.txt' does not exist.\n"},
      {"Primary=etcdir/secret.bmp\n",
       "E The image 'etcdir/secret.bmp' named in 't.texture.txt' does not exist.\n"},
      {"Primary=own.bmp\nAlpha=etcdir/secret.bmp\n",
       "E The alpha image 'etcdir/secret.bmp' named in 't.texture.txt' does not exist.\n"},
      {"Primary=inside.bmp\n", ""},        // a link inside the asset is followed
      {"Primary=sublink/deep.bmp\n", ""},  // and so is a folder link inside it
  };
  for (const Case& c : cases) {
    File("t.texture.txt", c.settings);
    EXPECT_EQ(Check(), c.out) << c.settings;
  }
  fs::remove(m_asset / "t.texture.txt");
  fs::create_symlink(outside / "settings.txt", m_asset / "s.texture.txt");
  EXPECT_EQ(Check(), "E Unable to load the image 's.texture.txt'.\n");
}

}  // namespace

// During one asset check a description is read once for every check that
// asks; outside a check every read sees the file as it is.
TEST_F(TextureChecksTest, DescriptionsKeptForOneCheck) {
  Write("a.texture.txt", "Tile=st\nPrimary=a.png");
  const std::string path = Root() + "a.texture.txt";
  std::string primary;
  OBLLib::KeepTextureDescriptions(true);
  ASSERT_TRUE(OBLLib::ReadTexturePrimary(path, primary));
  EXPECT_EQ(primary, "a.png");  // the last line, without a line end
  Write("a.texture.txt", "Primary=b.png\n");
  ASSERT_TRUE(OBLLib::ReadTexturePrimary(path, primary));
  EXPECT_EQ(primary, "a.png");
  OBLLib::KeepTextureDescriptions(false);
  ASSERT_TRUE(OBLLib::ReadTexturePrimary(path, primary));
  EXPECT_EQ(primary, "b.png");
  Write("a.texture.txt", "Tile=st\n");
  EXPECT_FALSE(OBLLib::ReadTexturePrimary(path, primary));
}
