// Texture conversions stay in their place as a user meets them: the command
// host's request inside its content set, two conversions of one folder at
// once, and a conversion killed part way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kiv/File.h"
#include "kiv/Thread.h"
#include "RunProgram.h"
#include "TempTree.h"

namespace fs = std::filesystem;

namespace {

// Starts rovanautil with `args` in the test's environment, its standard
// input the file `in` and its standard output and error the file `out`.
pid_t Start(const std::vector<std::string>& args, const std::string& out,
            const std::string& in = "/dev/null") {
  const std::string program = std::string(ROVANA_PROGRAM_DIR) + "/rovanautil";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

std::vector<std::string> SetAside(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.path().string().ends_with(".convert-tex.txt"))
      names.push_back(fs::relative(e.path(), folder).string());
  return names;
}

class ConversionPlaces : public ::testing::Test {
protected:
  void SetUp() override {
    m_root = m_tree.MakeDir("install");
    m_userData = m_tree.Path("user");
    CopySampleInstallation(m_root);
    setenv("ROVANA_ROOT", ROVANA_INSTALL_DIR, 1);  // for the programs started
    setenv("ROVANA_USERDATA", m_userData.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ROVANA_ROOT");
    unsetenv("ROVANA_USERDATA");
  }
  // The sample textures copied to a folder of the user data.
  std::string Samples(const std::string& inUserData) {
    const std::string folder = m_userData + "/" + inUserData;
    fs::create_directories(fs::path(folder).parent_path());
    fs::copy(std::string(ROVANA_SOURCE_DIR) + "/samples/textures", folder, fs::copy_options::recursive);
    return folder;
  }
  std::string Run(std::vector<std::string> args, const std::string& input = "") {
    CapturedOutput out;
    RunProgram(std::move(args), m_root, m_userData, out.File(), input);
    return out.Text();
  }

  TempTree m_tree;
  std::string m_root, m_userData;
};

}  // namespace

// A relative folder of a texture request with a set name lies in that set,
// wherever the host was started; one that climbs out of the set is refused.
TEST_F(ConversionPlaces, HostTextureRequestStaysInItsContentSet) {
  const std::string set = Samples("local");
  const std::string out =
      Run({"umbcommandhost"}, "7 1 signs local\n8 1 ../editing local\n9 1 signs/../.. local\n");
  EXPECT_EQ(out.find("7 OK 2\n"
                     "8 R 3 The folder '../editing' leads outside the content set 'local'\n8 OK 0\n"
                     "9 R 3 The folder 'signs/../..' leads outside the content set 'local'\n9 OK 0\n"),
            0u)
      << out;
  EXPECT_TRUE(fs::exists(set + "/signs/station.texture"));
  EXPECT_FALSE(fs::exists(set + "/brick.texture"));  // only the folder asked for
}

// Two conversions of one folder started together, by two commands or a
// command beside a host request, both convert everything and neither takes
// the other's work for an interrupted conversion's.
TEST_F(ConversionPlaces, TwoConversionsOfOneFolderTakeTurns) {
  const std::string folder = Samples("textures");
  EXPECT_EQ(Run({"compresstexture", folder}), "OK (0 Errors,0 Warnings)\n");
  const auto converted = Files(folder);
  m_tree.Write("host.txt", "1 1 \"" + folder + "\"\n");
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    for (const auto& [name, bytes] : converted)
      if (name.ends_with(".texture")) fs::remove(folder + "/" + name);
    const bool host = round % 2;
    const pid_t first = Start({"compresstexture", folder}, m_tree.Path("first.out"));
    const pid_t second = host ? Start({"umbcommandhost"}, m_tree.Path("second.out"), m_tree.Path("host.txt"))
                              : Start({"compresstexture", folder}, m_tree.Path("second.out"));
    EXPECT_EQ(Wait(first), 0);
    EXPECT_EQ(Wait(second), 0);
    EXPECT_EQ(Read(m_tree.Path("first.out")), "OK (0 Errors,0 Warnings)\n");
    EXPECT_EQ(Read(m_tree.Path("second.out")),
              host ? "1 OK 2\nOK (0 Errors,0 Warnings)\n" : "OK (0 Errors,0 Warnings)\n");
    EXPECT_EQ(Files(folder), converted);
  }
}

// A conversion killed part way leaves at most the descriptions it was loading
// under their conversion name; `validate` says what happened and what to run,
// and the next conversion puts them back.
TEST_F(ConversionPlaces, KilledConversionIsExplainedAndRestored) {
  fs::create_directories(m_userData + "/editing");
  const std::string asset = Samples("editing/painted");
  m_tree.Write("user/editing/painted/config.txt",
               "kuid <kuid:523:7201>\nkind scenery\nusername \"painted\"\nauthor \"Tests\"\n"
               "category-class BU\nrovana-build 3.4\ndescription \"Made by a test.\"\n");
  for (int i = 0; i < 8; ++i) {  // more descriptions than one load at a time
    fs::copy(asset + "/ripple_normal.png", asset + "/copy" + std::to_string(i) + ".png");
    m_tree.Write("user/editing/painted/copy" + std::to_string(i) + ".texture.txt",
                 "Primary=copy" + std::to_string(i) + ".png\n");
  }
  const auto sources = Files(asset);
  std::mt19937 random(56);
  int caught = 0;
  for (int run = 0; run < 30 && caught < 3; ++run) {
    for (const auto& e : fs::directory_iterator(asset))
      if (e.path().extension() == ".texture") fs::remove(e.path());
    const pid_t pid = Start({"compresstexture", asset}, m_tree.Path("killed.out"));
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
    const std::string findings = Run({"validate", asset});
    for (const std::string& name : aside) {
      const std::string own = name.substr(0, name.size() - std::string(".convert-tex.txt").size()) + ".txt";
      EXPECT_NE(
          findings.find("! The texture settings file '" + own + "' was left as '" + name +
                        "' by a texture conversion that was stopped; run 'rovanautil compresstexture' on "
                        "the asset folder to put it back.\n"),
          std::string::npos)
          << findings;
    }
    const std::string restored = Run({"compresstexture", asset});
    EXPECT_NE(restored.find("Restored texture description"), std::string::npos) << restored;
    EXPECT_TRUE(SetAside(asset).empty());
  }
  EXPECT_GT(caught, 0);
  auto after = Files(asset);
  std::erase_if(after, [](const auto& f) { return f.first.ends_with(".texture"); });
  EXPECT_EQ(after, sources);
}
