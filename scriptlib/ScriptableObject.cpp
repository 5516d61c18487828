#include "scriptlib/ScriptableObject.h"

#include <unordered_map>

#include "scriptlib/GSOKUID.h"
#include "scriptlib/GSOSecurityToken.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

std::unordered_map<uint64_t, ScriptableObject*>& LiveObjects() {
  static std::unordered_map<uint64_t, ScriptableObject*> objects;
  return objects;
}

uint64_t NextSerial() {
  static uint64_t serial = 0;
  return ++serial;
}

bool IsBlankText(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

ScriptableObject::ScriptableObject(RovanaScriptContext* context)
    : m_context(context), m_serial(NextSerial()) {
  LiveObjects().emplace(m_serial, this);
  if (m_context) m_context->Add(*this);
}

ScriptableObject::~ScriptableObject() {
  if (m_context) m_context->Remove(*this);
  LiveObjects().erase(m_serial);
}

ScriptableObject* ScriptableObject::FindBySerial(uint64_t serial) {
  const auto found = LiveObjects().find(serial);
  return found == LiveObjects().end() ? nullptr : found->second;
}

KUID ScriptableObject::GetAssetKUID() const {
  const SpecRef spec = GetSpec();
  return spec ? spec->GetKUID() : KUID::Null();
}

std::string WrapperSource(const RovanaBaseSpec* spec) {
  std::string base = "GameObject";
  std::string include = "gs.gs";
  if (spec) {
    if (!spec->ScriptClass().View().empty()) base = spec->ScriptClass().Str();
    if (!spec->ScriptFile().View().empty()) {
      include = spec->ScriptFile().Str();
      const size_t dot = include.find_last_of('.');
      const size_t slash = include.find_last_of("/\\");
      if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) include.resize(dot);
      include += ".gs";
    }
  }
  std::string text = "include \"Rovana.gs\"\n\ninclude \"";
  text.append(include).append("\"\n\nclass CustomObject isclass ").append(base);
  text.append("\n{\n  public void Init(Asset self)\n  {\n    inherited(self);\n    //...\n  }\n};\n\n");
  return text;
}

std::string ScriptableObject::GetSource() const {
  if (!m_source.empty()) return m_source;
  const SpecRef spec = GetSpec();
  return WrapperSource(spec.AsBase());
}

bool ScriptableObject::SetSource(const std::string& text) {
  const std::string wanted = IsBlankText(text) ? std::string() : text;
  if (wanted == m_source || (!wanted.empty() && wanted == GetSource())) return false;
  m_source = wanted;
  return true;
}

// ------------------------------------------------------------ natives

void ScriptableObject::IssueSecurityToken(GSStack& stack) {
  GSOKUID* subject = nullptr;
  GSArray* rights = nullptr;
  if (!GetNativeParameter(stack, 1, subject, false) || !GetNativeParameter(stack, 2, rights, false))
    return stack.Push(0), void();
  if (!GetSpec()) return stack.Push(0), void();
  PushObject(stack, NewScriptObject<GSOSecurityToken>(Context(), *this, subject->Kuid(), rights), false);
}

void ScriptableObject::ReIssueSecurityToken(GSStack& stack) {
  GSOSecurityToken* base = nullptr;
  GSOKUID* subject = nullptr;
  GSArray* rights = nullptr;
  if (!GetNativeParameter(stack, 1, base, false) || !GetNativeParameter(stack, 2, subject, false) ||
      !GetNativeParameter(stack, 3, rights, false))
    return stack.Push(0), void();
  if (!GetSpec()) return stack.Push(0), void();
  PushObject(stack, GSOSecurityToken::ReIssue(*base, Context(), *this, subject->Kuid(), rights), false);
}

void ScriptableObject::MergeSecurityTokens(GSStack& stack) {
  GSArray* tokens = nullptr;
  if (!GetNativeParameter(stack, 1, tokens, false)) return stack.Push(0), void();
  if (!GetSpec()) return stack.Push(0), void();
  PushObject(stack, GSOSecurityToken::Merge(Context(), *tokens), false);
}

void ScriptableObject::ValidateWithObject(GSStack& stack) {
  GSOSecurityToken* token = nullptr;
  ScriptableObject* issuer = nullptr;
  Kiv::PString right;
  if (!GetNativeParameter(stack, 1, token, false) || !GetNativeParameter(stack, 2, issuer, false) ||
      !GetNativePStringParameter(stack, 3, right, false))
    return stack.Push(0), void();
  const KUID own = GetAssetKUID();
  PushNativeBoolResult(stack, !own.IsNull() && token->HasRight(*issuer, own, right));
}

void ScriptableObject::ValidateWithKUID(GSStack& stack) {
  GSOSecurityToken* token = nullptr;
  GSOKUID* issuerAsset = nullptr;
  Kiv::PString right;
  if (!GetNativeParameter(stack, 1, token, false) || !GetNativeParameter(stack, 2, issuerAsset, false) ||
      !GetNativePStringParameter(stack, 3, right, false))
    return stack.Push(0), void();
  const KUID own = GetAssetKUID();
  const ScriptableObject* issuer = own.IsNull() ? nullptr : token->FindIssuerByAssetKUID(issuerAsset->Kuid());
  PushNativeBoolResult(stack, issuer && token->HasRight(*issuer, own, right));
}

void ScriptableObject::RegisterNatives(GSMachine& machine) {
  const auto add = [&machine](const char* key, void (ScriptableObject::*function)(GSStack&)) {
    AddNative(machine, "RovanaGameObject", key, function);
  };
  add("$SecurityToken@RovanaGameObject::IssueSecurityToken(KUID,string[])",
      &ScriptableObject::IssueSecurityToken);
  add("$SecurityToken@RovanaGameObject::IssueSecurityToken(SecurityToken,KUID,string[])",
      &ScriptableObject::ReIssueSecurityToken);
  add("$SecurityToken@RovanaGameObject::MergeSecurityTokens(SecurityToken[])",
      &ScriptableObject::MergeSecurityTokens);
  add("$bool@RovanaGameObject::Validate(SecurityToken,RovanaGameObject,string)",
      &ScriptableObject::ValidateWithObject);
  add("$bool@RovanaGameObject::Validate(SecurityToken,KUID,string)", &ScriptableObject::ValidateWithKUID);
}
