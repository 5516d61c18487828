#pragma once
// The script runtime's diagnostics hook: one process-wide printf-style
// function. The library loader, the machine, native linking, thread errors,
// stack dumps and router reports write through it. It is null until the
// program installs its printer; while it is null those reports are silent.
//
// It lives in namespace GSRuntime with the rest of the runtime. Callers test
// it before use:  if (GSRuntime::ScriptLogHook) GSRuntime::ScriptLogHook("...%s", x);
// Only constant formats may be passed: outside text goes in as a "%s" argument.

namespace GSRuntime {

using ScriptLogFunction = void (*)(const char* format, ...);

extern ScriptLogFunction ScriptLogHook;

}  // namespace GSRuntime
