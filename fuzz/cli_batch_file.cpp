// A batch file ("rovanautil @file") as it is read from disk: the file reader
// gives exactly what the text parser gives for the same bytes, and refuses
// only what the parser refuses (its message then names the file).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CommandLine.h"
#include "fuzz/fuzz_scratch.h"
#include "kiv/File.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = FuzzScratchFolder("cli-batch") + "/batch.txt";
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!Kiv::File::ReplaceFileAtomic(path, text.data(), text.size(), false)) std::abort();

  std::vector<Cli::BatchCommand> read, parsed;
  std::string readError, parseError;
  const bool fileOk = Cli::ReadBatchFile(path, read, readError);
  const bool textOk = Cli::ParseBatchText(text, path, parsed, parseError);
  if (fileOk != textOk || readError != parseError) std::abort();
  if (!fileOk && (read.size() != 0 || readError.find(path) == std::string::npos)) std::abort();
  if (read.size() != parsed.size()) std::abort();
  for (size_t i = 0; i < read.size(); ++i)
    if (read[i].line != parsed[i].line || read[i].args != parsed[i].args) std::abort();
  return 0;
}
