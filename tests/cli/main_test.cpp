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
  EXPECT_EQ(Output(), "- OBLLib initialisation failed.\n- Init failed\n");

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
  // Only switches: the blanked command word is no source, so the compiler
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
  EXPECT_NE(out.find("5 R 3 Unable to load the schema: schema file '" + m_root +
                     "/OBLData/inheritance.txt' is missing.\n5 OK 0\n"),
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
    for (const char* part : {"OBLData", "strings", "tables"})
      std::filesystem::copy(
          samples / "install" / part, m_root + "/" + part,
          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
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
            "- Unable to set up a mesh.\n"
            "OK (2 Errors,3 Warnings)\n");
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
