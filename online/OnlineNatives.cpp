#include "online/OnlineNatives.h"

#include "online/GSOOnlineAccess.h"
#include "online/GSOOnlineGroup.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/ContentFolders.h"

void InstallOnlineNatives() {
  SetOnlineNativeTables(&RegisterOnlineAccessNatives, &RegisterOnlineGroupNatives);
  SetOnlineAccessLookup(
      [](GSRuntime::GSContext* context, const KUID& owner) -> GSRuntime::GSObjectReference* {
        return GSOOnlineAccess::Get(context, owner);
      });
}

void RegisterOnlineAccessNatives() {
  GSOOnlineAccess::RegisterNatives(GSRuntime::GSMachine::Instance());
  const OnlineAccessClientEndpoint& endpoint = OnlineAccessClientEndpoint::Instance();
  const std::string& folder = endpoint.Settings().cacheFolder;
  GSOOnlineAccess::LoadOfflineData(folder.empty() ? GetUserDataFolder() + "/cache" : folder);
}

void RegisterOnlineGroupNatives() { GSOOnlineGroup::RegisterNatives(GSRuntime::GSMachine::Instance()); }
