#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "foundation/InterfaceTextDB.h"
#include "foundation/ResultsLog.h"
#include "kiv/TempFolder.h"

namespace {

SoupRef Params(std::initializer_list<std::pair<const char*, const char*>> tags) {
  SoupRef soup;
  for (auto& [name, value] : tags) soup.SetNamedTag(Kiv::PString(name), value);
  return soup;
}

}  // namespace

TEST(ResultsLog, PlaceholdersFilledFromParameterTags) {
  ResultsLog log;
  SoupRef params = Params({{"filename", "main.gs"}, {"Line", "12"}, {"value", "$(FILENAME)"}});
  params.SetNamedTagInt(Kiv::PString("count"), 3);
  log.AddResult(3, nullptr, "Error in $(FILENAME) line $(LINE): $(COUNT) times, $(VALUE), $(UNKNOWN), $(",
                params);
  log.AddResult(1, nullptr, "No parameters: $(FILENAME)");
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  // Inserted values are not searched again; unknown placeholders stay.
  EXPECT_EQ(entries[0].text, "Error in main.gs line 12: 3 times, $(FILENAME), $(UNKNOWN), $(");
  EXPECT_EQ(entries[0].severity, 3);
  EXPECT_EQ(entries[1].text, "No parameters: $(FILENAME)");
}

TEST(ResultsLog, CountsPerSeverityInOrder) {
  ResultsLog log;
  const int severities[] = {1, 2, 3, 3, 4, 2, 3, 0, 9};
  for (int s : severities) log.AddResult(s, nullptr, std::string("r").append(std::to_string(s)));
  EXPECT_EQ(log.InformationCount(), 1);
  EXPECT_EQ(log.WarningCount(), 2);
  // The two out-of-range severities are kept as errors, not lost.
  EXPECT_EQ(log.ErrorCount(), 5);
  EXPECT_EQ(log.SuccessCount(), 1);
  EXPECT_EQ(log.Count(7), 0);
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 9u);
  EXPECT_EQ(entries[4].text, "r4");
  EXPECT_EQ(entries[7].severity, 3);
  log.Clear();
  EXPECT_EQ(log.Size(), 0u);
  EXPECT_EQ(log.ErrorCount(), 0);
}

TEST(ResultsLog, AssetPropertyIsCountedAndKept) {
  ResultsLog log;
  RovanaPropertyRef ref;
  auto* property = new RovanaPropertyAssetID(Kiv::PString("asset"), KUID(123, 456, 2));
  ref.Set(property);  // the first holder
  EXPECT_EQ(property->GetReferenceCount(), 1);
  log.AddResult(2, ref.Get(), "warned");
  EXPECT_EQ(property->GetReferenceCount(), 2);
  ref.Reset();  // the log's reference keeps it alive
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_NE(entries[0].asset.AssetKUID(), nullptr);
  EXPECT_EQ(*entries[0].asset.AssetKUID(), KUID(123, 456, 2));
  EXPECT_EQ(entries[0].asset.Get()->Name(), Kiv::PString("asset"));
}

TEST(ResultsLog, MessageKeysResolveBeforeFilling) {
  namespace fs = std::filesystem;
  const Kiv::TempFolder temp("rovana-rlog");
  const fs::path dir = temp.Root();
  std::ofstream(dir / "t.txt") << "$test_key File '$(FILENAME)' is broken\n";
  const std::string saved = InterfaceTextDB::Folder();
  InterfaceTextDB::SetFolder(dir.string());
  ResultsLog log;
  log.AddResult(3, nullptr, "$test_key", Params({{"FileName", "x.txt"}}));
  log.AddResult(3, nullptr, "$missing_key_for_results");
  log.AddResult(1, nullptr, "$test_key with words stays as it is");
  auto entries = log.Entries();
  InterfaceTextDB::SetFolder(saved);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].text, "File 'x.txt' is broken");
  EXPECT_EQ(entries[1].text, "$missing_key_for_results");
  EXPECT_EQ(entries[2].text, "$test_key with words stays as it is");
}
