// Validating 1,000 generated assets whose meshes load for real, in one
// process, against reading the same files with cat in the same run. Each
// asset has two meshes naming the same two textures (descriptions and
// images beside them). Also the file opens per texture description, counted
// by running the validation again under strace: each description should be
// opened once however many meshes name it.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "cli/Subsystems.h"
#include "config/AssetValidation.h"
#include "foundation/InterfaceTextDB.h"
#include "foundation/ResultsLog.h"
#include "kiv/Log.h"
#include "kiv/render/RenderKernel.h"
#include "tests/graphics/mesh/MeshFixture.h"
#include "umbclient/ContentFolders.h"
#include "kiv/TempFolder.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr int kAssets = 1000;

std::string MakeConfig(int i) {
  return "kuid <kuid:900:" + std::to_string(i) + ">\nkind scenery\nusername \"Asset " + std::to_string(i) +
         "\"\nrovana-build 3.4\nauthor \"Bench Works\"\ncategory-class BU\n"
         "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    auto-create 1\n  }\n"
         "  shadow\n  {\n    mesh \"shadow.im\"\n    auto-create 0\n  }\n}\n";
}

int Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The validation of every asset; the number of errors found.
int ValidateAll(const std::string& dir) {
  int errors = 0;
  for (int i = 0; i < kAssets; ++i) {
    ResultsLog log;
    // Set-up of the measured data, known to work.
    (void)OBLLib::CheckAssetFolder(log, dir + "/user/editing/a" + std::to_string(i));
    errors += log.ErrorCount();
  }
  return errors;
}

// Starts what validate needs, as the program's start-up does.
std::unique_ptr<Kiv::RenderKernel> Start(const std::string& dir) {
  const std::string source = ROVANA_SOURCE_DIR;
  Kiv::Log::Instance().SetConsole(false);
  InterfaceTextDB::SetFolder(source + "/samples/install/strings");
  SetUserDataFolder(dir + "/user");
  SetInstallationRoot(source + "/samples/install");
  if (!Cli::StartConfigSchema(dir + "/OBLData/")) std::exit(1);
  auto kernel = Kiv::RenderKernel::Create("-NullRender");
  if (!kernel) std::exit(1);
  Cli::RegisterEnginePlugins();
  Cli::SetUpConfigSchemaScene(kernel.get());
  return kernel;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--validate") {  // the child strace watches
    auto kernel = Start(argv[2]);
    std::printf("%d\n", ValidateAll(argv[2]));
    Cli::StopConfigSchema();
    return 0;
  }
  const Kiv::TempFolder temp("bench_validate_meshes");
  if (temp.Root().empty()) return 1;
  const std::string& dir = temp.Root();
  const std::string source = ROVANA_SOURCE_DIR;
  fs::copy(source + "/samples/install/OBLData", dir + "/OBLData", fs::copy_options::recursive);
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(2.0f, "brick.m.onetex"));
  mesh.chunks[0].material.textures = {{0, "brick.texture", 1.0f}};
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "glass.m.onetex"));
  mesh.chunks[1].material.textures = {{0, "glass.texture", 1.0f}};
  const std::vector<uint8_t> bytes = MeshFixture::Write(mesh);
  const std::string meshText(bytes.begin(), bytes.end());
  std::vector<std::string> files;
  for (int i = 0; i < kAssets; ++i) {
    const std::string folder = dir + "/user/editing/a" + std::to_string(i);
    fs::create_directories(folder);
    std::ofstream(folder + "/config.txt") << MakeConfig(i);
    for (const char* m : {"/body.im", "/shadow.im"}) std::ofstream(folder + m, std::ios::binary) << meshText;
    for (const char* t : {"brick", "glass"}) {
      std::ofstream(folder + "/" + t + ".texture.txt") << "Primary=" << t << ".png\nTile=st\n";
      fs::copy_file(source + "/samples/textures/" + t + ".png", folder + "/" + t + ".png");
    }
    for (const char* f : {"/config.txt", "/body.im", "/shadow.im", "/brick.texture.txt", "/glass.texture.txt",
                          "/brick.png", "/glass.png"})
      files.push_back(folder + f);
  }

  auto kernel = Start(dir);
  ValidateAll(dir);  // warm-up: schema, texts, the page cache
  std::vector<double> project, reference;
  int errors = 0;
  for (int round = 0; round < 5; ++round) {
    project.push_back(BenchReport::Seconds([&] { errors = ValidateAll(dir); }));
    reference.push_back(BenchReport::Seconds([&] {
      // One cat per 500 files, as xargs would run it.
      for (size_t at = 0; at < files.size(); at += 500) {
        std::vector<std::string> args{"sh", "-c", "exec cat \"$@\" > /dev/null", "cat"};
        for (size_t k = at; k < std::min(files.size(), at + 500); ++k) args.push_back(files[k]);
        Spawn(args);
      }
    }));
  }
  char note[160];
  std::snprintf(note, sizeof note, "(best of 5; spread %.0f%% / %.0f%%; %d errors)",
                BenchReport::SpreadPercent(project), BenchReport::SpreadPercent(reference), errors);
  BenchReport::Figure("validate 1,000 assets with meshes vs cat of their files",
                      *std::min_element(project.begin(), project.end()),
                      *std::min_element(reference.begin(), reference.end()), "s", note);
  Cli::StopConfigSchema();
  kernel.reset();

  // Opens of the texture descriptions in a fresh process under strace.
  const std::string trace = dir + "/trace.txt";
  if (Spawn({"strace", "-f", "-qq", "-e", "trace=open,openat", "-o", trace, argv[0], "--validate", dir}) ==
      0) {
    std::ifstream in(trace);
    std::string line;
    size_t opens = 0;
    while (std::getline(in, line))
      if (line.find(".texture.txt\"") != std::string::npos && line.find("= -1") == std::string::npos) ++opens;
    BenchReport::Figure("texture description opens per description", double(opens) / (2.0 * kAssets), 1.0,
                        "opens", "(meshes naming each: 2)");
  } else {
    std::printf("strace is not available: opens not counted\n");
  }
  return 0;
}
