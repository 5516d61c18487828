// Texture conversions stay in their place as a user meets them: the command
// host's request inside its content set, two conversions of one folder at
// once, and a conversion killed part way.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kiv/File.h"
#include "kiv/Thread.h"
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
};

}  // namespace

// A relative folder of a texture request with a set name lies in that set,
// wherever the host was started; one that climbs out of the set is refused.
TEST_F(ConversionPlaces, HostTextureRequestStaysInItsContentSet) {
  const std::string set = Samples("local");
  Run({"umbcommandhost"}, "7 1 signs local\n8 1 ../editing local\n9 1 signs/../.. local\n");
  EXPECT_EQ(m_last.find("7 OK 2\n"
                        "8 R 3 The folder '../editing' leads outside the content set 'local'\n8 OK 0\n"
                        "9 R 3 The folder 'signs/../..' leads outside the content set 'local'\n9 OK 0\n"),
            0u)
      << m_last;
  EXPECT_TRUE(fs::exists(set + "/signs/station.texture"));
  EXPECT_FALSE(fs::exists(set + "/brick.texture"));  // only the folder asked for
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

// A conversion killed part way leaves at most the descriptions it was loading
// under their conversion name; `validate` says what happened and what to run,
// and the next conversion puts them back.
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
  std::mt19937 random(56);
  int caught = 0;
  for (int run = 0; run < 30 && caught < 3; ++run) {
    RemoveConverted(asset);
    const pid_t pid = StartProgram({"compresstexture", asset}, m_tree.Path("killed.out"));
    // Half the kills come the moment a description is set aside, the others at random.
    const auto start = std::chrono::steady_clock::now();
    const auto at = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 150000)(random));
    bool ended = false;
    while (!ended && (run % 2 ? std::chrono::steady_clock::now() - start < at : SetAside(asset).empty()))
      ended = waitpid(pid, nullptr, WNOHANG) == pid;
    if (!ended) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    const std::vector<std::string> aside = SetAside(asset);
    if (aside.empty()) continue;
    ++caught;
    EXPECT_LE(aside.size(), static_cast<size_t>(Kiv::UsableCores())) << "more than were loading";
    Run({"validate", asset});
    for (const std::string& name : aside) {
      const std::string own = name.substr(0, name.size() - kAside.size()) + ".txt";
      EXPECT_NE(m_last.find("! The texture settings file '" + own + "' was left as '" + name +
                            "' by a texture conversion that was stopped; run 'rovanautil compresstexture' "
                            "on the asset folder to put it back.\n"),
                std::string::npos)
          << m_last;
    }
    Run({"compresstexture", asset});
    EXPECT_NE(m_last.find("Restored texture description"), std::string::npos) << m_last;
    EXPECT_TRUE(SetAside(asset).empty());
  }
  EXPECT_GT(caught, 0);
  auto after = Files(asset);
  std::erase_if(after, [](const auto& f) { return f.first.ends_with(".texture"); });
  EXPECT_EQ(after, sources);
}
