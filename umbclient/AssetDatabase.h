// The asset database: numbered requests answered in-process by an AssetDatabase
// (by default the folder-backed one, which indexes the asset folders of the user-data
// tree by the "kuid" tag of each config), and the typed request functions built on them.
//
// Request and reply bodies are byte streams (TBuffer): KUIDs in their stream form
// (WriteKUID / ReadKUID), texts as WriteString / ReadString (WritePString for the
// local-data names), u32 words, and soups in their binary form. Every request is counted
// per command number, whether it succeeds or not.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "foundation/UrlParts.h"

// ---- request numbers ----
namespace UMBRequest {
enum : uint32_t {
  RunQuery = 2,               // filter group (binary) -> u32 count, KUIDs
  GetAssetConfig = 20,        // KUID -> u8 found, binary soup
  GetAssetInfo = 21,          // KUID, i32 mask -> u8 found, UMBAssetInfo
  GetAssetFolder = 23,        // KUID -> string (empty when unknown)
  ResolveKUID = 26,           // KUID -> KUID (null when none)
  GetUpdatedKUID = 27,        // KUID -> KUID (the newest installed version, null when unknown)
  GetAssetDescription = 28,   // KUID -> string
  AcquireAssetHandle = 30,    // KUID -> u32 handle (0 = none)
  ReleaseAssetHandle = 31,    // u32 handle -> u8 released
  GetHandleFolder = 32,       // u32 handle -> string (empty when unknown)
  GetAssetDependencies = 42,  // KUID -> u32 count, KUIDs
  SetAssetFavorite = 50,      // post: KUID, u8 flag
  GetLocalData = 121,         // owner KUID, pstring name -> binary soup (empty soup when none)
  SetLocalData = 122,         // post: owner KUID, pstring name, binary soup
  QueryTextureOption = 181,   // empty -> u8
  UrlStart = 230,             // URL record, u32 mode -> u32 request id
                              // (record: scheme, user, password, host strings, u32 port,
                              //  path, query, fragment strings)
  UrlClose = 231,             // post: u32 request id
  UrlPoll = 232,              // u32 request id -> u8 finished, u32 status
  GetOnlineAccount = 240,     // empty -> string, string, string, u16, string, u16
  OnlineLoginFailed = 241,    // post: empty
  GetOnlineSessionKey = 242,  // empty -> string
};
}

// ---- asset states (the flag indices of UMBFilterElementBool) ----
enum UMBAssetState : uint32_t {
  kStateLocal = 0,
  kStateOnVendaro = 1,
  kStateLocationUnknown = 2,
  kStateLocallyAvailable = 3,
  kStateUpToDate = 4,
  kStateObsolete = 5,
  kStateLocallyModified = 6,
  kStateValidName = 7,
  kStateOpenForEdit = 8,
  kStateInArchive = 9,
  kStateLocallyEnabled = 10,
  kStateMissingDependencies = 11,
  kStateFaultyDependencies = 12,
  kStateFaulty = 13,
  kStateRepaint = 14,
  kStateBuiltIn = 15,
  kStateListingPrivilege = 16,
  kStateCommitPrivilege = 17,
  kStateWarnings = 18,
  kStateHasScriptSource = 19,
  kStateCompatible = 20,
  kStateInBaseContentSet = 21,
  kStateCount = 22,
};

// ---- asset-info record (request 21) ----
// Field masks: which parts of the record a request fills (-1 = all).
enum : int32_t {
  kInfoName = 1,      // localisedName
  kInfoCreator = 2,   // creatorName
  kInfoCategory = 4,  // category, categoryRegion, categoryEra, kind
  kInfoFlags = 8,     // stateFlags
  kInfoRating = 16,   // rating
  kInfoBuild = 32,    // buildVersion, buildVersionKnown
  kInfoParent = 64,   // parent
  kInfoTimes = 128,   // modifiedTime
  kInfoAll = -1,
};

struct UMBAssetInfo {
  UMBAssetInfo();  // the null KUID, nothing filled
  ~UMBAssetInfo();

  KUID kuid;
  int32_t filled = 0;          // the mask the record was filled with
  std::string localisedName;   // config "username"
  std::string creatorName;     // config "author"
  std::string category;        // config "category-class"
  std::string categoryRegion;  // config "category-region"
  std::string categoryEra;     // config "category-era"
  std::string kind;            // config "kind"
  uint32_t stateFlags = 0;     // bit n = UMBAssetState n
  uint8_t rating = 0xFF;       // 0xFF: not rated; 4 or 5: favourite
  float buildVersion = 0.0f;   // config "rovana-build"
  bool buildVersionKnown = false;
  KUID parent;               // config "parent" (null when none)
  int64_t modifiedTime = 0;  // seconds since 1970 of the config file's last change

  bool HasState(UMBAssetState s) const { return (stateFlags >> s) & 1u; }
  // The state byte the script natives read: bit 6 = offered by the online content service.
  uint8_t FirstStateByte() const;

  void Write(TStream& s) const;
  // False on a short or malformed record.
  bool Read(TStream& s);
};

// ---- the database ----
class AssetDatabase {
public:
  virtual ~AssetDatabase() = default;

  // Answers one request. False when the command is unknown or the body is malformed; the
  // reply is then empty. Counted either way.
  virtual bool Execute(uint32_t commandId, TBuffer& body, TBuffer& reply) = 0;
  // A one-way request (no reply). False when unknown or malformed. Counted either way.
  virtual bool Post(uint32_t commandId, TBuffer& body) = 0;

  // How many requests with this number were made since opening (or the last reset).
  virtual uint64_t RequestCount(uint32_t commandId) const = 0;
  virtual void ResetRequestCounts() = 0;

  // Settings records: soups kept in the user data's "settings" folder by name
  // (e.g. "internet" with "language", "username", "password"). A missing record gives an
  // empty soup; a failed write returns false and leaves the old record in place.
  virtual SoupRef GetSettingsRecord(std::string_view name) = 0;
  virtual bool SetSettingsRecord(std::string_view name, const SoupRef& record) = 0;
};

// Stand-ins for what would need the network; tests and start-up may replace them.
struct UMBStandIns {
  // Status word of a URL request (0 success); called once per request when it starts.
  // Without one every URL request ends with status 1.
  std::function<uint32_t(const UrlParts& url, uint32_t mode)> urlStatus;
  bool textureOption = false;    // answer of request 181
  std::string onlineSessionKey;  // answer of request 242
};

// The folder-backed database over a user-data folder and an installation root. Indexes
// "local" and "editing" of the user data and "base" of the installation root (built-in).
class FolderAssetDatabase : public AssetDatabase {
public:
  FolderAssetDatabase(std::string userDataFolder, std::string installationRoot, UMBStandIns standIns = {});
  ~FolderAssetDatabase() override;

  // Re-reads every asset folder. Two assets with one KUID: a log line; the one in the
  // folder that sorts first (editing before local before base, then by path) is kept.
  // A malformed config: the asset is skipped with a log line.
  void Rescan();
  size_t AssetCount() const;

  bool Execute(uint32_t commandId, TBuffer& body, TBuffer& reply) override;
  bool Post(uint32_t commandId, TBuffer& body) override;
  uint64_t RequestCount(uint32_t commandId) const override;
  void ResetRequestCounts() override;
  SoupRef GetSettingsRecord(std::string_view name) override;
  bool SetSettingsRecord(std::string_view name, const SoupRef& record) override;

  struct Impl;

private:
  std::unique_ptr<Impl> m_impl;
};

// ---- open and close ----

// Called after the database opens and before it closes (the asset-spec registry lives between).
void UMBSetDatabaseHooks(std::function<void()> onOpen, std::function<void()> onClose);

// Opens the folder-backed database over GetUserDataFolder() and GetInstallationRoot().
// False when the user-data folder is not set or does not exist.
bool UMBOpenDatabase();
// Opens a given database (tests, later transports). A database already open is closed first.
bool UMBOpenDatabase(std::unique_ptr<AssetDatabase> db);
void UMBCloseDatabase();
bool UMBIsDatabaseOpen();
// The open database, or null. Valid until UMBCloseDatabase.
AssetDatabase* UMBGetDatabase();

// Raised whenever the database's contents may have changed; the asset-spec registry empties its
// KUID resolution cache when it takes the flag (returns whether it was raised, and clears it).
bool UMBTakeResolutionCacheFlush();

// ---- transactions ----

// Sends one request to the open database and waits for its reply. False when no database
// is open, or the request failed (reply empty).
bool UMBExecuteTransaction(uint32_t commandId, TBuffer& body, TBuffer& reply);
// Sends a one-way request. False when no database is open or the request failed.
bool UMBPostMessage(uint32_t commandId, TBuffer& body);

// ---- typed requests ----
SoupRef UMBGetAssetConfig(const KUID& kuid);                            // 20; null soup on failure
bool GetAssetInfo(const KUID& kuid, UMBAssetInfo& info, int32_t mask);  // 21
UMBAssetInfo GetAssetInfo(const KUID& kuid, int32_t mask);              // 21
std::string UMBGetAssetFolder(const KUID& kuid);                        // 23
KUID UMBResolveKUID(const KUID& kuid);                                  // 26
KUID UMBGetUpdatedKUID(const KUID& kuid);                               // 27
std::string UMBGetAssetDescription(const KUID& kuid);                   // 28
uint32_t UMBAcquireAssetHandle(const KUID& kuid);                       // 30; 0 = none
std::string UMBGetHandleFolder(uint32_t handle);                        // 32
bool UMBReleaseAssetHandle(uint32_t handle);                            // 31
std::vector<KUID> UMBGetAssetDependencies(const KUID& kuid);            // 42
bool UMBSetAssetFavorite(const KUID& kuid, bool favorite);              // post 50
bool UMBQueryTextureOption();                                           // 181
std::string UMBGetOnlineAccount();                                      // 240: the profile name
bool UMBOnlineLoginFailed();                                            // post 241
std::string UMBGetOnlineSessionKey();                                   // 242

// The asset's name (mask 1); empty when unknown.
std::string GetAssetName(const KUID& kuid);
// The built-in flag (mask 8); false when unknown.
bool IsAssetBuiltIn(const KUID& kuid);
// The locally-modified flag (mask 8); true when unknown.
bool IsAssetLocallyModified(const KUID& kuid);
// From the asset's config: the script path ("script", else "scriptlibrary"; "gs" added when
// it has no extension) and the class ("class", else "scriptclass"). False when the config
// cannot be had.
bool GetAssetScriptInfo(const KUID& kuid, std::string& scriptPath, std::string& className);

// Settings records of the open database (empty soup / false when none is open).
SoupRef UMBGetSettingsRecord(std::string_view name);
bool UMBSetSettingsRecord(std::string_view name, const SoupRef& record);
