#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/AssetSpec.h"
#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "kiv/Clock.h"
#include "kiv/File.h"
#include "kiv/Log.h"
#include "kiv/TempFolder.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"

#include "AssetTree.h"

namespace {

const KUID kShed(523, 10, 0);
const KUID kLoco(523, 11, 0);
const KUID kNoAsset(999, 9, 0);

class LogLines {
public:
  LogLines() {
    m_id = Kiv::Log::Instance().AddListener(
        [this](Kiv::LogLevel, std::string_view l) { m_lines.emplace_back(l); });
  }
  ~LogLines() { Kiv::Log::Instance().RemoveListener(m_id); }
  const std::vector<std::string>& Lines() const { return m_lines; }

private:
  int m_id;
  std::vector<std::string> m_lines;
};

class SpecRegistryTest : public ::testing::Test {
protected:
  void SetUp() override {
    SoupRef shed = SoupRef::NewContainer();
    shed.SetNamedTagKUID("kuid", kShed);
    shed.SetNamedTag("username", "Shed");
    shed.SetNamedTag("kind", "scenery");
    shed.SetNamedTagFloat("rovana-build", 2.9f);
    SoupRef includes = SoupRef::NewContainer();
    includes.SetNamedTagKUID("0", kLoco);
    includes.SetNamedTag("1", "not a kuid");
    EXPECT_TRUE(shed.SetNamedSoup("script-include-table", includes));
    Write("user/local/shed/config.txt", shed);

    SoupRef loco = SoupRef::NewContainer();
    loco.SetNamedTagKUID("kuid", kLoco);
    loco.SetNamedTag("kind", "Traincar");
    loco.SetNamedTag("class", "Loco");
    loco.SetNamedTag("asset-filename", "LocoBody");
    Write("user/local/loco/config.txt", loco);
    ASSERT_TRUE(m_tree.Open());
  }
  void TearDown() override { m_tree.Close(); }
  void Write(const std::string& relative, const SoupRef& soup) { m_tree.WriteConfig(relative, soup); }
  static uint64_t Requests(uint32_t id) { return AssetTree::Requests(id); }
  static SpecRegistry& Registry() { return AssetTree::Registry(); }

  AssetTree m_tree{"spec-registry-test"};
};

TEST_F(SpecRegistryTest, OneSpecPerKuidSharedByHandles) {
  SpecRef a = Registry().GetSpec(kShed);
  ASSERT_TRUE(a);
  SpecRef b = Registry().GetSpec(kShed);
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_EQ(a->Holders(), 2);
  EXPECT_TRUE(a->IsValid());
  EXPECT_TRUE(a->IsLoaded());
  EXPECT_EQ(a->Name(), "shed");
  EXPECT_EQ(a->AssetFolder(), m_tree.Path("user/local/shed"));
  EXPECT_EQ(a->ContentRoot(), m_tree.Path("user/local"));
  EXPECT_STREQ(a->Kind().c_str(), "scenery");
  EXPECT_EQ(a->GetDescription(), "<kuid:523:10> \"Shed\"");

  Kiv::Clock::SetMillisecondsSource([] { return uint64_t{1234}; });
  b.Reset();
  Kiv::Clock::SetMillisecondsSource(nullptr);
  EXPECT_EQ(a->Holders(), 1);
  EXPECT_EQ(a->LastReleaseTime(), 1234u);
  // A held spec survives a purge; an unheld one goes.
  EXPECT_FALSE(Registry().Purge());
  a.Reset();
  EXPECT_TRUE(Registry().Purge());
  EXPECT_EQ(Registry().SpecCount(), 0u);
}

TEST_F(SpecRegistryTest, NullAndUnknownKuidsAreRememberedUntilTheFlush) {
  EXPECT_FALSE(Registry().GetSpec(KUID::Null()));
  EXPECT_EQ(Requests(26), 0u);

  EXPECT_FALSE(Registry().GetSpec(kNoAsset));
  const uint64_t resolves = Requests(26);
  EXPECT_EQ(resolves, 1u);
  EXPECT_FALSE(Registry().GetSpec(kNoAsset));
  EXPECT_EQ(Requests(26), resolves);  // answered from the cache

  // An asset that appears is found only once the database says its contents changed.
  SoupRef late = SoupRef::NewContainer();
  late.SetNamedTagKUID("kuid", kNoAsset);
  Write("user/local/late/config.txt", late);
  // Set-up; the checks below show a failure.
  (void)UMBWithDatabase([](AssetDatabase& d) { dynamic_cast<FolderAssetDatabase&>(d).Rescan(); });
  EXPECT_TRUE(Registry().GetSpec(kNoAsset));
  EXPECT_EQ(Requests(26), resolves + 1);
}

TEST_F(SpecRegistryTest, BuildEstimateAndFileName) {
  auto build = [](const char* text) {
    SoupRef c;
    EXPECT_TRUE(ParseSoupText(text, c));
    return EstimateBuild(c);
  };
  EXPECT_FLOAT_EQ(build("rovana-build 2.9\n"), 2.905f);
  EXPECT_FLOAT_EQ(build("rovana-build 0.5\n"), 1.3f);
  EXPECT_FLOAT_EQ(build("rovana-build 150\nclass \"X\"\n"), 2.0f);
  EXPECT_FLOAT_EQ(build("scriptclass \"X\"\n"), 2.0f);
  EXPECT_FLOAT_EQ(build("username \"plain\"\n"), 1.3f);

  SoupRef old;
  ASSERT_TRUE(ParseSoupText("rovana-build 2.49\nasset-filename \"MyBody\"\n", old));
  EXPECT_EQ(RovanaBaseSpec(kLoco, "", "", "x", old).FileName(), "mybody");
  SoupRef newer;
  ASSERT_TRUE(ParseSoupText("rovana-build 2.5\nasset-filename \"MyBody\"\n", newer));
  EXPECT_EQ(RovanaBaseSpec(kLoco, "", "", "x", newer).FileName(), "default");
  // Without "asset-filename" the folder's name stands in.
  EXPECT_EQ(RovanaBaseSpec(kLoco, "", "", "Folder", SoupRef()).FileName(), "folder");
}

TEST_F(SpecRegistryTest, IncludeKuidsAndScriptInfo) {
  SpecRef shed = Registry().GetSpec(kShed);
  ASSERT_TRUE(shed);
  std::vector<KUID> includes;
  shed.AsBase()->GetIncludeKUIDs(includes);
  EXPECT_EQ(includes, (std::vector<KUID>{kLoco, KUID::Null()}));

  SpecRef loco = Registry().GetSpec(kLoco);
  ASSERT_TRUE(loco);
  EXPECT_FLOAT_EQ(loco.AsBase()->Build(), 2.0f);
  EXPECT_EQ(loco->FileName(), "locobody");
}

class CountingFactory : public GKSpecFactory {
public:
  explicit CountingFactory(const char* name, bool valid) : GKSpecFactory(name), m_valid(valid) {}
  std::unique_ptr<GizmokitSpec> Create(const KUID& kuid, std::string_view key, std::string_view folder,
                                       std::string_view name, const SoupRef& config) override {
    ++made;
    class Spec : public RovanaBaseSpec {
    public:
      using RovanaBaseSpec::RovanaBaseSpec;
      bool Validate() override { return valid; }
      bool valid = true;
    };
    auto spec = std::make_unique<Spec>(kuid, key, folder, name, config);
    spec->valid = m_valid;
    return spec;
  }
  int made = 0;

private:
  bool m_valid;
};

TEST_F(SpecRegistryTest, FactoriesByKindIgnoringCaseAndInvalidSpecsLeave) {
  CountingFactory traincar("traincar", false);
  Registry().AddFactory(&traincar);
  {
    // The loco's kind is "Traincar": its factory makes a spec that fails validation.
    SpecRef loco = Registry().GetSpec(kLoco);
    EXPECT_FALSE(loco);
    EXPECT_EQ(traincar.made, 1);
    EXPECT_FALSE(Registry().FindSpec(kLoco));
  }
  {
    auto fallback = std::make_unique<CountingFactory>("--fallback--", true);
    Registry().SetDefaultFactory(fallback.get());
    SpecRef shed = Registry().GetSpec(kShed);
    EXPECT_TRUE(shed);
    EXPECT_EQ(fallback->made, 1);
    // A destroyed factory leaves the registry, default included.
    fallback.reset();
    shed.Reset();
    // Set-up; the checks below show a failure.
    (void)Registry().Purge();
    EXPECT_TRUE(Registry().GetSpec(kShed));
  }
}

TEST_F(SpecRegistryTest, SafePointersAreClearedAndHeldSpecsReportedAsLeaks) {
  SafePointer<GizmokitSpec> watcher;
  {
    SpecRef shed = Registry().GetSpec(kShed);
    watcher.Set(shed.Get());
  }
  EXPECT_TRUE(watcher);
  // Set-up; the checks below show a failure.
  (void)Registry().Purge();
  EXPECT_FALSE(watcher);

  SpecRef kept = Registry().GetSpec(kLoco);
  SpecRef again = kept;
  LogLines log;
  Registry().Shutdown();
  ASSERT_GE(log.Lines().size(), 2u);
  EXPECT_NE(log.Lines()[0].find("Leaked specs:"), std::string::npos);
  EXPECT_NE(log.Lines()[1].find("  (   2) - <kuid:523:11> \""), std::string::npos);
}

TEST(SpecRegistryHash, BucketOfFollowsTheKuidWords) {
  EXPECT_EQ(SpecRegistry::BucketOf(KUID(1, 2, 3)), ((2u << 5) ^ 3u ^ 1u) % 4093u);
  // Negative fields hash as their unsigned words.
  EXPECT_EQ(SpecRegistry::BucketOf(KUID(-5, 7, 127)), ((7u << 5) ^ 127u ^ static_cast<uint32_t>(-5)) % 4093u);
}

}  // namespace
