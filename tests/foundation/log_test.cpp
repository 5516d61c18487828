#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/Log.h"
#include "kiv/Log.h"

TEST(LogLine, OneFormattedLineAtLevelTwo) {
  std::vector<std::pair<Kiv::LogLevel, std::string>> lines;
  const int id = Kiv::Log::Instance().AddListener(
      [&](Kiv::LogLevel level, std::string_view line) { lines.emplace_back(level, std::string(line)); });
  const char* outside = "100% %s %n";
  LogLine("Test::Case> '%s' %d", outside, 42);
  Kiv::Log::Instance().RemoveListener(id);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(static_cast<int>(lines[0].first), 2);
  EXPECT_EQ(lines[0].second, "Test::Case> '100% %s %n' 42");
}

TEST(ReportFatalErrorDeathTest, MessageOnStandardErrorAndExitCodeOne) {
  EXPECT_EXIT(ReportFatalError("Cannot continue: %s (%d)", "disk full", 28), ::testing::ExitedWithCode(1),
              "Cannot continue: disk full \\(28\\)");
}
