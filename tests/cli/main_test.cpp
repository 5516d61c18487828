// The whole program run in-process: exit codes, start-up failures, results
// and summary lines, batch files and the fault guard.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "cli/App.h"
#include "cli/Dispatch.h"
#include "cli/Results.h"
#include "cli/StartUp.h"
#include "config/DataManager.h"
#include "graphics/material/AlphaBlendCacheUnsorted.h"
#include "graphics/material/RovanaAlphaBlendCache.h"
#include "kiv/File.h"
#include "kiv/Log.h"
#include "kiv/render/Plugin.h"
#include "foundation/ResultsLog.h"
#include "gamescript/runtime/Machine.h"
#include "scriptlib/ScriptNatives.h"
#include "RunProgram.h"
#include "TempTree.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/OpenDatabase.h"

namespace {

class MainTest : public ::testing::Test {
protected:
  void SetUp() override {
    m_tree.MakeDir("install/OBLData");
    m_root = m_tree.Path("install");
    m_userData = m_tree.Path("user");
    m_start = std::filesystem::current_path().string();
  }
  void TearDown() override {
    // Shut-down must leave the process as it found it.
    EXPECT_EQ(std::filesystem::current_path().string(), m_start);
    EXPECT_FALSE(UMBIsDatabaseOpen());
  }

  int Run(std::vector<std::string> args, const std::string& input = "") {
    return RunProgram(std::move(args), m_root, m_userData, m_out.File(), input);
  }
  std::string Output() { return m_out.Text(); }

  TempTree m_tree;
  CapturedOutput m_out;
  std::string m_root, m_userData, m_start;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

}  // namespace

TEST_F(MainTest, HelpWithoutArgumentFailsAndAsRequestedSucceeds) {
  m_root = m_tree.Path("nowhere");  // help needs no start-up
  EXPECT_EQ(Run({}), -1);
  EXPECT_NE(Output().find("Usage: rovanautil"), std::string::npos);
  EXPECT_EQ(Run({"HELP"}), 0);
  EXPECT_EQ(Count(Output(), "Usage: rovanautil"), 2u);
  // Start-up options alone leave no command.
  EXPECT_EQ(Run({"-kivlog", "norender"}), -1);
  // The help text lists the commands the program has, not the hidden ones.
  for (const Cli::Command& command : Cli::Commands()) {
    if (command.hidden)
      EXPECT_EQ(Output().find(command.word), std::string::npos) << command.word;
    else
      EXPECT_NE(Output().find(command.usage), std::string::npos) << command.word;
  }
  EXPECT_NE(Output().find("compile <source.gs>"), std::string::npos);
}

TEST_F(MainTest, CommandRunsAfterStartUpAndFailuresAreErrorResults) {
  // "-kivlog" between the command word and its empty path must not count as
  // the path.
  EXPECT_EQ(Run({"norender", "-noumbclient", "Compile", "-kivlog", "", "-nostartumbdaemon"}), -1);
  EXPECT_EQ(Run({"compile"}), -1);  // no path at all
  EXPECT_EQ(Run({"frobnicate", "x"}), -1);
  EXPECT_EQ(Output(),
            "- Invalid file path.\nOK (1 Errors,0 Warnings)\n- Invalid file path.\nOK (1 Errors,0 Warnings)\n"
            "- Unknown command 'frobnicate'. Run \"rovanautil help\" for the commands.\nOK (1 Errors,0 "
            "Warnings)\n");
  // Start-up laid out the user data.
  EXPECT_TRUE(std::filesystem::is_directory(m_userData + "/local"));
  EXPECT_TRUE(std::filesystem::is_directory(m_userData + "/settings"));
}

TEST_F(MainTest, FailingStartUpPrintsInitFailed) {
  m_root = m_tree.MakeDir("bare");  // no OBLData/
  EXPECT_EQ(Run({"help2"}), -1);
  EXPECT_EQ(Output(), "- OBLLib initialisation failed.\n; There is no schema folder '" + m_root +
                          "/OBLData/'.\n- Init failed\n");

  // A user-data folder that cannot be made: the database cannot open.
  m_root = m_tree.Path("install");
  m_userData = m_tree.Write("userfile", "a file, not a folder");
  EXPECT_EQ(Run({"help"}), 0);  // help needs no start-up
  EXPECT_EQ(Run({"compile", "x.gs"}), -1);
  std::string out = Output();
  EXPECT_NE(out.find("- Init failed\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("OK ("), std::string::npos) << out;
}

TEST_F(MainTest, CompileRunsTheCompilerFromTheUsersFolder) {
  m_tree.Write("src/good.gs", "class Good { int x; };\n");
  m_tree.Write("src/bad.gs", "class Bad { int x };\n");
  std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(m_tree.Root());
  int good = Run({"compile", "src/good.gs", "-s"});
  // The build log lands where the user is, not in the installation root.
  int bad = Run({"COMPILE", "src/bad.gs", "-s", "-bbuild.log"});
  // Only switches: the command word is no source, so the compiler
  // prints its usage (to standard output) and the command fails.
  ::testing::internal::CaptureStdout();
  int usage = Run({"compile", "-s"});
  std::string compilerOut = ::testing::internal::GetCapturedStdout();
  // A batch file is found where the user is, too.
  m_tree.Write("rel.txt", "help\n");
  int batch = Run({"@rel.txt"});
  std::filesystem::current_path(here);
  std::string out = Output();
  EXPECT_EQ(good, 0) << out;
  EXPECT_EQ(bad, -1) << out;
  std::ifstream log(m_tree.Path("build.log"));
  std::string logText((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(logText.find("bad.gs(1) :"), std::string::npos) << logText;
  EXPECT_EQ(usage, -1) << out;
  EXPECT_EQ(batch, 0) << out;
  EXPECT_NE(compilerOut.find("returns number of compile errors"), std::string::npos) << compilerOut;
  EXPECT_EQ(Count(out, "- Compile failed (compiler result "), 2u) << out;
  EXPECT_EQ(Count(out, "OK (1 Errors,0 Warnings)\n"), 2u) << out;
}

TEST_F(MainTest, ABuildLogThatIsNotKeptIsAnError) {
  // A full disk: the file opens, the messages do not reach it; silent, they are shown instead.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Run({"compile", m_tree.Write("bad.gs", "class Bad { int x };\n"), "-s", "-b/dev/full"}), -1);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("bad.gs(1) :"), std::string::npos);
  std::string out = Output();
  EXPECT_NE(out.find("- Unable to write build log file: '/dev/full' (No space left on device).\n"
                     "- Compile failed (compiler result 2).\nOK (2 Errors,0 Warnings)\n"),
            std::string::npos)
      << out;
  // A sound compile whose log cannot be made still fails the command.
  const std::string nowhere = m_tree.Path("no/such/folder/build.log");
  EXPECT_EQ(Run({"compile", m_tree.Write("good.gs", "class Good { int x; };\n"), "-s", "-b" + nowhere}), -1);
  EXPECT_EQ(Output().substr(out.size()), "- Unable to open build log file: '" + nowhere +
                                             "' (No such file or directory).\nOK (1 Errors,0 Warnings)\n");
}

TEST_F(MainTest, CompileStartsWithoutTheAssetDatabase) {
  m_tree.Write("src/good.gs", "class Good { int x; };\n");
  m_tree.Write("user/local/a/config.txt", "kuid <kuid:7:8>\nkind scenery\nusername \"A\"\n");
  const std::string index = m_userData + "/cache/assetindex.db";
  std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(m_tree.Root());
  const int compiled = Run({"compile", "src/good.gs", "-s"});
  const bool indexAfterCompile = std::filesystem::exists(index);
  // A batch may hold any command: its start-up opens the database.
  m_tree.Write("batch.txt", "compile src/good.gs -s\n");
  const int batch = Run({"@batch.txt"});
  std::filesystem::current_path(here);
  const std::string out = Output();
  EXPECT_EQ(compiled, 0) << out;
  EXPECT_EQ(batch, 0) << out;
  EXPECT_TRUE(std::filesystem::exists(m_tree.Path("src/good.gsl")));
  EXPECT_FALSE(indexAfterCompile);
  EXPECT_TRUE(std::filesystem::exists(index));
  EXPECT_EQ(Count(out, "OK (0 Errors,0 Warnings)\n"), 2u) << out;
}

TEST_F(MainTest, BatchFileRunsEveryLine) {
  std::string batch = m_tree.Write("three.txt", "\"help\"\n\"nothing\" \"a b\"\n\n\"compile\" \"\"\n");
  EXPECT_EQ(Run({"@" + batch}), -1);
  std::string out = Output();
  EXPECT_EQ(Count(out, "Usage: rovanautil"), 1u) << out;
  EXPECT_EQ(Count(out, "- Unknown command 'nothing'."), 1u) << out;
  EXPECT_EQ(Count(out, "- Invalid file path."), 1u) << out;
  // One results log and summary per line.
  EXPECT_EQ(Count(out, "OK (0 Errors,0 Warnings)\n"), 1u) << out;
  EXPECT_EQ(Count(out, "OK (1 Errors,0 Warnings)\n"), 2u) << out;

  std::string good = m_tree.Write("good.txt", "help\nHELP\n\"help\"\n");
  EXPECT_EQ(Run({"@" + good}), 0);
  // As several editors save it: a byte-order mark before the first command.
  EXPECT_EQ(Run({"@" + m_tree.Write("marked.txt", "\xEF\xBB\xBFhelp\r\nhelp\r\n")}), 0) << Output();
}

TEST_F(MainTest, BatchProblemsRunNothing) {
  std::string bad = m_tree.Write("bad.txt", "\"help\"\n\"compile\" \"x.gs\n");
  EXPECT_EQ(Run({"@" + bad}), -1);
  std::string out = Output();
  EXPECT_EQ(out.find("Usage:"), std::string::npos) << out;
  EXPECT_NE(out.find("- Batch file '" + bad + "' line 2: unterminated quote.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("OK (1 Errors,0 Warnings)\n"), std::string::npos) << out;

  EXPECT_EQ(Run({"@" + m_tree.Path("missing.txt")}), -1);
  EXPECT_NE(Output().find("- Unable to open batch file '" + m_tree.Path("missing.txt") + "'."),
            std::string::npos);
  EXPECT_EQ(Run({"@" + m_tree.Write("ok.txt", "help\n"), "extra"}), -1);
}

TEST_F(MainTest, CommandHostServesStandardInput) {
  m_tree.MakeDir("user/local/asset1");
  m_tree.Write("user/local/asset1/config.txt", "kuid <kuid:1:2>\n");
  // Folders in requests are relative to the user's folder, not to the
  // installation root that start-up changes to.
  std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(m_tree.Root());
  int code = Run({"umbcommandhost"}, "5 0 user/local/asset1\nnot a request\n6 1 \"user/local/asset1\"\n");
  std::filesystem::current_path(here);
  EXPECT_EQ(code, 0);
  std::string out = Output();
  // No schema is installed here: the check says so rather than judging the
  // asset against nothing.
  EXPECT_NE(out.find("5 R 3 Unable to load the schema: none of the schema files '" + m_root +
                     "/OBLData/inheritance.txt', '" + m_root + "/OBLData/kind.txt', '" + m_root +
                     "/OBLData/container.txt' gives a definition.\n5 OK 0\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("- ERR bad transaction id\n"), std::string::npos) << out;
  EXPECT_NE(out.find("6 OK 2\n"), std::string::npos) << out;
  EXPECT_NE(out.find("OK (0 Errors,0 Warnings)\n"), std::string::npos) << out;
}

TEST_F(MainTest, StartUpOpensTheDatabaseAndShutDownUndoesIt) {
  m_tree.Write("user/settings/internet.txt", "language \"deutsch\"\nusername \"x\"\n");
  m_tree.Write("user/local/a/config.txt", "kuid <kuid:7:8>\nkind scenery\nusername \"A\"\n");
  Cli::Session session;
  session.installationRoot = m_root;
  session.userDataFolder = m_userData;
  session.out = m_out.File();
  session.endsProcess = false;
  ASSERT_TRUE(Cli::StartUp(session)) << Output();
  EXPECT_EQ(std::filesystem::current_path().string(), m_root);
  EXPECT_EQ(session.startFolder, m_start);
  EXPECT_EQ(session.language, "deutsch");
  EXPECT_TRUE(UMBIsDatabaseOpen());
  EXPECT_EQ(UMBGetAssetFolder(KUID(7, 8, 0)), m_userData + "/local/a");
  EXPECT_TRUE(std::filesystem::exists(m_userData + "/rovanautil.log"));
  Cli::ShutDown(session);
  EXPECT_FALSE(UMBIsDatabaseOpen());
  EXPECT_EQ(Output(), "");
}

// A compile's start-up makes the folders and the log file but no render
// kernel, registers no plug-in and opens no database; its shut-down is the
// same as any other's.
TEST_F(MainTest, CompileStartUpHasNoEngineKernelNorDatabase) {
  Cli::Session session;
  session.installationRoot = m_root;
  session.userDataFolder = m_userData;
  session.out = m_out.File();
  session.endsProcess = false;
  session.compileOnly = true;
  ASSERT_TRUE(Cli::StartUp(session)) << Output();
  EXPECT_EQ(std::filesystem::current_path().string(), m_root);
  EXPECT_TRUE(std::filesystem::is_directory(m_userData + "/local"));
  EXPECT_TRUE(std::filesystem::exists(m_userData + "/rovanautil.log"));
  EXPECT_FALSE(session.kernel);
  EXPECT_EQ(Kiv::RenderKernel::Current(), nullptr);
  EXPECT_TRUE(Kiv::PluginSystem::Instance().Registrations().empty());
  EXPECT_FALSE(UMBIsDatabaseOpen());
  Cli::ShutDown(session);
  EXPECT_EQ(std::filesystem::current_path().string(), m_start);
  EXPECT_EQ(Output(), "");
}

TEST(ResultsOutput, PrefixesBySeverityThenSummary) {
  ResultsLog log;
  log.AddResult(ResultsLog::kInformation, nullptr, "note");
  log.AddResult(ResultsLog::kWarning, nullptr, "careful");
  log.AddResult(ResultsLog::kError, nullptr, "broken");
  log.AddResult(ResultsLog::kSuccess, nullptr, "done");
  log.AddResult(ResultsLog::kError, nullptr, "broken again");
  CapturedOutput out;
  Cli::PrintResults(out.File(), log);
  EXPECT_EQ(out.Text(), "; note\n! careful\n- broken\n+ done\n- broken again\nOK (2 Errors,1 Warnings)\n");
}

TEST(FaultGuard, ResultPassesThrough) {
  CapturedOutput out;
  EXPECT_EQ(Cli::RunGuarded(out.File(), [] { return -1; }), -1);
  EXPECT_EQ(Cli::RunGuarded(out.File(), [] { return 0; }), 0);
  EXPECT_EQ(out.Text(), "");
}

TEST(FaultGuardDeathTest, ExceptionOrSignalEndsTheProcessWithMinus100) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int (*faults[])() = {[]() -> int { throw std::runtime_error("boom"); }, []() -> int { throw 42; },
                       []() -> int {
                         std::raise(SIGSEGV);
                         return 0;
                       },
                       []() -> int { std::abort(); }};
  for (auto fault : faults)
    EXPECT_EXIT(Cli::RunGuarded(stdout, fault), ::testing::ExitedWithCode(static_cast<unsigned char>(-100)),
                "");
}

namespace {

class ValidateCommandTest : public MainTest {
protected:
  void SetUp() override {
    MainTest::SetUp();
    const std::filesystem::path samples = std::string(ROVANA_SOURCE_DIR) + "/samples";
    CopySampleInstallation(m_root);
    std::filesystem::create_directories(m_userData + "/local");
    for (const char* asset : {"clean_shed", "broken_signal", "signal_box", "lod_tower", "bare_crate"})
      std::filesystem::copy(samples / "userdata/local" / asset, m_userData + "/local/" + asset,
                            std::filesystem::copy_options::recursive);
  }
};

TEST_F(ValidateCommandTest, ByKuidAndByFolder) {
  EXPECT_EQ(Run({"validate", "523:1010"}), 0);
  EXPECT_EQ(Output(), "OK (0 Errors,0 Warnings)\n");
  EXPECT_EQ(Run({"VALIDATE", "<kuid:523:1012>"}), -1);
  EXPECT_EQ(Count(Output(), "\n- "), 5u) << Output();
  EXPECT_NE(Output().find("- The required tag 'username' is missing.\n"), std::string::npos);
  EXPECT_EQ(Run({"validate", m_userData + "/local/clean_shed"}), 0);
  EXPECT_EQ(Run({"validate", "523:9999"}), -1);
  EXPECT_NE(Output().find("- Unknown asset <kuid:523:9999>.\n"), std::string::npos);
  EXPECT_EQ(Run({"validate"}), -1);
  EXPECT_NE(Output().find("- Missing asset parameter (a KUID or an asset folder).\n"), std::string::npos);
}

// The meshes of an asset load for real: their findings are the texts of
// the mesh keys, in the order the meshes are met.
TEST_F(ValidateCommandTest, MeshFindings) {
  EXPECT_EQ(Run({"validate", m_userData + "/local/lod_tower"}), -1);
  EXPECT_EQ(Output(),
            "! The mesh has no attachment points.\n"
            "! The mesh has only one level of detail.\n"
            "! The lowest level of detail of the mesh has very few polygons.\n"
            "- Unable to load the material 'lamp.m.nosuchmaterialtype' of the mesh 'lamp.lm'.\n"
            // The lamp loads all the same and is checked as the tower is.
            "! The mesh has no attachment points.\n"
            "! The mesh has only one level of detail.\n"
            "! The lowest level of detail of the mesh has very few polygons.\n"
            "OK (1 Errors,6 Warnings)\n");
  size_t seen = Output().size();
  EXPECT_EQ(Run({"validate", m_userData + "/local/bare_crate"}), -1);
  EXPECT_EQ(Output().substr(seen),
            "- Unable to load the texture 'crate.texture' of the mesh 'crate.im'.\n"
            "OK (1 Errors,0 Warnings)\n");
  // A mesh whose texture is missing no longer once the texture is there.
  std::filesystem::copy_file(m_userData + "/local/clean_shed/brick.texture",
                             m_userData + "/local/bare_crate/crate.texture");
  seen = Output().size();
  EXPECT_EQ(Run({"validate", m_userData + "/local/bare_crate"}), 0);
  EXPECT_EQ(Output().substr(seen), "OK (0 Errors,0 Warnings)\n");
}

// Registration reads the online classes' cached files: damaged ones are used
// as far as they are whole and left as they were.
TEST_F(ValidateCommandTest, DamagedOnlineCacheFilesAreReadAndLeftAlone) {
  const std::string messages("\x01\0\0\0\xff\xff\xff\x0f\x05\0\0", 11);
  const std::string inbox = "one\n{\n  n \"x\"\n";
  m_tree.Write("user/cache/oa_messages.dat", messages);
  m_tree.Write("user/cache/offline-inbox.tbox", inbox);
  EXPECT_EQ(Run({"validate", m_userData + "/local/signal_box"}), 0) << Output();
  EXPECT_EQ(Output(), "OK (0 Errors,0 Warnings)\n");
  EXPECT_NE(ScriptClasses().onlineAccess, nullptr);
  EXPECT_NE(ScriptClasses().onlineGroup, nullptr);
  std::string after;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(m_userData + "/cache/oa_messages.dat", after));
  EXPECT_TRUE(after == messages);
  ASSERT_TRUE(Kiv::File::ReadWholeFile(m_userData + "/cache/offline-inbox.tbox", after));
  EXPECT_EQ(after, inbox);
}

// One target only: a second is refused, not dropped, and nothing is checked.
TEST_F(ValidateCommandTest, ASecondTargetIsRefused) {
  EXPECT_EQ(Run({"validate", "523:1010", "523:9999"}), -1);
  EXPECT_EQ(Output(),
            "- Too many parameters: 'validate' takes one asset (a KUID or an asset folder), not '523:9999'.\n"
            "OK (1 Errors,0 Warnings)\n");
  const size_t seen = Output().size();
  EXPECT_EQ(Run({"compresstexture", m_userData, "-q"}), -1);
  EXPECT_EQ(Output().substr(seen),
            "- Too many parameters: 'compresstexture' takes one folder, not '-q'.\n"
            "OK (1 Errors,0 Warnings)\n");
  const size_t before = Output().size();
  EXPECT_EQ(Run({"umbcommandhost", "requests.txt"}, "1 0 " + m_userData + "/local/clean_shed\n"), -1);
  EXPECT_EQ(Output().substr(before),
            "- Too many parameters: 'umbcommandhost' takes none (its requests come on standard input), not "
            "'requests.txt'.\n"
            "OK (1 Errors,0 Warnings)\n");
}

// Two folders of one KUID: whichever is checked names both, and the one the
// database answers from. An editing copy of an installed asset is expected.
TEST_F(ValidateCommandTest, ADuplicateKuidNamesBothFolders) {
  std::filesystem::create_directories(m_userData + "/editing");
  std::filesystem::copy(m_userData + "/local/clean_shed", m_userData + "/editing/clean_shed",
                        std::filesystem::copy_options::recursive);
  EXPECT_EQ(Run({"validate", "523:1010"}), 0);
  EXPECT_EQ(Output(), "OK (0 Errors,0 Warnings)\n");

  std::filesystem::copy(m_userData + "/local/clean_shed", m_userData + "/local/shed_copy",
                        std::filesystem::copy_options::recursive);
  const std::string kept = m_userData + "/local/clean_shed", copy = m_userData + "/local/shed_copy";
  size_t seen = Output().size();
  // The copy in "editing" wins; the two of "local" are the duplicate.
  EXPECT_EQ(Run({"validate", kept}), 0);
  EXPECT_EQ(Output().substr(seen), "! The folders '" + kept + "' and '" + copy +
                                       "' have the same KUID <kuid:523:1010>; the asset database uses '" +
                                       m_userData + "/editing/clean_shed'.\nOK (0 Errors,1 Warnings)\n");
  seen = Output().size();
  EXPECT_EQ(Run({"validate", m_tree.Path("user/local/../local/shed_copy/")}), 0);
  EXPECT_EQ(Output().substr(seen), "! The folders '" + copy + "' and '" + kept +
                                       "' have the same KUID <kuid:523:1010>; the asset database uses '" +
                                       m_userData + "/editing/clean_shed'.\nOK (0 Errors,1 Warnings)\n");
  // The command host's check reports it too.
  seen = Output().size();
  EXPECT_EQ(Run({"umbcommandhost"}, "1 0 " + copy + "\n"), 0);
  EXPECT_NE(Output().find("1 R 2 The folders '" + copy + "' and '" + kept + "'", seen), std::string::npos)
      << Output().substr(seen);
  // Once the copy is gone, so is the finding.
  std::filesystem::remove_all(copy);
  seen = Output().size();
  EXPECT_EQ(Run({"validate", kept}), 0);
  EXPECT_EQ(Output().substr(seen), "OK (0 Errors,0 Warnings)\n");
}

// An asset script includes the standard classes from the installation's
// "scripts": the installation the build makes holds them, the bare sample
// one does not.
TEST_F(ValidateCommandTest, AssetScriptBuildsOnTheInstallationsClasses) {
  const std::filesystem::path samples = std::string(ROVANA_SOURCE_DIR) + "/samples";
  std::filesystem::copy(samples / "userdata/local/station_clock", m_userData + "/local/station_clock",
                        std::filesystem::copy_options::recursive);
  EXPECT_EQ(Run({"validate", "523:1017"}), -1);
  EXPECT_NE(Output().find("Could not read file"), std::string::npos) << Output();
  EXPECT_NE(Output().find("RovanaGameObject.gs : not found in"), std::string::npos) << Output();

  m_root = ROVANA_INSTALL_DIR;
  const size_t seen = Output().size();
  EXPECT_EQ(Run({"validate", "523:1017"}), 0);
  EXPECT_EQ(Output().substr(seen), "OK (0 Errors,0 Warnings)\n");
  size_t libraries = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(m_userData + "/cache/libraries"))
    libraries += entry.path().extension() == ".gsl";
  EXPECT_EQ(libraries, 1u);
}

// "compile" searches the installation's "scripts" after the -i folders, and
// names a missing include as written, with the folders searched.
TEST_F(ValidateCommandTest, CompileFindsTheStandardClassesInTheInstallation) {
  const std::string source = m_tree.Write("src/clock.gs",
                                          "include \"RovanaGameObject.gs\"\n"
                                          "class Clock isclass RovanaGameObject { };\n");
  ::testing::internal::CaptureStdout();
  const int missing = Run({"compile", source, "-i" + m_tree.Path("extra")});
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(missing, -1);
  EXPECT_NE(printed.find("Could not read file RovanaGameObject.gs : not found in '" + m_tree.Path("src") +
                         "', '" + m_tree.Path("extra") + "', '" + m_root + "/scripts'."),
            std::string::npos)
      << printed;

  m_root = ROVANA_INSTALL_DIR;
  EXPECT_EQ(Run({"compile", source, "-s"}), 0) << Output();
  EXPECT_TRUE(std::filesystem::exists(m_tree.Path("src/clock.gsl")));
}

TEST_F(ValidateCommandTest, AScriptedAssetHasTheNativeClassesRegisteredFirst) {
  EXPECT_EQ(Run({"validate", m_userData + "/local/signal_box"}), 0) << Output();
  EXPECT_EQ(Output(), "OK (0 Errors,0 Warnings)\n");
  const GSRuntime::GSMachine& machine = GSRuntime::GSMachine::Instance();
  EXPECT_NE(machine.FindNativeFunction(Kiv::PString("Soup"), Kiv::PString("$int@Soup::CountTags()")),
            nullptr);
}

}  // namespace

namespace {

// On either renderer every material type the product's meshes use loads:
// the program's own through its plug-ins, the others as the engine's.
TEST_F(ValidateCommandTest, NoMaterialTypeFailsToLoadAtStartUp) {
  for (const char* renderer : {"", "norender"}) {
    SCOPED_TRACE(renderer);
    std::vector<std::string> lines;
    const int listener = Kiv::Log::Instance().AddListener([&lines](Kiv::LogLevel, std::string_view line) {
      if (line.find("DataManager::RegisterRovanaBumpVertexType>") != std::string_view::npos)
        lines.emplace_back(line);
    });
    std::vector<std::string> args = {"validate", "523:1010"};
    if (*renderer) args.push_back(renderer);
    EXPECT_EQ(Run(args), 0) << Output();
    Kiv::Log::Instance().RemoveListener(listener);
    EXPECT_TRUE(lines.empty()) << lines.front();
  }
  // What the registration reports reaches the log file.
  Kiv::PluginSystem::Instance().Clear();
  std::filesystem::remove(m_userData + "/rovanautil.log");
  Cli::Session session;
  session.installationRoot = m_root;
  session.userDataFolder = m_userData;
  session.out = m_out.File();
  session.endsProcess = false;
  ASSERT_TRUE(Cli::StartUp(session));
  Kiv::PluginSystem::Instance().Clear();  // the program's types are gone: their probes fail
  OBLLib::DataManager::ReleaseSharedResources();
  OBLLib::DataManager::RegisterRovanaBumpVertexType();
  Cli::ShutDown(session);
  std::ifstream file(m_userData + "/rovanautil.log");
  const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("DataManager::RegisterRovanaBumpVertexType> Unable to load 'm.tbumptex'"),
            std::string::npos);
}

TEST_F(MainTest, StartUpMakesTheEngineAndItsCheckSceneAndRetriesWithTheNullRenderer) {
  Cli::StartupOptions options;
  EXPECT_EQ(Cli::EngineOptions(options), "-Hidden");
  options.noRender = true;
  EXPECT_EQ(Cli::EngineOptions(options), "-Hidden -NullRender");

  for (bool failRenderer : {false, true}) {
    SCOPED_TRACE(failRenderer);
    Kiv::RenderKernel::InjectRendererFailure(failRenderer);
    std::string retry;
    const int listener = Kiv::Log::Instance().AddListener([&retry](Kiv::LogLevel, std::string_view line) {
      if (line.find("retrying with -NullRender") != std::string_view::npos) retry = line;
    });
    Cli::Session session;
    session.installationRoot = m_root;
    session.userDataFolder = m_userData;
    session.out = m_out.File();
    session.endsProcess = false;
    ASSERT_TRUE(Cli::StartUp(session)) << Output();
    Kiv::RenderKernel::InjectRendererFailure(false);
    ASSERT_TRUE(session.kernel);
    EXPECT_EQ(session.kernel->IsNullRenderer(), failRenderer);
    EXPECT_EQ(Kiv::RenderKernel::Current(), session.kernel.get());
    OBLLib::DataManager* dm = OBLLib::DataManager::Existing();
    ASSERT_NE(dm, nullptr);
    EXPECT_TRUE(dm->HasScene());
    EXPECT_TRUE(OBLLib::DataManager::SharedResourcesRegistered());
    // The sorted blend cache is the program's, shared by the bump materials.
    auto blend = session.kernel->GetCacheManager().FindCache(Kiv::AlphaBlendCache::AlphaBlendCacheID);
    EXPECT_NE(dynamic_cast<Kiv::RovanaAlphaBlendCache*>(blend.get()), nullptr);
    EXPECT_NE(Kiv::AlphaBlendCacheUnsorted::Instance(), nullptr);
    auto gloss = OBLLib::DataManager::SharedMaterial("tbumpgloss");
    ASSERT_TRUE(gloss);
    EXPECT_EQ(gloss->GetTypeName().View(), failRenderer ? "onetex" : "tbumpgloss");
    Cli::ShutDown(session);
    EXPECT_FALSE(OBLLib::DataManager::SharedResourcesRegistered());
    EXPECT_TRUE(Kiv::PluginSystem::Instance().Registrations().empty());
    EXPECT_EQ(Kiv::RenderKernel::Current(), nullptr);
    Kiv::Log::Instance().RemoveListener(listener);
    EXPECT_EQ(retry.empty(), !failRenderer) << retry;
  }
  EXPECT_EQ(Output(), "");
}

}  // namespace

namespace {

// Verdicts on assets a test makes: each is checked as a user checks it, by
// the command, a batch file or the command host.
class AssetVerdictTest : public ValidateCommandTest {
protected:
  // Writes local/<folder>/config.txt and copies the named sample files
  // (paths below samples/) into the folder under the given names.
  std::string Asset(const std::string& folder, const std::string& config,
                    const std::vector<std::pair<std::string, std::string>>& files = {
                        {"userdata/local/clean_shed/shed.im", "shed.im"},
                        {"userdata/local/clean_shed/brick.texture", "brick.texture"}}) {
    const std::string path = m_userData + "/local/" + folder;
    m_tree.Write("user/local/" + folder + "/config.txt", config);
    for (const auto& [from, to] : files) {
      std::filesystem::create_directories(std::filesystem::path(path + "/" + to).parent_path());
      std::filesystem::copy_file(std::string(ROVANA_SOURCE_DIR) + "/samples/" + from, path + "/" + to);
    }
    return path;
  }
  // The output of one run of the command on the asset folder, and its code.
  std::string Validate(const std::string& path, int* code = nullptr) {
    const size_t seen = Output().size();
    const int result = Run({"validate", path});
    if (code) *code = result;
    return Output().substr(seen);
  }
  static std::string Header(int number, const std::string& kind) {
    return "kuid <kuid:523:" + std::to_string(3000 + number) + ">\nkind " + kind +
           "\nusername \"Made\"\nrovana-build 3.4\n";
  }
  static std::string MeshTable(const std::string& entries) { return "mesh-table\n{\n" + entries + "}\n"; }
  static constexpr const char* kShed = "  default\n  {\n    mesh \"shed.im\"\n    auto-create 1\n  }\n";
};

// A container that the kind's own definition lacks but an inherited one
// defines passes; one that no definition covers is reported once.
TEST_F(AssetVerdictTest, SmokeContainersByTheDefinitionsThatCoverThem) {
  const std::string smoke = "smoke\n{\n  rate 2\n  velocity 1\n}\n";
  const std::string table = MeshTable(std::string(kShed) + "  shadow\n  {\n    mesh \"shed.im\"\n  }\n");
  int code = 0;
  EXPECT_EQ(Validate(Asset("smoking_car", Header(1, "traincar") + table + smoke), &code),
            "OK (0 Errors,0 Warnings)\n");
  EXPECT_EQ(code, 0);
  // Its rules still run: a negative rate is an error.
  const std::string badRate = "smoke\n{\n  rate -2\n  velocity 1\n}\n";
  EXPECT_EQ(Validate(Asset("fuming_car", Header(2, "traincar") + table + badRate), &code),
            "- The tag 'rate' must not be negative.\nOK (1 Errors,0 Warnings)\n");
  EXPECT_EQ(code, -1);
  EXPECT_EQ(Validate(Asset("smoking_shed", Header(3, "scenery") + MeshTable(kShed) + smoke), &code),
            "- A smoke tag has no definition.\n"
            "- The tag 'smoke' in 'scenery' is not defined for this kind of asset.\n"
            "OK (2 Errors,0 Warnings)\n");
  EXPECT_EQ(code, -1);
}

// What an asset with "alias" sets is not carried into the next check, in a
// batch file and in the command host alike.
TEST_F(AssetVerdictTest, AnAliasDoesNotChangeTheVerdictOnLaterAssets) {
  const std::string effect =
      Asset("glowing_shed", Header(4, "scenery") + MeshTable("  default\n  {\n"
                                                             "    mesh \"shed.im\"\n"
                                                             "    effects\n    {\n"
                                                             "      glow\n      {\n"
                                                             "        kind \"name\"\n"
                                                             "        att \"a.nowhere\"\n"
                                                             "      }\n    }\n  }\n"));
  const std::string alias = Asset("borrowed", Header(5, "scenery") + "alias <kuid:523:1010>\n", {});
  const std::string finding =
      "In 'mesh-table\\default\\effects\\glow' the tag 'att' names 'a.nowhere', which is not an attachment "
      "point of the mesh.";
  const std::string verdict = "- " + finding + "\nOK (1 Errors,0 Warnings)\n";
  EXPECT_EQ(Validate(effect), verdict);
  const std::string batch = m_tree.Write(
      "checks.txt", "validate " + effect + "\nvalidate " + alias + "\nvalidate " + effect + "\n");
  const size_t seen = Output().size();
  EXPECT_EQ(Run({"@" + batch}), -1);
  const std::string out = Output().substr(seen);
  ASSERT_GE(out.size(), verdict.size());
  EXPECT_EQ(out.substr(0, verdict.size()), verdict) << out;
  EXPECT_EQ(out.substr(out.size() - verdict.size()), verdict) << out;
  EXPECT_NE(out.find("! This asset borrows its mesh through an \"alias\" tag.\n"), std::string::npos) << out;

  std::string escaped = finding;
  for (size_t at = escaped.find('\\'); at != std::string::npos; at = escaped.find('\\', at + 2))
    escaped.insert(at, 1, '\\');
  EXPECT_EQ(Run({"umbcommandhost"}, "1 0 " + effect + "\n2 0 " + alias + "\n3 0 " + effect + "\n"), 0);
  const std::string host = Output().substr(seen + out.size());
  EXPECT_NE(host.find("1 R 3 " + escaped + "\n1 OK 0\n"), std::string::npos) << host;
  EXPECT_NE(host.find("3 R 3 " + escaped + "\n3 OK 0\n"), std::string::npos) << host;
}

// The kinds whose meshes are seen near the camera get no performance warnings
// for a mesh with one level of few polygons; other kinds get all three.
TEST_F(AssetVerdictTest, ExemptKindsGetNoLevelOfDetailWarnings) {
  const std::vector<std::pair<std::string, std::string>> tower = {
      {"userdata/local/lod_tower/tower.lm", "tower.lm"},
      {"userdata/local/lod_tower/brick.texture", "brick.texture"}};
  const std::string table = MeshTable("  default\n  {\n    mesh \"tower.lm\"\n    auto-create 1\n  }\n");
  int number = 10;
  for (const char* kind : {"traincar", "bogey", "interior", "pantograph", "drivercharacter"}) {
    SCOPED_TRACE(kind);
    int code = -1;
    const std::string out =
        Validate(Asset(std::string("near_") + kind, Header(number++, kind) + table, tower), &code);
    EXPECT_EQ(out.find("! The mesh has"), std::string::npos) << out;
    EXPECT_EQ(out.find("! The lowest level"), std::string::npos) << out;
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(Validate(Asset("far_scenery", Header(number, "scenery") + table, tower)),
            "! The mesh has no attachment points.\n"
            "! The mesh has only one level of detail.\n"
            "! The lowest level of detail of the mesh has very few polygons.\n"
            "OK (0 Errors,3 Warnings)\n");
}

// The attachment finding names the parent mesh as the config does, however
// deep the asset folder lies in its content folder.
TEST_F(AssetVerdictTest, AttachmentFindingNamesTheParentMeshAsTheConfigDoes) {
  const std::string table = MeshTable(
      "  default\n  {\n    mesh \"sub/m.im\"\n    auto-create 1\n  }\n"
      "  lamp\n  {\n    mesh \"sub/m.im\"\n    att-parent \"default\"\n    att \"a.nowhere\"\n  }\n");
  const std::vector<std::pair<std::string, std::string>> mesh = {{"meshes/skinned.im", "sub/m.im"}};
  const std::string verdict =
      "- 'a.nowhere' in the tag 'att' is not an attachment point of the mesh 'sub/m.im'.\n"
      "OK (1 Errors,0 Warnings)\n";
  int number = 20;
  for (const char* folder : {"posts", "set/posts", "set/att2/posts", "set/a/b/posts"}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(Validate(Asset(folder, Header(number++, "scenery") + table, mesh)), verdict);
  }
  // Outside every content folder, too.
  const std::string outside = m_tree.Path("elsewhere/posts");
  std::filesystem::create_directories(outside);
  std::filesystem::copy(m_userData + "/local/posts", outside, std::filesystem::copy_options::recursive);
  EXPECT_EQ(Validate(outside), verdict);
}

// Bytes of a bad config that a terminal would act on are shown, not cut at
// and not echoed raw.
TEST_F(AssetVerdictTest, UnprintableBytesInAFindingAreShown) {
  using namespace std::string_literals;
  const std::string path =
      Asset("odd_names", Header(30, "scenery") + "weird\0name 1\nodd\x01\x1bname 2\n"s + MeshTable(kShed));
  EXPECT_EQ(Validate(path),
            "- The tag 'weird\\0name' in 'scenery' is not defined for this kind of asset.\n"
            "- The tag 'odd\\x01\\x1bname' in 'scenery' is not defined for this kind of asset.\n"
            "OK (2 Errors,0 Warnings)\n");
  const size_t seen = Output().size();
  EXPECT_EQ(Run({"umbcommandhost"}, "7 0 " + path + "\n"), 0);
  EXPECT_NE(
      Output().find("7 R 3 The tag 'weird\\0name' in 'scenery' is not defined for this kind of asset.\n"
                    "7 R 3 The tag 'odd\\x01\\x1bname' in 'scenery' is not defined for this kind of asset.\n"
                    "7 OK 0\n",
                    seen),
      std::string::npos)
      << Output();
}

}  // namespace

namespace {

// With the shipped installation every check can fire: each row is an asset
// made to meet one rule or check, and the line it must give.
TEST_F(AssetVerdictTest, EveryCheckOfTheShippedSchemaCanFire) {
  const std::string shadow = "  shadow\n  {\n    mesh \"shed.im\"\n    auto-create 0\n  }\n";
  const std::vector<std::pair<std::string, std::string>> skinned = {{"meshes/skinned.im", "sub/m.im"}};
  struct Row {
    std::string config;
    std::string line;
    std::vector<std::pair<std::string, std::string>> files;
  };
  const std::vector<Row> rows = {
      {Header(0, "traincar") + MeshTable(kShed), "! The mesh table has no \"shadow\" mesh.\n", {}},
      {Header(0, "scenery") + MeshTable("  default\n  {\n    mesh \"shed.im\"\n    auto-create 0\n  }\n"),
       "! The mesh table has no visible mesh.\n",
       {}},
      {Header(0, "traincar") + "collate-meshes 1\n" + MeshTable(std::string(kShed) + shadow),
       "- The tag 'collate-meshes' is not allowed in an asset of kind 'traincar'.\n",
       {}},
      {Header(0, "scenery") + "collate-distance 100\n" + MeshTable(kShed),
       "- The tag 'collate-distance' needs a 'collate-meshes' tag.\n",
       {}},
      {Header(0, "scenery") + "track-offset 2\n" + MeshTable(kShed),
       "- The tag 'track-offset' needs a 'type' tag of 'trackside'.\n",
       {}},
      {Header(0, "scenery") + "type \"bridge\"\ntrack-offset 2\n" + MeshTable(kShed),
       "- The tag 'type' must be 'trackside' for the tag 'track-offset'.\n",
       {}},
      {Header(0, "scenery") + MeshTable("  default\n  {\n    mesh \"shed.im\"\n    auto-create 1\n"
                                        "    light \"0\"\n  }\n"),
       "- There is no \"lights\" container.\n",
       {}},
      {Header(0, "scenery") + "lights\n{\n  0\n  {\n    radius 4\n  }\n}\n" +
           MeshTable("  default\n  {\n    mesh \"shed.im\"\n    auto-create 1\n    light \"0,1\"\n  }\n"),
       "- There is no light 1 in the \"lights\" container.\n",
       {}},
      {Header(0, "scenery") + MeshTable("  default\n  {\n    mesh \"sub/m.im\"\n    auto-create 1\n"
                                        "    effects\n    {\n      lamp\n      {\n        kind \"name\"\n"
                                        "        bone \"elbow\"\n      }\n    }\n  }\n"),
       "- 'elbow' is not a named part of the mesh 'sub/m.im'.\n", skinned},
      {Header(0, "groundtexture"), "- No texture file is named.\n", {}},
      {Header(0, "groundtexture") + "texture \"grass.texture\"\n",
       "- The texture file 'grass.texture' does not exist.\n",
       {}},
      {Header(0, "traincar") + "category-class \"TR;TV\"\nscript \"loco\"\nclass \"SignalBox\"\n" +
           MeshTable(std::string(kShed) + shadow),
       "- Script class does not match asset kind (vehicle).\n",
       {{"userdata/local/clean_shed/shed.im", "shed.im"},
        {"userdata/local/clean_shed/brick.texture", "brick.texture"},
        {"userdata/local/signal_box/signalbox.gs", "loco.gs"}}},
      // Rules and writers the schema bound before.
      {Header(0, "traincar") +
           "cameralist\n{\n  0 1,2,3\n}\nqueues\n{\n  0\n  {\n    size 3\n"
           "    initial-count 2\n  }\n}\n" +
           MeshTable(std::string(kShed) + shadow),
       "- The tag '0' has the wrong number of values.\n"
       "- The tag 'product-kuid' is missing; it must come with 'size'.\n",
       {}},
      {Header(0, "interior") + "cabin_muffle 2\n" + MeshTable(kShed),
       "- The tag 'cabin_muffle' must lie between 0 and 1.\n",
       {}},
      {Header(0, "scenery") + "snapgrid 0\n" + MeshTable(kShed),
       "- The tag 'snapgrid' must not be zero.\n",
       {}},
      {Header(0, "track") + "width ,\n" + MeshTable(kShed), "- The tag 'width' has no value.\n", {}},
      {Header(0, "track") + "width -1\ngroundtexture <NULL>\n" + MeshTable(kShed),
       "- The tag 'width' must not be negative.\n! The tag 'groundtexture' holds a null KUID.\n",
       {}},
      {Header(0, "scenery") + "script \"nothere\"\n" + MeshTable(kShed),
       "- The script file 'nothere' does not exist.\n",
       {}},
      {Header(0, "scenery") +
           MeshTable(std::string(kShed) + "  lamp\n  {\n    mesh \"shed.im\"\n    att-parent \"lamp\"\n  }\n"
                                          "  lamp2\n  {\n    mesh \"shed.im\"\n    att \"a.x\"\n  }\n"
                                          "  default\n  {\n    mesh \"shed.im\"\n  }\n"),
       "- A mesh cannot be its own parent.\n- The container 'lamp2' has no \"att-parent\" tag.\n"
       "- There is more than one container 'default' in 'mesh-table'.\n",
       {}},
      {Header(0, "scenery") +
           MeshTable("  default\n  {\n    mesh \"shed.png\"\n    auto-create 1\n"
                     "    anim \"walk.txt\"\n  }\n") +
           "thumbnails\n{\n  0\n  {\n    image \"x.kin\"\n    width 64\n    height 64\n  }\n}\n",
       "- The tag 'mesh' in 'default' does not name a mesh file.\n- The file 'shed.png' does not exist.\n"
       "- The tag 'anim' in 'default' does not name an animation file.\n"
       "- The tag 'image' in '0' does not name an image file.\n",
       {}},
      {Header(0, "scenery") + MeshTable("  walk\n  {\n    anim \"walk.kin\"\n  }\n"
                                        "  default\n  {\n    mesh \"quad.pm\"\n    auto-create 1\n  }\n"),
       "- An animation was given before any mesh loaded.\n- The required tag 'mesh' is missing.\n"
       "- A mesh of this asset is in a format that is no longer supported.\n",
       {{"meshes/quad.pm", "quad.pm"}}},
  };
  int number = 40;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.config);
    std::string config = row.config;
    config.replace(config.find("3000>"), 5, std::to_string(3000 + number) + ">");
    const std::string folder = "check" + std::to_string(number++);
    const std::string out =
        row.files.empty() ? Validate(Asset(folder, config)) : Validate(Asset(folder, config, row.files));
    EXPECT_NE(out.find(row.line), std::string::npos) << out;
  }
}

}  // namespace

namespace {

// The samples that show a rule at work pass: a locomotive whose smoke only
// an inherited definition covers, and legacy configs whose upgrade writes
// the category codes "ZX", "00" and "GB".
TEST_F(ValidateCommandTest, SamplesOfUpgradesAndInheritedContainersPass) {
  const std::filesystem::path samples = std::string(ROVANA_SOURCE_DIR) + "/samples/userdata/local";
  for (const char* asset : {"steam_loco", "legacy_hut", "legacy_shelter"})
    std::filesystem::copy(samples / asset, m_userData + "/local/" + asset,
                          std::filesystem::copy_options::recursive);
  EXPECT_EQ(Run({"validate", m_userData + "/local/steam_loco"}), 0);
  EXPECT_EQ(Run({"validate", m_userData + "/local/legacy_hut"}), 0);
  EXPECT_EQ(Run({"validate", m_userData + "/local/legacy_shelter"}), 0);
  EXPECT_EQ(Output(),
            "OK (0 Errors,0 Warnings)\n"
            "! This asset is of a build older than 2.7 and is obsolete.\nOK (0 Errors,1 Warnings)\n"
            "OK (0 Errors,0 Warnings)\n");
}

}  // namespace
