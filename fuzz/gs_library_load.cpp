// Loads and links arbitrary bytes as a ".gsl" library in a fresh script
// machine: a malformed file is refused, never a crash, a hang or a leak, and
// a refused load leaves nothing loaded. What loads is run: every function
// without arguments of every class, bounded by the run budget and a memory
// limit, ends in a script error or a normal end.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Thread.h"
#include "gamescript/runtime/Verifier.h"
#include "kiv/File.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One scratch folder per process, removed at exit.
  static const struct Scratch {
    std::string folder = "/tmp/fuzz-gsl-" + std::to_string(getpid());
    bool made = Kiv::File::CreateDirectories(folder);
    // Any result will do: the run looks for faults, not answers.
    ~Scratch() { (void)Kiv::File::Prune(folder); }
  } scratch;
  const std::string& folder = scratch.folder;
  if (!scratch.made) return 0;
  if (!Kiv::File::WriteWholeFile(folder + "/f.gsl",
                                 std::string_view(reinterpret_cast<const char*>(data), size)))
    return 0;
  GSRuntime::InstallInterpreter();
  GSRuntime::GSMachine machine;
  machine.RegisterBuiltins();
  machine.SetMemoryLimit(uint64_t(64) << 20);
  uint64_t id = 0;
  if (!machine.AddLibrary(folder, "f.gsl", &id)) return 0;
  GSRuntime::GSLibrary* library = machine.GetLibrary(uint32_t(id >> 32), uint32_t(id));
  if (!library && machine.LoadedCount() != 0) __builtin_trap();
  if (library) {
    // Every class of a linked library can make an instance, run its
    // functions and end it.
    GSRuntime::GSContext context;
    for (std::size_t i = 0; i < library->ClassCount(); ++i) {
      GSRuntime::GSClass* cls = library->ClassAt(i);
      GSRuntime::GSObject object;
      if (!object.BindScriptClass(cls, &context)) continue;
      for (GSRuntime::GSFunction& f : cls->Functions()) {
        if (f.IsNative() || f.record->parameters != 1 || f.record->code.empty()) continue;
        uint32_t result = 0;
        if (GSRuntime::CallScriptFunction(f, object.GetScriptHandle(), nullptr, 0, &result) ==
                GSRuntime::ER_Done &&
            GSRuntime::ResultKind(f.record->returnType) == GSRuntime::kKindReference)
          GSRuntime::ReleaseHandle(result);
      }
    }
  }
  return 0;
}
