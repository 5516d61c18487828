#include "umbclient/FolderAssetDatabase.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "kiv/File.h"
#include "umbclient/AssetIndex.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/Filter.h"
#include "umbclient/Internal.h"

namespace {

const Kiv::PString kUsername("username");

std::string KuidFileStem(const KUID& k) {
  return std::to_string(k.user) + "_" + std::to_string(k.content) + "_" + std::to_string(k.version);
}

// Settings-record names become file names: keep them to one plain component.
bool IsRecordName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      return false;
  return true;
}

}  // namespace

// ---- the folder-backed database ----

struct FolderAssetDatabase::Impl {
  using Entry = AssetIndex::Asset;

  std::string userData;
  std::string installRoot;
  UMBStandIns standIns;

  mutable std::recursive_mutex lock;
  std::unique_ptr<AssetIndex> index;
  std::map<uint32_t, uint64_t> counts;
  uint64_t rowsWalked = 0;
  std::map<uint32_t, std::string> handles;
  std::map<uint32_t, uint32_t> urls;  // request id -> status
  uint32_t nextHandle = 1;
  uint32_t nextUrl = 1;

  UMBAssetInfo InfoFor(const Entry& e, int32_t mask);
  std::set<std::string> Favourites();

  // ---- requests ----
  bool Answer(uint32_t id, TBuffer& body, TBuffer& reply);
  bool Accept(uint32_t id, TBuffer& body);
  bool Query(TBuffer& body, TBuffer& reply);
  bool GetLocalData(TBuffer& body, TBuffer& reply);
  bool SetLocalData(TBuffer& body);
  bool SetFavourite(TBuffer& body);

  std::string SettingsFolder() const { return userData + "/settings"; }
  SoupRef LoadRecord(std::string_view name);
  bool SaveRecord(std::string_view name, const SoupRef& record);
};

FolderAssetDatabase::FolderAssetDatabase(std::string userDataFolder, std::string installationRoot,
                                         UMBStandIns standIns, IndexKeeping keeping)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->userData = std::move(userDataFolder);
  m_impl->installRoot = std::move(installationRoot);
  m_impl->standIns = std::move(standIns);
  m_impl->index = std::make_unique<AssetIndex>(
      m_impl->userData, m_impl->installRoot,
      keeping == IndexKeeping::kCacheFile ? AssetIndex::DefaultFile(m_impl->userData) : std::string());
}

FolderAssetDatabase::~FolderAssetDatabase() = default;

void FolderAssetDatabase::Rescan() {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  m_impl->handles.clear();
  m_impl->index->Refresh();
  RaiseResolutionCacheFlush();
}

size_t FolderAssetDatabase::AssetCount() const {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  return m_impl->index->Count();
}

bool FolderAssetDatabase::IsIndexKeptInFile() const {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  return m_impl->index->IsPersistent();
}

bool FolderAssetDatabase::FindSharedKUID(const std::string& folder, AssetIndex::SharedKUID& out) {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  return m_impl->index->FindSharedKUID(folder, out);
}

std::set<std::string> FolderAssetDatabase::Impl::Favourites() {
  std::set<std::string> out;
  SoupRef fav = LoadRecord("favorites");
  for (size_t i = 0; i < fav.CountTags(); ++i) {
    int32_t v = 0;
    if (fav.Get()->GetTag(i).ToInt(v) && v != 0) out.insert(fav.GetIndexedTagName(i).Str());
  }
  return out;
}

UMBAssetInfo FolderAssetDatabase::Impl::InfoFor(const Entry& e, int32_t mask) {
  const UMBAssetInfo& all = e.info;
  UMBAssetInfo r;
  r.kuid = all.kuid;
  r.filled = mask;
  if (mask & kInfoName) r.localisedName = all.localisedName;
  if (mask & kInfoCreator) r.creatorName = all.creatorName;
  if (mask & kInfoCategory) {
    r.category = all.category;
    r.categoryRegion = all.categoryRegion;
    r.categoryEra = all.categoryEra;
    r.kind = all.kind;
  }
  if (mask & kInfoFlags) r.stateFlags = all.stateFlags;
  if (mask & kInfoRating) r.rating = Favourites().count(FormatKUIDTag(all.kuid)) ? 5 : 0xFF;
  if (mask & kInfoBuild) {
    r.buildVersion = all.buildVersion;
    r.buildVersionKnown = all.buildVersionKnown;
  }
  if (mask & kInfoParent) r.parent = all.parent;
  if (mask & kInfoTimes) r.modifiedTime = all.modifiedTime;
  return r;
}

bool FolderAssetDatabase::Execute(uint32_t commandId, TBuffer& body, TBuffer& reply) {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  ++m_impl->counts[commandId];
  // The answer is built aside, so a failing request leaves the reply untouched.
  TBuffer first, retry;
  bool answered = m_impl->Answer(commandId, body, first);
  TBuffer* out = &first;
  if (m_impl->index->IsDamaged()) {
    // The index file failed under the request: rebuilt from the folders, then asked again.
    m_impl->index->Refresh();
    RaiseResolutionCacheFlush();
    // An in-memory buffer always goes back to its start.
    (void)body.Rewind();
    answered = m_impl->Answer(commandId, body, retry);
    out = &retry;
  }
  if (!answered) return false;
  if (out->Size()) reply.WriteBytes(out->Data(), out->Size());
  // An in-memory buffer always goes back to its start.
  (void)reply.Rewind();
  return true;
}

bool FolderAssetDatabase::Post(uint32_t commandId, TBuffer& body) {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  ++m_impl->counts[commandId];
  return m_impl->Accept(commandId, body);
}

uint64_t FolderAssetDatabase::RequestCount(uint32_t commandId) const {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  auto it = m_impl->counts.find(commandId);
  return it == m_impl->counts.end() ? 0 : it->second;
}

uint64_t FolderAssetDatabase::RowsWalked() const {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  return m_impl->rowsWalked;
}

void FolderAssetDatabase::ResetRequestCounts() {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  m_impl->counts.clear();
}

bool FolderAssetDatabase::Impl::Answer(uint32_t id, TBuffer& body, TBuffer& reply) {
  switch (id) {
    case UMBRequest::RunQuery: return Query(body, reply);
    case UMBRequest::GetLocalData: return GetLocalData(body, reply);
    case UMBRequest::QueryTextureOption: reply.WriteBool(standIns.textureOption); return true;
    case UMBRequest::GetOnlineAccount: {
      SoupRef internet = LoadRecord("internet");
      reply.WriteString(internet.GetNamedTag(kUsername).Str());
      reply.WriteString("");
      reply.WriteString("");
      reply.WriteU16(0);
      reply.WriteString("");
      reply.WriteU16(0);
      return true;
    }
    case UMBRequest::GetOnlineSessionKey: reply.WriteString(standIns.onlineSessionKey); return true;
    case UMBRequest::UrlStart: {
      UrlParts url;
      if (!ReadUrlRecord(body, url)) return false;
      uint32_t mode = body.ReadU32();
      if (body.GetError()) return false;
      // No network here: the stand-in decides; without one the request fails.
      uint32_t status = standIns.urlStatus ? standIns.urlStatus(url, mode) : 1u;
      uint32_t rid = nextUrl++;
      urls[rid] = status;
      reply.WriteU32(rid);
      return true;
    }
    case UMBRequest::UrlPoll: {
      uint32_t rid = body.ReadU32();
      auto it = urls.find(rid);
      if (body.GetError() || it == urls.end()) return false;
      reply.WriteBool(true);
      reply.WriteU32(it->second);
      return true;
    }
    case UMBRequest::AcquireAssetHandle: {
      KUID k = body.ReadKUID();
      if (body.GetError()) return false;
      Entry found;
      const Entry* e = index->Find(k, found) ? &found : nullptr;
      uint32_t handle = 0;
      if (e) {
        handle = nextHandle++;
        if (nextHandle == 0) nextHandle = 1;
        handles[handle] = e->folder;
      }
      reply.WriteU32(handle);
      return true;
    }
    case UMBRequest::ReleaseAssetHandle: {
      uint32_t handle = body.ReadU32();
      if (body.GetError()) return false;
      reply.WriteBool(handles.erase(handle) != 0);
      return true;
    }
    case UMBRequest::GetHandleFolder: {
      uint32_t handle = body.ReadU32();
      if (body.GetError()) return false;
      auto it = handles.find(handle);
      reply.WriteString(it == handles.end() ? std::string() : it->second);
      return true;
    }
    default: break;
  }

  // The rest take one KUID.
  KUID k = body.ReadKUID();
  if (body.GetError()) return false;
  Entry found;
  const Entry* e = index->Find(k, found) ? &found : nullptr;
  switch (id) {
    case UMBRequest::GetAssetConfig: {
      // Read when asked: the index keeps what the other requests need, not whole configs.
      SoupRef config;
      if (e && !LoadSoupFile(config, e->folder, e->configName, {}, kMaxConfigFileBytes)) config.Clear();
      reply.WriteBool(!config.IsNull());
      if (!config.IsNull()) return WriteSoupBinary(reply, config);
      return true;
    }
    case UMBRequest::GetAssetInfo: {
      int32_t mask = static_cast<int32_t>(body.ReadU32());
      if (body.GetError()) return false;
      reply.WriteBool(e != nullptr);
      if (e) InfoFor(*e, mask).Write(reply);
      return true;
    }
    case UMBRequest::GetAssetFolder: reply.WriteString(e ? e->folder : std::string()); return true;
    case UMBRequest::ResolveKUID: WriteKUID(reply, index->Resolve(k)); return true;
    case UMBRequest::GetUpdatedKUID: WriteKUID(reply, index->Newest(k)); return true;
    case UMBRequest::GetAssetDescription: reply.WriteString(e ? e->description : std::string()); return true;
    case UMBRequest::GetAssetDependencies: {
      const std::vector<KUID> none;
      const std::vector<KUID>& deps = e ? e->dependencies : none;
      reply.WriteU32(static_cast<uint32_t>(deps.size()));
      for (const KUID& d : deps) WriteKUID(reply, d);
      return true;
    }
    default: UmbLog("FolderAssetDatabase::Execute> unknown request " + std::to_string(id)); return false;
  }
}

bool FolderAssetDatabase::Impl::Accept(uint32_t id, TBuffer& body) {
  switch (id) {
    case UMBRequest::SetAssetFavorite: return SetFavourite(body);
    case UMBRequest::SetLocalData: return SetLocalData(body);
    case UMBRequest::UrlClose: {
      uint32_t rid = body.ReadU32();
      return !body.GetError() && urls.erase(rid) != 0;
    }
    case UMBRequest::OnlineLoginFailed: UmbLog("FolderAssetDatabase::Post> online login failed"); return true;
    default: UmbLog("FolderAssetDatabase::Post> unknown post " + std::to_string(id)); return false;
  }
}

bool FolderAssetDatabase::Impl::Query(TBuffer& body, TBuffer& reply) {
  auto element = UMBFilterElement::Read(body);
  if (!element || element->GetType() != UMBFilterElement::kTypeGroup) return false;
  std::vector<KUID> found;
  // No filter element reads the rating: the favourites are not looked at.
  index->ForEachForQuery([&](const UMBAssetInfo& info, std::string_view keywords) {
    ++rowsWalked;
    if (element->Matches(UMBFilterSubject{info, keywords})) found.push_back(info.kuid);
  });
  std::sort(found.begin(), found.end(), [](const KUID& a, const KUID& b) {
    if (a.user != b.user) return a.user < b.user;
    if (a.content != b.content) return a.content < b.content;
    return a.version < b.version;
  });
  reply.WriteU32(static_cast<uint32_t>(found.size()));
  for (const KUID& k : found) WriteKUID(reply, k);
  return true;
}

bool FolderAssetDatabase::Impl::SetFavourite(TBuffer& body) {
  KUID k = body.ReadKUID();
  bool flag = body.ReadBool();
  Entry found;
  if (body.GetError() || !index->Find(k, found)) return false;
  KUID target = found.info.kuid;
  SoupRef fav = LoadRecord("favorites");
  Kiv::PString name(FormatKUIDTag(target));
  if (flag)
    fav.SetNamedTagInt(name, 1);
  else
    fav.RemoveNamedTag(name);
  return SaveRecord("favorites", fav);
}

namespace {

std::string LocalDataFile(const std::string& settings, const KUID& owner) {
  return settings + "/localdata/" + KuidFileStem(owner) + ".chump";
}

// Reads the local-data body head: owner and a non-empty name.
bool ReadLocalDataHead(TBuffer& body, KUID& owner, Kiv::PString& name) {
  owner = body.ReadKUID();
  name = body.ReadPString();
  return !body.GetError() && !owner.IsNull() && !name.IsNull() && !name.IsEmpty();
}

}  // namespace

bool FolderAssetDatabase::Impl::GetLocalData(TBuffer& body, TBuffer& reply) {
  KUID owner;
  Kiv::PString name;
  if (!ReadLocalDataHead(body, owner, name)) return false;
  std::string path = LocalDataFile(SettingsFolder(), owner);
  SoupRef store, data;
  if (Kiv::File::Exists(path) && !LoadSoupFile(store, {}, path)) {
    UmbLog("FolderAssetDatabase::GetLocalData> unreadable '" + path + "'");
    return false;
  }
  data = store.GetNamedSoup(name);
  data.EnsureContainer();
  return WriteSoupBinary(reply, data);
}

bool FolderAssetDatabase::Impl::SetLocalData(TBuffer& body) {
  KUID owner;
  Kiv::PString name;
  SoupRef data;
  if (!ReadLocalDataHead(body, owner, name) || !ReadSoupBinary(body, data)) return false;
  std::string folder = SettingsFolder() + "/localdata";
  std::string path = LocalDataFile(SettingsFolder(), owner);
  SoupRef store;
  // A store we cannot read is left alone rather than replaced by this one entry.
  if (Kiv::File::Exists(path) && !LoadSoupFile(store, {}, path)) {
    UmbLog("FolderAssetDatabase::SetLocalData> unreadable '" + path + "', not replaced");
    return false;
  }
  store.EnsureContainer();
  if (!store.SetNamedSoup(name, data)) return false;
  if (!Kiv::File::CreateDirectories(folder) || !SaveSoupFile(store, {}, path)) {
    UmbLog("FolderAssetDatabase::SetLocalData> unable to write '" + path + "'");
    return false;
  }
  return true;
}

SoupRef FolderAssetDatabase::Impl::LoadRecord(std::string_view name) {
  SoupRef record;
  std::string file = std::string(name) + ".txt";
  if (IsRecordName(name) && Kiv::File::Exists(SettingsFolder() + "/" + file) &&
      !LoadSoupFile(record, SettingsFolder(), file))
    UmbLog("FolderAssetDatabase::GetSettingsRecord> unreadable record '" + std::string(name) + "'");
  record.EnsureContainer();
  return record;
}

bool FolderAssetDatabase::Impl::SaveRecord(std::string_view name, const SoupRef& record) {
  if (!IsRecordName(name) || record.IsNull()) return false;
  if (!Kiv::File::CreateDirectories(SettingsFolder()) ||
      !SaveSoupFile(record, SettingsFolder(), std::string(name) + ".txt")) {
    UmbLog("FolderAssetDatabase::SetSettingsRecord> unable to write record '" + std::string(name) + "'");
    return false;
  }
  return true;
}

SoupRef FolderAssetDatabase::GetSettingsRecord(std::string_view name) {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  return m_impl->LoadRecord(name);
}

bool FolderAssetDatabase::SetSettingsRecord(std::string_view name, const SoupRef& record) {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  return m_impl->SaveRecord(name, record);
}
