#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include "TempTree.h"
#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "kiv/Log.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/Filter.h"
#include "umbclient/UrlRequest.h"

namespace {

const KUID kAlpha(100, 1, 0);
const KUID kBeta0(100, 2, 0);
const KUID kBeta1(100, 2, 1);
const KUID kGamma(200, 1, 0);
const KUID kDelta(300, 1, 0);
const KUID kMissing(999, 9, 0);

SoupRef Config(const KUID& k, const char* name, const char* kind, const char* category) {
  SoupRef s = SoupRef::NewContainer();
  s.SetNamedTagKUID("kuid", k);
  if (name) s.SetNamedTag("username", name);
  if (kind) s.SetNamedTag("kind", kind);
  if (category) s.SetNamedTag("category-class", category);
  return s;
}

// Collects log lines while alive.
class LogCapture {
public:
  LogCapture() {
    m_id = Kiv::Log::Instance().AddListener(
        [this](Kiv::LogLevel, std::string_view line) { m_lines.emplace_back(line); });
  }
  ~LogCapture() { Kiv::Log::Instance().RemoveListener(m_id); }
  int Count(std::string_view needle) const {
    return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const std::string& l) {
      return l.find(needle) != std::string::npos;
    }));
  }

private:
  int m_id;
  std::vector<std::string> m_lines;
};

class AssetDatabaseTest : public ::testing::Test {
protected:
  void SetUp() override {
    SoupRef alpha = Config(kAlpha, "Alpha", "traincar", "TR");
    alpha.SetNamedTag("author", "Ann");
    alpha.SetNamedTag("category-region", "GB");
    alpha.SetNamedTag("category-era", "1950s;1960s");
    alpha.SetNamedTagFloat("rovana-build", 2.9f);
    alpha.SetNamedTag("description", "The first asset");
    alpha.SetNamedTag("script", "main");
    alpha.SetNamedTag("class", "AlphaClass");
    alpha.SetNamedTagKUID("parent", kGamma);
    SoupRef table = SoupRef::NewContainer();
    table.SetNamedTagKUID("beta", kBeta0);
    table.SetNamedTagKUID("gone", kMissing);
    EXPECT_TRUE(alpha.SetNamedSoup("kuid-table", table));
    tree.WriteSoup("user/local/alpha/config.txt", alpha);
    tree.WriteFile("user/local/alpha/main.gs", "class AlphaClass {}\n");

    SoupRef edited = Config(kAlpha, "Alpha edited", "traincar", "TR");
    edited.SetNamedTag("scriptlibrary", "lib.gse");
    edited.SetNamedTag("scriptclass", "LibClass");
    tree.WriteSoup("user/editing/alpha/config.txt", edited);

    SoupRef beta0 = Config(kBeta0, "Beta", "scenery", "BU");
    beta0.SetNamedTag("keywords", "red, tall");
    tree.WriteSoup("user/local/beta0/config.txt", beta0);
    tree.WriteSoup("user/local/beta1/config.txt", Config(kBeta1, "Beta one", "scenery", "BU;VE"));
    tree.WriteSoup("user/local/dup/config.txt", Config(kBeta1, "Beta copy", "scenery", "BU"));
    tree.WriteSoup("install/base/gamma/config.txt", Config(kGamma, "Gamma", "track", "TT"));
    tree.WriteSoup("user/local/group/delta/config.txt", Config(kDelta, "", nullptr, nullptr));
    tree.WriteFile("user/local/bad/config.txt", "kuid <kuid:400:1>\nbroken {\n");
    tree.WriteSoup("user/local/nokuid/config.txt", Config(KUID::Null(), "No kuid", "scenery", "BU"));
    EXPECT_TRUE(Kiv::File::CreateDirectories(tree.Path("user/settings")));

    SetUserDataFolder(tree.Path("user"));
    SetInstallationRoot(tree.Path("install"));
    LogCapture log;
    ASSERT_TRUE(UMBOpenDatabase());
    duplicates = log.Count("duplicate");
    skipped = log.Count("skipped");
    ASSERT_TRUE(UMBWithDatabase([](AssetDatabase& d) { d.ResetRequestCounts(); }));
    // A new index's file is written while the database is in use; asking whether the
    // index is kept in its file waits for it, so the tests' snapshots see a settled tree.
    WithFolderDatabase([](FolderAssetDatabase& f) { EXPECT_TRUE(f.IsIndexKeptInFile()); });
  }
  void TearDown() override {
    UMBCloseDatabase();
    SetUserDataFolder("");
    SetInstallationRoot("");
  }

  // Runs `use` on the open database (which must be the folder-backed one).
  void WithFolderDatabase(const std::function<void(FolderAssetDatabase&)>& use) {
    bool folder = false;
    ASSERT_TRUE(UMBWithDatabase([&](AssetDatabase& d) {
      if (auto* f = dynamic_cast<FolderAssetDatabase*>(&d)) {
        folder = true;
        use(*f);
      }
    }));
    EXPECT_TRUE(folder);
  }
  uint64_t Count(uint32_t id) {
    uint64_t n = 0;
    // Set-up; the checks below show a failure.
    (void)UMBWithDatabase([&](AssetDatabase& d) { n = d.RequestCount(id); });
    return n;
  }

  TempTree tree;
  int duplicates = 0;
  int skipped = 0;
};

TEST_F(AssetDatabaseTest, IndexesTreeReportsDuplicatesAndSkipsMalformedConfigs) {
  WithFolderDatabase(
      [](FolderAssetDatabase& f) { EXPECT_EQ(f.AssetCount(), 5u); });  // alpha, beta0, beta1, gamma, delta
  EXPECT_EQ(duplicates, 1);  // the editing copy of alpha is expected; "dup" is not
  EXPECT_EQ(skipped, 2);     // "bad" and "nokuid"
  // Deterministic choice: the editing copy, then the first folder by name.
  EXPECT_EQ(UMBGetAssetFolder(kAlpha), tree.Path("user/editing/alpha"));
  EXPECT_EQ(UMBGetAssetFolder(kBeta1), tree.Path("user/local/beta1"));
  EXPECT_EQ(GetAssetName(kBeta1), "Beta one");
  EXPECT_EQ(UMBGetAssetFolder(kDelta), tree.Path("user/local/group/delta"));  // nested folders
  EXPECT_EQ(UMBGetAssetFolder(KUID(400, 1, 0)), "");
  uint64_t seen = 0, other = 0;
  EXPECT_TRUE(UMBTakeResolutionCacheFlush(seen));
  EXPECT_FALSE(UMBTakeResolutionCacheFlush(seen));

  // A newer version installed while the database is open: after a rescan the flag tells
  // resolution caches that <kuid:100:2> now means version 2.
  tree.WriteSoup("user/local/beta2/config.txt", Config(KUID(100, 2, 2), "Beta two", "scenery", "BU"));
  EXPECT_EQ(UMBResolveKUID(KUID(100, 2, 0)), kBeta0);
  EXPECT_EQ(UMBGetUpdatedKUID(kBeta0), kBeta1);
  WithFolderDatabase([](FolderAssetDatabase& f) { f.Rescan(); });
  EXPECT_TRUE(UMBTakeResolutionCacheFlush(seen));
  EXPECT_TRUE(UMBTakeResolutionCacheFlush(other));  // each cache sees the change
  EXPECT_FALSE(UMBTakeResolutionCacheFlush(other));
  EXPECT_EQ(UMBGetUpdatedKUID(kBeta0), KUID(100, 2, 2));
}

TEST_F(AssetDatabaseTest, AssetRequestsAnswerAndCount) {
  SoupRef config = UMBGetAssetConfig(kBeta0);
  ASSERT_TRUE(config.IsValid());
  EXPECT_EQ(config.GetNamedTag("username").Str(), "Beta");
  EXPECT_TRUE(UMBGetAssetConfig(kMissing).IsNull());
  EXPECT_EQ(Count(UMBRequest::GetAssetConfig), 2u);

  // Resolution: exact, the newest for the version-less form, null when nothing fits.
  EXPECT_EQ(UMBResolveKUID(kBeta0), kBeta0);
  EXPECT_EQ(UMBResolveKUID(KUID(100, 2, 1)), kBeta1);
  EXPECT_EQ(UMBResolveKUID(KUID(200, 1, 5)), KUID::Null());
  EXPECT_EQ(UMBResolveKUID(kMissing), KUID::Null());
  EXPECT_EQ(UMBGetUpdatedKUID(kBeta0), kBeta1);
  EXPECT_EQ(UMBGetUpdatedKUID(kGamma), kGamma);
  EXPECT_EQ(UMBGetUpdatedKUID(kMissing), KUID::Null());
  EXPECT_EQ(Count(UMBRequest::ResolveKUID), 4u);
  EXPECT_EQ(Count(UMBRequest::GetUpdatedKUID), 3u);

  EXPECT_EQ(UMBGetAssetDescription(kAlpha), "");  // the editing copy has none
  EXPECT_EQ(UMBGetAssetDescription(kMissing), "");
  EXPECT_EQ(Count(UMBRequest::GetAssetDescription), 2u);

  std::vector<KUID> deps = UMBGetAssetDependencies(kBeta0);
  EXPECT_TRUE(deps.empty());
  EXPECT_EQ(Count(UMBRequest::GetAssetDependencies), 1u);
  EXPECT_EQ(Count(UMBRequest::GetAssetFolder), 0u);
}

TEST_F(AssetDatabaseTest, InfoMasksAndTheHelpersBuiltOnThem) {
  UMBAssetInfo info;
  ASSERT_TRUE(GetAssetInfo(kBeta1, info, kInfoCategory));
  EXPECT_EQ(info.kuid, kBeta1);
  EXPECT_EQ(info.category, "BU;VE");
  EXPECT_EQ(info.localisedName, "");  // not asked for
  EXPECT_EQ(info.stateFlags, 0u);

  info = GetAssetInfo(kGamma, kInfoAll);
  EXPECT_EQ(info.localisedName, "Gamma");
  EXPECT_TRUE(info.HasState(kStateBuiltIn));
  EXPECT_TRUE(info.HasState(kStateInBaseContentSet));
  EXPECT_FALSE(info.HasState(kStateLocal));
  EXPECT_EQ(info.rating, 0xFF);
  EXPECT_FALSE(info.buildVersionKnown);
  EXPECT_GT(info.modifiedTime, 0);

  info = GetAssetInfo(kBeta0, kInfoAll);
  EXPECT_TRUE(info.HasState(kStateObsolete));  // a newer version is installed
  EXPECT_FALSE(info.HasState(kStateUpToDate));
  EXPECT_FALSE(info.HasState(kStateHasScriptSource));
  info = GetAssetInfo(kDelta, kInfoAll);
  EXPECT_TRUE(info.HasState(kStateFaulty));  // no kind
  EXPECT_FALSE(info.HasState(kStateValidName));

  EXPECT_FALSE(GetAssetInfo(kMissing, info, kInfoAll));
  EXPECT_EQ(info.kuid, KUID::Null());

  EXPECT_EQ(GetAssetName(kGamma), "Gamma");
  EXPECT_EQ(GetAssetName(kMissing), "");
  EXPECT_TRUE(IsAssetBuiltIn(kGamma));
  EXPECT_FALSE(IsAssetBuiltIn(kBeta0));
  EXPECT_FALSE(IsAssetBuiltIn(kMissing));
  EXPECT_TRUE(IsAssetLocallyModified(kAlpha));  // open for edit
  EXPECT_FALSE(IsAssetLocallyModified(kBeta0));
  EXPECT_TRUE(IsAssetLocallyModified(kMissing));  // unknown counts as modified

  // Script info falls back to the library tags of the editing copy.
  std::string script, cls;
  ASSERT_TRUE(GetAssetScriptInfo(kAlpha, script, cls));
  EXPECT_EQ(script + "|" + cls, "lib.gse|LibClass");
  ASSERT_TRUE(GetAssetScriptInfo(kGamma, script, cls));
  EXPECT_EQ(script + "|" + cls, "|");
}

TEST_F(AssetDatabaseTest, InfoOfTheInstalledCopy) {
  // Close and reopen without the editing copy: the local one carries all fields.
  UMBCloseDatabase();
  EXPECT_TRUE(Kiv::File::Prune(tree.Path("user/editing")));
  ASSERT_TRUE(UMBOpenDatabase());
  UMBAssetInfo info = GetAssetInfo(kAlpha, kInfoAll);
  EXPECT_EQ(info.localisedName + "|" + info.creatorName + "|" + info.categoryRegion + "|" + info.categoryEra +
                "|" + info.kind,
            "Alpha|Ann|GB|1950s;1960s|traincar");
  EXPECT_TRUE(info.buildVersionKnown);
  EXPECT_FLOAT_EQ(info.buildVersion, 2.9f);
  EXPECT_EQ(info.parent, kGamma);
  EXPECT_TRUE(info.HasState(kStateHasScriptSource));
  EXPECT_TRUE(info.HasState(kStateMissingDependencies));  // kMissing in its kuid-table
  EXPECT_FALSE(info.HasState(kStateOpenForEdit));
  EXPECT_EQ(UMBGetAssetDescription(kAlpha), "The first asset");
  std::vector<KUID> deps = UMBGetAssetDependencies(kAlpha);
  EXPECT_EQ(deps, (std::vector<KUID>{kGamma, kBeta0, kMissing}));

  std::string script, cls;
  ASSERT_TRUE(GetAssetScriptInfo(kAlpha, script, cls));
  EXPECT_EQ(script, "main.gs");
  EXPECT_EQ(cls, "AlphaClass");
  EXPECT_FALSE(GetAssetScriptInfo(kMissing, script, cls));
}

TEST_F(AssetDatabaseTest, HandlesFavouritesAndServiceRequests) {
  uint32_t h = UMBAcquireAssetHandle(kGamma);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(UMBGetHandleFolder(h), tree.Path("install/base/gamma"));
  EXPECT_TRUE(UMBReleaseAssetHandle(h));
  EXPECT_EQ(UMBGetHandleFolder(h), "");
  EXPECT_FALSE(UMBReleaseAssetHandle(h));
  EXPECT_EQ(UMBAcquireAssetHandle(kMissing), 0u);

  EXPECT_TRUE(UMBSetAssetFavorite(kBeta1, true));
  EXPECT_EQ(GetAssetInfo(kBeta1, kInfoRating).rating, 5);
  EXPECT_TRUE(UMBSetAssetFavorite(kBeta1, false));
  EXPECT_EQ(GetAssetInfo(kBeta1, kInfoRating).rating, 0xFF);
  auto before = tree.Snapshot();
  EXPECT_FALSE(UMBSetAssetFavorite(kMissing, true));
  EXPECT_EQ(tree.Snapshot(), before);

  EXPECT_FALSE(UMBQueryTextureOption());
  EXPECT_EQ(UMBGetOnlineSessionKey(), "");
  EXPECT_EQ(UMBGetOnlineAccount(), "");
  SoupRef internet = SoupRef::NewContainer();
  internet.SetNamedTag("username", "driver");
  internet.SetNamedTag("password", "secret");
  internet.SetNamedTag("language", "de");
  ASSERT_TRUE(UMBSetSettingsRecord("internet", internet));
  EXPECT_EQ(UMBGetOnlineAccount(), "driver");
  EXPECT_TRUE(UMBOnlineLoginFailed());

  // The reply of 240 carries six fields.
  TBuffer body, reply;
  ASSERT_TRUE(UMBExecuteTransaction(UMBRequest::GetOnlineAccount, body, reply));
  EXPECT_EQ(reply.ReadString(), "driver");
  reply.ReadString();
  reply.ReadString();
  reply.ReadU16();
  reply.ReadString();
  reply.ReadU16();
  EXPECT_EQ(reply.GetError(), 0u);
  EXPECT_EQ(reply.Remaining(), 0);
}

TEST_F(AssetDatabaseTest, StandInsDecideTheServiceAnswers) {
  UMBStandIns standIns;
  standIns.textureOption = true;
  standIns.onlineSessionKey = "key-1";
  std::string seenUrl;
  standIns.urlStatus = [&seenUrl](const UrlParts& url, uint32_t mode) {
    seenUrl = url.scheme + "|" + url.host;
    return mode == 2 ? 0u : 7u;
  };
  ASSERT_TRUE(UMBOpenDatabase(
      std::make_unique<FolderAssetDatabase>(tree.Path("user"), tree.Path("install"), standIns)));
  EXPECT_TRUE(UMBQueryTextureOption());
  EXPECT_EQ(UMBGetOnlineSessionKey(), "key-1");

  UrlParts url;
  ASSERT_TRUE(url.Parse("oalogin://host"));
  auto request = UMBUrlRequest::Start(url, 2);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(seenUrl, "oalogin|host");
  EXPECT_EQ(request->QueryStatus(), UMBUrlRequest::kStatusPending);
  EXPECT_TRUE(request->Poll());
  EXPECT_EQ(request->QueryStatus(), 0u);
  request->Close();
  request->Close();  // once only
  auto refused = UMBUrlRequest::Start(url, 3);
  ASSERT_NE(refused, nullptr);
  EXPECT_TRUE(refused->Poll());
  EXPECT_EQ(refused->QueryStatus(), 7u);
  refused.reset();  // closes
  // A closed request is gone from the database.
  TBuffer poll, polled;
  poll.WriteU32(1);
  EXPECT_FALSE(UMBExecuteTransaction(UMBRequest::UrlPoll, poll, polled));
  EXPECT_EQ(Count(UMBRequest::UrlClose), 2u);  // the double close went out once

  // Without a stand-in every URL request fails.
  UMBCloseDatabase();
  ASSERT_TRUE(
      UMBOpenDatabase(std::make_unique<FolderAssetDatabase>(tree.Path("user"), tree.Path("install"))));
  auto plain = UMBUrlRequest::Start(url, 2);
  ASSERT_NE(plain, nullptr);
  EXPECT_TRUE(plain->Poll());
  EXPECT_EQ(plain->QueryStatus(), 1u);
}

TEST_F(AssetDatabaseTest, LocalDataRoundTripAndCorruptStore) {
  auto get = [](const KUID& owner, const char* name, SoupRef& out) {
    TBuffer body, reply;
    WriteKUID(body, owner);
    body.WritePString(Kiv::PString(name));
    return UMBExecuteTransaction(UMBRequest::GetLocalData, body, reply) && ReadSoupBinary(reply, out);
  };
  auto set = [](const KUID& owner, const char* name, const SoupRef& data) {
    TBuffer body;
    WriteKUID(body, owner);
    body.WritePString(Kiv::PString(name));
    EXPECT_TRUE(WriteSoupBinary(body, data));
    return UMBPostMessage(UMBRequest::SetLocalData, body);
  };
  SoupRef out;
  ASSERT_TRUE(get(kAlpha, "scores", out));
  EXPECT_EQ(out.CountTags(), 0u);  // nothing stored yet

  SoupRef data = SoupRef::NewContainer();
  data.SetNamedTagInt("best", 42);
  ASSERT_TRUE(set(kAlpha, "scores", data));
  SoupRef other = SoupRef::NewContainer();
  other.SetNamedTag("x", "y");
  ASSERT_TRUE(set(kAlpha, "other", other));
  ASSERT_TRUE(get(kAlpha, "scores", out));
  EXPECT_EQ(out.GetNamedTagAsInt("best"), 42);
  ASSERT_TRUE(get(kBeta0, "scores", out));
  EXPECT_EQ(out.CountTags(), 0u);  // per owner

  // An empty name or a truncated body is refused and changes nothing.
  auto before = tree.Snapshot();
  EXPECT_FALSE(set(kAlpha, "", data));
  TBuffer truncated;
  WriteKUID(truncated, kAlpha);
  EXPECT_FALSE(UMBPostMessage(UMBRequest::SetLocalData, truncated));
  // A store that no longer reads is not replaced by a one-entry store.
  std::string store = tree.Path("user/settings/localdata/100_1_0.chump");
  ASSERT_TRUE(Kiv::File::Exists(store));
  tree.WriteFile("user/settings/localdata/100_1_0.chump", "ACS$garbage");
  before = tree.Snapshot();
  EXPECT_FALSE(set(kAlpha, "scores", data));
  EXPECT_FALSE(get(kAlpha, "scores", out));
  EXPECT_EQ(tree.Snapshot(), before);
}

TEST_F(AssetDatabaseTest, SettingsRecordsRoundTripAndRefuseBadNames) {
  EXPECT_EQ(UMBGetSettingsRecord("internet").CountTags(), 0u);
  SoupRef internet = SoupRef::NewContainer();
  internet.SetNamedTag("language", "fr");
  ASSERT_TRUE(UMBSetSettingsRecord("internet", internet));
  EXPECT_TRUE(Kiv::File::Exists(tree.Path("user/settings/internet.txt")));
  EXPECT_EQ(UMBGetSettingsRecord("internet").GetNamedTag("language").Str(), "fr");
  auto before = tree.Snapshot();
  EXPECT_FALSE(UMBSetSettingsRecord("../escape", internet));
  EXPECT_FALSE(UMBSetSettingsRecord("", internet));
  EXPECT_FALSE(UMBSetSettingsRecord("null", SoupRef()));
  EXPECT_EQ(tree.Snapshot(), before);
  UMBCloseDatabase();
  EXPECT_FALSE(UMBSetSettingsRecord("internet", internet));
}

TEST_F(AssetDatabaseTest, MalformedAndUnknownRequestsFailCleanly) {
  auto before = tree.Snapshot();
  TBuffer empty, reply;
  reply.WriteU32(0xABCDEF01);  // a failing request must not touch what the caller holds
  EXPECT_TRUE(reply.Rewind());
  for (uint32_t id : {20u, 21u, 23u, 26u, 27u, 28u, 30u, 31u, 32u, 42u, 121u, 230u, 232u, 2u, 999u})
    // Set-up; the checks below show a failure.
    (void)UMBWithDatabase([&](AssetDatabase& d) { EXPECT_FALSE(d.Execute(id, empty, reply)) << id; });
  EXPECT_EQ(reply.Size(), 4u);
  EXPECT_EQ(reply.ReadU32(), 0xABCDEF01u);
  for (uint32_t id : {50u, 122u, 231u, 999u})
    // Set-up; the checks below show a failure.
    (void)UMBWithDatabase([&](AssetDatabase& d) { EXPECT_FALSE(d.Post(id, empty)) << id; });
  EXPECT_EQ(Count(20), 1u);
  EXPECT_EQ(Count(999), 2u);
  // Info needs its mask too.
  TBuffer noMask, out;
  WriteKUID(noMask, kAlpha);
  EXPECT_FALSE(UMBExecuteTransaction(UMBRequest::GetAssetInfo, noMask, out));
  EXPECT_EQ(tree.Snapshot(), before);

  UMBCloseDatabase();
  EXPECT_FALSE(UMBIsDatabaseOpen());
  EXPECT_EQ(GetAssetName(kAlpha), "");
  EXPECT_TRUE(UMBGetAssetConfig(kAlpha).IsNull());
  EXPECT_TRUE(UMBRunQuery(UMBFilterElementGroup(1, 0)).empty());
}

TEST_F(AssetDatabaseTest, OpenRefusesMissingUserData) {
  UMBCloseDatabase();
  SetUserDataFolder(tree.Path("nowhere"));
  EXPECT_FALSE(UMBOpenDatabase());
  EXPECT_FALSE(UMBIsDatabaseOpen());
  SetUserDataFolder("");
  EXPECT_FALSE(UMBOpenDatabase());
}

TEST_F(AssetDatabaseTest, HooksRunAroundOpenAndClose) {
  std::vector<std::string> calls;
  UMBSetDatabaseHooks([&] { calls.push_back(UMBIsDatabaseOpen() ? "open" : "open-too-early"); },
                      [&] { calls.push_back(UMBIsDatabaseOpen() ? "close" : "close-too-late"); });
  ASSERT_TRUE(UMBOpenDatabase());  // closes the fixture's database first
  UMBCloseDatabase();
  UMBCloseDatabase();  // nothing open: no hook
  UMBSetDatabaseHooks(nullptr, nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"close", "open", "close"}));
}

TEST_F(AssetDatabaseTest, RequestsDuringReopenSeeAnOpenDatabaseOrNone) {
  // Requests from other threads while the database is closed and reopened: each answer is
  // either right or the no-database answer, never a request to a freed database.
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t)
    clients.emplace_back([&] {
      while (!stop) {
        std::string name = GetAssetName(kGamma);
        if (!name.empty() && name != "Gamma") ++wrong;
      }
    });
  for (int i = 0; i < 20; ++i) {
    UMBCloseDatabase();
    ASSERT_TRUE(UMBOpenDatabase());
  }
  stop = true;
  for (auto& c : clients) c.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(GetAssetName(kGamma), "Gamma");
}

TEST_F(AssetDatabaseTest, QueriesWithNestedGroupsSelectTheRightAssets) {
  // Local, not obsolete, and (category TR or category BU).
  UMBFilterElementGroup query(1, 0);
  query.Add(std::make_unique<UMBFilterElementBool>(kStateLocal));
  UMBFilterElementGroup::AddGroup(query, std::make_unique<UMBFilterElementBool>(kStateObsolete));
  auto either = std::make_unique<UMBFilterElementGroup>(0, 0);
  either->Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kCategoryList, "TR"));
  either->Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kCategoryList, "bu"));
  query.Add(std::move(either));
  EXPECT_EQ(UMBRunQuery(query), (std::vector<KUID>{kAlpha, kBeta1}));

  // Excluding the open-for-edit state drops alpha; the built-in gamma is not local.
  UMBFilterElementGroup::AddGroup(query, std::make_unique<UMBFilterElementBool>(kStateOpenForEdit));
  EXPECT_EQ(UMBRunQuery(query), (std::vector<KUID>{kBeta1}));

  // Negating a whole nested group: everything that is not (local and named "beta").
  UMBFilterElementGroup notBeta(1, 0);
  auto beta = std::make_unique<UMBFilterElementGroup>(1, 0);
  beta->Add(std::make_unique<UMBFilterElementBool>(kStateLocal));
  beta->Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kAssetName, "BETA"));
  UMBFilterElementGroup::AddGroup(notBeta, std::move(beta));
  EXPECT_EQ(UMBRunQuery(notBeta), (std::vector<KUID>{kAlpha, kGamma, kDelta}));

  // Keywords and required ("#") categories.
  UMBFilterElementGroup tall(1, 0);
  tall.Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kKeywordList, "tall"));
  EXPECT_EQ(UMBRunQuery(tall), (std::vector<KUID>{kBeta0}));
  UMBFilterElementGroup both(1, 0);
  both.Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kCategoryList, "BU;#VE"));
  EXPECT_EQ(UMBRunQuery(both), (std::vector<KUID>{kBeta1}));
}

// The shipped sample tree must index cleanly: every config parses and carries its own KUID.
TEST(SampleTreeTest, EverySampleAssetIsIndexed) {
  std::string samples = std::string(ROVANA_SOURCE_DIR) + "/samples";
  LogCapture log;
  // In memory: the shipped tree is not written to.
  FolderAssetDatabase db(samples + "/userdata", samples + "/install", {},
                         FolderAssetDatabase::IndexKeeping::kInMemory);
  db.Rescan();
  EXPECT_GE(db.AssetCount(), 4u);
  EXPECT_EQ(log.Count("skipped"), 0);
  EXPECT_EQ(log.Count("duplicate"), 0);

  // The query every script search starts from finds them all.
  TBuffer body, reply;
  UMBFilterElementGroup listed(1, 0);
  listed.Add(std::make_unique<UMBFilterElementBool>(kStateListingPrivilege));
  listed.Write(body);
  EXPECT_TRUE(body.Rewind());
  ASSERT_TRUE(db.Execute(UMBRequest::RunQuery, body, reply));
  EXPECT_EQ(reply.ReadU32(), db.AssetCount());
}

}  // namespace
