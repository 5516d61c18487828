#pragma once
// The scratch folder of a fuzz target that works on files: made once per
// process and removed at exit. The libraries' log is kept off standard output,
// where it would drown the fuzzer's own report.
#include <cstdlib>
#include <string>
#include <string_view>

#include "kiv/Log.h"
#include "kiv/TempFolder.h"

inline const std::string& FuzzScratchFolder(std::string_view prefix) {
  static const Kiv::TempFolder temp = [&] {
    Kiv::Log::Instance().SetConsole(false);
    return Kiv::TempFolder(prefix);
  }();
  if (temp.Root().empty()) std::abort();
  return temp.Root();
}
