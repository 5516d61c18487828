#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TempTree.h"
#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "kiv/Clock.h"
#include "kiv/Log.h"
#include "umbclient/AssetIndex.h"
#include "umbclient/Sqlite.h"

namespace {

SoupRef Config(const KUID& k, const char* name, const char* kind) {
  SoupRef s = SoupRef::NewContainer();
  s.SetNamedTagKUID("kuid", k);
  if (name) s.SetNamedTag("username", name);
  if (kind) s.SetNamedTag("kind", kind);
  return s;
}

// Listeners run outside the log's lock, and the index's file writer logs from
// its own thread: the lines are kept under a lock of their own.
class LogLines {
public:
  LogLines() {
    m_id = Kiv::Log::Instance().AddListener([this](Kiv::LogLevel, std::string_view line) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_lines.emplace_back(line);
    });
  }
  ~LogLines() { Kiv::Log::Instance().RemoveListener(m_id); }
  // The lines holding needle, in the order they came.
  std::vector<std::string> With(std::string_view needle) const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> out;
    for (const std::string& l : m_lines)
      if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }
  int Count(std::string_view needle) const {
    std::lock_guard<std::mutex> guard(m_lock);
    int n = 0;
    for (const std::string& l : m_lines) n += l.find(needle) != std::string::npos;
    return n;
  }

private:
  int m_id;
  mutable std::mutex m_lock;
  std::vector<std::string> m_lines;
};

// Everything the requests can learn from an index, as one text to compare.
std::string Answers(AssetIndex& index, const std::vector<KUID>& asked) {
  std::string out;
  auto kuids = [](const std::vector<KUID>& list) {
    std::string t;
    for (const KUID& k : list) t += FormatKUIDTag(k) + ",";
    return t;
  };
  index.ForEach([&](const AssetIndex::Asset& a) {
    const UMBAssetInfo& i = a.info;
    out += FormatKUIDTag(i.kuid) + " " + a.folder + " " + a.configName + " " + a.key + " [" +
           i.localisedName + "|" + i.kind + "|" + i.creatorName + "] flags " + std::to_string(i.stateFlags) +
           " deps " + kuids(a.dependencies) + " obsoletes " + kuids(a.obsoletes) + " desc " + a.description +
           "\n";
  });
  for (const KUID& k : asked) {
    AssetIndex::Asset a;
    out += FormatKUIDTag(k) + " -> " + FormatKUIDTag(index.Resolve(k)) + " newest " +
           FormatKUIDTag(index.Newest(k)) + " at " + (index.Find(k, a) ? a.folder : "-") + "\n";
  }
  out += "count " + std::to_string(index.Count());
  return out;
}

class AssetIndexTest : public ::testing::Test {
protected:
  void SetUp() override {
    SoupRef a = Config(KUID(10, 1, 0), "A", "scenery");
    SoupRef deps = SoupRef::NewContainer();
    deps.SetNamedTagKUID("b", KUID(10, 2, 0));
    deps.SetNamedTagKUID("c", KUID(10, 3, 0));
    EXPECT_TRUE(a.SetNamedSoup("kuid-table", deps));
    tree.WriteSoup("user/local/a/config.txt", a);
    tree.WriteSoup("user/local/b0/config.txt", Config(KUID(10, 2, 0), "B", "scenery"));
    tree.WriteSoup("user/local/b1/config.txt", Config(KUID(10, 2, 1), "B one", nullptr));  // faulty
    tree.WriteSoup("user/local/group/c/config.txt", Config(KUID(10, 3, 0), "C", "track"));
    tree.WriteSoup("user/local/dup/config.txt", Config(KUID(10, 3, 0), "C copy", "track"));
    tree.WriteSoup("user/editing/a/config.txt", Config(KUID(10, 1, 0), "A edited", "scenery"));
    SoupRef g = Config(KUID(20, 1, 0), "G", "scenery");
    SoupRef old = SoupRef::NewContainer();
    old.SetNamedTagKUID("0", KUID(10, 3, 0));
    EXPECT_TRUE(g.SetNamedSoup("obsolete-table", old));
    tree.WriteSoup("install/base/g/config.txt", g);
    tree.WriteFile("user/local/bad/config.txt", "kuid <kuid:30:1>\nbroken {\n");
    tree.WriteFile("user/local/e/script.gs", "class E {}\n");
    tree.WriteSoup("user/local/e/config.txt", Config(KUID(10, 5, 0), "E", "scenery"));
    // Files written a moment ago are not vouched for by their times; these tests look at
    // the index as it is a while later.
    Kiv::Clock::SetUnixTimeSource([] { return static_cast<int64_t>(std::time(nullptr)) + 10; });
  }
  void TearDown() override { Kiv::Clock::SetUnixTimeSource({}); }
  // The file system's clock moves in ticks: a change made within the tick of the last
  // write could keep its times.
  static void NextTick() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

  AssetIndex Kept() { return AssetIndex(tree.Path("user"), tree.Path("install"), File()); }
  AssetIndex Fresh() { return AssetIndex(tree.Path("user"), tree.Path("install"), ""); }
  std::string File() const { return AssetIndex::DefaultFile(tree.Path("user")); }

  const std::vector<KUID> asked{KUID(10, 1, 0), KUID(10, 2, 0), KUID(10, 2, 1), KUID(10, 3, 0),
                                KUID(10, 4, 0), KUID(10, 5, 0), KUID(20, 1, 0), KUID(30, 1, 0),
                                KUID(10, 6, 0), KUID(10, 2, 5)};
  TempTree tree;
};

TEST_F(AssetIndexTest, ChangedTreeBetweenRunsAnswersAsAFreshScan) {
  std::string first;
  {
    AssetIndex index = Kept();
    index.Refresh();
    EXPECT_TRUE(index.IsPersistent());
    EXPECT_EQ(index.ConfigsRead(), 9u);
    first = Answers(index, asked);
  }
  {
    AssetIndex fresh = Fresh();
    fresh.Refresh();
    EXPECT_FALSE(fresh.IsPersistent());
    EXPECT_EQ(Answers(fresh, asked), first);
  }
  EXPECT_NE(first.find("<kuid:10:3> " + tree.Path("user/local/dup")), std::string::npos) << first;
  EXPECT_NE(first.find("<kuid:10:1> " + tree.Path("user/editing/a")), std::string::npos) << first;
  {
    AssetIndex index = Kept();  // unchanged: nothing read again
    index.Refresh();
    EXPECT_EQ(index.ConfigsRead(), 0u);
    EXPECT_EQ(Answers(index, asked), first);
  }

  // Between runs: one asset added, one removed, one config edited in place (same size),
  // one folder renamed, a script added to an asset and "config.chump" beside a "config.txt".
  NextTick();
  tree.WriteSoup("user/local/group/d/config.txt", Config(KUID(10, 4, 0), "D", "scenery"));
  ASSERT_TRUE(Kiv::File::Prune(tree.Path("user/local/dup")));
  std::string b0;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(tree.Path("user/local/b0/config.txt"), b0));
  const size_t at = b0.find("\"B\"");
  ASSERT_NE(at, std::string::npos);
  b0[at + 1] = 'X';
  tree.WriteFile("user/local/b0/config.txt", b0);
  ASSERT_TRUE(Kiv::File::Rename(tree.Path("user/local/b1"), tree.Path("user/local/renamed")));
  tree.WriteFile("user/local/a/lib.gse", "x");
  SoupRef chump = Config(KUID(10, 6, 0), "Binary", "scenery");
  ASSERT_TRUE(SaveSoupFile(chump, tree.Path("user/local/e"), "config.chump"));

  std::string second;
  {
    AssetIndex index = Kept();
    index.Refresh();
    EXPECT_TRUE(index.IsPersistent());
    EXPECT_LE(index.ConfigsRead(), 5u);  // d, b0, renamed, a (its folder changed), e
    second = Answers(index, asked);
  }
  AssetIndex fresh = Fresh();
  fresh.Refresh();
  EXPECT_EQ(second, Answers(fresh, asked));
  EXPECT_NE(second, first);
  EXPECT_NE(second.find("[X|scenery"), std::string::npos) << second;
  EXPECT_NE(second.find(tree.Path("user/local/renamed")), std::string::npos) << second;
  EXPECT_EQ(second.find(tree.Path("user/local/dup")), std::string::npos) << second;
  EXPECT_NE(second.find("<kuid:10:6> " + tree.Path("user/local/e") + " config.chump"), std::string::npos)
      << second;
}

// A lookup answers for the asset asked, whatever ran before it (a walk, a lookup).
TEST_F(AssetIndexTest, LookupsAfterAWalkAnswerForTheAssetAsked) {
  AssetIndex index = Fresh();
  index.Refresh();
  for (int round = 0; round < 3; ++round) {
    index.ForEach([](const AssetIndex::Asset&) {});
    AssetIndex::Asset a;
    ASSERT_TRUE(index.Find(KUID(10, 5, 0), a));
    EXPECT_EQ(a.folder, tree.Path("user/local/e"));
    ASSERT_TRUE(index.Find(KUID(20, 1, 0), a));
    EXPECT_EQ(a.folder, tree.Path("install/base/g"));
  }
}

TEST_F(AssetIndexTest, ConfigsWrittenJustBeforeTheScanAreReadAgain) {
  Kiv::Clock::SetUnixTimeSource({});
  tree.WriteSoup("user/local/b0/config.txt", Config(KUID(10, 2, 0), "B", "scenery"));
  {
    AssetIndex index = Kept();
    index.Refresh();
  }
  // Its times cannot tell a write later in the same tick from none: looked at again.
  NextTick();
  tree.WriteSoup("user/local/b0/config.txt", Config(KUID(10, 2, 0), "Q", "scenery"));
  AssetIndex index = Kept();
  index.Refresh();
  EXPECT_GE(index.ConfigsRead(), 1u);
  AssetIndex::Asset a;
  ASSERT_TRUE(index.Find(KUID(10, 2, 0), a));
  EXPECT_EQ(a.info.localisedName, "Q");
}

TEST_F(AssetIndexTest, DamagedOrForeignFilesAreRebuiltNeverTrusted) {
  std::string expected;
  {
    AssetIndex index = Kept();
    index.Refresh();
    expected = Answers(index, asked);
  }
  std::string whole;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(File(), whole));
  ASSERT_GT(whole.size(), 8192u);

  SoupRef other = Config(KUID(10, 1, 0), "Elsewhere", "scenery");
  const std::vector<std::string> damaged = {
      whole.substr(0, whole.size() / 2),                               // cut short
      whole.substr(0, 100),                                            // the header alone
      std::string(whole.size(), 'x'),                                  // garbage
      whole.substr(0, 4096) + std::string(whole.size() - 4096, '\0'),  // pages lost
  };
  for (const std::string& bytes : damaged) {
    // Either may be missing: the damaged index below is to be met alone.
    (void)Kiv::File::Unlink(File() + "-wal");
    (void)Kiv::File::Unlink(File() + "-shm");
    tree.WriteFile("user/cache/assetindex.db", bytes);
    LogLines log;
    AssetIndex index = Kept();
    index.Refresh();
    EXPECT_EQ(Answers(index, asked), expected) << bytes.size();
    EXPECT_TRUE(index.IsPersistent());
    EXPECT_EQ(log.Count("rebuilding it from the folders"), 1) << bytes.size();
  }

  // A database of some other program, and an index of other folders.
  {
    ASSERT_TRUE(Kiv::File::Unlink(File()));
    Sql::Database foreign;
    ASSERT_TRUE(foreign.Open(File()));
    ASSERT_TRUE(foreign.Exec("CREATE TABLE folders(path TEXT); INSERT INTO folders VALUES ('/etc')"));
  }
  for (int round = 0; round < 2; ++round) {
    LogLines log;
    AssetIndex index = round == 0 ? Kept() : AssetIndex(tree.Path("user"), tree.Path("other"), File());
    index.Refresh();
    EXPECT_EQ(log.Count("rebuilding it from the folders"), 1) << round;
    if (round == 0) {
      EXPECT_EQ(Answers(index, asked), expected);
    }
  }
}

// A damaged index whose file cannot be removed is not opened again and again: the
// refusal is logged with the file and the reason, and the index lives in memory.
TEST_F(AssetIndexTest, ADamagedIndexThatCannotBeRemovedKeepsTheIndexInMemory) {
  const std::string garbage(20000, 'x');
  tree.WriteFile("user/cache/assetindex.db", garbage);
  Kiv::File::SetFaultInjector([](std::string_view step) { return step != "delete"; });
  LogLines log;
  AssetIndex index = Kept();
  index.Refresh();
  Kiv::File::SetFaultInjector(nullptr);
  EXPECT_FALSE(index.IsPersistent());
  EXPECT_EQ(log.Count("AssetIndex> cannot remove '" + File() + "': cannot delete '" + File() +
                      "': Permission denied"),
            1);
  EXPECT_GE(log.Count("keeping the index in memory"), 1);
  std::string kept;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(File(), kept));
  EXPECT_EQ(kept, garbage);
  AssetIndex fresh = Fresh();
  fresh.Refresh();
  EXPECT_EQ(Answers(index, asked), Answers(fresh, asked));
}

TEST_F(AssetIndexTest, UnwritableCacheFolderKeepsTheIndexInMemory) {
  tree.WriteFile("user/cache", "a file where the folder should be");
  LogLines log;
  AssetIndex index = Kept();
  index.Refresh();
  EXPECT_FALSE(index.IsPersistent());
  EXPECT_EQ(log.Count("keeping the index in memory"), 1);
  AssetIndex fresh = Fresh();
  fresh.Refresh();
  EXPECT_EQ(Answers(index, asked), Answers(fresh, asked));
}

TEST_F(AssetIndexTest, ConfigsAboveTheSizeLimitAreSkippedAtTheLimitIndexed) {
  // A valid config padded with blank lines to an exact size.
  auto sized = [](const KUID& k, uint64_t size) {
    std::string text =
        "kuid <kuid:" + std::to_string(k.user) + ":" + std::to_string(k.content) + ">\nkind scenery\n";
    text.resize(size, '\n');
    return text;
  };
  tree.WriteFile("user/local/atlimit/config.txt", sized(KUID(40, 1, 0), kMaxConfigFileBytes));
  tree.WriteFile("user/local/over/config.txt", sized(KUID(40, 2, 0), kMaxConfigFileBytes + 1));
  LogLines log;
  AssetIndex index = Fresh();
  index.Refresh();
  AssetIndex::Asset a;
  EXPECT_TRUE(index.Find(KUID(40, 1, 0), a));
  EXPECT_FALSE(index.Find(KUID(40, 2, 0), a));
  EXPECT_EQ(log.Count("skipped '" + tree.Path("user/local/over") + "': config.txt is larger than 64 MiB"), 1);
}

TEST_F(AssetIndexTest, ConfigsLinkedFromOutsideTheirFolderAreSkipped) {
  tree.WriteSoup("elsewhere/config.txt", Config(KUID(50, 1, 0), "Outside", "scenery"));
  tree.WriteSoup("user/local/own/real.txt", Config(KUID(50, 2, 0), "Own", "scenery"));
  EXPECT_TRUE(Kiv::File::CreateDirectories(tree.Path("user/local/out")));
  ASSERT_EQ(
      symlink(tree.Path("elsewhere/config.txt").c_str(), tree.Path("user/local/out/config.txt").c_str()), 0);
  ASSERT_EQ(
      symlink(tree.Path("user/local/own/real.txt").c_str(), tree.Path("user/local/own/config.txt").c_str()),
      0);
  LogLines log;
  AssetIndex index = Fresh();
  index.Refresh();
  AssetIndex::Asset a;
  EXPECT_FALSE(index.Find(KUID(50, 1, 0), a));
  EXPECT_TRUE(index.Find(KUID(50, 2, 0), a));
  EXPECT_EQ(log.Count("leads outside the asset folder through a symbolic link"), 1);
}

// A folder of thousands of assets is checked in batches, the large ones shared among
// threads: configs edited in place (their folder's times unchanged) in the first batch,
// the second and at the very end are each read again, and only they.
TEST_F(AssetIndexTest, EditsAmongThousandsOfUnchangedAssetsAreEachFound) {
  constexpr int kMany = 2300;  // more than one batch
  const std::string many = tree.Path("user/local/many");
  ASSERT_TRUE(Kiv::File::CreateDirectories(many));
  auto write = [&](int i, const char* name) {
    // In place, as an editor saving over the file does: the folder's times stay.
    const std::string folder = many + "/m" + std::to_string(i);
    ::mkdir(folder.c_str(), 0755);
    std::string text;
    EXPECT_TRUE(WriteSoupText(Config(KUID(60, i, 0), name, "scenery"), text));
    std::FILE* f = std::fopen((folder + "/config.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  };
  for (int i = 0; i < kMany; ++i) write(i, "Same");
  {
    AssetIndex index = Kept();
    index.Refresh();
    EXPECT_EQ(index.ConfigsRead(), 9u + kMany);
  }
  {
    AssetIndex index = Kept();
    index.Refresh();
    EXPECT_EQ(index.ConfigsRead(), 0u);
  }
  NextTick();
  // Checked in the order of their names: the first, either side of the batch's end, the last.
  std::vector<std::string> names;
  for (int i = 0; i < kMany; ++i) names.push_back(std::to_string(i));
  std::sort(names.begin(), names.end());
  std::vector<int> edited;
  for (int at : {0, 1023, 2047, 2048, kMany - 1}) edited.push_back(std::stoi(names[at]));
  for (int i : edited) write(i, "Edited!");
  AssetIndex index = Kept();
  index.Refresh();
  EXPECT_EQ(index.ConfigsRead(), edited.size());
  AssetIndex fresh = Fresh();
  fresh.Refresh();
  EXPECT_EQ(Answers(index, asked), Answers(fresh, asked));
  for (int i : edited) {
    AssetIndex::Asset a;
    ASSERT_TRUE(index.Find(KUID(60, i, 0), a)) << i;
    EXPECT_EQ(a.info.localisedName, "Edited!") << i;
  }
}

// A first scan reads the configs of a large folder on several threads: each asset is
// indexed from its own folder, what the parser says of malformed configs comes in the
// folders' order, and of three copies of one KUID the one that sorts first wins.
TEST_F(AssetIndexTest, AFirstScanOfThousandsOfAssetsKeepsEachWithItsOwnFolder) {
  constexpr int kMany = 2100;  // more than one batch of reads
  auto folder = [](int i) { return std::string("user/local/many/f").append(std::to_string(i)); };
  auto malformed = [](int i) { return i % 500 == 7; };
  auto copy = [](int i) { return i % 1000 == 3; };  // 3, 1003 and 2003 share a KUID
  for (int i = 0; i < kMany; ++i) {
    if (malformed(i))
      tree.WriteFile(folder(i) + "/config.txt",
                     std::string("kuid <kuid:70:").append(std::to_string(i)) + ">\nbroken {\n");
    else
      tree.WriteSoup(folder(i) + "/config.txt",
                     Config(KUID(70, copy(i) ? 3 : i, 0), std::string("N").append(std::to_string(i)).c_str(),
                            "scenery"));
  }
  // Read first (without regard to case), "acase" loses to "Zcase" (byte order); the first
  // guess is corrected, as is that of the older version being up to date.
  tree.WriteSoup("user/local/many/acase/config.txt", Config(KUID(70, 5000, 0), "a", "scenery"));
  tree.WriteSoup("user/local/many/Zcase/config.txt", Config(KUID(70, 5000, 0), "Z", "scenery"));
  tree.WriteSoup("user/local/many/old/config.txt", Config(KUID(70, 6000, 0), "old", "scenery"));
  tree.WriteSoup("user/local/many/newer/config.txt", Config(KUID(70, 6000, 1), "new", "scenery"));
  LogLines log;
  AssetIndex index = Kept();
  index.Refresh();
  EXPECT_EQ(index.ConfigsRead(), 13u + kMany);
  std::vector<std::string> told;
  for (const std::string& line : log.With("LoadSoupFile>"))
    if (line.find("/many/") != std::string::npos) told.push_back(line.substr(line.find("/many/") + 6));
  const std::vector<std::string> inOrder{"f1007/", "f1507/", "f2007/", "f507/", "f7/"};
  ASSERT_EQ(told.size(), inOrder.size());
  for (size_t i = 0; i < told.size(); ++i) EXPECT_EQ(told[i].rfind(inOrder[i], 0), 0u) << told[i];
  AssetIndex::Asset a;
  for (int i = 0; i < kMany; ++i) {
    const bool found = index.Find(KUID(70, i, 0), a);
    if (malformed(i) || (copy(i) && i != 3)) {
      EXPECT_FALSE(found && a.info.kuid == KUID(70, i, 0)) << i;
      continue;
    }
    ASSERT_TRUE(found) << i;
    const int from = copy(i) ? 1003 : i;
    EXPECT_EQ(a.folder, tree.Path(folder(from))) << i;
    EXPECT_EQ(a.info.localisedName, std::string("N").append(std::to_string(from))) << i;
  }
  EXPECT_EQ(log.Count("duplicate <kuid:70:3> in '"), 2);
  ASSERT_TRUE(index.Find(KUID(70, 5000, 0), a));
  EXPECT_EQ(a.info.localisedName, "Z");
  std::map<std::string, uint32_t> states;
  index.ForEach(
      [&](const AssetIndex::Asset& each) { states[each.info.localisedName] = each.info.stateFlags; });
  EXPECT_TRUE(states["old"] & (1u << kStateObsolete));
  EXPECT_FALSE(states["old"] & (1u << kStateUpToDate));
  EXPECT_TRUE(states["new"] & (1u << kStateUpToDate));
  EXPECT_TRUE(states["N5"] & (1u << kStateUpToDate));
}

// A new index is built aside and put in place whole: what a build that ended early left
// is never taken for the index, and a second process waits for the one building.
TEST_F(AssetIndexTest, ANewIndexIsBuiltAsideAndPutInPlaceWhole) {
  std::string expected;
  {
    AssetIndex fresh = Fresh();
    fresh.Refresh();
    expected = Answers(fresh, asked);
  }
  // A build cut short and a journal of an index since removed.
  tree.WriteFile("user/cache/assetindex.db-new", std::string(40000, 'x'));
  tree.WriteFile("user/cache/assetindex.db-journal", std::string(8192, '\0'));
  {
    AssetIndex index = Kept();
    index.Refresh();
    EXPECT_TRUE(index.IsPersistent());
    EXPECT_EQ(Answers(index, asked), expected);
  }
  EXPECT_FALSE(Kiv::File::Exists(File() + "-new"));
  {
    AssetIndex index = Kept();  // the file put in place serves the next run
    index.Refresh();
    EXPECT_TRUE(index.IsPersistent());
    EXPECT_EQ(index.ConfigsRead(), 0u);
    EXPECT_EQ(Answers(index, asked), expected);
  }

  // Another process building: this one waits for it and then builds the index itself,
  // the other having left none.
  ASSERT_TRUE(Kiv::File::Unlink(File()));
  const int held = ::open((File() + "-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  std::string answers;
  bool persistent = false;
  std::thread second([&] {
    AssetIndex index = Kept();
    index.Refresh();
    persistent = index.IsPersistent();
    answers = Answers(index, asked);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(Kiv::File::Exists(File()));  // still waiting
  ::close(held);
  second.join();
  EXPECT_TRUE(persistent);
  EXPECT_EQ(answers, expected);
}

// A build that cannot take the index's name (here a folder took it meanwhile) leaves the
// index in memory for the run, answering as a fresh scan does.
TEST_F(AssetIndexTest, ABuildThatCannotBePutInPlaceKeepsTheIndexInMemory) {
  for (int i = 0; i < 500; ++i) {  // a build long enough to step in while it runs
    const std::string folder = tree.Path("user/local/m" + std::to_string(i));
    ::mkdir(folder.c_str(), 0755);
    std::string text;
    EXPECT_TRUE(WriteSoupText(Config(KUID(70, i, 0), "M", "scenery"), text));
    std::FILE* f = std::fopen((folder + "/config.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  std::string expected;
  {
    AssetIndex fresh = Fresh();
    fresh.Refresh();
    expected = Answers(fresh, asked);
  }
  ASSERT_TRUE(Kiv::File::CreateDirectories(tree.Path("user/cache")));
  std::atomic<bool> done{false};
  std::thread blocker([&] {
    while (!done && !Kiv::File::Exists(File() + "-new"))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    EXPECT_TRUE(Kiv::File::CreateDirectories(File() + "/taken"));
  });
  LogLines log;
  AssetIndex index = Kept();
  index.Refresh();
  done = true;
  blocker.join();
  ASSERT_TRUE(Kiv::File::IsDirectory(File() + "/taken"));
  EXPECT_FALSE(index.IsPersistent());
  EXPECT_EQ(log.Count("cannot put"), 1);
  EXPECT_EQ(Answers(index, asked), expected);
  EXPECT_FALSE(Kiv::File::Exists(File() + "-new"));
}

// A disk that fills while the new index's file is written: said with the file and the
// reason, the index is kept in memory for the run, and no part of the file is left.
TEST_F(AssetIndexTest, ABuildOnAFullDiskKeepsTheIndexInMemory) {
  std::string expected;
  {
    AssetIndex fresh = Fresh();
    fresh.Refresh();
    expected = Answers(fresh, asked);
  }
  Kiv::File::SetFaultInjector([](std::string_view step) { return step != "write data"; });
  LogLines log;
  AssetIndex index = Kept();
  index.Refresh();
  EXPECT_FALSE(index.IsPersistent());  // waits for the file's writer
  Kiv::File::SetFaultInjector(nullptr);
  EXPECT_EQ(log.Count("AssetIndex> cannot put '" + File() + "-new' in place (cannot write '" + File() +
                      "-new': No space left on device), keeping the index in memory"),
            1);
  EXPECT_EQ(Answers(index, asked), expected);
  EXPECT_FALSE(Kiv::File::Exists(File()));
  EXPECT_FALSE(Kiv::File::Exists(File() + "-new"));
  // The next run builds it.
  AssetIndex next = Kept();
  next.Refresh();
  EXPECT_TRUE(next.IsPersistent());
  EXPECT_EQ(Answers(next, asked), expected);
}

// A new index's file is written while the command goes on with the index in memory; a
// later refresh of the same index goes on in the file, so what it finds is kept for the
// next run.
TEST_F(AssetIndexTest, ARefreshAfterABuildGoesOnInItsFile) {
  {
    AssetIndex index = Kept();
    index.Refresh();
    NextTick();
    tree.WriteSoup("user/local/later/config.txt", Config(KUID(10, 6, 0), "Later", "scenery"));
    index.Refresh();
    EXPECT_TRUE(index.IsPersistent());
    EXPECT_EQ(index.ConfigsRead(), 1u);
  }
  AssetIndex next = Kept();
  next.Refresh();
  EXPECT_TRUE(next.IsPersistent());
  EXPECT_EQ(next.ConfigsRead(), 0u);
  AssetIndex fresh = Fresh();
  fresh.Refresh();
  EXPECT_EQ(Answers(next, asked), Answers(fresh, asked));
}

}  // namespace
