#pragma once
// The program's script context: the context in which asset scripts and script
// libraries run. It owns the world list of live script objects and the
// delayed initialisation of the objects made in it, and its natives form the
// script class "RovanaScriptBase" (scripts call them through the static
// object "World" of "Rovana.gs"): clock and calendar, version and build, asset
// lookups and searches through the asset database, a system-call hook, a URL
// hook and logging. The hooks are virtual so that a host can answer them; the
// defaults are what a command-line tool offers.
#include <string>
#include <string_view>

#include "foundation/Identifiable.h"
#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"
#include "kiv/PString.h"
#include "scriptlib/DelayedInit.h"
#include "scriptlib/WorldList.h"

class GSOLibrary;
class TStream;

class RovanaScriptContext : public GSRuntime::GSContext, public IdentifiableType, public DelayedInitManager {
public:
  static constexpr float kVersion = 3.4f;
  static constexpr int32_t kBuild = 46170;

  RovanaScriptContext() = default;
  // Empties the world list, then drops the context's Asset and KUID objects.
  ~RovanaScriptContext() override;

  // Asked before an Asset object is made for a script; true by default.
  [[nodiscard]] virtual bool AllowAsset(const KUID& kuid);
  // A script's system call; by default the argument is written to the log and
  // the result is the null soup.
  virtual SoupRef SystemCall(const Kiv::PString& name, const SoupRef& argument);
  // A script asks for a page to be shown; false (not shown) by default.
  [[nodiscard]] virtual bool OpenURL(std::string_view url);
  // A library's icon in the host's system menu (the null KUID and empty texts
  // remove it), its blinking and its menu; a command-line host has no menu.
  virtual void SetSystemMenuIcon(GSOLibrary& library, const KUID& asset, const Kiv::PString& text1,
                                 const Kiv::PString& text2, bool flag);
  virtual void BlinkSystemMenuIcon(GSOLibrary& library, int32_t count);
  virtual void ShowSystemMenuIconMenu(GSOLibrary& library, GSRuntime::GSObjectReference* menu);
  // A library was entered in the world list and is about to be initialised.
  virtual void LibraryCreated(GSOLibrary& library);

  // The context's one library object of a library asset: found in the world
  // list, or made, entered and initialised. Null, with a log line, when the
  // asset is no library, the list is being walked, or the library cannot be
  // made or its script fails (it is then deleted with its plug-in).
  GSOLibrary* GetScriptLibrary(const KUID& kuid);

  WorldList& World() { return m_world; }
  // The world list's record stream; no library is made while it is written
  // or read (the list is walked meanwhile).
  [[nodiscard]] bool SaveWorld(TStream& stream);
  void LoadWorld(TStream& stream);

  // Appends the records of "RovanaScriptBase" to the machine's native list.
  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  void GetSeconds(GSRuntime::GSStack& stack);
  void GetNormalizedSystemTime(GSRuntime::GSStack& stack);
  void GetSystemYear(GSRuntime::GSStack& stack);
  void GetSystemMonth(GSRuntime::GSStack& stack);
  void GetSystemDate(GSRuntime::GSStack& stack);
  void GetSystemHour(GSRuntime::GSStack& stack);
  void GetSystemMinute(GSRuntime::GSStack& stack);
  void GetSystemSecond(GSRuntime::GSStack& stack);
  void FindAsset(GSRuntime::GSStack& stack);
  void GetAssetList(GSRuntime::GSStack& stack);
  void GetAssetListExtra(GSRuntime::GSStack& stack);
  void SearchAssets(GSRuntime::GSStack& stack);
  void FindUpdatedAssets(GSRuntime::GSStack& stack);
  void RovanaSystemCall(GSRuntime::GSStack& stack);
  void NativeOpenURL(GSRuntime::GSStack& stack);
  void Log(GSRuntime::GSStack& stack);
  void GetRovanaVersion(GSRuntime::GSStack& stack);
  void GetRovanaBuild(GSRuntime::GSStack& stack);
  void CloneKUID(GSRuntime::GSStack& stack);
  void GetLibrary(GSRuntime::GSStack& stack);

  // The asset list of a category list (empty: no query); logs the warning
  // when nothing is found.
  void PushAssetList(GSRuntime::GSStack& stack, const std::string& type, const std::string& categories,
                     bool excludeFaulty);

  WorldList m_world;
  uint32_t m_listLocks = 0;  // walks of the world list under way
};

// The local time of day as a fraction of a day shifted by half a day:
// midnight 0.5, 06:00 0.75, noon exactly 1.0, just after noon just above 0.
float NormalizedTimeOfDay(int hour, int minute, int second);
