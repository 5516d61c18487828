#include "scriptlib/GSOStringTable.h"

#include <cstdio>

#include "foundation/InterfaceTextDB.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

std::string SubstituteStringParameters(std::string_view text, const Kiv::PString (&parameters)[10]) {
  std::string out(text);
  size_t i = out.find('$');
  while (i != std::string::npos && i + 1 < out.size()) {
    const char next = out[i + 1];
    if (next == '$') {
      out.erase(i, 1);
      i = out.find('$', i + 1);
    } else if (next >= '0' && next <= '9') {
      const std::string_view value = parameters[next - '0'].View();
      out.replace(i, 2, value);
      i = out.find('$', i + value.size());
    } else {
      i = out.find('$', i + 1);
    }
  }
  return out;
}

GSOStringTable::GSOStringTable(GSContext* context, SpecRef spec, const SoupRef& config)
    : m_spec(std::move(spec)), m_table(config.GetNamedSoup(Kiv::PString("string-table"))) {
  ClearParams();
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().stringTable, context);
}

bool GSOStringTable::SetParam(int32_t index, const Kiv::PString& text) {
  if (uint32_t(index) > 9) return false;
  m_parameters[index] = text;
  return true;
}

void GSOStringTable::ClearParams() {
  for (Kiv::PString& p : m_parameters) p = Kiv::PString::Empty();
}

std::string GSOStringTable::GetString(const Kiv::PString& key) const {
  if (key.IsEmpty()) return {};
  Kiv::PString text;
  if (m_table.HasNamedTag(key))
    text = m_table.GetNamedTag(key);
  else if (!InterfaceTextDB::Instance().FindString(key, text))
    return {};
  return SubstituteStringParameters(text.View(), m_parameters);
}

std::string GSOStringTable::GetLanguage() {
  const Kiv::PString key("$main_language");
  const Kiv::PString text = InterfaceTextDB::Instance().GetString(key);
  // An empty entry names no language; a database without the entry answers
  // with the key, which a script can tell from any language's name.
  if (text.IsEmpty()) return "english";
  return text.Str();
}

void GSOStringTable::NativeSetParam(GSStack& stack) {
  const int32_t index = GetNativeIntParameter(stack, 1);
  Kiv::PString text;
  if (!GetNativePStringParameter(stack, 2, text, true)) return;
  if (!SetParam(index, text)) {
    char message[80];
    std::snprintf(message, sizeof message, "StringTable.SetParam> index (%d) out of range (0..9)", index);
    Raise(message);
  }
}

void GSOStringTable::NativeClearParams(GSStack&) { ClearParams(); }

void GSOStringTable::NativeGetString(GSStack& stack) {
  Kiv::PString key;
  if (!GetNativePStringParameter(stack, 1, key, true)) return PushNativeResult(stack, 0);
  PushNativeStringResult(stack, Context(), GetString(key));
}

void GSOStringTable::NativeGetLanguage(GSStack& stack) {
  PushNativeStringResult(stack, Context(), GetLanguage());
}

void GSOStringTable::RegisterNatives(GSMachine& machine) {
  const char* const s = "StringTable";
  AddNative(machine, s, "$void@StringTable::SetParam(int,string)", &GSOStringTable::NativeSetParam);
  AddNative(machine, s, "$void@StringTable::ClearParams()", &GSOStringTable::NativeClearParams);
  AddNative(machine, s, "$string@StringTable::GetString(string)", &GSOStringTable::NativeGetString);
  AddNative(machine, s, "$string@StringTable::GetLanguage()", &GSOStringTable::NativeGetLanguage);
}
