#pragma once
// Registration of the native script classes: every class's records go into
// the script machine's native list before any library of these classes is
// linked, and each class's compiled library is looked up so that a native can
// push its objects seen as their script class.
//
// The libraries are the "*.gsl" files of the folder "libraries" in the
// current folder (the installation root after start-up); when the current
// folder has none, the "scripts" folder beside the running program (where
// the build compiles the class libraries of scripts/).
#include <string>
#include <string_view>

#include "foundation/KUID.h"
#include "gamescript/runtime/Machine.h"

// The script class of each native class, filled by RegisterScriptLibrary;
// null until its library is registered.
struct ScriptClassSlots {
  GSRuntime::GSClass* gameObject = nullptr;
  GSRuntime::GSClass* kuid = nullptr;
  GSRuntime::GSClass* soup = nullptr;
  GSRuntime::GSClass* htmlBuffer = nullptr;
  GSRuntime::GSClass* kuidList = nullptr;
  GSRuntime::GSClass* stringTable = nullptr;
  GSRuntime::GSClass* asset = nullptr;
  GSRuntime::GSClass* rovanaGameObject = nullptr;
  GSRuntime::GSClass* onlineAccess = nullptr;
  GSRuntime::GSClass* onlineGroup = nullptr;
  GSRuntime::GSClass* image = nullptr;
  GSRuntime::GSClass* library = nullptr;
  GSRuntime::GSClass* securityToken = nullptr;
  GSRuntime::GSClass* constructorsBase = nullptr;
  GSRuntime::GSClass* rovanaScriptBase = nullptr;
};
ScriptClassSlots& ScriptClasses();

// Once per process: enters the libraries folder, registers "gs.gsl" (class
// GameObject), builds every native table, then registers each class's library
// in order, stopping at the first that fails. Later calls return the first
// call's result and register nothing again.
[[nodiscard]] bool RegisterScriptNatives();

// Clears the slot; finds the library by file name (loading and linking it on
// first use) and the class of exactly that name in it. False when either is
// missing.
[[nodiscard]] bool RegisterScriptLibrary(std::string_view fileName, std::string_view className,
                                         GSRuntime::GSClass*& slot);

// The folder whose libraries RegisterScriptNatives enters (see above).
std::string ScriptLibrariesFolder();

// The native tables, one per class, appended in this order by
// RegisterScriptNatives (the two online tables come after RovanaGameObject).
// None can fail.
void RegisterKUIDNatives();
void RegisterSoupNatives();
void RegisterHTMLBufferNatives();  // with HTMLBufferStatic
void RegisterKUIDListNatives();
void RegisterStringTableNatives();
void RegisterAssetNatives();
void RegisterLinkedListNatives();
void RegisterRovanaGameObjectNatives();
void RegisterLibraryNatives();
void RegisterImageNatives();
void RegisterRovanaScriptBaseNatives();  // the natives of RovanaScriptContext
void RegisterSecurityTokenNatives();
void RegisterConstructorsBaseNatives();

// The online classes live in a library above this one: the program hands in
// their two tables before the first RegisterScriptNatives. Without them the
// libraries "OnlineAccess.gsl" and "OnlineGroup.gsl" are not registered.
void SetOnlineNativeTables(void (*onlineAccess)(), void (*onlineGroup)());

// The online-access object of (context, owner asset) with one reference for
// the caller, or null; the online library hands in its lookup with its tables.
using OnlineAccessLookup = GSRuntime::GSObjectReference* (*)(GSRuntime::GSContext* context,
                                                             const KUID& owner);
void SetOnlineAccessLookup(OnlineAccessLookup lookup);
// Null until the online library hands it in.
OnlineAccessLookup GetOnlineAccessLookup();

namespace ScriptNatives {

// Appends a record calling a member of the native object's class T.
template <class T>
void AddNative(GSRuntime::GSMachine& machine, const char* className, const char* key,
               void (T::*function)(GSRuntime::GSStack&)) {
  machine.RegisterNative(std::make_unique<GSRuntime::GSCPPNativeFunction<T>>(className, key, function));
}
// Appends a record calling a plain function of (context, stack).
inline void AddNative(GSRuntime::GSMachine& machine, const char* className, const char* key,
                      GSRuntime::GSCNativeFunction::Function function) {
  machine.RegisterNative(std::make_unique<GSRuntime::GSCNativeFunction>(className, key, function));
}

}  // namespace ScriptNatives
