#include "scriptlib/ScriptNatives.h"

#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/File.h"
#include "scriptlib/GSOAsset.h"
#include "scriptlib/GSOHTMLBuffer.h"
#include "scriptlib/GSOImage.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/GSOLibrary.h"
#include "scriptlib/GSOSecurityToken.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/GSOStringTable.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptableObject.h"

using namespace GSRuntime;

ScriptClassSlots& ScriptClasses() {
  static ScriptClassSlots slots;
  return slots;
}

std::string ScriptLibrariesFolder() {
  if (Kiv::File::IsDirectory("libraries")) return "libraries";
  const std::string program = Kiv::RunningProgramPath();
  const size_t slash = program.rfind('/');
  if (slash != std::string::npos) {
    const std::string beside = Kiv::File::Path(program.substr(0, slash)).Join("scripts").Str();
    if (Kiv::File::IsDirectory(beside)) return beside;
  }
  return "libraries";
}

bool RegisterScriptLibrary(std::string_view fileName, std::string_view className, GSClass*& slot) {
  slot = nullptr;
  GSLibrary* library = GSMachine::Instance().GetLibraryByName(fileName);
  if (!library) return false;
  slot = library->FindClass(className);
  return slot != nullptr;
}

// Message payloads are soups: the soup of a Soup object goes with a message,
// and a payload reaches the script that receives the message as a new Soup.
void InstallMessagePayloads() {
  PayloadHooks hooks;
  hooks.soupOf = [](GSObjectReference* object) {
    const auto* soup = dynamic_cast<GSOSoup*>(object);
    return soup ? soup->Soup() : SoupRef();
  };
  hooks.makeObject = [](GSContext* context, const SoupRef& soup) -> uint32_t {
    GSOSoup* object = GSOSoup::Create(context, soup, false);
    return object ? object->GetScriptHandle() : 0;
  };
  SetPayloadHooks(hooks);
}

void RegisterKUIDNatives() { GSOKUID::RegisterNatives(GSMachine::Instance()); }
void RegisterSoupNatives() { GSOSoup::RegisterNatives(GSMachine::Instance()); }
void RegisterHTMLBufferNatives() { GSOHTMLBuffer::RegisterNatives(GSMachine::Instance()); }
void RegisterKUIDListNatives() { GSOKUIDList::RegisterNatives(GSMachine::Instance()); }
void RegisterStringTableNatives() { GSOStringTable::RegisterNatives(GSMachine::Instance()); }
void RegisterImageNatives() { GSOImage::RegisterNatives(GSMachine::Instance()); }
void RegisterAssetNatives() { GSOAsset::RegisterNatives(GSMachine::Instance()); }
void RegisterRovanaScriptBaseNatives() { RovanaScriptContext::RegisterNatives(GSMachine::Instance()); }
void RegisterRovanaGameObjectNatives() { ScriptableObject::RegisterNatives(GSMachine::Instance()); }
void RegisterSecurityTokenNatives() { GSOSecurityToken::RegisterNatives(GSMachine::Instance()); }
void RegisterLibraryNatives() { GSOLibrary::RegisterNatives(GSMachine::Instance()); }

namespace {
struct OnlineTables {
  void (*onlineAccess)() = nullptr;
  void (*onlineGroup)() = nullptr;
};
OnlineTables& Online() {
  static OnlineTables tables;
  return tables;
}
}  // namespace

void SetOnlineNativeTables(void (*onlineAccess)(), void (*onlineGroup)()) {
  Online().onlineAccess = onlineAccess;
  Online().onlineGroup = onlineGroup;
}

namespace {
OnlineAccessLookup g_onlineAccessLookup = nullptr;
}  // namespace

void SetOnlineAccessLookup(OnlineAccessLookup lookup) { g_onlineAccessLookup = lookup; }
OnlineAccessLookup GetOnlineAccessLookup() { return g_onlineAccessLookup; }

bool RegisterScriptNatives() {
  // The first result stands: a failed start is not retried, and no record
  // is ever entered twice.
  static int result = -1;
  if (result >= 0) return result == 1;
  result = 0;

  GSMachine& machine = GSMachine::Instance();
  InstallLibrarySpecFactory();
  // Libraries that fail are reported one by one by the machine; a folder that
  // cannot be searched at all is reported here, and the libraries below then
  // fail to register.
  if (const Kiv::Status folder = machine.RegisterLibraryFolder(ScriptLibrariesFolder()); !folder.ok())
    if (ScriptLogHook) ScriptLogHook("RegisterScriptNatives> %s", folder.message().c_str());
  ScriptClassSlots& slots = ScriptClasses();
  if (!RegisterScriptLibrary("gs.gsl", "GameObject", slots.gameObject)) return false;

  // Every record exists before a library of these classes links.
  RegisterKUIDNatives();
  RegisterSoupNatives();
  InstallMessagePayloads();
  RegisterHTMLBufferNatives();
  RegisterKUIDListNatives();
  RegisterStringTableNatives();
  RegisterAssetNatives();
  RegisterLinkedListNatives();
  RegisterRovanaGameObjectNatives();
  const bool online = Online().onlineAccess && Online().onlineGroup;
  if (online) {
    Online().onlineAccess();
    Online().onlineGroup();
  }
  RegisterLibraryNatives();
  RegisterImageNatives();
  RegisterRovanaScriptBaseNatives();
  RegisterSecurityTokenNatives();
  RegisterConstructorsBaseNatives();

  const struct {
    const char* file;
    const char* cls;
    GSClass* ScriptClassSlots::*slot;
  } libraries[] = {
      {"kuid.gsl", "KUID", &ScriptClassSlots::kuid},
      {"Soup.gsl", "Soup", &ScriptClassSlots::soup},
      {"HTMLBuffer.gsl", "HTMLBuffer", &ScriptClassSlots::htmlBuffer},
      {"KUIDList.gsl", "KUIDList", &ScriptClassSlots::kuidList},
      {"StringTable.gsl", "StringTable", &ScriptClassSlots::stringTable},
      {"asset.gsl", "Asset", &ScriptClassSlots::asset},
      {"RovanaGameObject.gsl", "RovanaGameObject", &ScriptClassSlots::rovanaGameObject},
      {"OnlineAccess.gsl", "OnlineAccess", &ScriptClassSlots::onlineAccess},
      {"OnlineGroup.gsl", "OnlineGroup", &ScriptClassSlots::onlineGroup},
      {"Image.gsl", "Image", &ScriptClassSlots::image},
      {"Library.gsl", "Library", &ScriptClassSlots::library},
      {"SecurityToken.gsl", "SecurityToken", &ScriptClassSlots::securityToken},
      {"Constructors.gsl", "ConstructorsBase", &ScriptClassSlots::constructorsBase},
      // The static World of scripts; its natives are the context's.
      {"Rovana.gsl", "RovanaScriptBase", &ScriptClassSlots::rovanaScriptBase},
  };
  for (const auto& l : libraries) {
    if (!online && l.slot == &ScriptClassSlots::onlineAccess) continue;
    if (!online && l.slot == &ScriptClassSlots::onlineGroup) continue;
    if (!RegisterScriptLibrary(l.file, l.cls, slots.*l.slot)) return false;
  }
  result = 1;
  return true;
}
