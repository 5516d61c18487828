#pragma once
// The script class "StringTable": the localisable texts of one asset (the
// "string-table" container of its config), with ten numbered parameters "$0"
// to "$9" substituted into a text when a script asks for it. A key the asset
// does not define falls back to the interface-text database.
#include <string>
#include <string_view>

#include "config/AssetSpec.h"
#include "foundation/Soup.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"
#include "kiv/PString.h"

// Substitutes the parameters into a copy of `text`: "$$" gives one '$', '$'
// and a digit d give parameter d (its text is not scanned again), any other
// '$' stays, and so does a '$' in the last position.
std::string SubstituteStringParameters(std::string_view text, const Kiv::PString (&parameters)[10]);
// The size of that text, found without making it.
uint64_t SubstitutedSize(std::string_view text, const Kiv::PString (&parameters)[10]);

class GSOStringTable : public GSRuntime::GSObject {
public:
  // Bound to the script class StringTable; `config` is the config soup of the
  // asset of `spec`, which the table holds (a handle) while it lives.
  GSOStringTable(GSRuntime::GSContext* context, SpecRef spec, const SoupRef& config);
  ~GSOStringTable() override;

  // Stores parameter `index` (0..9), counted against the script memory limit
  // while it is held; false for any other index.
  [[nodiscard]] bool SetParam(int32_t index, const Kiv::PString& text);
  void ClearParams();
  // The text of a key with the parameters substituted; empty for an empty key
  // or a key neither the table nor the interface-text database has.
  std::string GetString(const Kiv::PString& key) const;
  // The interface-text database's "$main_language"; "english" when the entry
  // is empty, the key itself when the database has none.
  static std::string GetLanguage();

  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  // The text of a key, from the table or else the interface-text database;
  // false for an empty key or one neither has.
  bool FindText(const Kiv::PString& key, Kiv::PString& text) const;
  void NativeSetParam(GSRuntime::GSStack& stack);
  void NativeClearParams(GSRuntime::GSStack& stack);
  void NativeGetString(GSRuntime::GSStack& stack);
  void NativeGetLanguage(GSRuntime::GSStack& stack);

  // Released in the reverse order: the parameters, the table, then the asset spec
  // handle (which stamps the asset spec's last use).
  SpecRef m_spec;
  SoupRef m_table;
  Kiv::PString m_parameters[10];
};
