#include "scriptlib/GSOSecurityToken.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "config/AssetSpec.h"
#include "foundation/Log.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"
#include "scriptlib/ScriptableObject.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

GSOSecurityToken::SubjectKey KeyOf(const KUID& k) { return {k.user, k.content, k.version}; }

// What a table holds, counted against the script memory limit: each issuer
// and subject entry, and each right's set node and name. The same figure is
// what walking the table pays into the run budget.
constexpr uint64_t kIssuerBytes = 96, kSubjectBytes = 128, kRightBytes = 64;

const Kiv::PString& DuplicateRight() {
  static const Kiv::PString right("duplicate-token");
  return right;
}

}  // namespace

GSOSecurityToken::Rights RightsOfArray(const GSArray* rights) {
  GSOSecurityToken::Rights out;
  if (!rights || !rights->ObjectElements()) return out;
  for (std::size_t i = 0; i < rights->Size(); ++i) {
    const GSObjectReference* element = GetObject(rights->At(i));
    if (element && element->Type() == ObjectString)
      out.insert(Kiv::PString(static_cast<const GSString*>(element)->Text()));
  }
  return out;
}

uint64_t GSOSecurityToken::GrantBytes(const GSArray* rights) {
  uint64_t bytes = kIssuerBytes + kSubjectBytes;
  if (!rights || !rights->ObjectElements()) return bytes;
  for (std::size_t i = 0; i < rights->Size(); ++i) {
    const GSObjectReference* element = GetObject(rights->At(i));
    if (element && element->Type() == ObjectString)
      bytes += kRightBytes + static_cast<const GSString*>(element)->Text().size();
  }
  return bytes;
}

uint64_t GSOSecurityToken::TableBytes(const Table& table) {
  uint64_t bytes = 0;
  for (const auto& [serial, grants] : table) {
    bytes += kIssuerBytes;
    for (const auto& [key, grant] : grants) {
      bytes += kSubjectBytes;
      for (const Kiv::PString& right : grant.second) bytes += kRightBytes + right.Length();
    }
  }
  return bytes;
}

bool GSOSecurityToken::Admit(uint64_t bytes, const char* native) {
  if (!PayNativeWork(bytes)) return false;
  if (ScriptMemory::Fits(bytes)) return true;
  Raise((std::string(native) + "> the token would pass the script memory limit").c_str());
  return false;
}

GSOSecurityToken::GSOSecurityToken(GSContext* context, Table table)
    : m_table(std::move(table)), m_counted(TableBytes(m_table)) {
  PayRunBudget(m_counted);
  ScriptMemory::Charge(m_counted);
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().securityToken, context);
}

GSOSecurityToken::~GSOSecurityToken() { ScriptMemory::Give(m_counted); }

GSOSecurityToken::GSOSecurityToken(GSContext* context, const ScriptableObject& issuer, const KUID& subject,
                                   const GSArray* rights)
    : GSOSecurityToken(context,
                       Table{{issuer.Serial(), {{KeyOf(subject), {subject, RightsOfArray(rights)}}}}}) {}

GSOSecurityToken::GSOSecurityToken(GSContext* context, const GSOSecurityToken& source)
    : GSOSecurityToken(context, source.m_table) {}

ScriptableObject* GSOSecurityToken::FindIssuerByAssetKUID(const KUID& kuid) const {
  PayRunBudget(m_table.size() * kIssuerBytes);
  for (const auto& [serial, grants] : m_table) {
    ScriptableObject* issuer = ScriptableObject::FindBySerial(serial);
    if (issuer && issuer->GetAssetKUID() == kuid) return issuer;
  }
  return nullptr;
}

bool GSOSecurityToken::HasRight(const ScriptableObject& issuer, const KUID& subject,
                                const Kiv::PString& right) const {
  const auto entry = m_table.find(issuer.Serial());
  if (entry == m_table.end()) return false;
  const auto grant = entry->second.find(KeyOf(subject));
  return grant != entry->second.end() && grant->second.second.count(right) != 0;
}

GSOSecurityToken* GSOSecurityToken::Merge(GSContext* context, const GSArray& tokens) {
  // A token met again adds nothing to the union: each is merged once, and
  // what the distinct ones hold bounds what the result holds.
  std::vector<const GSOSecurityToken*> distinct;
  std::unordered_set<const GSOSecurityToken*> seen;
  uint64_t bound = 0;
  PayRunBudget(4 * uint64_t(tokens.Size()));
  for (std::size_t i = 0; i < tokens.Size(); ++i) {
    const auto* token = dynamic_cast<const GSOSecurityToken*>(GetObject(tokens.At(i)));
    if (!token || !seen.insert(token).second) continue;
    distinct.push_back(token);
    bound += token->m_counted;
  }
  if (distinct.empty()) return nullptr;
  if (!Admit(bound, "RovanaGameObject.MergeSecurityTokens")) return nullptr;
  Table merged;
  for (const GSOSecurityToken* token : distinct) {
    for (const auto& [serial, grants] : token->m_table) {
      Grants& into = merged[serial];
      for (const auto& [key, grant] : grants) {
        auto& target = into.try_emplace(key, grant.first, Rights()).first->second;
        target.second.insert(grant.second.begin(), grant.second.end());
      }
    }
  }
  return NewScriptObject<GSOSecurityToken>(context, std::move(merged));
}

GSOSecurityToken* GSOSecurityToken::ReIssue(const GSOSecurityToken& base, GSContext* context,
                                            const ScriptableObject& caller, const KUID& subject,
                                            const GSArray* requested) {
  const uint64_t asked = GrantBytes(requested);
  if (asked == GrantBytes(nullptr)) return nullptr;  // no right asked for
  if (!Admit(base.m_counted + asked, "RovanaGameObject.IssueSecurityToken")) return nullptr;
  const Rights wanted = RightsOfArray(requested);
  if (wanted.empty()) return nullptr;
  const KUID own = caller.GetAssetKUID();
  const bool isIssuer = base.m_table.count(caller.Serial()) != 0;
  bool duplicator = false;
  Rights duplicated;
  // A holder whose own asset was granted "duplicate-token" may pass on the
  // rights it was granted with it, and no others.
  for (const auto& [serial, grants] : base.m_table) {
    const auto grant = grants.find(KeyOf(own));
    if (grant == grants.end() || !grant->second.second.count(DuplicateRight())) continue;
    for (const Kiv::PString& right : wanted)
      if (grant->second.second.count(right)) duplicated.insert(right);
    duplicator = true;
    break;
  }
  if (!isIssuer && !duplicator) {
    LogLine("GSOSecurityToken::ReIssueToken> Unauthorised attempt made to re-issue security token (%s)",
            FormatKUIDTag(own).c_str());
    return nullptr;
  }
  Table table = base.m_table;
  const Rights& grant = duplicator ? duplicated : wanted;
  if (!isIssuer) {
    table[caller.Serial()][KeyOf(subject)] = {subject, grant};
  } else {
    // An issuer narrows what it granted its own asset; it adds nothing.
    Grants& mine = table[caller.Serial()];
    const auto entry = mine.find(KeyOf(own));
    if (entry != mine.end())
      for (auto it = entry->second.second.begin(); it != entry->second.second.end();)
        it = grant.count(*it) ? std::next(it) : entry->second.second.erase(it);
  }
  return NewScriptObject<GSOSecurityToken>(context, std::move(table));
}

void GSOSecurityToken::IsOwnerLocallyModified(GSStack& stack) {
  for (const auto& [serial, grants] : m_table)
    for (const auto& [key, grant] : grants) {
      PayRunBudget(kSubjectBytes);
      if (IsSpecLocallyModified(grant.first)) return PushNativeBoolResult(stack, true);
    }
  PushNativeBoolResult(stack, false);
}

void GSOSecurityToken::RegisterNatives(GSMachine& machine) {
  AddNative(machine, "SecurityToken", "$bool@SecurityToken::IsOwnerLocallyModified()",
            &GSOSecurityToken::IsOwnerLocallyModified);
}
