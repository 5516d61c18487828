// Failures outside the user's input (a full disk, a refused write, a schema
// file missing from the installation) are told as what they are, with the file
// and the system's reason, beside the program's own messages, and never blamed
// on the script or the asset.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "kiv/File.h"
#include "RunProgram.h"
#include "TempTree.h"

namespace {

class FailureReasonsTest : public ::testing::Test {
protected:
  void SetUp() override {
    const std::filesystem::path samples = std::string(ROVANA_SOURCE_DIR) + "/samples";
    m_root = m_tree.MakeDir("install");
    m_userData = m_tree.Path("user");
    CopySampleInstallation(m_root);
    std::filesystem::create_directories(m_userData + "/local");
    for (const char* asset : {"clean_shed", "signal_box"})
      std::filesystem::copy(samples / "userdata/local" / asset, m_userData + "/local/" + asset,
                            std::filesystem::copy_options::recursive);
  }
  void TearDown() override { Kiv::File::SetFaultInjector(nullptr); }

  int Run(std::vector<std::string> args) {
    return RunProgram(std::move(args), m_root, m_userData, m_out.File());
  }
  // Every write of file data from now on fails as on a full disk, after the
  // first `allowed` ones.
  void FillTheDiskAfter(int allowed) {
    auto left = std::make_shared<int>(allowed);
    Kiv::File::SetFaultInjector(
        [left](std::string_view step) { return step != "write data" || (*left)-- > 0; });
  }
  std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  TempTree m_tree;
  CapturedOutput m_out;
  std::string m_root, m_userData;
};

TEST_F(FailureReasonsTest, CompileToAFullDiskOrAMissingFolderSaysWhichFileAndWhy) {
  const std::string small = m_tree.Write("src/small.gs", "class Small { int x; };\n");
  // Enough code that the library's blocks go to its file while it is built.
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    text += "class Big" + std::to_string(i) + " { int x; public int F(int a) {";
    for (int j = 0; j < 12; ++j) text += " x = x + a * " + std::to_string(j) + ";";
    text += " return x; } };\n";
  }
  const std::string big = m_tree.Write("src/big.gs", text);
  const std::string log = m_tree.Path("build.log");

  // On a full disk: the compiler's own message, then the file and the reason.
  const auto onAFullDisk = [&](const std::string& source, const char* message, const std::string& library) {
    std::filesystem::remove(log);
    FillTheDiskAfter(0);
    EXPECT_EQ(Run({"compile", source, "-s", "-b" + log}), -1);
    Kiv::File::SetFaultInjector(nullptr);
    const std::string said = Slurp(log);
    EXPECT_NE(said.find(message), std::string::npos) << said;
    EXPECT_NE(said.find("cannot write '" + library + "': No space left on device"), std::string::npos)
        << said;
    EXPECT_FALSE(std::filesystem::exists(library));
  };
  onAFullDisk(small, "Unable to open output file.\n", m_tree.Path("src/small.gsl"));
  // Space runs out while the blocks are written.
  onAFullDisk(big, "Internal Compiler Error.\n", m_tree.Path("src/big.gsl"));

  // An output folder that is not there: the system's reason, and the file.
  std::filesystem::remove(log);
  EXPECT_EQ(Run({"compile", small, "-s", "-p" + m_tree.Path("gone/small.gsl"), "-b" + log}), -1);
  const std::string said = Slurp(log);
  EXPECT_NE(said.find("Unable to open output file.\n"), std::string::npos) << said;
  EXPECT_NE(said.find("'" + m_tree.Path("gone/small.gsl") + "': No such file or directory"),
            std::string::npos)
      << said;

  // With room again both compile.
  EXPECT_EQ(Run({"compile", small, "-s"}), 0);
  EXPECT_EQ(Run({"compile", big, "-s"}), 0);
}

TEST_F(FailureReasonsTest, ValidateOnAFullDiskDoesNotBlameTheScript) {
  FillTheDiskAfter(0);
  EXPECT_EQ(Run({"validate", m_userData + "/local/signal_box"}), -1);
  Kiv::File::SetFaultInjector(nullptr);
  const std::string out = m_out.Text();
  EXPECT_EQ(out.find("Syntax error in script"), std::string::npos) << out;
  EXPECT_NE(out.find("- Unable to write the script cache of asset '"), std::string::npos) << out;
  EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
  EXPECT_NE(out.find(m_userData), std::string::npos) << out;  // the cache file is named
  // The same asset is clean once the disk has room.
  const size_t seen = out.size();
  EXPECT_EQ(Run({"validate", m_userData + "/local/signal_box"}), 0);
  EXPECT_EQ(m_out.Text().substr(seen), "OK (0 Errors,0 Warnings)\n");
}

TEST_F(FailureReasonsTest, CompressTextureSaysItTakesAFolderAndWhyAnOutputIsNotWritten) {
  const std::string folder = m_tree.MakeDir("textures");
  std::filesystem::copy(std::string(ROVANA_SOURCE_DIR) + "/samples/textures/brick.png",
                        folder + "/brick.png");
  const std::string description = m_tree.Write("textures/brick.texture.txt", "Primary=brick.png\n");
  EXPECT_EQ(Run({"compresstexture", description}), -1);
  EXPECT_EQ(m_out.Text(), "- compresstexture takes a folder, and '" + description +
                              "' is a file.\nOK (1 Errors,0 Warnings)\n");
  FillTheDiskAfter(0);
  const size_t seen = m_out.Text().size();
  EXPECT_EQ(Run({"compresstexture", folder}), -1);
  Kiv::File::SetFaultInjector(nullptr);
  EXPECT_EQ(m_out.Text().substr(seen),
            "- Unable to write output file 'brick.texture'\n; cannot write '" + folder +
                "/brick.texture': No space left on device\nOK (1 Errors,0 Warnings)\n");
}

TEST_F(FailureReasonsTest, ASchemaFileThatDoesNotReadIsReportedBeforeTheAssetIsJudged) {
  const std::string kind = m_root + "/OBLData/kind.txt";
  const std::string container = m_root + "/OBLData/container.txt";
  const std::string inheritance = m_root + "/OBLData/inheritance.txt";
  // Without a single definition nothing can be judged: the files are named.
  for (const std::string& file : {inheritance, kind, container}) std::filesystem::remove(file);
  EXPECT_EQ(Run({"validate", "523:1010"}), -1);
  const std::string out = m_out.Text();
  EXPECT_EQ(out, "- Unable to load the schema: none of the schema files '" + inheritance + "', '" + kind +
                     "', '" + container + "' gives a definition.\nOK (1 Errors,0 Warnings)\n");
  // A schema file that does not parse is named as such, without counting
  // against the asset.
  m_tree.Write("install/OBLData/kind.txt", "scenery\n{\n  top-level 1\n");
  std::filesystem::copy(std::string(ROVANA_SOURCE_DIR) + "/samples/install/OBLData/container.txt", container);
  const size_t seen = out.size();
  EXPECT_EQ(Run({"validate", m_userData + "/local/clean_shed"}), -1);
  EXPECT_EQ(m_out.Text().substr(seen), "; The installation has no schema file '" + inheritance +
                                           "'; its definitions are missing.\n"
                                           "; The schema file '" +
                                           kind +
                                           "' does not read; its definitions are missing.\n"
                                           "- The kind of this asset has no definition in the schema.\n"
                                           "; The schema has no kind 'scenery'.\n"
                                           "OK (1 Errors,0 Warnings)\n");
}

}  // namespace
