#include "umbclient/OpenDatabase.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "kiv/File.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/Internal.h"

namespace {

// Counts the times what KUIDs resolve to may have changed (open, close,
// rescan); each resolution cache keeps the count it was filled under.
std::atomic<uint64_t>& ResolutionGeneration() {
  static std::atomic<uint64_t> generation{1};
  return generation;
}

}  // namespace

void RaiseResolutionCacheFlush() { ResolutionGeneration().fetch_add(1); }

// ---- the open database ----

namespace {

struct Global {
  std::mutex openClose;    // one open or close at a time, hooks included
  std::shared_mutex lock;  // shared by requests, exclusive for open and close
  // Taken briefly before either side of `lock`: a waiting open or close holds it, so a
  // steady stream of requests from other threads cannot keep it waiting.
  std::mutex gate;
  std::unique_ptr<AssetDatabase> db;
  std::mutex hookLock;
  std::function<void()> onOpen, onClose;
};

Global& G() {
  static Global g;
  return g;
}

// Requests hold this while they use the open database.
class ReadLock {
public:
  ReadLock() {
    std::lock_guard<std::mutex> gate(G().gate);
    m_lock = std::shared_lock<std::shared_mutex>(G().lock);
  }

private:
  std::shared_lock<std::shared_mutex> m_lock;
};

// Open and close hold this while they replace the database.
class WriteLock {
public:
  WriteLock() : m_gate(G().gate), m_lock(G().lock) {}

private:
  std::lock_guard<std::mutex> m_gate;
  std::unique_lock<std::shared_mutex> m_lock;
};

}  // namespace

void UMBSetDatabaseHooks(std::function<void()> onOpen, std::function<void()> onClose) {
  std::lock_guard<std::mutex> g(G().hookLock);
  G().onOpen = std::move(onOpen);
  G().onClose = std::move(onClose);
}

bool UMBOpenDatabase(const UMBStandIns& standIns) {
  std::string userData = GetUserDataFolder();
  if (userData.empty() || !Kiv::File::IsDirectory(userData)) {
    UmbLog("UMBOpenDatabase> no user-data folder '" + userData + "'");
    return false;
  }
  auto db = std::make_unique<FolderAssetDatabase>(userData, GetInstallationRoot(), standIns);
  db->Rescan();
  return UMBOpenDatabase(std::move(db));
}

namespace {

// Must hold G().openClose.
void CloseLocked() {
  if (!UMBIsDatabaseOpen()) return;
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> g(G().hookLock);
    hook = G().onClose;
  }
  if (hook) hook();
  WriteLock g;
  G().db.reset();
  RaiseResolutionCacheFlush();
}

}  // namespace

bool UMBOpenDatabase(std::unique_ptr<AssetDatabase> db) {
  if (!db) return false;
  std::lock_guard<std::mutex> sequence(G().openClose);
  CloseLocked();
  {
    WriteLock g;
    G().db = std::move(db);
    RaiseResolutionCacheFlush();
  }
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> g(G().hookLock);
    hook = G().onOpen;
  }
  if (hook) hook();
  return true;
}

void UMBCloseDatabase() {
  std::lock_guard<std::mutex> sequence(G().openClose);
  CloseLocked();
}

bool UMBIsDatabaseOpen() {
  ReadLock g;
  return G().db != nullptr;
}

bool UMBWithDatabase(const std::function<void(AssetDatabase&)>& use) {
  ReadLock g;
  if (!G().db) return false;
  use(*G().db);
  return true;
}

bool UMBTakeResolutionCacheFlush(uint64_t& seen) {
  const uint64_t now = ResolutionGeneration().load();
  if (now == seen) return false;
  seen = now;
  return true;
}

bool UMBExecuteTransaction(uint32_t commandId, TBuffer& body, TBuffer& reply) {
  ReadLock g;
  if (!G().db) {
    UmbLog("UMBExecuteTransaction> no asset database open");
    return false;
  }
  // An in-memory buffer always goes back to its start.
  (void)body.Rewind();
  return G().db->Execute(commandId, body, reply);
}

bool UMBPostMessage(uint32_t commandId, TBuffer& body) {
  ReadLock g;
  if (!G().db) {
    UmbLog("UMBPostMessage> no asset database open");
    return false;
  }
  // An in-memory buffer always goes back to its start.
  (void)body.Rewind();
  return G().db->Post(commandId, body);
}

SoupRef UMBGetSettingsRecord(std::string_view name) {
  ReadLock g;
  if (!G().db) return SoupRef::NewContainer();
  return G().db->GetSettingsRecord(name);
}

bool UMBSetSettingsRecord(std::string_view name, const SoupRef& record) {
  ReadLock g;
  return G().db && G().db->SetSettingsRecord(name, record);
}
