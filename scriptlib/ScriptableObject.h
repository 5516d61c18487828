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
#include <utility>

#include "config/AssetSpec.h"
#include "foundation/Soup.h"
#include "foundation/KUID.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Machine.h"
#include "scriptlib/DelayedInit.h"

class RovanaScriptContext;
class TStream;

class ScriptableObject : public GSRuntime::GSGameObject, public DelayedInitClient {
public:
  static constexpr const char* kInitKey = "$void@RovanaGameObject::Init(Asset)";
  static constexpr const char* kSetPropertiesKey = "$void@PropertyObject::SetProperties(Soup)";
  static constexpr const char* kGetPropertiesKey = "$Soup@PropertyObject::GetProperties()";

  // Queued for delayed initialisation in the context when it has one.
  explicit ScriptableObject(RovanaScriptContext* context);
  ~ScriptableObject() override;

  // Stage 2: binds the script class; the object stays failed without an instance.
  void Stage2() override;
  // Stage 3: joins the context's router, calls the script's Init with the
  // object's own Asset, hands over pending properties and updates once.
  void Stage3() override;

  // Without a source text, the asset spec's compiled class; with one, the class
  // "CustomObject" compiled from it (see CompileSourceClass). Null on failure.
  virtual GSRuntime::GSClass* GetScriptClass();
  [[nodiscard]] virtual bool AcceptScriptClass(GSRuntime::GSClass* cls) { return cls != nullptr; }
  // No script instance is bound, or a script call failed.
  [[nodiscard]] bool Failed() const { return m_failed; }
  // Keeps a soup for the script's SetProperties; a started object gets it at
  // once. A null soup or one without tags is kept but not handed over.
  void SetPendingProperties(const SoupRef& soup);

  // The asset spec of the object (a counted reference); none by default.
  virtual SpecRef GetSpec() const { return SpecRef(); }
  // The KUID of the asset spec; the null KUID without one.
  KUID GetAssetKUID() const;

  RovanaScriptContext* ScriptContext() const { return m_context; }
  uint64_t Serial() const { return m_serial; }
  // The live object of a serial; null once it is destroyed.
  static ScriptableObject* FindBySerial(uint64_t serial);

  // The source text set on the object, or the wrapper source of its asset spec.
  std::string GetSource() const;
  // A text of only blanks, tabs, carriage returns and line feeds clears the
  // source; the text GetSource gives now is no change. True when it changed.
  bool SetSource(const std::string& text);
  // The source text set on the object as a stream string ("" when none is
  // set). False when it is longer than a stream string carries (an empty
  // string is written in its place).
  [[nodiscard]] bool WriteSource(TStream& stream) const;
  // Reads a stream string and sets it as SetSource does.
  void ReadSource(TStream& stream);

  static void RegisterNatives(GSRuntime::GSMachine& machine);

protected:
  // Hands the pending soup to the script's SetProperties when the object has
  // not failed (a failed call makes it failed), then forgets it.
  void DeliverProperties();
  // Calls a script method of the bound instance (its override, when the
  // class has one) with arguments whose references go to the call; false,
  // with the arguments released, when the method is missing or fails.
  [[nodiscard]] bool CallScript(const char* key, const uint32_t* arguments, uint32_t count,
                                uint32_t* result = nullptr);

private:
  void IssueSecurityToken(GSRuntime::GSStack& stack);
  void ReIssueSecurityToken(GSRuntime::GSStack& stack);
  void MergeSecurityTokens(GSRuntime::GSStack& stack);
  void ValidateWithObject(GSRuntime::GSStack& stack);
  void ValidateWithKUID(GSRuntime::GSStack& stack);

  RovanaScriptContext* m_context;
  uint64_t m_serial;
  std::string m_source;
  bool m_failed = false;
  bool m_propertiesPending = false;
  SoupRef m_properties;
};

// Compiles a source text for the asset spec into the class "CustomObject": the
// text goes to "temp_object.gs" in the user data's "cache" folder, compiles to
// "cache/temp_object.gsl" (with the asset folder, the cache and the
// installation's script sources, GetScriptsFolderPath, as include folders) and
// loads into the machine; the ".gs" is deleted again.
// Every compile writes the same library file: a loaded library does not
// depend on its file. Null when there is no user-data folder, or on a compile
// or load failure.
GSRuntime::GSClass* CompileSourceClass(RovanaBaseSpec& spec, const std::string& source);

// A script object of one asset, whose asset spec it is given.
class AssetScriptObject : public ScriptableObject {
public:
  AssetScriptObject(RovanaScriptContext* context, SpecRef spec)
      : ScriptableObject(context), m_spec(std::move(spec)) {}
  SpecRef GetSpec() const override { return m_spec; }

private:
  SpecRef m_spec;
};

// The source of a class "CustomObject" derived from the asset spec's script class
// (GameObject without one), including "Rovana.gs" and the asset spec's script
// file with the extension "gs" ("gs.gs" without one).
std::string WrapperSource(const RovanaBaseSpec* spec);
