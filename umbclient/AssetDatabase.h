// The asset database's interface: numbered requests answered in-process by an
// AssetDatabase (by default the folder-backed one, FolderAssetDatabase.h), the request
// numbers, and the records that travel in them. The process-wide open database is in
// OpenDatabase.h, the typed request functions built on it in AssetRequests.h.
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

  [[nodiscard]] bool HasState(UMBAssetState s) const { return (stateFlags >> s) & 1u; }
  // The state byte the script natives read: bit 6 = offered by the online content service.
  uint8_t FirstStateByte() const;

  void Write(TStream& s) const;
  // False on a short or malformed record.
  [[nodiscard]] bool Read(TStream& s);
};

// ---- the database ----
class AssetDatabase {
public:
  virtual ~AssetDatabase() = default;

  // Answers one request. False when the command is unknown or the body is malformed; the
  // reply is then empty. Counted either way.
  [[nodiscard]] virtual bool Execute(uint32_t commandId, TBuffer& body, TBuffer& reply) = 0;
  // A one-way request (no reply). False when unknown or malformed. Counted either way.
  [[nodiscard]] virtual bool Post(uint32_t commandId, TBuffer& body) = 0;

  // How many requests with this number were made since opening (or the last reset).
  virtual uint64_t RequestCount(uint32_t commandId) const = 0;
  virtual void ResetRequestCounts() = 0;
  // How many asset rows the queries have read since opening: each query reads
  // every row it tests, whatever it finds (the work a caller pays for).
  virtual uint64_t RowsWalked() const { return 0; }

  // Settings records: soups kept in the user data's "settings" folder by name
  // (e.g. "internet" with "language", "username", "password"). A missing record gives an
  // empty soup; a failed write returns false and leaves the old record in place.
  virtual SoupRef GetSettingsRecord(std::string_view name) = 0;
  [[nodiscard]] virtual bool SetSettingsRecord(std::string_view name, const SoupRef& record) = 0;
};

// Stand-ins for what would need the network; tests and start-up may replace them.
struct UMBStandIns {
  // Status word of a URL request (0 success); called once per request when it starts.
  // Without one every URL request ends with status 1.
  std::function<uint32_t(const UrlParts& url, uint32_t mode)> urlStatus;
  bool textureOption = false;    // answer of request 181
  std::string onlineSessionKey;  // answer of request 242
};
