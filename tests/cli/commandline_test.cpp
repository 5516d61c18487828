// Command lines of batch files and of the command host, and start-up options.
#include <gtest/gtest.h>

#include "cli/CommandLine.h"
#include "cli/Options.h"
#include "TempTree.h"

using Cli::SplitCommandLine;

namespace {

std::vector<std::string> Split(std::string_view line) {
  std::vector<std::string> args;
  std::string error;
  EXPECT_TRUE(SplitCommandLine(line, args, error)) << line << ": " << error;
  return args;
}

}  // namespace

TEST(CommandLine, QuotesKeepBlanksAndMayBeEmpty) {
  EXPECT_EQ(Split("\"compile\" \"my scripts/a b.gs\" \"-s\""),
            (std::vector<std::string>{"compile", "my scripts/a b.gs", "-s"}));
  EXPECT_EQ(Split("compile \"\" -s"), (std::vector<std::string>{"compile", "", "-s"}));
  EXPECT_EQ(Split("  help\t \"x\"\r"), (std::vector<std::string>{"help", "x"}));
  EXPECT_EQ(Split("-i\"C:\\My Path\"x"), (std::vector<std::string>{"-iC:\\My Pathx"}));
  EXPECT_TRUE(Split("   \r").empty());
  EXPECT_TRUE(Split("").empty());
}

TEST(CommandLine, MalformedLinesAreRefusedWhole) {
  std::vector<std::string> args{"left over"};
  std::string error;
  EXPECT_FALSE(SplitCommandLine("compile \"open", args, error));
  EXPECT_TRUE(args.empty());
  EXPECT_EQ(error, "unterminated quote");
  EXPECT_FALSE(SplitCommandLine(std::string_view("help\0x", 6), args, error));
  EXPECT_TRUE(args.empty());
}

TEST(BatchFile, EveryNonBlankLineIsOneCommand) {
  TempTree tree;
  std::string path = tree.Write("batch.txt", "\"help\"\r\n\n  \ncompile \"a b.gs\"\n\"x\" \"\"");
  std::vector<Cli::BatchCommand> commands;
  std::string error;
  ASSERT_TRUE(Cli::ReadBatchFile(path, commands, error)) << error;
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].line, 1);
  EXPECT_EQ(commands[0].args, std::vector<std::string>{"help"});
  EXPECT_EQ(commands[1].line, 4);
  EXPECT_EQ(commands[1].args, (std::vector<std::string>{"compile", "a b.gs"}));
  EXPECT_EQ(commands[2].line, 5);
  EXPECT_EQ(commands[2].args, (std::vector<std::string>{"x", ""}));
}

// The messages themselves are checked where the program prints them.
TEST(BatchFile, ProblemsGiveNoCommands) {
  TempTree tree;
  std::vector<Cli::BatchCommand> commands{{7, {"stale"}}};
  std::string error;
  std::string bad = tree.Write("bad.txt", "\"help\"\n\"compile\" \"x.gs\n\"help\"\n");
  EXPECT_FALSE(Cli::ReadBatchFile(bad, commands, error));
  EXPECT_TRUE(commands.empty());
  EXPECT_FALSE(Cli::ReadBatchFile(tree.MakeDir("folder"), commands, error));
  EXPECT_FALSE(error.empty());
}

TEST(StartupOptions, TakenFromAnywhereAndRemoved) {
  std::vector<std::string> args{"rovanautil", "-kivlog",      "compile", "norender",
                                "x.gs",       "-noumbclient", "-s",      "-nostartumbdaemon"};
  Cli::StartupOptions options = Cli::TakeStartupOptions(args);
  EXPECT_EQ(args, (std::vector<std::string>{"rovanautil", "compile", "x.gs", "-s"}));
  EXPECT_TRUE(options.noRender);
  EXPECT_TRUE(options.kivLog);
  EXPECT_FALSE(options.umbClient);
  EXPECT_FALSE(options.startUmbDaemon);

  // Defaults; the program name and near misses are never options.
  std::vector<std::string> plain{"norender", "help", "-KIVLOG", "norender2"};
  options = Cli::TakeStartupOptions(plain);
  EXPECT_EQ(plain, (std::vector<std::string>{"norender", "help", "-KIVLOG", "norender2"}));
  EXPECT_FALSE(options.noRender);
  EXPECT_FALSE(options.kivLog);
  EXPECT_TRUE(options.umbClient);
  EXPECT_TRUE(options.startUmbDaemon);
}
