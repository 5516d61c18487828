#include "umbclient/AssetRequests.h"

#include "kiv/File.h"
#include "kiv/PString.h"
#include "umbclient/OpenDatabase.h"

// ---- typed requests ----

namespace {

bool KuidRequest(uint32_t id, const KUID& k, TBuffer& reply) {
  TBuffer body;
  WriteKUID(body, k);
  return UMBExecuteTransaction(id, body, reply);
}

std::string StringReply(uint32_t id, const KUID& k) {
  TBuffer reply;
  if (!KuidRequest(id, k, reply)) return std::string();
  std::string text = reply.ReadString();
  return reply.GetError() ? std::string() : text;
}

KUID KuidReply(uint32_t id, const KUID& k) {
  TBuffer reply;
  if (!KuidRequest(id, k, reply)) return KUID::Null();
  KUID out = reply.ReadKUID();
  return reply.GetError() ? KUID::Null() : out;
}

std::string EmptyBodyString(uint32_t id) {
  TBuffer body, reply;
  if (!UMBExecuteTransaction(id, body, reply)) return std::string();
  std::string text = reply.ReadString();
  return reply.GetError() ? std::string() : text;
}

}  // namespace

SoupRef UMBGetAssetConfig(const KUID& kuid) {
  TBuffer reply;
  SoupRef soup;
  if (!KuidRequest(UMBRequest::GetAssetConfig, kuid, reply) || !reply.ReadBool()) return soup;
  if (!ReadSoupBinary(reply, soup)) soup.Clear();
  return soup;
}

bool GetAssetInfo(const KUID& kuid, UMBAssetInfo& info, int32_t mask) {
  TBuffer body, reply;
  WriteKUID(body, kuid);
  body.WriteU32(static_cast<uint32_t>(mask));
  info = UMBAssetInfo();
  if (!UMBExecuteTransaction(UMBRequest::GetAssetInfo, body, reply) || !reply.ReadBool()) return false;
  UMBAssetInfo got;
  if (!got.Read(reply)) return false;
  info = std::move(got);
  return true;
}

UMBAssetInfo GetAssetInfo(const KUID& kuid, int32_t mask) {
  UMBAssetInfo info;
  // The info stays empty for an unknown asset, as the script expects.
  (void)GetAssetInfo(kuid, info, mask);
  return info;
}

std::string UMBGetAssetFolder(const KUID& kuid) { return StringReply(UMBRequest::GetAssetFolder, kuid); }
KUID UMBResolveKUID(const KUID& kuid) { return KuidReply(UMBRequest::ResolveKUID, kuid); }
KUID UMBGetUpdatedKUID(const KUID& kuid) { return KuidReply(UMBRequest::GetUpdatedKUID, kuid); }
std::string UMBGetAssetDescription(const KUID& kuid) {
  return StringReply(UMBRequest::GetAssetDescription, kuid);
}

uint32_t UMBAcquireAssetHandle(const KUID& kuid) {
  TBuffer reply;
  if (!KuidRequest(UMBRequest::AcquireAssetHandle, kuid, reply)) return 0;
  uint32_t handle = reply.ReadU32();
  return reply.GetError() ? 0 : handle;
}

std::string UMBGetHandleFolder(uint32_t handle) {
  TBuffer body, reply;
  body.WriteU32(handle);
  if (!UMBExecuteTransaction(UMBRequest::GetHandleFolder, body, reply)) return std::string();
  std::string text = reply.ReadString();
  return reply.GetError() ? std::string() : text;
}

bool UMBReleaseAssetHandle(uint32_t handle) {
  TBuffer body, reply;
  body.WriteU32(handle);
  return UMBExecuteTransaction(UMBRequest::ReleaseAssetHandle, body, reply) && reply.ReadBool();
}

std::vector<KUID> UMBGetAssetDependencies(const KUID& kuid) {
  TBuffer reply;
  std::vector<KUID> out;
  if (!KuidRequest(UMBRequest::GetAssetDependencies, kuid, reply)) return out;
  uint32_t count = reply.ReadU32();
  int64_t remaining = reply.Remaining();
  if (reply.GetError() || remaining < 0 || count > static_cast<uint64_t>(remaining) / 8) return out;
  for (uint32_t i = 0; i < count; ++i) out.push_back(reply.ReadKUID());
  if (reply.GetError()) out.clear();
  return out;
}

bool UMBSetAssetFavorite(const KUID& kuid, bool favorite) {
  TBuffer body;
  WriteKUID(body, kuid);
  body.WriteBool(favorite);
  return UMBPostMessage(UMBRequest::SetAssetFavorite, body);
}

bool UMBQueryTextureOption() {
  TBuffer body, reply;
  return UMBExecuteTransaction(UMBRequest::QueryTextureOption, body, reply) && reply.ReadBool();
}

std::string UMBGetOnlineAccount() { return EmptyBodyString(UMBRequest::GetOnlineAccount); }

bool UMBOnlineLoginFailed() {
  TBuffer body;
  return UMBPostMessage(UMBRequest::OnlineLoginFailed, body);
}

std::string UMBGetOnlineSessionKey() { return EmptyBodyString(UMBRequest::GetOnlineSessionKey); }

std::string GetAssetName(const KUID& kuid) { return GetAssetInfo(kuid, kInfoName).localisedName; }

bool IsAssetBuiltIn(const KUID& kuid) {
  UMBAssetInfo info;
  return GetAssetInfo(kuid, info, kInfoFlags) && info.HasState(kStateBuiltIn);
}

bool IsAssetLocallyModified(const KUID& kuid) {
  UMBAssetInfo info;
  if (!GetAssetInfo(kuid, info, kInfoFlags)) return true;
  return info.HasState(kStateLocallyModified);
}

bool GetAssetScriptInfo(const KUID& kuid, std::string& scriptPath, std::string& className) {
  return GetScriptInfoFromConfig(UMBGetAssetConfig(kuid), scriptPath, className);
}

bool GetScriptInfoFromConfig(const SoupRef& config, std::string& scriptPath, std::string& className) {
  scriptPath.clear();
  className.clear();
  if (config.IsNull()) return false;
  static const Kiv::PString script("script"), scriptLibrary("scriptlibrary"), classTag("class"),
      scriptClass("scriptclass"), classLibrary("classlibrary");
  scriptPath = config.GetNamedTagString(script);
  if (scriptPath.empty()) scriptPath = config.GetNamedTagString(scriptLibrary);
  if (!scriptPath.empty()) {
    Kiv::File::Path p(scriptPath);
    if (p.GetExt().empty()) p.SetExt("gs");
    scriptPath = p.Str();
  }
  className = config.GetNamedTagString(classTag);
  if (className.empty()) className = config.GetNamedTagString(scriptClass);
  // The tag that old configs name the class by, as the legacy upgrade reads it.
  if (className.empty()) className = config.GetNamedTagString(classLibrary);
  return true;
}
