// Validating 10,000 generated assets of which every tenth carries a script,
// against the same tree without scripts, each pass in a fresh process as a
// command would run: the first pass compiles the scripts into the user's
// cache, later passes find them current. Reports the warm scripted pass
// against the pass without scripts (aim: at most 1.2x).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "config/AssetSpec.h"
#include "config/AssetValidation.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/ScriptCache.h"
#include "foundation/InterfaceTextDB.h"
#include "foundation/ResultsLog.h"
#include "kiv/Log.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/OpenDatabase.h"
#include "kiv/TempFolder.h"

namespace fs = std::filesystem;

namespace {

const std::string kSource = ROVANA_SOURCE_DIR;
const int kAssets =
    std::getenv("ROVANA_BENCH_ASSETS") ? std::atoi(std::getenv("ROVANA_BENCH_ASSETS")) : 10000;

std::string Config(int i, bool script) {
  std::string c = "kuid <kuid:900:" + std::to_string(i) + ">\nkind scenery\nusername \"Asset " +
                  std::to_string(i) +
                  "\"\nauthor \"Bench Works\"\ncategory-class BU\ncategory-region Britain\n"
                  "category-era \"1950s\"\nrovana-build 3.4\n"
                  "mesh-table\n{\n  default\n  {\n    mesh \"shed.im\"\n    auto-create 1\n  }\n}\n";
  if (script) c += "script \"main\"\nclass \"Asset" + std::to_string(i) + "\"\n";
  return c;
}

void MakeTree(const std::string& user, bool scripts) {
  for (int i = 0; i < kAssets; ++i) {
    const std::string folder = user + "/local/a" + std::to_string(i);
    fs::create_directories(folder);
    const bool script = scripts && i % 10 == 0;
    std::ofstream(folder + "/config.txt") << Config(i, script);
    fs::copy_file(kSource + "/samples/userdata/local/clean_shed/shed.im", folder + "/shed.im");
    if (script)
      std::ofstream(folder + "/main.gs") << "class Asset" << i << "\n{\n  public int Count(int n)\n  {\n"
                                         << "    return n + " << i << ";\n  }\n};\n";
  }
  fs::create_directories(user + "/settings");
  fs::create_directories(user + "/cache");
}

// The child: starts the config library and the database as a command does,
// then validates every asset of the tree; prints the validation's wall time
// and the errors found.
int RunPass(const std::string& oblData, const std::string& user) {
  Kiv::Log::Instance().SetConsole(false);
  InterfaceTextDB::SetFolder(kSource + "/samples/install/strings");
  SetUserDataFolder(user);
  SetInstallationRoot(kSource + "/samples/install");
  // Set-up of the measured data, known to work.
  (void)OBLLib::ErrorHandler::Create();
  // Set-up of the measured data, known to work.
  (void)OBLLib::DataManager::Create(oblData.c_str());
  SetScriptNativesRegistrar(&RegisterScriptNatives);
  std::unique_ptr<SpecRegistry> registry;
  UMBSetDatabaseHooks([&] { registry = std::make_unique<SpecRegistry>(); }, [&] { registry.reset(); });
  if (!UMBOpenDatabase()) return 1;
  int errors = 0;
  const double seconds = BenchReport::Seconds([&] {
    for (int i = 0; i < kAssets; ++i) {
      ResultsLog log;
      // Set-up of the measured data, known to work.
      (void)OBLLib::CheckAssetFolder(log, user + "/local/a" + std::to_string(i));
      errors += log.ErrorCount();
    }
  });
  UMBCloseDatabase();
  OBLLib::DataManager::Destroy();
  OBLLib::ErrorHandler::Destroy();
  std::printf("%.6f %d\n", seconds, errors);
  return 0;
}

bool SpawnPass(const std::string& oblData, const std::string& user, double& seconds, int& errors) {
  std::string text;
  return BenchReport::RunSelf({"--pass", oblData, user}, text) &&
         std::sscanf(text.c_str(), "%lf %d", &seconds, &errors) == 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--pass") return RunPass(argv[2], argv[3]);
  const Kiv::TempFolder temp("bench_validate_scripts");
  if (temp.Root().empty()) return 1;
  const std::string& dir = temp.Root();
  fs::copy(kSource + "/samples/install/OBLData", dir + "/OBLData", fs::copy_options::recursive);
  const std::string oblData = dir + "/OBLData/";
  const std::string plain = dir + "/plain", scripted = dir + "/scripted";
  MakeTree(plain, false);
  MakeTree(scripted, true);

  // First passes: the index files are built and the scripts compiled.
  double cold = 0, first = 0;
  int errors = 0, plainErrors = 0;
  if (!SpawnPass(oblData, plain, first, plainErrors) || !SpawnPass(oblData, scripted, cold, errors)) {
    std::printf("a validation pass failed\n");
    return 1;
  }
  std::vector<double> warm, without;
  for (int round = 0; round < 5; ++round) {
    double s = 0;
    if (!SpawnPass(oblData, plain, s, plainErrors)) return 1;
    without.push_back(s);
    if (!SpawnPass(oblData, scripted, s, errors)) return 1;
    warm.push_back(s);
  }
  size_t libraries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(scripted + "/cache/libraries"))
    libraries += entry.path().extension() == ".gsl";

  std::printf(
      "%d assets, %d with a script, %zu libraries cached; errors per pass: %d with scripts, %d without\n",
      kAssets, (kAssets + 9) / 10, libraries, errors, plainErrors);
  std::printf("first pass with scripts (compiling) %.3f s\n", cold);
  const double w = BenchReport::Median(warm), p = BenchReport::Median(without);
  const std::string note = "(median of 5 fresh processes; spread " +
                           std::to_string(static_cast<int>(BenchReport::SpreadPercent(warm))) + "% / " +
                           std::to_string(static_cast<int>(BenchReport::SpreadPercent(without))) +
                           "%; aim <= 1.2)";
  BenchReport::Figure("validate with a script per tenth asset, cache warm, vs no scripts", w, p, "s",
                      note.c_str());
  return errors == 0 && plainErrors == 0 ? 0 : 1;
}
