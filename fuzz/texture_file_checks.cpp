// Runs a texture settings file through the texture file checks of an asset
// folder that holds a few images (one of an odd size, one that does not
// decode) and a converted texture beside the settings file, both as a plain
// walk and from the listings of a whole asset check, which must agree.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/AssetFiles.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/TextureChecks.h"
#include "kiv/Bitmap.h"
#include "fuzz/fuzz_scratch.h"

using namespace OBLLib;

namespace {

std::string g_dir;

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  g_dir = FuzzScratchFolder("fuzz-texture-checks");
  std::filesystem::create_directories(g_dir + "/schema");
  std::filesystem::create_directories(g_dir + "/asset/sub");
  Kiv::Bitmap square, odd;
  if (!square.Create(16, 16, Kiv::Bitmap::FormatRGB24) || !odd.Create(12, 8, Kiv::Bitmap::FormatRGB24))
    std::abort();
  // Any result will do: the run looks for faults, not answers.
  (void)square.Save(g_dir + "/asset/a.bmp");
  // Any result will do: the run looks for faults, not answers.
  (void)odd.Save(g_dir + "/asset/sub/b.bmp");
  std::ofstream(g_dir + "/asset/c.tga") << "not an image";
  std::ofstream(g_dir + "/asset/sub/t.texture") << "binary";
  // Any result will do: the run looks for faults, not answers.
  (void)ErrorHandler::Create();
  // Any result will do: the run looks for faults, not answers.
  (void)DataManager::Create((g_dir + "/schema/").c_str());
  DataManager::Instance()->checkOptions[1] = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  std::ofstream(g_dir + "/asset/sub/t.texture.txt", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  auto findings = [] {
    std::string out;
    for (const ErrorHandler::Entry& e : ErrorHandler::Instance()->GetEntries())
      out += std::to_string(e.severity) + e.text.Str() + "\n";
    ErrorHandler::Instance()->Clear();
    return out;
  };
  const bool plain = ValidateTextureFiles(g_dir + "/asset", g_dir + "/asset");
  const std::string plainFindings = findings();
  // A whole asset check walks the folder's listings: it must find the same.
  AssetFiles files(g_dir + "/asset");
  if (ValidateTextureFiles(files) != plain || findings() != plainFindings) std::abort();
  return 0;
}
