#pragma once
// How a native reads its arguments and leaves its result. Cell 0 of the
// current call is the receiver's handle, cells 1..n the script arguments, so
// the parameter number in every refusal is the cell index.
//
// A getter that refuses reports through the running script thread's exception
// ("incorrect parameter type at parameter %d", "null object at parameter %d",
// "null string at parameter %d", "empty string at parameter %d"), which stops
// the thread, and returns false. The native then returns at once; one with a
// declared result first pushes that result's zero value, so the call always
// leaves the cell it promised.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/Stack.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/PString.h"

namespace ScriptNatives {

// Stops the running script thread with the text (formatted with the
// parameter number when `parameter` >= 0).
void RaiseParameterError(const char* format, int32_t parameter);
// Stops the running script thread with the text (a native's own refusal).
void Raise(const char* text);

// The object of cell `index` as T. Null is accepted only when `allowNull`.
template <class T>
[[nodiscard]] bool GetNativeParameter(GSRuntime::GSStack& stack, uint32_t index, T*& out, bool allowNull) {
  out = nullptr;
  const uint32_t cell = stack.Argument(index);
  GSRuntime::GSObjectReference* object = GSRuntime::GetObject(cell);
  if (!object) {
    if (allowNull) return true;
    RaiseParameterError("null object at parameter %d", int32_t(index));
    return false;
  }
  out = dynamic_cast<T*>(object);
  if (out) return true;
  RaiseParameterError("incorrect parameter type at parameter %d", int32_t(index));
  return false;
}

// Pays `bytes` of work into the run budget before the work is done; false
// when the budget cannot cover them: the run ends at its next jump, and the
// native skips the work so that one call never runs far past the budget.
[[nodiscard]] bool PayNativeWork(uint64_t bytes);

// The script string of cell 1; null is refused.
[[nodiscard]] bool GetNativeGSStringParameter(GSRuntime::GSStack& stack, GSRuntime::GSString*& out);
// The text of the string of cell `index`. Null and empty are refused unless
// `allowEmpty`, which reads both as the empty text.
// The view lasts while the cell holds the string (the call); the copying
// getters pay for the copy.
[[nodiscard]] bool GetNativeStringViewParameter(GSRuntime::GSStack& stack, uint32_t index,
                                                std::string_view& out, bool allowEmpty);
[[nodiscard]] bool GetNativeStringParameter(GSRuntime::GSStack& stack, uint32_t index, std::string& out,
                                            bool allowEmpty);
[[nodiscard]] bool GetNativePStringParameter(GSRuntime::GSStack& stack, uint32_t index, Kiv::PString& out,
                                             bool allowEmpty);
inline int32_t GetNativeIntParameter(const GSRuntime::GSStack& stack, uint32_t index) {
  return int32_t(stack.Argument(index));
}
[[nodiscard]] inline bool GetNativeBoolParameter(const GSRuntime::GSStack& stack, uint32_t index) {
  return stack.Argument(index) != 0;
}

// Results: a word (int, bool, or a handle whose reference the stack takes over).
inline void PushNativeResult(GSRuntime::GSStack& stack, uint32_t word) { stack.Push(word); }
inline void PushNativeBoolResult(GSRuntime::GSStack& stack, bool value) { stack.Push(value ? 1u : 0u); }
// A new script string of the context (0 when none can be made).
void PushNativeStringResult(GSRuntime::GSStack& stack, GSRuntime::GSContext* context, std::string_view text);
// A native object as its script instance; `addReference` gives the stack a
// reference of its own (else the caller hands over one it holds). Null pushes 0.
void PushObject(GSRuntime::GSStack& stack, const GSRuntime::GSObjectReference* object, bool addReference);

// A new native object for a script; null, with nothing left behind, when it
// got no script instance (no class registered, no handle left). The caller
// owns its one reference.
template <class T, class... Args>
T* NewScriptObject(Args&&... args) {
  T* object = new T(std::forward<Args>(args)...);
  if (object->GetScriptHandle()) return object;
  delete object;
  return nullptr;
}

// Array elements. Reads below 0 or past the end give false and 0; with
// `addReference` a non-null element gains a reference.
[[nodiscard]] bool GetArrayElement(int32_t index, uint32_t& out, const GSRuntime::GSArray& array,
                                   bool addReference);
[[nodiscard]] bool GetArrayElementNoReference(int32_t index, const GSRuntime::GSArray& array, uint32_t& out);
// Stores at index, growing the array to index + 1 when needed; the old element
// is released and the new one gains a reference (object arrays). False below
// 0 or past the array size limit.
[[nodiscard]] bool SetArrayElement(int32_t index, GSRuntime::GSArray& array, uint32_t value);

}  // namespace ScriptNatives
