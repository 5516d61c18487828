#pragma once
// The native-interface library: reference-counted handles that the program
// and native plug-ins exchange, and the loading of a plug-in.
//
// A plug-in is a shared object "<name>.so" in a plug-ins folder with a C
// entry point
//   extern "C" int EXOEntryPoint(const EXOHostTable* host, EXOPluginLibrary* out);
// which fills `out` and returns non-zero. The plug-in reaches the handle
// operations only through `host` (it links against nothing of the program).
// Every handle a side allocates or receives as a result it releases once;
// arguments are lent for the duration of a call.
//
// Handle classes: 2 string (its text may be null), 3 array, 4 library.
#include <cstdint>
#include <string_view>

extern "C" {

struct EXOObject;
typedef EXOObject* EXOHandle;

struct EXOHostTable {
  uint32_t size;  // sizeof(EXOHostTable): a plug-in reads no entry beyond it
  EXOHandle (*allocString)(const char* text);
  EXOHandle (*allocArray)(int32_t count);
  int32_t (*setArrayElement)(EXOHandle array, int32_t index, EXOHandle element);
  int32_t (*getObjectClass)(EXOHandle handle);
  const char* (*getStringText)(EXOHandle handle);
  int32_t (*getArrayCount)(EXOHandle array);
  EXOHandle (*getArrayElement)(EXOHandle array, int32_t index);  // lent, not to be released
  void (*release)(EXOHandle handle);
};

struct EXOPluginLibrary {
  void* state;
  // The plug-in function `name` with the array `arguments` (may be null); a
  // new handle or null.
  EXOHandle (*call)(void* state, EXOHandle name, EXOHandle arguments);
  // Called once when the library handle goes; may be null.
  void (*destroy)(void* state);
};

typedef int (*EXOEntryPointFunction)(const EXOHostTable* host, EXOPluginLibrary* out);
}

namespace Kiv {

constexpr int32_t kEXOClassString = 2;
constexpr int32_t kEXOClassArray = 3;
constexpr int32_t kEXOClassLibrary = 4;

// A new string handle (null text allowed); one reference for the caller.
EXOHandle EXOAllocString(const char* text);
// A new array of `count` null elements (a negative count gives 0).
EXOHandle EXOAllocArray(int32_t count);
// Stores the element (which gains a reference) in place of the old one
// (released). False for a handle that is not an array or an index outside it.
[[nodiscard]] bool EXOSetArrayElement(EXOHandle array, int32_t index, EXOHandle element);
// The class of a handle; 0 for null.
int32_t EXOGetObjectClass(EXOHandle handle);
// The text of a string handle; null for a null text or another class.
const char* EXOGetStringText(EXOHandle handle);
// Calls a function of a loaded library; null when the handle is no library
// or the function gives nothing.
EXOHandle EXOCallLibraryFunction(EXOHandle library, EXOHandle name, EXOHandle arguments);
// Drops one reference; the last frees the handle (a library: its plug-in
// state, and the shared object stays loaded for the process).
void EXORelease(EXOHandle handle);

// The table handed to plug-ins.
const EXOHostTable& EXOHost();

// Whether `name` can name a plug-in: a plain file-name component (no folder
// separators, not "." or "..", no NUL), not empty.
[[nodiscard]] bool IsPluginName(std::string_view name);
// Loads "<folder>/<name>.so" under the process-wide plug-in lock, enters it
// through "EXOEntryPoint" and calls its function "Init" once. The library
// handle (one reference for the caller), or null — with a log line — when
// the name is refused, the file does not load or it has no entry point.
EXOHandle LoadNativeInterfaceLibrary(std::string_view folder, std::string_view name);

}  // namespace Kiv
