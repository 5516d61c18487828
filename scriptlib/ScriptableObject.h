#pragma once
// A script game object whose script class comes from an asset, and the
// script class "RovanaGameObject" that gives such objects security tokens.
//
// Every object gets a creation serial that is never used again in the
// process; tokens name their issuers by it, so a token that outlives its
// issuer names an object that no longer matches anything instead of a freed
// pointer (or a new object at the same address).
#include <cstdint>
#include <string>

#include "config/AssetSpec.h"
#include "foundation/KUID.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Machine.h"
#include "scriptlib/DelayedInit.h"

class RovanaScriptContext;

class ScriptableObject : public GSRuntime::GSGameObject, public DelayedInitClient {
public:
  // Queued for delayed initialisation in the context when it has one.
  explicit ScriptableObject(RovanaScriptContext* context);
  ~ScriptableObject() override;

  // The asset spec of the object (a counted reference); none by default.
  virtual SpecRef GetSpec() const { return SpecRef(); }
  // The KUID of the asset spec; the null KUID without one.
  KUID GetAssetKUID() const;

  RovanaScriptContext* ScriptContext() const { return m_context; }
  uint64_t Serial() const { return m_serial; }
  // The live object of a serial; null once it is destroyed.
  static ScriptableObject* FindBySerial(uint64_t serial);

  // The source text set on the object, or the wrapper source of its spec.
  std::string GetSource() const;
  // A text of only blanks, tabs, carriage returns and line feeds clears the
  // source; the text GetSource gives now is no change. True when it changed.
  bool SetSource(const std::string& text);

  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  void IssueSecurityToken(GSRuntime::GSStack& stack);
  void ReIssueSecurityToken(GSRuntime::GSStack& stack);
  void MergeSecurityTokens(GSRuntime::GSStack& stack);
  void ValidateWithObject(GSRuntime::GSStack& stack);
  void ValidateWithKUID(GSRuntime::GSStack& stack);

  RovanaScriptContext* m_context;
  uint64_t m_serial;
  std::string m_source;
};

// The source of a class "CustomObject" derived from the asset spec's script class
// (GameObject without one), including "Rovana.gs" and the asset spec's script
// file with the extension "gs" ("gs.gs" without one).
std::string WrapperSource(const RovanaBaseSpec* spec);
