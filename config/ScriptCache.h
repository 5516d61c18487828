#pragma once
// The compile step of the asset check: an asset's ".gs" and ".gse" scripts are
// compiled into ".gsl" libraries in the user's cache, each named after the
// pair (CRC-32 of the source text, CRC-32 of its lower-cased file name without
// a final "e"), which is also the library's identity; an unchanged source is
// never compiled twice. A cache file serves while a record beside it
// ("%08x%08x.sum": its size and CRC-32) matches it and the ids it lists are
// those of its source and every source it includes as they are now; else the
// source is compiled again.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/Soup.h"

class ResultsLog;
namespace OBLLib {
class AssetFiles;
}

// The cache file name "%08x%08x.gsl" of a pair.
std::string ScriptCacheFileName(uint32_t contentChecksum, uint32_t pathChecksum);
// The path checksum of a source file name (a folder part is ignored).
uint32_t ScriptPathChecksum(std::string_view sourcePath);

// Registers every native script class before the first compile. The script
// library sits above this folder, so the program passes its registration in;
// without one only the machine's built-ins are there. The registrar runs
// until it first succeeds.
void SetScriptNativesRegistrar(std::function<bool()> registrar);

// Compiles and checks the scripts of the asset in folder (its spec is found
// or made), adding a result for each problem. False on failure. config, when
// not null, is the folder's config already read (it is not read again); listed, when
// not null, the asset check's listing of the folder, which the compile lists from.
[[nodiscard]] bool UMBCompileAsset(ResultsLog& log, const std::string& folder,
                                   const SoupRef& config = SoupRef(), OBLLib::AssetFiles* listed = nullptr);
