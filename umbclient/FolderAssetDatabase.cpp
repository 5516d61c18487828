#include "umbclient/FolderAssetDatabase.h"

#include <map>
#include <mutex>
#include <set>

#include "kiv/File.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/Filter.h"
#include "umbclient/Internal.h"

namespace {

// Tag names read from asset configs, interned once.
struct Names {
  Kiv::PString kuid{"kuid"}, username{"username"}, author{"author"}, categoryClass{"category-class"},
      categoryRegion{"category-region"}, categoryEra{"category-era"}, kind{"kind"}, build{"rovana-build"},
      parent{"parent"}, description{"description"}, keywords{"keywords"}, obsoleteTable{"obsolete-table"};
};

const Names& N() {
  static const Names names;
  return names;
}

struct KuidLess {
  bool operator()(const KUID& a, const KUID& b) const {
    if (a.user != b.user) return a.user < b.user;
    if (a.content != b.content) return a.content < b.content;
    return a.version < b.version;
  }
};

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

std::string TextOf(const SoupRef& soup, const Kiv::PString& name) { return soup.GetNamedTag(name).Str(); }

// Every KUID value of a config below the root "kuid" tag, outside "obsolete-table", in
// order and without repeats.
void CollectKUIDs(const SoupRef& soup, bool root, std::vector<KUID>& out, std::set<KUID, KuidLess>& seen,
                  int depth) {
  if (depth > kMaxSoupDepth) return;
  ACSChunk* node = soup.Get();
  if (!node) return;
  for (size_t i = 0; i < node->CountChildren(); ++i) {
    const TDBDataTag& tag = node->GetTag(i);
    if (root && (tag.GetName() == N().kuid || tag.GetName() == N().obsoleteTable)) continue;
    if (tag.GetDataType() == kSoupContainer) {
      CollectKUIDs(soup.GetIndexedSoup(i), false, out, seen, depth + 1);
    } else if (tag.GetDataType() == kSoupKUID) {
      for (uint32_t off = 0; off + 8 <= tag.GetSize(); off += 8) {
        KUID k = KUID::UnpackSoup(tag.GetData() + off);
        if (!k.IsNull() && seen.insert(k).second) out.push_back(k);
      }
    }
  }
}

}  // namespace

namespace {

// What one listing of a folder tells about it. Listing once per folder keeps the scan
// clear of failing lookups, which cost a search of every parent folder.
struct FolderFacts {
  std::string chump, text;  // on-disk names of "config.chump" / "config.txt", empty when absent
  bool scriptSource = false;
  std::vector<std::string> subfolders;
};

FolderFacts ListFolder(const std::string& folder) {
  FolderFacts f;
  Kiv::File::Find find(folder + "/*");
  while (find.Next()) {
    const std::string& name = find.Name();
    if (find.IsDirectory()) {
      f.subfolders.push_back(name);
      continue;
    }
    Kiv::File::Path p(name);
    std::string lower = Kiv::ToLowerAscii(name);
    // Find gives names in sorted order: an exact spelling sorts before other cases only
    // by chance, so prefer it explicitly.
    if (lower == "config.chump" && (f.chump.empty() || name == "config.chump")) f.chump = name;
    if (lower == "config.txt" && (f.text.empty() || name == "config.txt")) f.text = name;
    if (p.IsExt("gs") || p.IsExt("gse")) f.scriptSource = true;
  }
  return f;
}

int64_t ModifiedTime(const std::string& path) { return Kiv::File::ModificationTime(path); }

}  // namespace

// ---- the folder-backed database ----

struct FolderAssetDatabase::Impl {
  struct Entry {
    std::string folder;
    std::string key;  // content folder it was found in
    SoupRef config;
    UMBAssetInfo info;  // every field but the rating
    std::string keywords;
    std::vector<KUID> dependencies;
  };

  std::string userData;
  std::string installRoot;
  UMBStandIns standIns;

  mutable std::recursive_mutex lock;
  std::map<KUID, Entry, KuidLess> assets;
  std::map<uint32_t, uint64_t> counts;
  std::map<uint32_t, std::string> handles;
  std::map<uint32_t, uint32_t> urls;  // request id -> status
  uint32_t nextHandle = 1;
  uint32_t nextUrl = 1;

  // ---- scanning ----
  void ScanRoot(const std::string& key, const std::string& folder, int depth);
  void AddAsset(const std::string& key, const std::string& folder, const std::string& file, bool scripts);
  void ComputeStates();

  // ---- lookups ----
  const Entry* Find(const KUID& k) const;  // exact, else resolved
  KUID Resolve(const KUID& k) const;
  KUID Newest(const KUID& k) const;
  // favourites: the KUID texts of the "favorites" record when the caller has them at
  // hand, else read here.
  UMBAssetInfo InfoFor(const Entry& e, int32_t mask, const std::set<std::string>* favourites = nullptr);
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
                                         UMBStandIns standIns)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->userData = std::move(userDataFolder);
  m_impl->installRoot = std::move(installationRoot);
  m_impl->standIns = std::move(standIns);
}

FolderAssetDatabase::~FolderAssetDatabase() = default;

void FolderAssetDatabase::Rescan() {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  m_impl->assets.clear();
  m_impl->handles.clear();
  // Order decides which copy of a KUID wins: the open-for-edit copy first.
  if (!m_impl->userData.empty()) {
    m_impl->ScanRoot("editing", m_impl->userData + "/editing", 0);
    m_impl->ScanRoot("local", m_impl->userData + "/local", 0);
  }
  if (!m_impl->installRoot.empty()) m_impl->ScanRoot("base", m_impl->installRoot + "/base", 0);
  m_impl->ComputeStates();
  RaiseResolutionCacheFlush();
}

size_t FolderAssetDatabase::AssetCount() const {
  std::lock_guard<std::recursive_mutex> g(m_impl->lock);
  return m_impl->assets.size();
}

void FolderAssetDatabase::Impl::ScanRoot(const std::string& key, const std::string& folder, int depth) {
  if (depth > 8) return;
  for (const std::string& name : ListFolder(folder).subfolders) {
    std::string sub = folder + "/" + name;
    FolderFacts facts = ListFolder(sub);
    if (!facts.chump.empty() || !facts.text.empty())
      AddAsset(key, sub, facts.chump.empty() ? facts.text : facts.chump, facts.scriptSource);
    else
      ScanRoot(key, sub, depth + 1);  // a folder of asset folders
  }
}

void FolderAssetDatabase::Impl::AddAsset(const std::string& key, const std::string& folder,
                                         const std::string& file, bool scripts) {
  SoupRef config;
  if (!LoadSoupFile(config, folder, file)) {
    UmbLog("FolderAssetDatabase::Rescan> skipped '" + folder + "': malformed " + file);
    return;
  }
  KUID kuid = config.GetNamedTagAsKUID(N().kuid);
  if (kuid.IsNull()) {
    UmbLog("FolderAssetDatabase::Rescan> skipped '" + folder + "': no valid \"kuid\" tag");
    return;
  }
  auto found = assets.find(kuid);
  if (found != assets.end()) {
    // The editing copy of an installed asset is expected; anything else is reported.
    if (!(found->second.key == "editing" && key != "editing"))
      UmbLog("FolderAssetDatabase::Rescan> duplicate " + FormatKUIDTag(kuid) + " in '" + folder +
             "', keeping '" + found->second.folder + "'");
    return;
  }
  Entry e;
  e.folder = folder;
  e.key = key;
  e.config = config;
  UMBAssetInfo& info = e.info;
  info.kuid = kuid;
  info.localisedName = TextOf(config, N().username);
  info.creatorName = TextOf(config, N().author);
  info.category = TextOf(config, N().categoryClass);
  info.categoryRegion = TextOf(config, N().categoryRegion);
  info.categoryEra = TextOf(config, N().categoryEra);
  info.kind = TextOf(config, N().kind);
  if (config.HasNamedTag(N().build)) {
    info.buildVersion = config.GetNamedTagAsFloat(N().build);
    info.buildVersionKnown = true;
  }
  info.parent = config.GetNamedTagAsKUID(N().parent);
  info.modifiedTime = ModifiedTime(folder + "/" + file);
  e.keywords = TextOf(config, N().keywords);
  std::set<KUID, KuidLess> seen;
  CollectKUIDs(config, true, e.dependencies, seen, 0);

  uint32_t f = 0;
  auto set = [&f](UMBAssetState s) { f |= 1u << s; };
  bool builtIn = key == "base";
  if (!builtIn) set(kStateLocal);
  set(kStateLocallyAvailable);
  set(kStateLocallyEnabled);
  set(kStateListingPrivilege);
  set(kStateCompatible);
  if (key == "editing") {
    set(kStateOpenForEdit);
    set(kStateLocallyModified);
    set(kStateCommitPrivilege);
  }
  if (builtIn) {
    set(kStateBuiltIn);
    set(kStateInBaseContentSet);
  }
  if (!info.localisedName.empty()) set(kStateValidName);
  if (info.kind.empty()) set(kStateFaulty);
  if (scripts) set(kStateHasScriptSource);
  info.stateFlags = f;
  assets.emplace(kuid, std::move(e));
}

void FolderAssetDatabase::Impl::ComputeStates() {
  // Obsolete: a newer version of the same asset is installed, or another asset names
  // it in its "obsolete-table".
  for (auto& [k, e] : assets) {
    bool obsolete = !(Newest(k) == k);
    if (obsolete) e.info.stateFlags |= 1u << kStateObsolete;
    SoupRef table = e.config.GetNamedSoup(N().obsoleteTable);
    for (size_t i = 0; i < table.CountTags(); ++i) {
      const TDBDataTag& tag = table.Get()->GetTag(i);
      KUID old;
      if (!tag.ToKUID(old)) continue;
      auto it = assets.find(old);
      if (it != assets.end() && !(it->first == k)) it->second.info.stateFlags |= 1u << kStateObsolete;
    }
  }
  for (auto& [k, e] : assets) {
    if (!e.info.HasState(kStateObsolete)) e.info.stateFlags |= 1u << kStateUpToDate;
    for (const KUID& d : e.dependencies) {
      const Entry* dep = Find(d);
      if (!dep)
        e.info.stateFlags |= 1u << kStateMissingDependencies;
      else if (dep->info.HasState(kStateFaulty))
        e.info.stateFlags |= 1u << kStateFaultyDependencies;
    }
  }
}

KUID FolderAssetDatabase::Impl::Resolve(const KUID& k) const {
  if (k.IsNull()) return KUID::Null();
  if (assets.count(k)) return k;
  // The newest installed version at least as new as the one asked for.
  KUID best = KUID::Null();
  for (auto it = assets.lower_bound(KUID(k.user, k.content, k.version));
       it != assets.end() && it->first.user == k.user && it->first.content == k.content; ++it)
    best = it->first;
  return best;
}

KUID FolderAssetDatabase::Impl::Newest(const KUID& k) const {
  if (k.IsNull()) return KUID::Null();
  KUID best = KUID::Null();
  for (auto it = assets.lower_bound(KUID(k.user, k.content, 0));
       it != assets.end() && it->first.user == k.user && it->first.content == k.content; ++it)
    best = it->first;
  return best;
}

const FolderAssetDatabase::Impl::Entry* FolderAssetDatabase::Impl::Find(const KUID& k) const {
  auto it = assets.find(Resolve(k));
  return it == assets.end() ? nullptr : &it->second;
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

UMBAssetInfo FolderAssetDatabase::Impl::InfoFor(const Entry& e, int32_t mask,
                                                const std::set<std::string>* favourites) {
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
  if (mask & kInfoRating) {
    std::set<std::string> loaded = favourites ? std::set<std::string>() : Favourites();
    r.rating = (favourites ? *favourites : loaded).count(FormatKUIDTag(all.kuid)) ? 5 : 0xFF;
  }
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
  TBuffer out;
  if (!m_impl->Answer(commandId, body, out)) return false;
  if (out.Size()) reply.WriteBytes(out.Data(), out.Size());
  reply.Rewind();
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
      reply.WriteString(TextOf(internet, N().username));
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
      const Entry* e = Find(k);
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
  const Entry* e = Find(k);
  switch (id) {
    case UMBRequest::GetAssetConfig:
      reply.WriteBool(e != nullptr);
      if (e) return WriteSoupBinary(reply, e->config);
      return true;
    case UMBRequest::GetAssetInfo: {
      int32_t mask = static_cast<int32_t>(body.ReadU32());
      if (body.GetError()) return false;
      reply.WriteBool(e != nullptr);
      if (e) InfoFor(*e, mask).Write(reply);
      return true;
    }
    case UMBRequest::GetAssetFolder: reply.WriteString(e ? e->folder : std::string()); return true;
    case UMBRequest::ResolveKUID: WriteKUID(reply, Resolve(k)); return true;
    case UMBRequest::GetUpdatedKUID: WriteKUID(reply, Newest(k)); return true;
    case UMBRequest::GetAssetDescription:
      reply.WriteString(e ? TextOf(e->config, N().description) : std::string());
      return true;
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
  std::set<std::string> favourites = Favourites();
  for (const auto& [k, e] : assets) {
    UMBAssetInfo info = InfoFor(e, kInfoAll, &favourites);
    if (element->Matches(UMBFilterSubject{info, e.keywords})) found.push_back(k);
  }
  reply.WriteU32(static_cast<uint32_t>(found.size()));
  for (const KUID& k : found) WriteKUID(reply, k);
  return true;
}

bool FolderAssetDatabase::Impl::SetFavourite(TBuffer& body) {
  KUID k = body.ReadKUID();
  bool flag = body.ReadBool();
  if (body.GetError() || !Find(k)) return false;
  KUID target = Resolve(k);
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
