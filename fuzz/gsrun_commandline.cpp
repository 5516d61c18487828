// gsrun's command line (arguments separated by NUL bytes): any line is taken
// or refused without a fault, and one that is taken is one of gsrun's forms,
// with every number in its range.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "programs/gsrun/Arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = FuzzArguments(data, size, "gsrun");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  constexpr uint64_t kDefault = 7;
  Gsrun::Arguments a;
  a.memoryLimit = kDefault;
  if (!Gsrun::ParseArguments(int(args.size()), argv.data(), a)) return 0;
  if (a.game != (args[1] == "--game")) std::abort();
  if (a.game ? a.rest.size() != 2 && a.rest.size() != 3 : a.rest.size() != 3 || !a.userData.empty())
    std::abort();
  if (a.count < 1 || a.count > 100000 || (!a.game && a.count != 1)) std::abort();
  if (a.memoryLimit != kDefault &&
      (a.memoryLimit == 0 || a.memoryLimit % (1u << 20) != 0 || a.memoryLimit > (uint64_t(1) << 44)))
    std::abort();
  if (a.userData.empty() && (!a.installation.empty() || !a.service.empty())) std::abort();
  if (!a.service.empty() && (a.port < 1 || a.port > 65535 || a.host.empty())) std::abort();
  return 0;
}
