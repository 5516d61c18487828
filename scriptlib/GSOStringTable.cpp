#include "scriptlib/GSOStringTable.h"

#include <cstdio>
#include <string_view>

#include "foundation/InterfaceTextDB.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

// Walks `text` as the substitution reads it, handing each piece of the
// result to emit in order: the one walk serves both the size and the text.
template <class Emit>
void ForEachSubstitutedPiece(std::string_view text, const Kiv::PString (&parameters)[10], Emit emit) {
  size_t from = 0;
  for (size_t i = text.find('$'); i != std::string_view::npos && i + 1 < text.size(); i = text.find('$', i)) {
    const char next = text[i + 1];
    if (next == '$' || (next >= '0' && next <= '9')) {
      emit(text.substr(from, i + (next == '$' ? 1 : 0) - from));
      if (next != '$') emit(parameters[next - '0'].View());
      from = i + 2;
      i += 2;
    } else {
      i += 1;
    }
  }
  emit(text.substr(from));
}

}  // namespace

uint64_t SubstitutedSize(std::string_view text, const Kiv::PString (&parameters)[10]) {
  uint64_t size = 0;
  ForEachSubstitutedPiece(text, parameters, [&size](std::string_view piece) { size += piece.size(); });
  return size;
}

std::string SubstituteStringParameters(std::string_view text, const Kiv::PString (&parameters)[10]) {
  std::string out;
  out.reserve(size_t(SubstitutedSize(text, parameters)));
  ForEachSubstitutedPiece(text, parameters, [&out](std::string_view piece) { out += piece; });
  return out;
}

GSOStringTable::GSOStringTable(GSContext* context, SpecRef spec, const SoupRef& config)
    : m_spec(std::move(spec)), m_table(config.GetNamedSoup(Kiv::PString("string-table"))) {
  ClearParams();
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().stringTable, context);
}

GSOStringTable::~GSOStringTable() { ClearParams(); }

bool GSOStringTable::SetParam(int32_t index, const Kiv::PString& text) {
  if (uint32_t(index) > 9) return false;
  ScriptMemory::Give(m_parameters[index].Length());
  ScriptMemory::Charge(text.Length());
  m_parameters[index] = text;
  return true;
}

void GSOStringTable::ClearParams() {
  for (Kiv::PString& p : m_parameters) {
    ScriptMemory::Give(p.Length());
    p = Kiv::PString::Empty();
  }
}

bool GSOStringTable::FindText(const Kiv::PString& key, Kiv::PString& text) const {
  if (key.IsEmpty()) return false;
  if (m_table.HasNamedTag(key)) {
    text = m_table.GetNamedTag(key);
    return true;
  }
  return InterfaceTextDB::Instance().FindString(key, text);
}

std::string GSOStringTable::GetString(const Kiv::PString& key) const {
  Kiv::PString text;
  return FindText(key, text) ? SubstituteStringParameters(text.View(), m_parameters) : std::string();
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
  std::string_view view;
  if (!GetNativeStringViewParameter(stack, 2, view, true)) return;
  // The parameter is counted before it is interned, less the one it replaces.
  const uint64_t held = uint32_t(index) > 9 ? 0 : m_parameters[index].Length();
  if (view.size() > held && !ScriptMemory::Fits(view.size() - held))
    return Raise("StringTable.SetParam> the parameter would pass the script memory limit");
  PayRunBudget(view.size());
  if (!SetParam(index, Kiv::PString(view))) {
    char message[80];
    std::snprintf(message, sizeof message, "StringTable.SetParam> index (%d) out of range (0..9)", index);
    Raise(message);
  }
}

void GSOStringTable::NativeClearParams(GSStack&) { ClearParams(); }

void GSOStringTable::NativeGetString(GSStack& stack) {
  Kiv::PString key, text;
  if (!GetNativePStringParameter(stack, 1, key, true)) return PushNativeResult(stack, 0);
  if (!FindText(key, text)) return PushNativeStringResult(stack, Context(), {});
  // The size is known before the text is made, so a text past the limit or
  // the budget costs no more than the walk that found its size.
  const uint64_t size = SubstitutedSize(text.View(), m_parameters);
  if (!PayNativeWork(text.Length())) return PushNativeResult(stack, 0);
  if (!ScriptMemory::Fits(sizeof(GSString) + size)) {
    PushNativeResult(stack, 0);
    return Raise("StringTable.GetString> the text would pass the script memory limit");
  }
  if (!PayNativeWork(size)) return PushNativeResult(stack, 0);
  PushNativeStringResult(stack, Context(), SubstituteStringParameters(text.View(), m_parameters));
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
