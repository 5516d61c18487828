#include "scriptlib/ScriptableObject.h"

#include <unordered_map>

#include "foundation/Log.h"
#include "foundation/Stream.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "kiv/File.h"
#include "scriptlib/GSOAsset.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/GSOSecurityToken.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"
#include "scriptlib/GSOSoup.h"
#include "umbclient/ContentFolders.h"

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
  if ((DelayedInitClient::m_flags & kStage3Done) && m_context) {
    // Unbinding always succeeds.
    (void)BindScriptClass(nullptr, m_context);
    // A node that already left its router has nothing to remove.
    if (GSRouter* router = Router()) (void)router->RemoveNode(this);
    Stage2();
    Stage3();
  }
  return true;
}

bool ScriptableObject::WriteSource(TStream& stream) const {
  stream.WriteString(m_source);
  return m_source.size() <= TStream::kMaxStringLength;
}
void ScriptableObject::ReadSource(TStream& stream) { SetSource(stream.ReadString()); }

// ------------------------------------------------------------ binding and start

GSClass* CompileSourceClass(RovanaBaseSpec& spec, const std::string& source) {
  const std::string userData = GetUserDataFolder();
  if (userData.empty()) {
    LogLine("ScriptableObject::GetScriptClass> no user-data folder to compile the source of %s in",
            spec.GetDescription().c_str());
    return nullptr;
  }
  // The asset's own library first: the wrapper includes its script.
  if (spec.LoadScriptInfo()) spec.EnsureLibrary();
  const std::string cache = Kiv::File::Path(userData).Join("cache").Str();
  (void)Kiv::File::CreateDirectories(cache);  // one not made fails the write below, which says why
  const std::string sourcePath = Kiv::File::Path(cache).Join("temp_object.gs").Str();
  if (!Kiv::File::WriteWholeFile(sourcePath, source)) {
    LogLine("ScriptableObject::GetScriptClass> unable to write the source of %s: %s",
            spec.GetDescription().c_str(), Kiv::File::LastError().c_str());
    return nullptr;
  }

  int errors = 0;
  {
    // The compiler's include-path list is shared: it is put back afterwards.
    const GSCompiler::IncludePathScope includePaths({
        {Kiv::File::Path(spec.AssetFolder()), Kiv::PString(spec.ContentRoot())},
        {Kiv::File::Path(cache), Kiv::PString()},
    });
    if (const std::string scripts = GetScriptsFolderPath(); !scripts.empty())
      GSCompiler::AppendIncludePath({Kiv::File::Path(scripts), Kiv::PString()});
    GSCompiler::CompileLog log;  // a failed compile's messages are not kept
    errors = GSCompiler::CompileToFile(sourcePath.c_str(),
                                       Kiv::File::Path(cache).Join("temp_object.gsl").Str().c_str(), &log);
  }
  (void)Kiv::File::Unlink(sourcePath);  // a leftover is written over by the next such compile

  GSMachine& machine = GSMachine::Instance();
  uint64_t id = 0;
  GSLibrary* library = errors == 0 && machine.AddLibrary(cache, "temp_object.gsl", &id)
                           ? machine.GetLibrary(uint32_t(id >> 32), uint32_t(id))
                           : nullptr;
  return library ? library->FindClass("CustomObject") : nullptr;
}

GSClass* ScriptableObject::GetScriptClass() {
  const SpecRef spec = GetSpec();
  RovanaBaseSpec* base = spec.AsBase();
  if (!base) return nullptr;
  return m_source.empty() ? base->GetGSClass() : CompileSourceClass(*base, m_source);
}

void ScriptableObject::Stage2() {
  DelayedInitClient::m_flags |= kStage2Done;
  m_failed = true;
  GSClass* cls = GetScriptClass();
  if (!cls || !AcceptScriptClass(cls)) return;
  GSScriptInstance* instance = Instance();
  if (instance && instance->cls == cls) {
    m_failed = false;
    return;
  }
  // Unbinding always succeeds.
  if (instance) (void)BindScriptClass(nullptr, m_context);
  m_failed = !BindScriptClass(cls, m_context);
}

void ScriptableObject::Stage3() {
  DelayedInitClient::m_flags |= kStage3Done;
  if (m_failed) return;
  // Unrouted, its script still initialises; the log says why it hears nothing.
  if (GSRouter* router = m_context ? m_context->Router() : nullptr)
    (void)router->AddNewNode(this, "ScriptableObject::Stage3");
  GSOAsset* asset = GSOAsset::FindOrCreate(m_context, GetAssetKUID());
  const uint32_t argument = asset ? asset->GetScriptHandle() : 0;  // its reference goes to the call
  if (!CallScript(kInitKey, &argument, 1)) m_failed = true;
  DeliverProperties();
  Update(0.0f);
}

bool ScriptableObject::CallScript(const char* key, const uint32_t* arguments, uint32_t count,
                                  uint32_t* result) {
  GSScriptInstance* instance = Instance();
  int32_t index = 0, offset = 0;
  if (!instance || !instance->cls || !instance->cls->FindFunction(key, index, offset)) {
    for (uint32_t i = 0; i < count; ++i) ReleaseHandle(arguments[i]);
    return false;
  }
  return instance->cls->CallFunction(instance, key, arguments, count, result);
}

void ScriptableObject::SetPendingProperties(const SoupRef& soup) {
  m_properties = soup;
  m_propertiesPending = soup.CountTags() > 0;
  if (DelayedInitClient::m_flags & kStage3Done) DeliverProperties();
}

void ScriptableObject::DeliverProperties() {
  if (m_propertiesPending && !m_failed) {
    GSOSoup* soup = GSOSoup::Create(m_context, m_properties, true);
    const uint32_t argument = soup ? soup->GetScriptHandle() : 0;
    if (!CallScript(kSetPropertiesKey, &argument, 1)) m_failed = true;
  }
  m_propertiesPending = false;
  m_properties.Clear();
}

// ------------------------------------------------------------ natives

void ScriptableObject::IssueSecurityToken(GSStack& stack) {
  GSOKUID* subject = nullptr;
  GSArray* rights = nullptr;
  if (!GetNativeParameter(stack, 1, subject, false) || !GetNativeParameter(stack, 2, rights, false))
    return stack.Push(0), void();
  if (!GetSpec()) return stack.Push(0), void();
  if (!GSOSecurityToken::Admit(GSOSecurityToken::GrantBytes(rights), "RovanaGameObject.IssueSecurityToken"))
    return stack.Push(0), void();
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
