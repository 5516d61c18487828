#include <gtest/gtest.h>

#include <vector>

#include "foundation/KUID.h"
#include "kiv/File.h"
#include "TempTree.h"
#include "umbclient/ContentFolders.h"

namespace {

class ContentFoldersTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetInstallationRoot(tree.Path("install"));
    SetUserDataFolder(tree.Path("user"));
    FolderCache::Purge();
  }
  void TearDown() override {
    SetInstallationRoot("");
    SetUserDataFolder("");
    FolderCache::Purge();
  }
  TempTree tree;
};

const std::vector<std::string> kUserKeys = {"local", "original", "backups", "editing", "cache", "settings"};

TEST_F(ContentFoldersTest, KeysMapUnderUserDataOrInstallationRoot) {
  for (const auto& key : kUserKeys) EXPECT_EQ(GetContentFolderPath(key), tree.Path("user/" + key)) << key;
  for (const char* key : {"base", "bin", "trash", "Local"})
    EXPECT_EQ(GetContentFolderPath(key), tree.Path(std::string("install/") + key)) << key;
  // Keys are single folder names.
  EXPECT_EQ(GetContentFolderPath(""), "");
  EXPECT_EQ(GetContentFolderPath(".."), "");
  EXPECT_EQ(GetContentFolderPath("a/b"), "");
  EXPECT_EQ(GetContentFolderPath("a\\b"), "");
  SetUserDataFolder("");
  EXPECT_EQ(GetContentFolderPath("local"), "");
  EXPECT_EQ(GetContentFolderPath("base"), tree.Path("install/base"));
}

TEST_F(ContentFoldersTest, SplitInvertsGet) {
  std::vector<std::string> keys = kUserKeys;
  keys.push_back("base");
  keys.push_back("extra");
  for (const auto& key : keys) {
    for (const std::string rel : {"a", "asset/config.txt", "x/y/z.gs"}) {
      std::string k, r;
      ASSERT_TRUE(SplitContentPath(GetContentFolderPath(key) + "/" + rel, k, r)) << key << " " << rel;
      EXPECT_EQ(k, key);
      EXPECT_EQ(r, rel);
    }
  }
  // Backslashes, doubled separators and "." components are understood.
  std::string k, r;
  std::string back = tree.Path("user\\local\\.\\asset\\\\config.txt");
  ASSERT_TRUE(SplitContentPath(back, k, r));
  EXPECT_EQ(k, "local");
  EXPECT_EQ(r, "asset/config.txt");
  // The in/out form keeps only the relative path.
  std::string inout = tree.Path("install/base/tree/mesh.im");
  ASSERT_TRUE(SplitContentPath(inout));
  EXPECT_EQ(inout, "tree/mesh.im");
}

TEST_F(ContentFoldersTest, SplitRefusesPathsOutsideEveryContentFolder) {
  std::string k = "stale", r = "stale";
  EXPECT_FALSE(SplitContentPath("/elsewhere/file.txt", k, r));
  EXPECT_EQ(k, "");
  EXPECT_EQ(r, "");
  EXPECT_FALSE(SplitContentPath("", k, r));
  // Climbing out of a content folder is not inside it.
  EXPECT_FALSE(SplitContentPath(tree.Path("user/local/../../outside/f"), k, r));
  EXPECT_FALSE(SplitContentPath(tree.Path("user/local/a/../../../x"), k, r));
  // The installation root itself names no folder, and user-data keys never lie below it.
  EXPECT_FALSE(SplitContentPath(tree.Path("install"), k, r));
  EXPECT_FALSE(SplitContentPath(tree.Path("install/local/a"), k, r));
  // A user-data path that is only a prefix of a key is not that key.
  EXPECT_FALSE(SplitContentPath(tree.Path("user/localx/a"), k, r));
  std::string unchanged = "/elsewhere/file.txt";
  EXPECT_FALSE(SplitContentPath(unchanged));
  EXPECT_EQ(unchanged, "/elsewhere/file.txt");
}

// A path in its plain form and the same path spelled with "." components (which
// takes the full normalising) split alike, case and prefixes included.
TEST_F(ContentFoldersTest, PlainAndRoundaboutSpellingsSplitAlike) {
  const std::string user = tree.Path("user"), install = tree.Path("install");
  auto roundabout = [](std::string p) { return p.insert(1, "./"); };
  for (const std::string& p : std::vector<std::string>{
           user + "/local/a/config.txt", user + "/LOCAL/a", user + "/Local", user + "/localx/a",
           user + "/cache", install + "/base/t/m.im", install + "/BASE", install + "/local/a", install, user,
           std::string("/elsewhere/x"), tree.Path("USER") + "/local/a", user + "x/local/a"}) {
    std::string k1 = "-", r1 = "-", k2 = "-", r2 = "-";
    const bool plain = SplitContentPath(p, k1, r1);
    const bool other = SplitContentPath(roundabout(p), k2, r2);
    EXPECT_EQ(plain, other) << p;
    EXPECT_EQ(k1, k2) << p;
    EXPECT_EQ(r1, r2) << p;
  }
  std::string k, r;
  ASSERT_TRUE(SplitContentPath(user + "/LOCAL/Asset/Config.txt", k, r));
  EXPECT_EQ(k, "local");
  EXPECT_EQ(r, "Asset/Config.txt");
}

TEST_F(ContentFoldersTest, PluginsAndLibraryCacheFolders) {
  EXPECT_EQ(GetPluginsFolderPath(), tree.Path("install/bin/plugins"));
  std::string a = GetLibraryCachePath(KUID(12, 34, 5));
  std::string b = GetLibraryCachePath(KUID(12, 34, 6));
  std::string neg = GetLibraryCachePath(KUID(-3, 7, 127));
  EXPECT_EQ(a, tree.Path("user/cache/libraries/12_34_5"));
  EXPECT_NE(a, b);
  EXPECT_EQ(neg, tree.Path("user/cache/libraries/-3_7_127"));
  EXPECT_TRUE(Kiv::File::IsDirectory(a));
  EXPECT_TRUE(Kiv::File::IsDirectory(b));
  EXPECT_EQ(GetLibraryCachePath(KUID(12, 34, 5)), a);  // an existing folder is fine

  SetInstallationRoot("");
  SetUserDataFolder("");
  EXPECT_EQ(GetPluginsFolderPath(), "");
  EXPECT_EQ(GetLibraryCachePath(KUID(1, 2, 0)), "");
}

TEST_F(ContentFoldersTest, CacheSharesEntriesAndCountsReferences) {
  ContentFolder* a = OpenContentFolder("set", tree.Path("x"));
  ContentFolder* b = OpenContentFolder("set", tree.Path("x/"));
  ContentFolder* other = OpenContentFolder(tree.Path("x"));  // no set name: another entry
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
  EXPECT_EQ(a->RefCount(), 2);
  EXPECT_EQ(a->FilePath("m.im"), tree.Path("x/m.im"));
  FolderCache::AddRef(a);
  EXPECT_EQ(a->RefCount(), 3);
  for (int i = 0; i < 3; ++i) FolderCache::Release(a);
  EXPECT_EQ(a->RefCount(), 0);
  FolderCache::Release(a);  // one release too many does not go below zero
  EXPECT_EQ(a->RefCount(), 0);
  EXPECT_EQ(FolderCache::Size(), 2u);  // unreferenced entries stay until a purge
  EXPECT_EQ(FolderCache::Purge(), 1u);
  EXPECT_EQ(FolderCache::Size(), 1u);
  FolderCache::Release(other);
  EXPECT_EQ(OpenContentFolder(""), nullptr);
}

TEST_F(ContentFoldersTest, FullCachePurgesUnreferencedAndThenRefuses) {
  std::vector<ContentFolder*> held;
  for (size_t i = 0; i < FolderCache::kCapacity; ++i) {
    ContentFolder* f = OpenContentFolder(tree.Path(std::string("f").append(std::to_string(i))));
    ASSERT_NE(f, nullptr) << i;
    held.push_back(f);
  }
  EXPECT_EQ(FolderCache::Size(), FolderCache::kCapacity);
  // Every entry is referenced: no room.
  EXPECT_EQ(OpenContentFolder(tree.Path("one-more")), nullptr);
  // A hit still works when full.
  EXPECT_EQ(OpenContentFolder(tree.Path("f7")), held[7]);
  FolderCache::Release(held[7]);

  FolderCache::Release(held[3]);
  FolderCache::Release(held[9]);
  ContentFolder* fresh = OpenContentFolder(tree.Path("one-more"));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(FolderCache::Size(), FolderCache::kCapacity - 1);  // both purged, one added
  // The held entries survived the purge.
  EXPECT_EQ(OpenContentFolder(tree.Path("f8")), held[8]);
  EXPECT_EQ(held[8]->RefCount(), 2);
  FolderCache::Release(held[8]);
  for (size_t i = 0; i < held.size(); ++i)
    if (i != 3 && i != 9) FolderCache::Release(held[i]);
  FolderCache::Release(fresh);
}

TEST_F(ContentFoldersTest, NamedFolders) {
  bool ok = false;
  EXPECT_EQ(OpenNamedContentFolder("", ok), nullptr);
  EXPECT_TRUE(ok);
  ContentFolder* local = OpenNamedContentFolder("local", ok);
  ASSERT_NE(local, nullptr);
  EXPECT_TRUE(ok);
  EXPECT_EQ(local->SetName(), "local");
  EXPECT_EQ(local->Path(), tree.Path("user/local"));
  FolderCache::Release(local);
  SetUserDataFolder("");
  EXPECT_EQ(OpenNamedContentFolder("editing", ok), nullptr);
  EXPECT_FALSE(ok);
}

}  // namespace
