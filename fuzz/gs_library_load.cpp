// Loads and links arbitrary bytes as a ".gsl" library in a fresh script
// machine: a malformed file is refused, never a crash, a hang or a leak, and
// a refused load leaves nothing loaded.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "gamescript/runtime/Machine.h"
#include "kiv/File.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One scratch folder per process, removed at exit.
  static const struct Scratch {
    std::string folder = "/tmp/fuzz-gsl-" + std::to_string(getpid());
    bool made = Kiv::File::CreateDirectories(folder);
    ~Scratch() { Kiv::File::Prune(folder); }
  } scratch;
  const std::string& folder = scratch.folder;
  if (!scratch.made) return 0;
  if (!Kiv::File::WriteWholeFile(folder + "/f.gsl",
                                 std::string_view(reinterpret_cast<const char*>(data), size)))
    return 0;
  GSRuntime::GSMachine machine;
  machine.RegisterBuiltins();
  uint64_t id = 0;
  if (!machine.AddLibrary(folder, "f.gsl", &id)) return 0;
  GSRuntime::GSLibrary* library = machine.GetLibrary(uint32_t(id >> 32), uint32_t(id));
  if (!library && machine.LoadedCount() != 0) __builtin_trap();
  if (library) {
    // Every class of a linked library can make an instance and end it.
    GSRuntime::GSContext context;
    for (std::size_t i = 0; i < library->ClassCount(); ++i) {
      GSRuntime::GSObject object;
      object.BindScriptClass(library->ClassAt(i), &context);
    }
  }
  return 0;
}
