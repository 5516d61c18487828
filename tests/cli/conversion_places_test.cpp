// Texture conversions stay in their place as a user meets them: the command
// host's request inside its content set, two conversions of one folder at
// once, and a conversion killed part way.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kiv/File.h"
#include "ProgramFixture.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const std::string& path) {
  std::string text;
  EXPECT_TRUE(Kiv::File::ReadWholeFile(path, text)) << path;
  return text;
}

// Every file below folder by its path there, with its bytes.
std::map<std::string, std::string> Files(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) files[fs::relative(e.path(), folder).string()] = Read(e.path().string());
  return files;
}

constexpr std::string_view kAside = ".convert-tex.txt";

std::vector<std::string> SetAside(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.path().string().ends_with(kAside)) names.push_back(fs::relative(e.path(), folder).string());
  return names;
}

void RemoveConverted(const std::string& folder) {
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.path().extension() == ".texture") fs::remove(e.path());
}

class ConversionPlaces : public ProgramFixture {
protected:
  void SetUp() override {
    ProgramFixture::SetUp();
    setenv("ROVANA_ROOT", ROVANA_INSTALL_DIR, 1);  // for the programs started
    setenv("ROVANA_USERDATA", m_userData.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ROVANA_ROOT");
    unsetenv("ROVANA_USERDATA");
    ProgramFixture::TearDown();
  }
  // The sample textures copied to a folder of the user data.
  std::string Samples(const std::string& inUserData) {
    const std::string folder = m_userData + "/" + inUserData;
    fs::create_directories(fs::path(folder).parent_path());
    fs::copy(std::string(ROVANA_SOURCE_DIR) + "/samples/textures", folder, fs::copy_options::recursive);
    return folder;
  }
  // `validate` explains the description `stem` that an older version left set
  // aside in asset, and the conversion puts it back under its name with text.
  void ExpectSetAsideRestored(const std::string& asset, const std::string& stem, const std::string& text) {
    Run({"validate", asset});
    EXPECT_NE(m_last.find("! The texture settings file '" + stem + ".texture.txt' was left as '" + stem +
                          ".texture.convert-tex.txt' by a texture conversion that was stopped; run "
                          "'rovanautil compresstexture' on the asset folder to put it back.\n"),
              std::string::npos)
        << m_last;
    Run({"compresstexture", asset});
    EXPECT_NE(m_last.find("Restored texture description"), std::string::npos) << m_last;
    EXPECT_TRUE(SetAside(asset).empty());
    EXPECT_EQ(Read(asset + "/" + stem + ".texture.txt"), text);
  }
};

}  // namespace

// A relative folder of a texture request with a set name lies in that set,
// wherever the host was started; one that climbs out of the set, an absolute
// folder elsewhere and a set name that is no content set are refused before
// anything there is touched.
TEST_F(ConversionPlaces, HostTextureRequestStaysInItsContentSet) {
  const std::string set = Samples("local");
  // Outside every set, a description an old conversion left set aside.
  const std::string outside = m_tree.MakeDir("outside");
  fs::copy(set + "/brick.png", outside + "/brick.png");
  m_tree.Write("outside/o.texture.convert-tex.txt", "Primary=brick.png\n");
  const auto before = Files(outside);
  Run({"umbcommandhost"}, "7 1 signs local\n8 1 ../editing local\n9 1 signs/../.. local\n10 1 " + outside +
                              " local\n11 1 " + outside + " ..\n12 1 . " + outside + "\n13 1 " + outside +
                              " nosuchset\n");
  EXPECT_EQ(m_last.find("7 OK 2\n"
                        "8 R 3 The folder '../editing' leads outside the content set 'local'\n8 OK 0\n"
                        "9 R 3 The folder 'signs/../..' leads outside the content set 'local'\n9 OK 0\n"
                        "10 R 3 The folder '" +
                        outside +
                        "' leads outside the content set 'local'\n10 OK 0\n"
                        "11 R 3 Unable to open the content folder '..'.\n11 OK 0\n"
                        "12 R 3 Unable to open the content folder '" +
                        outside +
                        "'.\n12 OK 0\n"
                        "13 R 3 Unable to open the content folder 'nosuchset'.\n13 OK 0\n"),
            0u)
      << m_last;
  EXPECT_TRUE(fs::exists(set + "/signs/station.texture"));
  EXPECT_FALSE(fs::exists(set + "/brick.texture"));  // only the folder asked for
  EXPECT_EQ(Files(outside), before);
}

// Descriptions whose names differ only in case convert side by side, each to
// its own output, run after run, and every name keeps its spelling.
TEST_F(ConversionPlaces, NamesDifferingOnlyInCaseConvertSideBySide) {
  const std::string folder = Samples("local/mixed");
  // Written as spelled: the program's own file layer would take one for the other.
  for (const auto& [name, text] : {std::pair{"a", "brick"}, {"A", "leaves"}})
    std::ofstream(folder + "/" + name + ".texture.txt") << "Primary=" << text << ".png\n";
  std::ofstream(folder + "/x.texture.TXT") << "Primary=glass.png\n";
  const auto sources = Files(folder);
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Run({"compresstexture", folder}), 0);
    EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n");
  }
  auto after = Files(folder);
  ASSERT_TRUE(after.count("a.texture") && after.count("A.texture") && after.count("x.texture"));
  EXPECT_NE(after["a.texture"], after["A.texture"]);
  std::erase_if(after, [](const auto& f) { return f.first.ends_with(".texture"); });
  EXPECT_EQ(after, sources);
}

// Two conversions of one folder started together, by two commands or a
// command beside a host request, both convert everything and neither takes
// the other's work for an interrupted conversion's.
TEST_F(ConversionPlaces, TwoConversionsOfOneFolderTakeTurns) {
  const std::string folder = Samples("textures");
  const std::string ok = "OK (0 Errors,0 Warnings)\n";
  EXPECT_EQ(Run({"compresstexture", folder}), 0);
  EXPECT_EQ(m_last, ok);
  const auto converted = Files(folder);
  const std::string request = m_tree.Write("host.txt", "1 1 \"" + folder + "\"\n");
  const std::string first = m_tree.Path("first.out"), second = m_tree.Path("second.out");
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    RemoveConverted(folder);
    const bool host = round % 2;
    const pid_t one = StartProgram({"compresstexture", folder}, first);
    const pid_t two = host ? StartProgram({"umbcommandhost"}, second, request)
                           : StartProgram({"compresstexture", folder}, second);
    EXPECT_EQ(WaitProgram(one), 0);
    EXPECT_EQ(WaitProgram(two), 0);
    EXPECT_EQ(Read(first), ok);
    EXPECT_EQ(Read(second), host ? "1 OK 2\n" + ok : ok);
    EXPECT_EQ(Files(folder), converted);
  }
}

// A conversion killed at any moment leaves every description under its own
// name with its text. One that an older version left set aside is explained
// by `validate`, with what to run, and the next conversion puts it back.
TEST_F(ConversionPlaces, KilledConversionIsExplainedAndRestored) {
  const std::string asset = Samples("editing/painted");
  m_tree.Write("user/editing/painted/config.txt",
               "kuid <kuid:523:7201>\nkind scenery\nusername \"painted\"\nauthor \"Tests\"\n"
               "category-class BU\nrovana-build 3.4\ndescription \"Made by a test.\"\n");
  for (int i = 0; i < 8; ++i) {  // more descriptions than one load at a time
    const std::string copy = "copy" + std::to_string(i);
    fs::copy(asset + "/ripple_normal.png", asset + "/" + copy + ".png");
    m_tree.Write("user/editing/painted/" + copy + ".texture.txt", "Primary=" + copy + ".png\n");
  }
  const auto sources = Files(asset);
  const auto sourcesNow = [&] {
    auto files = Files(asset);
    std::erase_if(files, [](const auto& f) { return f.first.ends_with(".texture"); });
    return files;
  };
  // Kills spread over a whole run, from the first load to the last write, or
  // the moment a description is seen under another name.
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(WaitProgram(StartProgram({"compresstexture", asset}, m_tree.Path("whole.out"))), 0);
  const auto whole = std::chrono::steady_clock::now() - start;
  for (int moment = 1; moment <= 8; ++moment) {
    SCOPED_TRACE(moment);
    RemoveConverted(asset);
    const pid_t pid = StartProgram({"compresstexture", asset}, m_tree.Path("killed.out"));
    start = std::chrono::steady_clock::now();
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() - start < whole * moment / 9 && SetAside(asset).empty())
      ended = waitpid(pid, nullptr, WNOHANG) == pid;
    if (!ended) ::kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    EXPECT_EQ(sourcesNow(), sources);
  }
  m_tree.Write("user/editing/painted/old.texture.convert-tex.txt", "Primary=copy0.png\n");
  ExpectSetAsideRestored(asset, "old", "Primary=copy0.png\n");
}

// A description in the set that is a symbolic link to a file elsewhere is
// not read, as an image linked from elsewhere is not: the request fails and
// writes nothing for it.
TEST_F(ConversionPlaces, DescriptionLinkedFromOutsideIsNotRead) {
  const std::string set = Samples("local");
  const std::string outside = m_tree.MakeDir("outside");
  m_tree.Write("outside/secret.texture.txt", "Primary=brick.png\n");
  fs::create_symlink(outside + "/secret.texture.txt", set + "/linked.texture.txt");
  Run({"umbcommandhost"}, "1 1 . local\n");
  EXPECT_NE(m_last.find("1 R 1 linked.texture.txt: '" + set +
                        "/linked.texture.txt' leads outside the converted folder through a symbolic link\n"),
            std::string::npos)
      << m_last;
  EXPECT_NE(m_last.find("1 OK 0\n"), std::string::npos) << m_last;
  EXPECT_FALSE(fs::exists(set + "/linked.texture"));
}

// A description an older version left set aside beside one whose name differs
// only in case is its own: `validate` says to run the conversion, and the
// conversion puts it back under its own spelling.
TEST_F(ConversionPlaces, SetAsideBesideOtherSpellingIsRestored) {
  const std::string asset = Samples("editing/cased");
  m_tree.Write("user/editing/cased/config.txt",
               "kuid <kuid:523:7202>\nkind scenery\nusername \"cased\"\nauthor \"Tests\"\n"
               "category-class BU\nrovana-build 3.4\ndescription \"Made by a test.\"\n");
  std::ofstream(asset + "/A.texture.txt") << "Primary=brick.png\n";
  std::ofstream(asset + "/a.texture.convert-tex.txt") << "Primary=leaves.png\n";
  ExpectSetAsideRestored(asset, "a", "Primary=leaves.png\n");
  EXPECT_EQ(Read(asset + "/A.texture.txt"), "Primary=brick.png\n");
}
