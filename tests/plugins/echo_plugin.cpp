// A native-interface plug-in for tests: "echo" joins its string arguments
// with '|' (a null text as "<null>"), "inits" tells how often "Init" was
// called, "Init", "lent-name", "lent-array" and "lent-first" hand back the
// name, the argument array or its first element without a reference of
// their own, anything else gives nothing.
#include <string>

#include "kiv/NativeInterface.h"

namespace {

struct State {
  const EXOHostTable* host;
  int inits = 0;
};

EXOHandle Call(void* opaque, EXOHandle name, EXOHandle arguments) {
  auto* state = static_cast<State*>(opaque);
  const EXOHostTable& host = *state->host;
  const char* function = host.getStringText(name);
  const std::string f = function ? function : "";
  if (f == "Init") {
    ++state->inits;
    return name;
  }
  if (f == "inits") return host.allocString(std::to_string(state->inits).c_str());
  if (f == "lent-name") return name;
  if (f == "lent-array") return arguments;
  if (f == "lent-first") return host.getArrayElement(arguments, 0);
  if (f != "echo") return nullptr;
  std::string joined;
  for (int32_t i = 0; i < host.getArrayCount(arguments); ++i) {
    const char* text = host.getStringText(host.getArrayElement(arguments, i));
    if (i) joined += '|';
    joined += text ? text : "<null>";
  }
  return host.allocString(joined.c_str());
}

void Destroy(void* state) { delete static_cast<State*>(state); }

}  // namespace

extern "C" __attribute__((visibility("default"))) int EXOEntryPoint(const EXOHostTable* host,
                                                                    EXOPluginLibrary* out) {
  if (!host || host->size < sizeof(EXOHostTable)) return 0;
  out->state = new State{host};
  out->call = &Call;
  out->destroy = &Destroy;
  return 1;
}
