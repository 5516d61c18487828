#include "gamescript/runtime/ScriptLogHook.h"

namespace GSRuntime {

ScriptLogFunction ScriptLogHook = nullptr;

}  // namespace GSRuntime
