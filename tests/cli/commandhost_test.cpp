// The command host's line protocol and its requests; the script log printer.
#include <gtest/gtest.h>

#include <string>

#include "cli/CommandHost.h"
#include "cli/StartUp.h"
#include "foundation/ResultsLog.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/Log.h"
#include "TempTree.h"

namespace {

std::string Serve(const std::string& input, int* answered = nullptr) {
  std::string copy = input;
  std::FILE* in = fmemopen(copy.data(), copy.size(), "r");
  CapturedOutput out;
  int n = Cli::ServeCommandHost(in, out.File());
  std::fclose(in);
  if (answered) *answered = n;
  return out.Text();
}

}  // namespace

TEST(CommandHost, RoundTripOfBothRequests) {
  TempTree tree;
  std::string asset = tree.MakeDir("local/my asset");
  tree.Write("local/my asset/config.txt", "kuid <kuid:1:2>\n");
  std::string textures = tree.MakeDir("tex");
  tree.Write("tex/sub/wall.texture.txt", "Primary=wall.png\n");

  int answered = 0;
  std::string out =
      Serve("1 0 \"" + asset + "\"\n\n22 1 \"" + textures + "\" \"set\"\n3 1 \"" + asset + "\"", &answered);
  EXPECT_EQ(answered, 3);
  // Without the config schema library the check is refused, not passed.
  EXPECT_NE(
      out.find("1 R 3 The config schema library is not running; '" + asset + "' was not checked.\n1 OK 0\n"),
      std::string::npos)
      << out;
  // The named content set does not exist: nothing is converted.
  EXPECT_NE(out.find("22 R 3 $umbtexture_invalid_subst\n22 OK 0\n"), std::string::npos) << out;
  // No texture description: nothing to convert is success (a last line without
  // a line break is still a request).
  EXPECT_NE(out.find("3 OK 2\n"), std::string::npos) << out;
}

TEST(CommandHost, RequestFailuresAnswerWithTheirResults) {
  TempTree tree;
  std::string empty = tree.MakeDir("empty");
  std::string out =
      Serve("7 0 \"" + tree.Path("gone") + "\"\n8 0 \"" + empty + "\"\n9 1 \"" + tree.Path("gone") + "\"\n");
  EXPECT_EQ(out, "7 R 3 Asset folder '" + tree.Path("gone") +
                     "' not found.\n7 OK 0\n"
                     "8 R 3 $umb_unable_read_config_at\n8 OK 0\n"
                     "9 R 3 Unable to search path: '" +
                     tree.Path("gone") + "'\n9 OK 0\n");
}

TEST(CommandHost, MalformedLinesGetErrorsAndTheHostGoesOn) {
  int answered = -1;
  using namespace std::string_literals;
  std::string out = Serve(
      "x 0 a\n"           // id not a number
      "1234567890 0 a\n"  // id too long
      "4\n"               // no request number
      "5 zero a\n"        // request not a number
      "6 9 a\n"           // unknown request
      "7 0\n"             // validate without folder
      "8 0 a b\n"         // validate with two
      "9 1\n"             // textures without folder
      "10 1 a b c\n"      // textures with three
      "11 0 \"open\n"     // unterminated quote: the id is still known
      "\"12 0 a\n"        // unterminated quote in the id
      "13 0 a\0b\n"s      // NUL byte
          + "1\0 0 a\n"s  // NUL byte in the id
          + "   \n",      // blank: ignored
      &answered);
  EXPECT_EQ(answered, 0);
  EXPECT_EQ(out,
            "- ERR bad transaction id\n"
            "- ERR bad transaction id\n"
            "4 ERR missing or bad request number\n"
            "5 ERR missing or bad request number\n"
            "6 ERR unknown request 9\n"
            "7 ERR request 0 takes one argument: the asset folder\n"
            "8 ERR request 0 takes one argument: the asset folder\n"
            "9 ERR request 1 takes the folder and an optional content-set name\n"
            "10 ERR request 1 takes the folder and an optional content-set name\n"
            "11 ERR unterminated quote\n"
            "- ERR unterminated quote\n"
            "13 ERR NUL byte in command line\n"
            "- ERR NUL byte in command line\n");
  EXPECT_EQ(Serve(""), "");
}

TEST(CommandHost, OverlongLinesAndLineBreaksInResultsStayOneLine) {
  std::string longLine(Cli::kMaxHostLine + 10, 'a');
  std::string out = Serve("1 0 " + longLine + "\n2 9\n");
  EXPECT_EQ(out, "- ERR request line longer than " + std::to_string(Cli::kMaxHostLine) +
                     " bytes\n2 ERR unknown request 9\n");

  // A folder name with a line break and a backslash is escaped in the answer.
  out = Serve("3 0 \"no\\where\rx\"\n");
  EXPECT_EQ(out, "3 R 3 Asset folder 'no\\\\where\\rx' not found.\n3 OK 0\n");
}

TEST(ScriptLog, PrinterWritesOneCutLogLine) {
  std::vector<std::string> lines;
  int id = Kiv::Log::Instance().AddListener(
      [&](Kiv::LogLevel, std::string_view line) { lines.emplace_back(line); });
  GSRuntime::ScriptLogHook = &Cli::ScriptLogPrinter;
  GSRuntime::ScriptLogHook("Could not resolve native link %s (%d)", "$int@X::Y()", 3);
  std::string big(20000, 'z');
  GSRuntime::ScriptLogHook("%s", big.c_str());
  GSRuntime::ScriptLogHook = nullptr;
  Kiv::Log::Instance().RemoveListener(id);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "ScriptLog> Could not resolve native link $int@X::Y() (3)");
  EXPECT_EQ(lines[1], "ScriptLog> " + std::string(16383, 'z'));
}
