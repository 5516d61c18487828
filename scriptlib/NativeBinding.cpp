#include "scriptlib/NativeBinding.h"

#include <cstdio>

namespace ScriptNatives {

using namespace GSRuntime;

void RaiseParameterError(const char* format, int32_t parameter) {
  char text[96];
  std::snprintf(text, sizeof text, format, parameter);
  Raise(text);
}

void Raise(const char* text) { GSThread::Exception(GSThread::Current(), text, false); }

bool GetNativeGSStringParameter(GSStack& stack, GSString*& out) {
  out = nullptr;
  GSObjectReference* object = GetObject(stack.Argument(1));
  if (object && object->Type() == ObjectString) {
    out = static_cast<GSString*>(object);
    return true;
  }
  RaiseParameterError(object ? "incorrect parameter type at parameter %d" : "null object at parameter %d", 1);
  return false;
}

bool PayNativeWork(uint64_t bytes) {
  const bool covered = bytes <= RunBudgetBytesLeft();
  PayRunBudget(bytes);
  return covered;
}

bool GetNativeStringViewParameter(GSStack& stack, uint32_t index, std::string_view& out, bool allowEmpty) {
  out = {};
  GSObjectReference* object = GetObject(stack.Argument(index));
  const GSString* s =
      object && object->Type() == ObjectString ? static_cast<const GSString*>(object) : nullptr;
  if (s && !s->Text().empty()) {
    out = s->Text();
    return true;
  }
  if (allowEmpty) return true;
  RaiseParameterError(s ? "empty string at parameter %d" : "null string at parameter %d", int32_t(index));
  return false;
}

bool GetNativeStringParameter(GSStack& stack, uint32_t index, std::string& out, bool allowEmpty) {
  std::string_view text;
  const bool got = GetNativeStringViewParameter(stack, index, text, allowEmpty);
  PayRunBudget(text.size());
  out = text;
  return got;
}

bool GetNativePStringParameter(GSStack& stack, uint32_t index, Kiv::PString& out, bool allowEmpty) {
  std::string_view text;
  const bool got = GetNativeStringViewParameter(stack, index, text, allowEmpty);
  PayRunBudget(text.size());
  out = text.empty() ? Kiv::PString::Empty() : Kiv::PString(text);
  return got;
}

void PushNativeStringResult(GSStack& stack, GSContext* context, std::string_view text) {
  if (!stack.PushString(context, text)) stack.Push(0);
}

void PushObject(GSStack& stack, const GSObjectReference* object, bool addReference) {
  if (addReference)
    // A string not made pushes nothing; the return then fails the call.
    (void)stack.PushObject(object);
  else if (!stack.PushObjectNoReference(object))
    ReleaseHandle(GetLastWord(object));  // the reference handed over has nowhere to go
}

bool GetArrayElement(int32_t index, uint32_t& out, const GSArray& array, bool addReference) {
  out = 0;
  if (index < 0 || std::size_t(index) >= array.Size()) return false;
  out = array.At(std::size_t(index));
  if (addReference && array.ObjectElements()) AddReference(out);
  return true;
}

bool GetArrayElementNoReference(int32_t index, const GSArray& array, uint32_t& out) {
  if (index < 0 || std::size_t(index) >= array.Size()) return false;
  out = array.At(std::size_t(index));
  return true;
}

bool SetArrayElement(int32_t index, GSArray& array, uint32_t value) {
  if (index < 0) return false;
  if (array.ObjectElements()) return array.SetObjectElement(std::size_t(index), value);
  if (std::size_t(index) >= array.Size() && !array.SetSize(int64_t(index) + 1)) return false;
  array.Data()[index] = value;
  return true;
}

}  // namespace ScriptNatives
