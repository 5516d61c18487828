#pragma once
// What every native of every layer costs a script: what its call pays into
// the run budget in proportion to its work (bytes, pixels, entries walked),
// and what memory it keeps in proportion to its arguments, counted against
// the script memory limit before it is made. A native whose work does not
// grow with its arguments or with the object it works on pays nothing here
// (the call instruction pays its bytes like any other).
//
// The table is keyed by signature key and lists the natives of the runtime,
// the script object library and the online classes; a native registered
// without an entry is a decision not yet taken (a test walks the registry).

#include <span>
#include <string_view>

namespace GSRuntime {

struct NativeCost {
  std::string_view key;     // signature key, e.g. "$void@GameObject::Sleep(float)"
  std::string_view pays;    // what the run budget is paid for; empty: constant work
  std::string_view counts;  // what is counted against the memory limit; empty: nothing kept
};

// Every entry, grouped by class.
std::span<const NativeCost> NativeCosts();
// The entry of a signature key; null when the native has none.
const NativeCost* FindNativeCost(std::string_view key);

}  // namespace GSRuntime
