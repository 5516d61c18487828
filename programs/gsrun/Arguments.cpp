#include "programs/gsrun/Arguments.h"

#include <cstdlib>
#include <cstring>

#include "foundation/ScriptFileBuffer.h"
#include "gamescript/compiler/Dependencies.h"
#include "gamescript/runtime/LibraryFile.h"
#include "kiv/File.h"
#include "kiv/String.h"

namespace Gsrun {

bool ParseArguments(int argc, char** argv, Arguments& out) {
  std::vector<GSCompiler::IncludePath>& includes = out.includes;
  std::vector<const char*>& rest = out.rest;
  bool& game = out.game;
  std::string &userData = out.userData, &installation = out.installation, &service = out.service;
  uint64_t& memoryLimit = out.memoryLimit;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return out.help = true;
  for (int i = 1; i < argc; ++i) {
    if (i == 1 && std::strcmp(argv[i], "--game") == 0) {
      game = true;
    } else if (std::strncmp(argv[i], "-i", 2) == 0 && argv[i][2]) {
      includes.push_back({Kiv::File::Path(argv[i] + 2), Kiv::PString()});
    } else if (std::strncmp(argv[i], "-u", 2) == 0 && argv[i][2]) {
      // Taken from the current folder now: whatever later joins it to a
      // folder of its own then names the folder the user meant.
      userData = Kiv::AbsolutePath(argv[i] + 2);
    } else if (std::strncmp(argv[i], "-r", 2) == 0 && argv[i][2]) {
      installation = Kiv::AbsolutePath(argv[i] + 2);
    } else if (std::strncmp(argv[i], "-o", 2) == 0 && argv[i][2]) {
      service = argv[i] + 2;
    } else if (std::strncmp(argv[i], "-m", 2) == 0) {
      char* end = nullptr;
      const unsigned long long mib = std::strtoull(argv[i] + 2, &end, 10);
      if (end == argv[i] + 2 || *end || mib == 0 || mib > (uint64_t(1) << 24)) return false;
      memoryLimit = uint64_t(mib) << 20;
    } else if (argv[i][0] == '-') {
      // An option gsrun does not take is refused, never passed over.
      out.unknownOption = argv[i];
      return false;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int& count = out.count;
  if (game) {
    if (rest.size() == 3) {
      char* end = nullptr;
      const long n = std::strtol(rest[2], &end, 10);
      if (!*rest[2] || *end || n < 1 || n > 100000) return false;
      count = int(n);
    } else if (rest.size() != 2) {
      return false;
    }
  } else if (rest.size() != 3 || !userData.empty()) {
    return false;
  }
  if (userData.empty() && (!installation.empty() || !service.empty())) return false;
  if (!service.empty()) {
    const std::size_t colon = service.rfind(':');
    char* end = nullptr;
    const long port = colon == std::string::npos ? 0 : std::strtol(service.c_str() + colon + 1, &end, 10);
    if (colon == 0 || port < 1 || port > 65535 || *end) return false;
    out.host = service.substr(0, colon);
    out.port = int(port);
  }
  return true;
}

std::vector<std::string> IncludesOf(const std::string& path) {
  ScriptFileBuffer buffer;
  buffer.Reset();
  if (!buffer.Load(nullptr, path.c_str()) || !buffer.Decode()) return {};
  return GSCompiler::IncludeNames({buffer.data ? buffer.data : "", buffer.length});
}

bool LibraryIsNotOlder(const std::string& library, const std::string& source) {
  return Kiv::File::ModificationTime(library) >= Kiv::File::ModificationTime(source);
}

bool LibraryIsCurrent(const std::string& library, const std::string& source, const std::string& compiledAs,
                      const std::set<std::pair<uint32_t, uint32_t>>& expected) {
  uint32_t id1 = 0, id2 = 0;
  std::vector<uint8_t> image;
  return LibraryIsNotOlder(library, source) &&
         Kiv::File::ReadWholeFile(library, image, GSRuntime::kMaxLibraryBytes) &&
         GSRuntime::ReadLibraryHeader(image, id1, id2) && expected.count({id1, id2}) &&
         GSCompiler::LibraryMatchesSources(image, compiledAs.c_str());
}

}  // namespace Gsrun
