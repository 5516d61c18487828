// gsrun's look at an included source and the library beside it: the include
// directives of any source text are read without a fault, each name lower
// case, and a library counts as current only when its header carries an id
// that was expected and it lists the ids of the source as it is. The input is the library's bytes, then after a line
// "--source--" the source's text; the id expected is the input's own words
// 3 and 4, so the fuzzer can reach both answers.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_scratch.h"
#include "gamescript/runtime/LibraryFile.h"
#include "kiv/Bytes.h"
#include "kiv/File.h"
#include "programs/gsrun/Arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& folder = FuzzScratchFolder("gsrun-current");
  const auto [library, source] = FuzzParts(data, size, "--source--");
  const std::string sourcePath = folder + "/inc.gs", libraryPath = folder + "/inc.gsl";
  // The source first: the library is then not older than it.
  if (!Kiv::File::ReplaceFileAtomic(sourcePath, source.data(), source.size(), false) ||
      !Kiv::File::ReplaceFileAtomic(libraryPath, library.data(), library.size(), false))
    std::abort();

  for (const std::string& name : Gsrun::IncludesOf(sourcePath))
    for (char c : name)
      if (c >= 'A' && c <= 'Z') std::abort();

  std::set<std::pair<uint32_t, uint32_t>> expected;
  if (size >= 20) expected.insert({Kiv::LoadLE32(data + 12), Kiv::LoadLE32(data + 16)});
  const bool current = Gsrun::LibraryIsCurrent(libraryPath, sourcePath, sourcePath, expected);
  uint32_t id1 = 0, id2 = 0;
  const bool header = library.size() >= GSRuntime::kLibraryHeaderBytes &&
                      GSRuntime::ReadLibraryHeader({data, GSRuntime::kLibraryHeaderBytes}, id1, id2);
  if (current && !(header && expected.count({id1, id2}) == 1)) std::abort();
  // Nothing expected: never current.
  if (Gsrun::LibraryIsCurrent(libraryPath, sourcePath, sourcePath, {})) std::abort();
  return 0;
}
