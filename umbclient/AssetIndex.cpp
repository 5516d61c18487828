#include "umbclient/AssetIndex.h"

#include <optional>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "foundation/Log.h"
#include "foundation/Soup.h"
#include "kiv/Bytes.h"
#include "kiv/Clock.h"
#include "kiv/File.h"
#include "kiv/Thread.h"
#include "umbclient/Internal.h"
#include "umbclient/Sqlite.h"

namespace {

// Tag names read from asset configs, interned once.
struct Names {
  Kiv::PString kuid{"kuid"}, username{"username"}, author{"author"}, categoryClass{"category-class"},
      categoryRegion{"category-region"}, categoryEra{"category-era"}, kind{"kind"}, build{"rovana-build"},
      parent{"parent"}, description{"description"}, keywords{"keywords"}, obsoleteTable{"obsolete-table"};
  // Every config of a walk repeats them, on several threads: not counted.
  Names() {
    for (const Kiv::PString* name : {&kuid, &username, &author, &categoryClass, &categoryRegion, &categoryEra,
                                     &kind, &build, &parent, &description, &keywords, &obsoleteTable})
      name->Pin();
  }
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

// Marks a file as this program's index and says which layout it has; a file with other
// marks is not ours (or is older) and is rebuilt.
constexpr int64_t kApplicationId = 0x52564149;  // "RVAI"
constexpr int64_t kLayoutVersion = 4;
constexpr int kMaxDepth = 8;            // folders of asset folders nest at most this deep
constexpr int kBuildWaitSeconds = 120;  // how long to wait for another process's build

// The content folders, in the order that decides which copy of a KUID wins.
const char* const kKeys[] = {"editing", "local", "base"};

const char* const kSchema = R"(
CREATE TABLE folders(
  path TEXT PRIMARY KEY, parent TEXT NOT NULL, root INTEGER NOT NULL, sortkey TEXT NOT NULL,
  fmtime INTEGER NOT NULL, fctime INTEGER NOT NULL,
  config TEXT NOT NULL, csize INTEGER NOT NULL, cmtime INTEGER NOT NULL, cctime INTEGER NOT NULL,
  scripts INTEGER NOT NULL, ok INTEGER NOT NULL, note TEXT NOT NULL,
  user INTEGER NOT NULL, content INTEGER NOT NULL, version INTEGER NOT NULL,
  name TEXT NOT NULL, author TEXT NOT NULL, category TEXT NOT NULL, region TEXT NOT NULL,
  era TEXT NOT NULL, kind TEXT NOT NULL, build REAL NOT NULL, buildKnown INTEGER NOT NULL,
  puser INTEGER NOT NULL, pcontent INTEGER NOT NULL, pversion INTEGER NOT NULL,
  description TEXT NOT NULL, keywords TEXT NOT NULL, modified INTEGER NOT NULL,
  base INTEGER NOT NULL, flags INTEGER NOT NULL, winner INTEGER NOT NULL,
  deps BLOB NOT NULL, obsoletes BLOB NOT NULL) WITHOUT ROWID;
-- Covers the walk: an unchanged tree is checked against this index alone.
CREATE INDEX folders_parent ON folders(parent, path, config, fmtime, fctime, csize, cmtime, cctime, scripts);
CREATE INDEX folders_skipped ON folders(root, sortkey) WHERE ok = 0;
CREATE INDEX folders_lost ON folders(root, sortkey) WHERE ok = 1 AND winner = 0;
-- With "winner" among its columns it covers the count and the lookups by KUID.
CREATE INDEX folders_winner ON folders(user, content, version, winner) WHERE winner = 1;
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
)";

// The columns an Asset is read from, in this order.
const char* const kAssetColumns =
    "path, config, root, user, content, version, name, author, category, region, era, kind, build, "
    "buildKnown, puser, pcontent, pversion, description, keywords, modified, flags, deps, obsoletes";

std::string PackKUIDs(const std::vector<KUID>& list) {
  std::string out(list.size() * 12, '\0');
  auto* p = reinterpret_cast<uint8_t*>(out.data());
  for (const KUID& k : list) {
    Kiv::StoreLE32(p, static_cast<uint32_t>(k.user));
    Kiv::StoreLE32(p + 4, static_cast<uint32_t>(k.content));
    Kiv::StoreLE32(p + 8, static_cast<uint32_t>(k.version));
    p += 12;
  }
  return out;
}

std::vector<KUID> UnpackKUIDs(std::string_view bytes) {
  std::vector<KUID> out;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t i = 0; i + 12 <= bytes.size(); i += 12)
    out.emplace_back(static_cast<int32_t>(Kiv::LoadLE32(p + i)),
                     static_cast<int32_t>(Kiv::LoadLE32(p + i + 4)),
                     static_cast<int32_t>(Kiv::LoadLE32(p + i + 8)));
  return out;
}

AssetIndex::Asset ReadAsset(const Sql::Statement& s) {
  AssetIndex::Asset a;
  a.folder = s.Text(0);
  a.configName = s.Text(1);
  const int64_t root = s.Int(2);
  a.key = kKeys[root >= 0 && root < 3 ? root : 1];
  UMBAssetInfo& info = a.info;
  info.kuid =
      KUID(static_cast<int32_t>(s.Int(3)), static_cast<int32_t>(s.Int(4)), static_cast<int32_t>(s.Int(5)));
  info.localisedName = s.Text(6);
  info.creatorName = s.Text(7);
  info.category = s.Text(8);
  info.categoryRegion = s.Text(9);
  info.categoryEra = s.Text(10);
  info.kind = s.Text(11);
  info.buildVersion = static_cast<float>(s.Real(12));
  info.buildVersionKnown = s.Int(13) != 0;
  info.parent =
      KUID(static_cast<int32_t>(s.Int(14)), static_cast<int32_t>(s.Int(15)), static_cast<int32_t>(s.Int(16)));
  a.description = s.Text(17);
  a.keywords = s.Text(18);
  info.modifiedTime = s.Int(19);
  info.stateFlags = static_cast<uint32_t>(s.Int(20)) & ((1u << kStateCount) - 1);
  a.dependencies = UnpackKUIDs(s.Blob(21));
  a.obsoletes = UnpackKUIDs(s.Blob(22));
  return a;
}

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

// What one listing of a folder tells about it. Listing once per folder keeps the scan
// clear of failing lookups, which cost a search of every parent folder.
struct FolderFacts {
  std::string chump, text;  // on-disk names of "config.chump" / "config.txt", empty when absent
  bool chumpPlain = false, textPlain = false;  // listed as a regular file, not a link
  bool scriptSource = false;
  std::vector<std::string> subfolders;
  const std::string& Config() const { return chump.empty() ? text : chump; }
  bool ConfigIsPlainFile() const { return chump.empty() ? textPlain : chumpPlain; }
};

FolderFacts ListFolder(const Kiv::File::FolderStatus& folder) {
  FolderFacts f;
  // One read of the folder, without a stat per entry: only links are asked where they lead.
  std::vector<Kiv::File::ListedEntry> entries;
  if (!folder.List(entries)) return f;
  Kiv::File::SortListing(entries);
  for (const Kiv::File::ListedEntry& entry : entries) {
    const std::string& name = entry.name;
    Kiv::File::Status linked;
    const bool isFolder =
        entry.kind == Kiv::File::EntryKind::kFolder ||
        (entry.kind == Kiv::File::EntryKind::kLink && folder.Get(name, linked) && linked.isDirectory);
    if (isFolder) {
      f.subfolders.push_back(name);
      continue;
    }
    Kiv::File::Path p(name);
    std::string lower = Kiv::ToLowerAscii(name);
    // Find gives names in sorted order: an exact spelling sorts before other cases only
    // by chance, so prefer it explicitly.
    const bool plain = entry.kind == Kiv::File::EntryKind::kFile;
    if (lower == "config.chump" && (f.chump.empty() || name == "config.chump")) {
      f.chump = name;
      f.chumpPlain = plain;
    }
    if (lower == "config.txt" && (f.text.empty() || name == "config.txt")) {
      f.text = name;
      f.textPlain = plain;
    }
    if (p.IsExt("gs") || p.IsExt("gse")) f.scriptSource = true;
  }
  return f;
}

// A folder row as the walk needs it.
struct Known {
  std::string path;
  bool asset = false;
  int64_t fmtime = 0, fctime = 0;
  std::string config;
  int64_t csize = 0, cmtime = 0, cctime = 0;
  bool scripts = false;
};

bool SameFolderTimes(const Kiv::File::Status& folder, const Known& k) {
  return folder.isDirectory && folder.modifiedNs == k.fmtime && folder.changedNs == k.fctime;
}

bool SameConfig(const Kiv::File::Status& config, const Known& k) {
  return config.size == k.csize && config.modifiedNs == k.cmtime && config.changedNs == k.cctime;
}

// True when an indexed asset folder and its config still carry their indexed times.
// configEntry: name + "/" + the config's name.
bool Unchanged(const Kiv::File::FolderStatus& here, std::string_view name, std::string_view configEntry,
               const Known& k) {
  Kiv::File::Status folder, config;
  return here.Get(name, folder) && SameFolderTimes(folder, k) && here.Get(configEntry, config) &&
         SameConfig(config, k);
}

// How many children of a folder are looked at (or indexed assets checked) at a time.
constexpr size_t kCheckBatch = 2048;
// Below this many per thread a thread costs more than it saves: for two stats per asset
// (an unchanged start-up), and for reading an asset folder and its config.
constexpr size_t kStatsPerThread = 512;
constexpr size_t kReadsPerThread = 64;

// Runs work(here, i) for every i below count on a few helper threads, here being the
// folder as the thread sees it; the thread that made it joins in at Finish. Each helper
// opens the folder for itself: threads stating through one shared descriptor all count
// references on it, which costs more than the stats they share.
class BatchHelpers {
public:
  using Work = std::function<void(const Kiv::File::FolderStatus&, size_t)>;
  BatchHelpers(const Kiv::File::FolderStatus& folder, std::string_view path, size_t count, size_t perThread,
               Work work)
      : m_folder(folder), m_count(count), m_work(std::move(work)) {
    const size_t threads = std::min<size_t>({Kiv::UsableCores(), 4, count / perThread});
    for (size_t t = 1; t < threads; ++t) {
      try {
        m_helpers.emplace_back([this, path] {
          const Kiv::File::FolderStatus own(path);
          Run(own.IsOpen() ? own : m_folder);
        });
      } catch (const std::system_error&) {
        break;  // no more threads to be had: the ones running share the rest
      }
    }
  }
  BatchHelpers(const BatchHelpers&) = delete;
  BatchHelpers& operator=(const BatchHelpers&) = delete;
  ~BatchHelpers() { Finish(); }
  // Works along until every item is done.
  void Finish() {
    Run(m_folder);
    for (std::thread& h : m_helpers) h.join();
    m_helpers.clear();
  }

private:
  void Run(const Kiv::File::FolderStatus& here) {
    constexpr size_t kStep = 64;
    for (size_t from; (from = m_next.fetch_add(kStep)) < m_count;)
      for (size_t i = from; i < std::min(m_count, from + kStep); ++i) m_work(here, i);
  }
  const Kiv::File::FolderStatus& m_folder;
  const size_t m_count;
  const Work m_work;
  std::atomic<size_t> m_next{0};
  std::vector<std::thread> m_helpers;
};

// The state flags that follow from one asset alone.
uint32_t OwnStates(int root, const UMBAssetInfo& info, bool scripts) {
  uint32_t f = 0;
  auto set = [&f](UMBAssetState s) { f |= 1u << s; };
  const bool builtIn = root == 2;
  if (!builtIn) set(kStateLocal);
  set(kStateLocallyAvailable);
  set(kStateLocallyEnabled);
  set(kStateListingPrivilege);
  set(kStateCompatible);
  if (root == 0) {
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
  return f;
}

}  // namespace

struct AssetIndex::Impl {
  std::string userData, installRoot, file;
  Sql::Database db;
  // Prepared once per connection: a refresh runs the same few statements for every folder.
  std::map<const char*, std::unique_ptr<Sql::Statement>> statements;
  bool persistent = false;

  // The prepared statement of sql (a string that lives as long as the program), reset.
  Sql::Statement& Stmt(const char* sql) {
    std::unique_ptr<Sql::Statement>& s = statements[sql];
    if (!s) s = std::make_unique<Sql::Statement>(db, sql);
    s->Reset();
    return *s;
  }
  void Close() {
    statements.clear();
    db.Close();
  }
  bool changed = false;  // the walk found something to write
  size_t configsRead = 0;
  // Times from this on (ns) are too recent to vouch for a file: a write in the same clock
  // tick as the reading would leave them unchanged. Such entries are stored without their
  // times, so the next refresh looks again.
  int64_t recentFrom = 0;
  Kiv::File::Status Vouched(Kiv::File::Status st) const {
    if (st.modifiedNs >= recentFrom || st.changedNs >= recentFrom) st.modifiedNs = st.changedNs = 0;
    return st;
  }

  bool OpenFile();
  bool OpenMemory();
  // Removes the named files (each may be missing); false, logged with the reason, when
  // one stays: a journal left beside a new index would be played back into it, and a
  // damaged index that stays would be opened again.
  static bool RemoveFiles(std::initializer_list<std::string> paths) {
    bool removed = true;
    for (const std::string& path : paths) {
      if (Kiv::File::Unlink(path)) continue;
      const std::string why = Kiv::File::LastError();
      if (!Kiv::File::Exists(path)) continue;
      UmbLog("AssetIndex> cannot remove '" + path + "': " + why);
      removed = false;
    }
    return removed;
  }
  bool RemoveIndexFiles() const {
    return RemoveFiles({file, file + "-journal", file + "-wal", file + "-shm"});
  }
  // A new index is built in memory, as a rescan is, and written aside in its own file,
  // which takes the index's name once complete and on the disk: a build cut short leaves
  // no file that could pass for an index. The file is written on a thread of its own
  // while the command goes on with the index in memory; IsPersistent, the next refresh
  // and the end wait for it. One process builds at a time, under a lock file; the others
  // wait for its index.
  bool building = false;
  int buildLock = -1;
  int asideFile = -1;         // the file being built, from the start of the build
  bool keptInMemory = false;  // the connection is a build whose file was written aside
  std::thread writer;
  std::atomic<bool> writeFailed{false};
  std::string BuildFile() const { return file + "-new"; }
  bool OpenBuild();
  bool FinishBuild();
  void AbandonBuild();
  void ReleaseBuildLock();
  // Waits for the file of a build; persistent then says whether it was put in place.
  void JoinWriter() {
    if (!writer.joinable()) return;
    writer.join();
    if (writeFailed) persistent = false;
  }
  ~Impl() {
    JoinWriter();
    if (asideFile >= 0) ::close(asideFile);
    ReleaseBuildLock();
  }
  // The walk and, for a new index, putting it in place.
  bool WalkAndKeep() { return Walk() && (!building || FinishBuild()); }
  bool Prepare();  // checks the marks of an opened file, lays out a new one
  // A write-ahead log: a first scan writes tens of megabytes in one transaction, which a
  // rollback journal would sync page by page.
  bool UseJournal() { return db.Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL"); }
  bool Walk();  // the refresh proper, inside a transaction
  void LogFindings();

  std::string RootPath(int root) const {
    if (root < 2) return userData.empty() ? std::string() : userData + "/" + kKeys[root];
    return installRoot.empty() ? std::string() : installRoot + "/base";
  }

  // ---- the walk ----
  void VisitContainer(int root, const std::string& path, const Known* stored, const FolderFacts* listed,
                      int depth);
  // The children of one folder, each with its indexed row (null when not indexed).
  using Child = std::pair<const std::string*, const Known*>;
  void VisitChildren(int root, const std::string& parent, const Kiv::File::FolderStatus& here,
                     const std::vector<Child>& children, int depth);
  void StoreContainer(int root, const std::string& path, const std::string& parent,
                      const Kiv::File::Status& folder);
  void Forget(const std::string& path);  // the folder and everything below it
  // The indexed children of a folder by name. With `leaveOutUnchanged`, assets whose
  // folder and config still carry their indexed times are left out (nothing is to be done
  // for them), so an unchanged folder of many assets holds no memory for them.
  std::map<std::string, Known> Children(const std::string& path,
                                        const Kiv::File::FolderStatus* leaveOutUnchanged);
  std::string SortKey(int root, const std::string& path) const;
  // A new or changed asset, read and waiting to be written.
  struct Row {
    std::string path, parent, sortkey, file, note, description, keywords;
    std::string failure;  // what the parser said of a malformed config, logged in order
    int root = 0;
    Kiv::File::Status folder, config;
    bool scripts = false;
    UMBAssetInfo info;
    uint32_t base = 0;
    std::vector<KUID> deps, obsoletes;
  };
  // What Settle needs of an asset: one written in this walk, or one stored before it.
  struct Item {
    KUID kuid;
    int root = 0;
    std::string sortkey, path;
    uint32_t base = 0, flags = 0;
    bool winner = false;  // and flags: as the row now holds them
    std::vector<KUID> deps, obsoletes;
  };
  // Each new or changed asset is written as it is read, so a first scan writes rows while
  // the next batch is read; its winner and states are first guesses (the first copy of a
  // KUID seen wins, up to date), which Settle corrects where they are wrong.
  std::vector<Item> written;
  std::set<KUID, KuidLess> seen;  // the KUIDs written in this walk
  bool hadAssets = false;         // the index held assets when the walk began
  void Write(Row& r);
  // What looking at one child folder found. Worked out on helper threads (file system and
  // parsing only); the walk then acts on it in the listing's order.
  struct Probe {
    enum Kind : uint8_t { kGone, kUnchanged, kAsset, kContainer } kind = kGone;
    bool listed = false;   // kContainer: facts holds its listing (else it is as indexed)
    Kiv::File::Status st;  // the child folder's own
    FolderFacts facts;
    Row row;  // kAsset
  };
  void ProbeChild(const Kiv::File::FolderStatus& here, int root, const std::string& parent,
                  const std::string& name, const Known* known, Probe& out) const;
  // Reads the config of an asset folder into a row.
  void ReadConfig(const Kiv::File::FolderStatus& folder, int root, const std::string& parent,
                  const std::string& name, const Kiv::File::Status& st, const FolderFacts& facts,
                  Row& r) const;
  void Insert(const Row& r, bool winner, uint32_t flags);
  void Settle();
};

AssetIndex::AssetIndex(std::string userData, std::string installRoot, std::string file)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->userData = std::move(userData);
  m_impl->installRoot = std::move(installRoot);
  m_impl->file = std::move(file);
}

AssetIndex::~AssetIndex() = default;

std::string AssetIndex::DefaultFile(const std::string& userData) {
  return userData.empty() ? std::string() : userData + "/cache/assetindex.db";
}

bool AssetIndex::IsPersistent() const {
  m_impl->JoinWriter();
  return m_impl->persistent;
}
size_t AssetIndex::ConfigsRead() const { return m_impl->configsRead; }
bool AssetIndex::IsDamaged() const { return m_impl->db.IsDamaged(); }

bool AssetIndex::Impl::OpenMemory() {
  persistent = false;
  return db.Open(":memory:") && Prepare();
}

bool AssetIndex::Impl::OpenFile() {
  persistent = false;
  if (file.empty()) return false;
  Kiv::File::Path folder(file);
  folder.RemoveFileName();
  if (!Kiv::File::CreateDirectories(folder.View())) {
    UmbLog("AssetIndex> cannot create '" + folder.Str() + "', keeping the index in memory");
    return false;
  }
  Kiv::File::Status existing;
  if (!Kiv::File::GetStatus(file, existing)) return OpenBuild();
  if (!db.Open(file)) {
    UmbLog("AssetIndex> cannot open '" + file + "': " + db.FailureText() + ", keeping the index in memory");
    return false;
  }
  // A failure here is recorded, and Prepare then refuses the file for it.
  if (db.Exec("PRAGMA busy_timeout = 10000") && Prepare() && UseJournal()) {
    persistent = true;
    return true;
  }
  const bool damaged = db.IsDamaged() || db.FailureCode() == 0;
  const std::string why = db.FailureCode() ? db.FailureText() : std::string("not an index of these folders");
  Close();
  if (!damaged) {
    UmbLog("AssetIndex> cannot use '" + file + "': " + why + ", keeping the index in memory");
    return false;
  }
  // Damaged, foreign or of another layout: never trusted, rebuilt from the folders.
  UmbLog("AssetIndex> '" + file + "' is unusable (" + why + "), rebuilding it from the folders");
  // A file that cannot be removed would be met again here, over and over.
  if (!RemoveIndexFiles()) {
    UmbLog("AssetIndex> keeping the index in memory");
    return false;
  }
  return OpenBuild();
}

bool AssetIndex::Impl::OpenBuild() {
  const std::string lockFile = file + "-lock";
  buildLock = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (buildLock < 0) {
    UmbLog("AssetIndex> cannot open '" + lockFile + "', keeping the index in memory");
    return false;
  }
  // Another process building the index: wait for it (a build of a large tree takes
  // seconds), then use what it built.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(kBuildWaitSeconds);
  while (::flock(buildLock, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      ReleaseBuildLock();
      UmbLog("AssetIndex> cannot lock '" + lockFile + "', keeping the index in memory");
      return false;
    }
    if (std::chrono::steady_clock::now() > giveUp) {
      ReleaseBuildLock();
      UmbLog("AssetIndex> another process is still building '" + file + "', keeping the index in memory");
      return false;
    }
    Kiv::Sleep(20);
  }
  Kiv::File::Status built;
  if (Kiv::File::GetStatus(file, built)) {  // the other process's index
    ReleaseBuildLock();
    return OpenFile();
  }
  // Left by a build or an index that ended without finishing; a journal beside a new
  // file would be played back into it.
  const std::string aside = BuildFile();
  if (!RemoveFiles({aside, aside + "-journal", file + "-journal", file + "-wal", file + "-shm"})) {
    ReleaseBuildLock();
    UmbLog("AssetIndex> keeping the index in memory");
    return false;
  }
  // The file is made now, so the name is taken for the whole build. No journal: a failed
  // build is thrown away whole.
  asideFile = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  // In one block of memory, which the writer takes as it stands.
  if (asideFile >= 0 && db.Open("rovana-index-build", "memdb") && db.Exec("PRAGMA journal_mode = OFF") &&
      Prepare()) {
    building = true;
    persistent = true;
    return true;
  }
  UmbLog("AssetIndex> cannot build '" + aside +
         "': " + (asideFile < 0 ? std::string("cannot create the file") : db.FailureText()) +
         ", keeping the index in memory");
  AbandonBuild();
  return false;
}

bool AssetIndex::Impl::FinishBuild() {
  building = false;
  keptInMemory = true;
  writeFailed = false;
  // The database's own block: the connection only reads it until the writer is done.
  Sql::Database::Image image = db.Serialize(true);
  const int fd = asideFile;
  const int lock = buildLock;
  asideFile = buildLock = -1;
  // On the disk before it takes the index's name, so that name never stands for a file
  // whose pages are still to be written. The lock is held until then.
  auto write = [this, image, fd, lock, aside = BuildFile(), target = file]() mutable {
    Kiv::ScratchFile out;  // writes the whole image, or says why not
    out.Place(fd, 0, aside);
    bool done = image.bytes && out.WriteAt(0, image.bytes, static_cast<size_t>(image.size));
    std::string why = done ? std::string() : image.bytes ? Kiv::File::LastError() : "no image of the index";
    if (done && ::fsync(fd) != 0) {
      why = "cannot sync '" + aside + "': " + std::strerror(errno);
      done = false;
    }
    ::close(fd);
    Sql::Database::Free(image);
    if (done && !Kiv::File::Rename(aside, target)) {
      why = Kiv::File::LastError();
      done = false;
    }
    if (!done) {
      UmbLog("AssetIndex> cannot put '" + aside + "' in place (" + why + "), keeping the index in memory");
      (void)Kiv::File::Unlink(aside);  // one left behind is removed by the next build
      writeFailed = true;
    }
    ::close(lock);
  };
  try {
    writer = std::thread(write);
  } catch (const std::system_error&) {
    write();  // no thread to be had: written before the command goes on
  }
  return true;
}

void AssetIndex::Impl::AbandonBuild() {
  Close();
  building = false;
  persistent = false;
  if (asideFile >= 0) ::close(asideFile);
  asideFile = -1;
  (void)Kiv::File::Unlink(BuildFile());  // one left behind is removed by the next build
  ReleaseBuildLock();
}

void AssetIndex::Impl::ReleaseBuildLock() {
  if (buildLock >= 0) ::close(buildLock);
  buildLock = -1;
}

// False with no failure recorded: the file is someone else's (or another layout's).
bool AssetIndex::Impl::Prepare() {
  const int64_t app = db.QueryInt("PRAGMA application_id", -1);
  const int64_t layout = db.QueryInt("PRAGMA user_version", -1);
  if (db.FailureCode()) return false;
  const int64_t tables = db.QueryInt("SELECT count(*) FROM sqlite_master", -1);
  if (db.FailureCode()) return false;
  if (app == 0 && layout == 0 && tables == 0) {  // a new file: lay it out
    std::string setup = std::string("PRAGMA page_size = 16384; BEGIN;") + kSchema +
                        "PRAGMA application_id = " + std::to_string(kApplicationId) +
                        "; PRAGMA user_version = " + std::to_string(kLayoutVersion) + "; COMMIT;";
    if (!db.Exec(setup.c_str())) return false;
    Sql::Statement& put = Stmt("INSERT INTO meta(key, value) VALUES (?1, ?2)");
    put.Bind(1, std::string_view("userdata")).Bind(2, std::string_view(userData));
    if (!put.Run()) return false;
    put.Bind(1, std::string_view("install")).Bind(2, std::string_view(installRoot));
    return put.Run();
  }
  if (app != kApplicationId || layout != kLayoutVersion) return false;
  Sql::Statement& meta = Stmt("SELECT value FROM meta WHERE key = ?1");
  auto same = [&meta](std::string_view key, const std::string& value) {
    meta.Bind(1, key);
    const bool equal = meta.Step() && meta.Text(0) == value;
    meta.Reset();
    return equal;
  };
  return same("userdata", userData) && same("install", installRoot) && db.FailureCode() == 0;
}

void AssetIndex::Refresh() {
  Impl& m = *m_impl;
  if (m.keptInMemory) {
    // A build of an earlier refresh: once its file is in place, the file serves.
    m.JoinWriter();
    m.keptInMemory = false;
    if (m.persistent) m.Close();
  }
  if (m.db.IsOpen() && m.db.IsDamaged()) {
    UmbLog("AssetIndex> '" + m.file + "' is damaged (" + m.db.FailureText() +
           "), rebuilding it from the folders");
    m.Close();
    // One that stays is refused by OpenFile below, and the index kept in memory.
    (void)m.RemoveIndexFiles();
  }
  if (!m.db.IsOpen() && !m.OpenFile() && !m.OpenMemory()) {
    UmbLog("AssetIndex> cannot keep an index: " + m.db.FailureText());
    return;
  }
  if (m.WalkAndKeep()) {
    m.LogFindings();
    if (m.configsRead)
      UmbLog("AssetIndex> read " + std::to_string(m.configsRead) + " configs, " + std::to_string(Count()) +
             " assets indexed " + (m.persistent ? "in '" + m.file + "'" : std::string("in memory")));
    return;
  }
  if (m.building || !m.db.IsOpen()) {
    // A build that failed, or one that could not be put in place (said so already).
    if (m.building) {
      UmbLog("AssetIndex> building '" + m.file + "' failed (" + m.db.FailureText() +
             "), keeping the index in memory");
      m.AbandonBuild();
    }
    if (!m.OpenMemory() || !m.Walk()) {
      UmbLog("AssetIndex> refresh failed: " + m.db.FailureText());
      return;
    }
    m.LogFindings();
    return;
  }
  if (!m.persistent) {
    UmbLog("AssetIndex> refresh failed: " + m.db.FailureText());
    return;
  }
  // The file failed under the refresh: rebuilt once, else kept in memory.
  const bool damaged = m.db.IsDamaged();
  UmbLog("AssetIndex> '" + m.file + "' failed (" + m.db.FailureText() + ")" +
         (damaged ? ", rebuilding it from the folders" : ", keeping the index in memory"));
  m.Close();
  // One that stays is refused by OpenFile below, and the index kept in memory.
  if (damaged) (void)m.RemoveIndexFiles();
  if (!(damaged && m.OpenFile() && m.WalkAndKeep())) {
    if (m.building) m.AbandonBuild();
    m.Close();
    if (!m.OpenMemory() || !m.Walk()) {
      UmbLog("AssetIndex> refresh failed: " + m.db.FailureText());
      return;
    }
  }
  m.LogFindings();
}

bool AssetIndex::Impl::Walk() {
  db.ClearFailure();
  changed = false;
  configsRead = 0;
  recentFrom = (Kiv::Clock::UnixTime() - 1) * 1000000000;
  written.clear();
  seen.clear();
  if (!db.Exec("BEGIN IMMEDIATE")) return false;
  hadAssets = db.QueryInt("SELECT EXISTS(SELECT 1 FROM folders WHERE ok = 1)", 1) != 0;
  Sql::Statement& roots = Stmt("SELECT path FROM folders WHERE parent = ''");
  std::set<std::string> stale;
  while (roots.Step()) stale.insert(roots.Text(0));
  for (int root = 0; root < 3; ++root) {
    const std::string path = RootPath(root);
    if (path.empty()) continue;
    stale.erase(path);
    std::map<std::string, Known> top;
    {
      Sql::Statement& s = Stmt("SELECT fmtime, fctime FROM folders WHERE path = ?1");
      s.Bind(1, std::string_view(path));
      if (s.Step()) {
        Known& k = top[path];
        k.path = path;
        k.fmtime = s.Int(0);
        k.fctime = s.Int(1);
      }
      s.Reset();
    }
    auto it = top.find(path);
    VisitContainer(root, path, it == top.end() ? nullptr : &it->second, nullptr, 0);
  }
  for (const std::string& path : stale) Forget(path);
  if (changed) Settle();
  // The writes of the walk are not tested one by one: the connection keeps the first
  // failure, and nothing of a walk that had one is committed. Should the rollback fail as
  // well, the next walk cannot begin and the refresh stops using the file.
  if (db.FailureCode()) {
    (void)db.Exec("ROLLBACK");
    return false;
  }
  if (!db.Exec("COMMIT")) {
    (void)db.Exec("ROLLBACK");
    return false;
  }
  return true;
}

std::string AssetIndex::Impl::SortKey(int root, const std::string& path) const {
  // Folders are visited in name order, depth first: the separator sorts before every
  // character of a name.
  std::string key = path.substr(std::min(path.size(), RootPath(root).size()));
  for (char& c : key)
    if (c == '/') c = '\x01';
  return key;
}

std::map<std::string, Known> AssetIndex::Impl::Children(const std::string& path,
                                                        const Kiv::File::FolderStatus* leaveOutUnchanged) {
  std::map<std::string, Known> out;
  Sql::Statement& s = Stmt(
      "SELECT path, config, fmtime, fctime, csize, cmtime, cctime, scripts FROM folders "
      "WHERE parent = ?1");
  s.Bind(1, std::string_view(path));
  // Indexed assets wait here to be checked against their folder, a batch at a time, so an
  // unchanged folder of many assets holds no memory for them. Their "name/config" entries
  // sit end to end in one buffer. Helpers check one batch while the next is read.
  struct Waiting {
    size_t entry = 0, nameLength = 0, entryLength = 0;
    Known known;
    bool changed = false;
  };
  struct Batch {
    std::vector<Waiting> waiting;
    std::string entries;
    std::unique_ptr<BatchHelpers> checking;
  };
  Batch batches[2];
  int filling = 0;
  auto keep = [&out, &path](std::string_view name, std::string_view config, Known&& k) {
    k.path.assign(path).append("/").append(name);
    k.config = config;
    out.emplace(std::string(name), std::move(k));
  };
  auto startChecking = [&](Batch& b) {
    b.checking = std::make_unique<BatchHelpers>(
        *leaveOutUnchanged, path, b.waiting.size(), kStatsPerThread,
        [&b](const Kiv::File::FolderStatus& here, size_t i) {
          Waiting& w = b.waiting[i];
          const std::string_view entry(b.entries.data() + w.entry, w.entryLength);
          w.changed = !Unchanged(here, entry.substr(0, w.nameLength), entry, w.known);
        });
  };
  auto takeChecked = [&](Batch& b) {
    if (!b.checking) return;
    b.checking->Finish();
    b.checking.reset();
    for (Waiting& w : b.waiting) {
      if (!w.changed) continue;
      const std::string_view entry(b.entries.data() + w.entry, w.entryLength);
      keep(entry.substr(0, w.nameLength), entry.substr(w.nameLength + 1), std::move(w.known));
    }
    b.waiting.clear();
    b.entries.clear();
  };
  while (s.Step()) {
    const std::string_view full = s.View(0);
    // Rows name their folder below the parent; anything else is not followed.
    if (full.size() <= path.size() + 1 || full.compare(0, path.size(), path) != 0 || full[path.size()] != '/')
      continue;
    const std::string_view name = full.substr(path.size() + 1);
    if (name.find('/') != std::string_view::npos || name == "." || name == "..") continue;
    const std::string_view config = s.View(1);
    const bool asset = !config.empty();
    if (asset && Kiv::CompareNoCase(config, "config.txt") != 0 &&
        Kiv::CompareNoCase(config, "config.chump") != 0)
      continue;
    Known k;
    k.asset = asset;
    k.fmtime = s.Int(2);
    k.fctime = s.Int(3);
    k.csize = s.Int(4);
    k.cmtime = s.Int(5);
    k.cctime = s.Int(6);
    k.scripts = s.Int(7) != 0;
    if (!leaveOutUnchanged || !asset) {
      keep(name, config, std::move(k));
      continue;
    }
    Batch& b = batches[filling];
    Waiting& w = b.waiting.emplace_back();
    w.entry = b.entries.size();
    w.nameLength = name.size();
    b.entries.append(name).append("/").append(config);
    w.entryLength = b.entries.size() - w.entry;
    w.known = std::move(k);
    if (b.waiting.size() == kCheckBatch) {
      startChecking(b);
      filling ^= 1;
      takeChecked(batches[filling]);  // the batch before, so this one can be filled again
    }
  }
  if (!batches[filling].waiting.empty()) startChecking(batches[filling]);
  takeChecked(batches[filling ^ 1]);
  takeChecked(batches[filling]);
  return out;
}

void AssetIndex::Impl::VisitContainer(int root, const std::string& path, const Known* stored,
                                      const FolderFacts* listed, int depth) {
  Kiv::File::Status st;
  if (!Kiv::File::GetStatus(path, st) || !st.isDirectory) {
    if (stored) Forget(path);
    return;
  }
  const Kiv::File::FolderStatus here(path);
  const bool same =
      stored && !stored->asset && stored->fmtime == st.modifiedNs && stored->fctime == st.changedNs;
  std::map<std::string, Known> known = Children(path, same ? &here : nullptr);
  std::vector<Child> children;
  if (same) {
    // No entry was added, removed or renamed here: the children are the ones indexed.
    children.reserve(known.size());
    for (const auto& [name, k] : known) children.emplace_back(&name, &k);
    VisitChildren(root, path, here, children, depth);
    return;
  }
  FolderFacts facts = listed ? *listed : ListFolder(here);
  std::set<std::string> present(facts.subfolders.begin(), facts.subfolders.end());
  for (const auto& [name, k] : known)
    if (!present.count(name)) Forget(k.path);
  StoreContainer(root, path, depth == 0 ? std::string() : Kiv::File::Path(path).RemoveFileName().Str(), st);
  children.reserve(facts.subfolders.size());
  for (const std::string& name : facts.subfolders) {
    auto it = known.find(name);
    children.emplace_back(&name, it == known.end() ? nullptr : &it->second);
  }
  VisitChildren(root, path, here, children, depth);
}

void AssetIndex::Impl::VisitChildren(int root, const std::string& parent, const Kiv::File::FolderStatus& here,
                                     const std::vector<Child>& children, int depth) {
  // Helpers read a batch while this thread writes what the one before it found.
  std::vector<Probe> taking, probing;
  auto probe = [&](size_t from) {
    probing.assign(std::min(kCheckBatch, children.size() - from), Probe());
    return std::make_unique<BatchHelpers>(here, parent, probing.size(), kReadsPerThread,
                                          [this, &children, &parent, root, from, into = probing.data()](
                                              const Kiv::File::FolderStatus& folder, size_t i) {
                                            ProbeChild(folder, root, parent, *children[from + i].first,
                                                       children[from + i].second, into[i]);
                                          });
  };
  if (children.empty()) return;
  probe(0)->Finish();
  for (size_t from = 0; from < children.size(); from += kCheckBatch) {
    taking.swap(probing);
    std::unique_ptr<BatchHelpers> ahead =
        from + kCheckBatch < children.size() ? probe(from + kCheckBatch) : nullptr;
    for (size_t i = 0; i < taking.size(); ++i) {
      const std::string& name = *children[from + i].first;
      const Known* known = children[from + i].second;
      Probe& p = taking[i];
      switch (p.kind) {
        case Probe::kGone:
          if (known) Forget(parent + "/" + name);
          break;
        case Probe::kUnchanged: break;
        case Probe::kAsset:
          if (known && !known->asset) Forget(p.row.path);
          changed = true;
          ++configsRead;
          if (!p.row.failure.empty()) LogLine("%s", p.row.failure.c_str());
          Write(p.row);
          break;
        case Probe::kContainer: {
          const std::string path = parent + "/" + name;
          if (!p.listed) {  // indexed, and nothing was added or removed in it
            if (depth + 1 <= kMaxDepth) VisitContainer(root, path, known, nullptr, depth + 1);
            break;
          }
          if (known && known->asset) Forget(path);
          if (depth + 1 <= kMaxDepth)
            VisitContainer(root, path, nullptr, &p.facts, depth + 1);
          else
            StoreContainer(root, path, parent, p.st);
          break;
        }
      }
      p = Probe();  // its memory goes as the batch is taken
    }
    if (ahead) ahead->Finish();
  }
}

void AssetIndex::Impl::Write(Row& r) {
  if (!r.note.empty()) {
    Insert(r, false, 0);
    return;
  }
  Item& it = written.emplace_back();
  it.kuid = r.info.kuid;
  it.root = r.root;
  it.base = r.base;
  it.winner = seen.insert(r.info.kuid).second;
  it.flags = r.base | 1u << kStateUpToDate;
  Insert(r, it.winner, it.flags);
  it.path = std::move(r.path);
  it.sortkey = std::move(r.sortkey);
  it.deps = std::move(r.deps);
  it.obsoletes = std::move(r.obsoletes);
}

void AssetIndex::Impl::StoreContainer(int root, const std::string& path, const std::string& parent,
                                      const Kiv::File::Status& seen) {
  changed = true;
  const Kiv::File::Status folder = Vouched(seen);
  Sql::Statement& s = Stmt(
      "INSERT OR REPLACE INTO folders VALUES (?1, ?2, ?3, ?4, ?5, ?6, '', 0, 0, 0, 0, 0, '', "
      "-1, -1, 127, '', '', '', '', '', '', 0, 0, -1, -1, 127, '', '', 0, 0, 0, 0, x'', x'')");
  s.Bind(1, std::string_view(path))
      .Bind(2, std::string_view(parent))
      .Bind(3, int64_t{root})
      .Bind(4, std::string_view(SortKey(root, path)))
      .Bind(5, folder.modifiedNs)
      .Bind(6, folder.changedNs);
  (void)s.Run();  // a failure is kept by the connection and undoes the walk
}

void AssetIndex::Impl::ProbeChild(const Kiv::File::FolderStatus& here, int root, const std::string& parent,
                                  const std::string& name, const Known* known, Probe& out) const {
  if (known) {
    // Indexed: the folder's times tell whether it is to be listed again.
    if (!here.Get(name, out.st) || !out.st.isDirectory) return;
    if (SameFolderTimes(out.st, *known)) {
      if (!known->asset) {
        out.kind = Probe::kContainer;
        return;
      }
      Kiv::File::Status config;
      if (here.Get(name + "/" + known->config, config) && SameConfig(config, *known)) {
        out.kind = Probe::kUnchanged;
        return;
      }
      FolderFacts facts;
      (Kiv::ToLowerAscii(known->config) == "config.chump" ? facts.chump : facts.text) = known->config;
      facts.scriptSource = known->scripts;
      out.kind = Probe::kAsset;
      ReadConfig(Kiv::File::FolderStatus(here, name), root, parent, name, out.st, facts, out.row);
      return;
    }
  }
  // Opened by its name alone, then listed and read through that opening.
  const Kiv::File::FolderStatus folder(here, name);
  if (!folder.IsOpen()) {
    // A folder that does not open is kept as one without children.
    if (!here.Get(name, out.st) || !out.st.isDirectory) return;
    out.kind = Probe::kContainer;
    out.listed = true;
    return;
  }
  if (!known && !folder.GetSelf(out.st)) return;
  out.listed = true;
  out.facts = ListFolder(folder);
  if (out.facts.Config().empty()) {
    out.kind = Probe::kContainer;
    return;
  }
  out.kind = Probe::kAsset;
  ReadConfig(folder, root, parent, name, out.st, out.facts, out.row);
  out.facts = FolderFacts();
}

void AssetIndex::Impl::ReadConfig(const Kiv::File::FolderStatus& folder, int root, const std::string& parent,
                                  const std::string& name, const Kiv::File::Status& st,
                                  const FolderFacts& facts, Row& r) const {
  r.path.reserve(parent.size() + 1 + name.size());
  r.path.assign(parent).append("/").append(name);
  r.parent = parent;
  r.root = root;
  r.sortkey = SortKey(root, r.path);
  r.folder = st;
  r.file = facts.Config();
  r.scripts = facts.scriptSource;
  const std::string configPath = r.path + "/" + r.file;
  // One buffer per thread for the configs' bytes; a large one is not kept.
  thread_local std::string bytes;
  SoupRef config;
  // A config the folder's listing showed as a regular file is reached through no link.
  if (!facts.ConfigIsPlainFile() && Kiv::PassesThroughLink(r.path, configPath) &&
      !Kiv::IsInsideFolderResolved(r.path, configPath)) {
    // The entry is looked at again by the next refresh.
    (void)folder.Get(r.file, r.config);  // links followed: the times of what would be read
    r.note =
        "skipped '" + r.path + "': " + r.file + " leads outside the asset folder through a symbolic link";
  } else if (!folder.ReadFile(r.file, bytes, kMaxConfigFileBytes, r.config)) {
    r.note = r.config.size > static_cast<int64_t>(kMaxConfigFileBytes)
                 ? "skipped '" + r.path + "': " + r.file + " is larger than " +
                       std::to_string(kMaxConfigFileBytes >> 20) + " MiB"
                 : "skipped '" + r.path + "': malformed " + r.file;
  } else if (!ParseSoupFileBytes(bytes, configPath, config, r.failure)) {
    r.note = "skipped '" + r.path + "': malformed " + r.file;
  }
  if (bytes.capacity() > (size_t{1} << 20)) std::string().swap(bytes);
  const KUID kuid = r.note.empty() ? config.GetNamedTagAsKUID(N().kuid) : KUID::Null();
  if (r.note.empty() && kuid.IsNull()) r.note = "skipped '" + r.path + "': no valid \"kuid\" tag";
  if (!r.note.empty()) return;
  UMBAssetInfo& info = r.info;
  info.kuid = kuid;
  info.localisedName = config.GetNamedTagString(N().username);
  info.creatorName = config.GetNamedTagString(N().author);
  info.category = config.GetNamedTagString(N().categoryClass);
  info.categoryRegion = config.GetNamedTagString(N().categoryRegion);
  info.categoryEra = config.GetNamedTagString(N().categoryEra);
  info.kind = config.GetNamedTagString(N().kind);
  if (config.HasNamedTag(N().build)) {
    info.buildVersion = config.GetNamedTagAsFloat(N().build);
    info.buildVersionKnown = true;
  }
  info.parent = config.GetNamedTagAsKUID(N().parent);
  info.modifiedTime = r.config.modifiedNs / 1000000000;
  r.description = config.GetNamedTagString(N().description);
  r.keywords = config.GetNamedTagString(N().keywords);
  std::set<KUID, KuidLess> seen;
  CollectKUIDs(config, true, r.deps, seen, 0);
  SoupRef table = config.GetNamedSoup(N().obsoleteTable);
  for (size_t i = 0; i < table.CountTags(); ++i) {
    KUID old;
    if (table.Get()->GetTag(i).ToKUID(old)) r.obsoletes.push_back(old);
  }
  r.base = OwnStates(root, info, facts.scriptSource);
}

void AssetIndex::Impl::Insert(const Row& r, bool winner, uint32_t flags) {
  Sql::Statement& s = Stmt(
      "INSERT OR REPLACE INTO folders VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
      "?15, ?16, "
      "?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, ?28, ?29, ?30, ?31, ?32, ?33, ?34, ?35)");
  const std::string depBytes = PackKUIDs(r.deps), obsoleteBytes = PackKUIDs(r.obsoletes);
  const UMBAssetInfo& info = r.info;
  const Kiv::File::Status folder = Vouched(r.folder), config = Vouched(r.config);
  s.BindUncopied(1, r.path)
      .BindUncopied(2, r.parent)
      .Bind(3, int64_t{r.root})
      .BindUncopied(4, r.sortkey)
      .Bind(5, folder.modifiedNs)
      .Bind(6, folder.changedNs)
      .BindUncopied(7, r.file)
      .Bind(8, config.size)
      .Bind(9, config.modifiedNs)
      .Bind(10, config.changedNs)
      .Bind(11, int64_t{r.scripts})
      .Bind(12, int64_t{r.note.empty()})
      .BindUncopied(13, r.note)
      .Bind(14, int64_t{info.kuid.user})
      .Bind(15, int64_t{info.kuid.content})
      .Bind(16, int64_t{info.kuid.version})
      .BindUncopied(17, info.localisedName)
      .BindUncopied(18, info.creatorName)
      .BindUncopied(19, info.category)
      .BindUncopied(20, info.categoryRegion)
      .BindUncopied(21, info.categoryEra)
      .BindUncopied(22, info.kind)
      .Bind(23, static_cast<double>(info.buildVersion))
      .Bind(24, int64_t{info.buildVersionKnown})
      .Bind(25, int64_t{info.parent.user})
      .Bind(26, int64_t{info.parent.content})
      .Bind(27, int64_t{info.parent.version})
      .BindUncopied(28, r.description)
      .BindUncopied(29, r.keywords)
      .Bind(30, info.modifiedTime)
      .Bind(31, int64_t{r.base})
      .Bind(32, int64_t{flags})
      .Bind(33, int64_t{winner})
      .BindBlobUncopied(34, depBytes.data(), depBytes.size())
      .BindBlobUncopied(35, obsoleteBytes.data(), obsoleteBytes.size());
  // Every parameter is bound again before the next run; a failure is kept by the
  // connection and undoes the walk.
  (void)s.Run();
}

void AssetIndex::Impl::Forget(const std::string& path) {
  changed = true;
  // The folder and every path below it ("/" + 1 is "0").
  Sql::Statement& s = Stmt("DELETE FROM folders WHERE path = ?1 OR (path > ?1 || '/' AND path < ?1 || '0')");
  s.Bind(1, std::string_view(path));
  (void)s.Run();  // a failure is kept by the connection and undoes the walk
}

void AssetIndex::Impl::Settle() {
  // The states of one asset depend on the others' (newer versions, obsolete tables,
  // dependencies), and which copy of a KUID wins on every copy: worked out over all
  // indexed assets at once, then only what differs is written.
  std::vector<Item> items = std::move(written);
  written.clear();
  seen.clear();
  if (hadAssets) {
    // The stored rows, but for the ones this walk wrote.
    std::unordered_set<std::string_view> rewritten;
    for (const Item& it : items) rewritten.insert(it.path);
    std::vector<Item> stored;
    Sql::Statement& s = Stmt(
        "SELECT path, root, sortkey, user, content, version, base, flags, winner, deps, obsoletes FROM "
        "folders "
        "WHERE ok = 1");
    while (s.Step()) {
      if (rewritten.count(s.View(0))) continue;
      Item& it = stored.emplace_back();
      it.path = s.Text(0);
      it.root = static_cast<int>(s.Int(1));
      it.sortkey = s.Text(2);
      it.kuid = KUID(static_cast<int32_t>(s.Int(3)), static_cast<int32_t>(s.Int(4)),
                     static_cast<int32_t>(s.Int(5)));
      it.base = static_cast<uint32_t>(s.Int(6));
      it.flags = static_cast<uint32_t>(s.Int(7));
      it.winner = s.Int(8) != 0;
      it.deps = UnpackKUIDs(s.Blob(9));
      it.obsoletes = UnpackKUIDs(s.Blob(10));
    }
    s.Reset();
    rewritten.clear();
    std::move(stored.begin(), stored.end(), std::back_inserter(items));
  }
  // The winner of each KUID: the copy that sorts first.
  std::map<KUID, size_t, KuidLess> winners;
  for (size_t i = 0; i < items.size(); ++i) {
    auto [at, added] = winners.emplace(items[i].kuid, i);
    const Item& best = items[at->second];
    if (!added &&
        (items[i].root < best.root || (items[i].root == best.root && items[i].sortkey < best.sortkey)))
      at->second = i;
  }
  std::set<KUID, KuidLess> obsoleted;
  for (const auto& [k, i] : winners)
    for (const KUID& old : items[i].obsoletes)
      if (!(old == k)) obsoleted.insert(old);  // named in another's "obsolete-table"
  auto resolve = [&winners](const KUID& k) {
    auto exact = winners.find(k);
    if (exact != winners.end()) return exact;
    auto best = winners.end();
    for (auto it = winners.lower_bound(k);
         it != winners.end() && it->first.user == k.user && it->first.content == k.content; ++it)
      best = it;
    return best;
  };
  std::vector<uint32_t> flags(items.size(), 0);
  std::vector<bool> wins(items.size(), false);
  for (auto at = winners.begin(); at != winners.end(); ++at) {
    const Item& it = items[at->second];
    uint32_t f = it.base;
    auto next = std::next(at);
    const bool newer = next != winners.end() && next->first.user == at->first.user &&
                       next->first.content == at->first.content;
    f |= 1u << (newer || obsoleted.count(at->first) ? kStateObsolete : kStateUpToDate);
    for (const KUID& d : it.deps) {
      auto dep = resolve(d);
      if (dep == winners.end())
        f |= 1u << kStateMissingDependencies;
      else if ((items[dep->second].base >> kStateFaulty) & 1u)
        f |= 1u << kStateFaultyDependencies;
    }
    flags[at->second] = f;
    wins[at->second] = true;
  }
  Sql::Statement& put = Stmt("UPDATE folders SET winner = ?2, flags = ?3 WHERE path = ?1");
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& it = items[i];
    if (it.winner == wins[i] && it.flags == flags[i]) continue;
    put.Bind(1, std::string_view(it.path)).Bind(2, int64_t{wins[i]}).Bind(3, int64_t{flags[i]});
    (void)put.Run();  // a failure is kept by the connection and undoes the walk
  }
}

void AssetIndex::Impl::LogFindings() {
  Sql::Statement& skipped =
      Stmt("SELECT note FROM folders WHERE ok = 0 AND note <> '' ORDER BY root, sortkey");
  while (skipped.Step()) UmbLog("FolderAssetDatabase::Rescan> " + skipped.Text(0));
  // Every copy that lost to another of its KUID; the editing copy of an installed asset
  // is expected.
  Sql::Statement& dups = Stmt(
      "SELECT d.path, d.root, w.path, w.root, d.user, d.content, d.version FROM folders d "
      "JOIN folders w ON w.winner = 1 AND w.user = d.user AND w.content = d.content AND "
      "w.version = d.version WHERE d.ok = 1 AND d.winner = 0 ORDER BY d.root, d.sortkey");
  while (dups.Step()) {
    if (dups.Int(3) == 0 && dups.Int(1) != 0) continue;
    KUID k(static_cast<int32_t>(dups.Int(4)), static_cast<int32_t>(dups.Int(5)),
           static_cast<int32_t>(dups.Int(6)));
    UmbLog("FolderAssetDatabase::Rescan> duplicate " + FormatKUIDTag(k) + " in '" + dups.Text(0) +
           "', keeping '" + dups.Text(2) + "'");
  }
}

// ---- lookups ----

size_t AssetIndex::Count() {
  return static_cast<size_t>(m_impl->db.QueryInt("SELECT count(*) FROM folders WHERE winner = 1", 0));
}

KUID AssetIndex::Resolve(const KUID& k) {
  if (k.IsNull()) return KUID::Null();
  Sql::Statement& s = m_impl->Stmt(
      "SELECT version FROM folders WHERE winner = 1 AND user = ?1 AND content = ?2 AND version >= ?3 "
      "ORDER BY version = ?3 DESC, version DESC LIMIT 1");
  s.Bind(1, int64_t{k.user}).Bind(2, int64_t{k.content}).Bind(3, int64_t{k.version});
  const KUID out = s.Step() ? KUID(k.user, k.content, static_cast<int32_t>(s.Int(0))) : KUID::Null();
  s.Reset();  // a statement left on a row would hold its read snapshot open
  return out;
}

KUID AssetIndex::Newest(const KUID& k) {
  if (k.IsNull()) return KUID::Null();
  Sql::Statement& s = m_impl->Stmt(
      "SELECT version FROM folders WHERE winner = 1 AND user = ?1 AND content = ?2 "
      "ORDER BY version DESC LIMIT 1");
  s.Bind(1, int64_t{k.user}).Bind(2, int64_t{k.content});
  const KUID out = s.Step() ? KUID(k.user, k.content, static_cast<int32_t>(s.Int(0))) : KUID::Null();
  s.Reset();
  return out;
}

bool AssetIndex::Find(const KUID& k, Asset& out) {
  const KUID r = Resolve(k);
  if (r.IsNull()) return false;
  // Statements are cached by the address of their text: the text must stay.
  static const std::string sql = std::string("SELECT ") + kAssetColumns +
                                 " FROM folders WHERE winner = 1 AND user = ?1 AND content = ?2 AND "
                                 "version = ?3";
  Sql::Statement& s = m_impl->Stmt(sql.c_str());
  s.Bind(1, int64_t{r.user}).Bind(2, int64_t{r.content}).Bind(3, int64_t{r.version});
  const bool found = s.Step();
  if (found) out = ReadAsset(s);
  s.Reset();
  return found;
}

bool AssetIndex::FindSharedKUID(const std::string& folder, SharedKUID& out) {
  const std::optional<std::string> real = Kiv::File::RealPath(folder);
  if (!real) return false;
  // The index keeps each folder under its content folder's path as the index was given
  // it: the folder is looked up under the content folder that really holds it.
  std::string indexed;
  bool inEditing = false;
  for (int root = 0; root < 3 && indexed.empty(); ++root) {
    const std::string top = m_impl->RootPath(root);
    const std::optional<std::string> realTop = top.empty() ? std::nullopt : Kiv::File::RealPath(top);
    if (realTop && real->size() > realTop->size() + 1 && real->compare(0, realTop->size(), *realTop) == 0 &&
        (*real)[realTop->size()] == '/') {
      indexed = top + real->substr(realTop->size());
      inEditing = root == 0;
    }
  }
  if (indexed.empty()) return false;
  Sql::Statement& self =
      m_impl->Stmt("SELECT user, content, version FROM folders WHERE path = ?1 AND ok = 1");
  self.Bind(1, std::string_view(indexed));
  if (!self.Step()) {
    self.Reset();
    return false;
  }
  const KUID kuid(static_cast<int32_t>(self.Int(0)), static_cast<int32_t>(self.Int(1)),
                  static_cast<int32_t>(self.Int(2)));
  self.Reset();
  // The winner through its index, the copies that lost through theirs.
  Sql::Statement& same = m_impl->Stmt(
      "SELECT path, root, winner, sortkey FROM folders WHERE winner = 1 AND user = ?1 AND content = ?2 AND "
      "version = ?3 UNION ALL SELECT path, root, winner, sortkey FROM folders WHERE ok = 1 AND winner = 0 "
      "AND "
      "user = ?1 AND content = ?2 AND version = ?3 ORDER BY root, sortkey");
  same.Bind(1, int64_t{kuid.user}).Bind(2, int64_t{kuid.content}).Bind(3, int64_t{kuid.version});
  out = SharedKUID();
  out.kuid = kuid;
  out.folder = indexed;
  while (same.Step()) {
    const std::string path = same.Text(0);
    if (same.Int(2)) out.winner = path;
    if (path == indexed || (same.Int(1) == 0) != inEditing) continue;
    out.others.push_back(path);
  }
  same.Reset();
  return !out.others.empty();
}

void AssetIndex::ForEach(const std::function<void(const Asset&)>& visit) {
  static const std::string sql = std::string("SELECT ") + kAssetColumns +
                                 " FROM folders WHERE winner = 1 ORDER BY user, content, version";
  Sql::Statement& s = m_impl->Stmt(sql.c_str());
  while (s.Step()) visit(ReadAsset(s));
}

void AssetIndex::ForEachForQuery(const QueryVisit& visit) {
  // The rows in the table's own order: walking the KUID index would look up each row in
  // the table besides.
  Sql::Statement& s = m_impl->Stmt(
      "SELECT user, content, version, name, category, region, era, kind, flags, keywords "
      "FROM folders WHERE +winner = 1");
  // One record for every row: its texts keep their room from row to row.
  UMBAssetInfo info;
  info.filled = kInfoName | kInfoCategory | kInfoFlags;
  while (s.Step()) {
    info.kuid =
        KUID(static_cast<int32_t>(s.Int(0)), static_cast<int32_t>(s.Int(1)), static_cast<int32_t>(s.Int(2)));
    info.localisedName.assign(s.View(3));
    info.category.assign(s.View(4));
    info.categoryRegion.assign(s.View(5));
    info.categoryEra.assign(s.View(6));
    info.kind.assign(s.View(7));
    info.stateFlags = static_cast<uint32_t>(s.Int(8)) & ((1u << kStateCount) - 1);
    visit(info, s.View(9));
  }
  s.Reset();
}
