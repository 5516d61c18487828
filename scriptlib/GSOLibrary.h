#pragma once
// Script libraries: assets of kind "library" whose scripts run as one shared
// object per script context (the script class "Library"). A library lives in
// its context's world list, so its properties are saved with the world, and
// may name a native-interface plug-in in its config ("native-library"): the
// shared object "<name>.so" of the installation's "bin/plugins" folder, whose
// functions the script calls with string arguments through LibraryCallNative.
#include <cstdint>
#include <memory>
#include <string>

#include "config/AssetSpec.h"
#include "foundation/Identifiable.h"
#include "foundation/Soup.h"
#include "kiv/NativeInterface.h"
#include "scriptlib/ScriptableObject.h"
#include "scriptlib/WorldList.h"

class GSOLibrary;
class RovanaScriptContext;

// The asset spec of a script library.
class GSOLibrarySpec : public RovanaBaseSpec {
public:
  GSOLibrarySpec(const KUID& kuid, std::string_view folderKey, std::string_view folder, std::string_view name,
                 const SoupRef& config);

  // The plug-in the config names; empty for none.
  const std::string& NativeLibraryName() const { return m_nativeLibrary; }
  // A new library object of this asset in the context (not yet in its world
  // list); null when none can be made.
  std::unique_ptr<GSOLibrary> CreateLibraryObject(RovanaScriptContext& context);

private:
  std::string m_nativeLibrary;
};

// Makes the asset specs of assets of kind "library". One lives for the process; every
// asset-spec registry gets it from RegisterScriptNatives on (see InstallLibrarySpecFactory).
class GSOLibrarySpecFactory final : public GKSpecFactory {
public:
  GSOLibrarySpecFactory() : GKSpecFactory("library") {}
  std::unique_ptr<GizmokitSpec> Create(const KUID& kuid, std::string_view folderKey, std::string_view folder,
                                       std::string_view name, const SoupRef& config) override;
};
// Enters the library factory among the factories every registry starts with,
// and in the registry open now.
void InstallLibrarySpecFactory();

class GSOLibrary : public ScriptableObject, public WorldListItem, public NuMessageRecipient {
public:
  // Loads the plug-in the asset spec names, when it names one.
  GSOLibrary(RovanaScriptContext* context, SpecRef spec);
  // Releases the plug-in.
  ~GSOLibrary() override;

  SpecRef GetSpec() const override { return m_spec; }
  uint32_t GetTypeCode() const override { return kWorldTypeLibrary; }
  KUID GetKUID() const override { return m_spec ? m_spec->GetKUID() : KUID::Null(); }

  // Once: runs the delayed set-up stages still to run, then hands pending
  // properties to the script.
  void Initialise();
  [[nodiscard]] bool Initialised() const { return m_initialised; }
  // A copy of the soup the script's GetProperties gives; null (with a log
  // line) when it gives none, and null for a failed library.
  SoupRef GetProperties();

  // The world list's record: a u32 0 and the binary property soup, or nothing
  // when the script's properties are empty.
  [[nodiscard]] bool SaveRecord(TStream& stream) override;
  // Keeps the record's soup for the script, handed over at once when the
  // library is initialised already.
  [[nodiscard]] bool LoadRecord(TStream& stream) override;

  // A "click" aimed at the click source becomes the script message
  // ("Interface", "ClickSystemButton") from the library to itself.
  int ReceiveMessage(const Kiv::PString& name, const void* target) override;
  void SetClickSource(const void* source) { m_clickSource = source; }

  // The loaded plug-in; null when there is none.
  EXOHandle NativeLibrary() const { return m_nativeLibrary; }
  // Calls the plug-in's function with string arguments (a null entry passes a
  // null text); the string it gives back, "" for none or another class.
  std::string CallNative(const std::string& function, const std::vector<const char*>& arguments) const;

  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  void GetOnlineAccess(GSRuntime::GSStack& stack);
  void LibraryCallNative(GSRuntime::GSStack& stack);
  void AddSystemMenuIcon(GSRuntime::GSStack& stack);
  void AddSystemMenuIconBlinking(GSRuntime::GSStack& stack);
  void BlinkSystemMenuIcon(GSRuntime::GSStack& stack);
  void RemoveSystemMenuIcon(GSRuntime::GSStack& stack);
  void ShowSystemMenuIconMenu(GSRuntime::GSStack& stack);
  void AddMenuIcon(GSRuntime::GSStack& stack, bool withFlag);

  SpecRef m_spec;
  bool m_initialised = false;
  const void* m_clickSource = nullptr;
  EXOHandle m_nativeLibrary = nullptr;
};
