#pragma once
// The script class "SecurityToken": rights to assets granted by issuing
// script objects. A token never changes once made; issuing, merging and
// re-issuing make new tokens.
//
// The grant table maps an issuer (by its creation serial, see
// ScriptableObject) to subjects (KUIDs) and each subject to a set of right
// names. An issuer that has been destroyed stays in the table but matches no
// object and no asset any more.
#include <cstdint>
#include <map>
#include <set>
#include <tuple>

#include "foundation/KUID.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"
#include "kiv/PString.h"

class ScriptableObject;

class GSOSecurityToken : public GSRuntime::GSObject {
public:
  struct ByText {
    bool operator()(const Kiv::PString& a, const Kiv::PString& b) const { return a.View() < b.View(); }
  };
  using Rights = std::set<Kiv::PString, ByText>;
  using SubjectKey = std::tuple<int32_t, int32_t, int32_t>;
  using Grants = std::map<SubjectKey, std::pair<KUID, Rights>>;
  using Table = std::map<uint64_t, Grants>;

  // One grant: issuer -> {subject -> the string elements of `rights`}.
  GSOSecurityToken(GSRuntime::GSContext* context, const ScriptableObject& issuer, const KUID& subject,
                   const GSRuntime::GSArray* rights);
  // A copy of the source's table.
  GSOSecurityToken(GSRuntime::GSContext* context, const GSOSecurityToken& source);
  // The table is counted against the script memory limit while the token
  // lives (callers check it fits first, with Admit).
  GSOSecurityToken(GSRuntime::GSContext* context, Table table);
  ~GSOSecurityToken() override;

  // What a grant of the array's rights is counted as, found without making it.
  static uint64_t GrantBytes(const GSRuntime::GSArray* rights);
  // What a table is counted as; a walk over it pays the same.
  static uint64_t TableBytes(const Table& table);
  // Pays `bytes` of work and checks that a token of that size fits the limit;
  // false when not (then "<native>> the token would pass the script memory
  // limit" stops the thread, or the budget is passed).
  [[nodiscard]] static bool Admit(uint64_t bytes, const char* native);

  const Table& GrantTable() const { return m_table; }

  // The first live issuer (in serial order) whose asset is `kuid`; null when none.
  ScriptableObject* FindIssuerByAssetKUID(const KUID& kuid) const;
  [[nodiscard]] bool HasRight(const ScriptableObject& issuer, const KUID& subject,
                              const Kiv::PString& right) const;

  // A token holding the union of every token of the array; null when it holds none.
  static GSOSecurityToken* Merge(GSRuntime::GSContext* context, const GSRuntime::GSArray& tokens);
  // The token `caller` derives from `base` for `subject` (see the source);
  // null for an empty request or a caller that may not re-issue.
  static GSOSecurityToken* ReIssue(const GSOSecurityToken& base, GSRuntime::GSContext* context,
                                   const ScriptableObject& caller, const KUID& subject,
                                   const GSRuntime::GSArray* requested);

  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  void IsOwnerLocallyModified(GSRuntime::GSStack& stack);

  Table m_table;
  uint64_t m_counted = 0;  // TableBytes of the table, counted against the script memory limit
};

// The right names of a script array: its string elements, each once.
GSOSecurityToken::Rights RightsOfArray(const GSRuntime::GSArray* rights);
