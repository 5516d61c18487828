// Every example of README.md and docs/*.md run as shown: a fenced block
// marked by a line "<!-- example -->" before it holds commands ("$ " lines)
// each followed by the output it prints (standard output and standard error
// together). The commands of one file run in order in a fresh copy of the
// parts of a clone they use, with the build's programs as build/release and on
// the PATH; each block in one shell, so "export" and "cd" last to its end.
// In a shown line "…" stands for any text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TempTree.h"

namespace {

namespace fs = std::filesystem;

struct Command {
  int line = 0;  // in the document, 1-based
  std::string text;
  std::vector<std::string> shown;
};

struct Example {
  int line = 0;  // of the marker
  std::vector<Command> commands;
};

const char kMarker[] = "<!-- example -->";
const char kEllipsis[] = "\xE2\x80\xA6";  // "…"

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The marked blocks of a document; a marker not followed by a fenced block, or a
// block whose first line is not a command, is reported in `problems`.
std::vector<Example> ParseExamples(const std::string& text, std::vector<std::string>& problems) {
  std::vector<Example> examples;
  const std::vector<std::string> lines = Lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != kMarker) continue;
    Example example;
    example.line = int(i) + 1;
    if (i + 1 >= lines.size() || lines[i + 1].rfind("```", 0) != 0) {
      problems.push_back("line " + std::to_string(example.line) +
                         ": the marker is not followed by a fenced block");
      continue;
    }
    size_t at = i + 2;
    for (; at < lines.size() && lines[at].rfind("```", 0) != 0; ++at) {
      if (lines[at].rfind("$ ", 0) == 0) {
        example.commands.push_back({int(at) + 1, lines[at].substr(2), {}});
      } else if (example.commands.empty()) {
        problems.push_back("line " + std::to_string(at + 1) + ": output before the first command");
      } else {
        example.commands.back().shown.push_back(lines[at]);
      }
    }
    if (at >= lines.size())
      problems.push_back("line " + std::to_string(example.line) + ": the block is not closed");
    examples.push_back(std::move(example));
    i = at;
  }
  return examples;
}

// A shown line against a printed one: each "…" stands for any text.
bool Matches(const std::string& shown, const std::string& printed) {
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t at; (at = shown.find(kEllipsis, from)) != std::string::npos; from = at + 3)
    pieces.push_back(shown.substr(from, at - from));
  pieces.push_back(shown.substr(from));
  if (pieces.size() == 1) return shown == printed;
  if (printed.compare(0, pieces.front().size(), pieces.front()) != 0) return false;
  size_t pos = pieces.front().size();
  for (size_t k = 1; k + 1 < pieces.size(); ++k) {
    pos = printed.find(pieces[k], pos);
    if (pos == std::string::npos) return false;
    pos += pieces[k].size();
  }
  const std::string& last = pieces.back();
  return printed.size() >= pos + last.size() &&
         printed.compare(printed.size() - last.size(), last.size(), last) == 0;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Runs one example's commands in `clone`; the output of each command.
std::vector<std::string> RunExample(const Example& example, const std::string& clone,
                                    const std::string& script) {
  std::ofstream out(script);
  out << "exec 2>&1 </dev/null\n"
      << "cd " << Quoted(clone) << "\n"
      << "export PATH=" << Quoted(clone + "/build/release") << ":\"$PATH\"\n"
      << "unset ROVANA_ROOT ROVANA_USERDATA\n";
  for (size_t i = 0; i < example.commands.size(); ++i)
    // The marker keeps the status of the command before it for "$?".
    out << "status=$?; printf '\\n\\036" << i << "\\n'; (exit $status)\n" << example.commands[i].text << "\n";
  out << "printf '\\n\\036end\\n'\n";
  out.close();
  std::string printed;
  if (std::FILE* pipe = popen(("bash " + Quoted(script)).c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) printed.append(buffer, n);
    pclose(pipe);
  }
  std::vector<std::string> outputs(example.commands.size());
  for (size_t i = 0; i < example.commands.size(); ++i) {
    const std::string begin = "\n\036" + std::to_string(i) + "\n";
    const std::string end =
        "\n\036" + (i + 1 < example.commands.size() ? std::to_string(i + 1) : "end") + "\n";
    const size_t from = printed.find(begin);
    const size_t to = from == std::string::npos ? std::string::npos : printed.find(end, from + begin.size());
    if (to != std::string::npos) outputs[i] = printed.substr(from + begin.size(), to - from - begin.size());
  }
  return outputs;
}

// A file of the build in the clone: linked when the file system allows, else copied.
void Place(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::create_hard_link(from, to, error);
  if (error) fs::copy_file(from, to);
}

// Lays out in `clone` what the examples use of a clone after a build. The
// build's programs and their folders are placed, not linked as a folder: a
// program finds its installation and class libraries beside its own path, and
// must find them where the examples name them.
void MakeClone(const std::string& clone) {
  const fs::path source = ROVANA_SOURCE_DIR, build = ROVANA_PROGRAM_DIR;
  const auto recursive = fs::copy_options::recursive;
  fs::create_directories(clone + "/tests/gamescript");
  fs::copy(source / "samples", clone + "/samples", recursive);
  fs::copy(source / "tests/gamescript/scripts", clone + "/tests/gamescript/scripts", recursive);
  fs::create_directories(clone + "/docs");
  fs::copy(source / "docs/scripts", clone + "/docs/scripts", recursive);
  const fs::path release = clone + "/build/release";
  fs::create_directories(release);
  for (const char* file : {"rovanautil", "gsrun", "rovana_nvtt.so"}) Place(build / file, release / file);
  for (const char* folder : {"scripts", "install"}) {
    fs::create_directories(release / folder);
    for (auto at = fs::recursive_directory_iterator(build / folder); at != fs::recursive_directory_iterator();
         ++at) {
      const fs::path relative = fs::relative(at->path(), build);
      // The user data a run of the build's own program laid out is not part of it.
      if (relative == fs::path("install/userdata")) {
        at.disable_recursion_pending();
        continue;
      }
      if (at->is_directory())
        fs::create_directories(release / relative);
      else
        Place(at->path(), release / relative);
    }
  }
}

std::vector<std::string> Documents() {
  std::vector<std::string> out{"README.md"};
  std::vector<std::string> docs;
  for (const auto& entry : fs::directory_iterator(fs::path(ROVANA_SOURCE_DIR) / "docs"))
    if (entry.path().extension() == ".md") docs.push_back("docs/" + entry.path().filename().string());
  std::sort(docs.begin(), docs.end());
  out.insert(out.end(), docs.begin(), docs.end());
  return out;
}

class DocsExamples : public ::testing::TestWithParam<std::string> {};

TEST_P(DocsExamples, PrintWhatTheyShow) {
  const std::string document = GetParam();
  std::vector<std::string> problems;
  const std::vector<Example> examples =
      ParseExamples(ReadFile(fs::path(ROVANA_SOURCE_DIR) / document), problems);
  for (const std::string& problem : problems) ADD_FAILURE() << document << " " << problem;
  if (examples.empty()) return;
  TempTree tree;
  const std::string clone = tree.Path("clone");
  MakeClone(clone);
  for (const Example& example : examples) {
    const std::vector<std::string> outputs = RunExample(example, clone, tree.Path("example.sh"));
    for (size_t i = 0; i < example.commands.size(); ++i) {
      const Command& command = example.commands[i];
      const std::vector<std::string> printed = Lines(outputs[i]);
      size_t differ = 0;
      while (differ < command.shown.size() && differ < printed.size() &&
             Matches(command.shown[differ], printed[differ]))
        ++differ;
      if (differ == command.shown.size() && differ == printed.size()) continue;
      std::ostringstream report;
      report << document << ":" << command.line << ": $ " << command.text << "\n";
      const std::string shownLine = differ < command.shown.size() ? command.shown[differ] : "(nothing more)";
      const std::string printedLine = differ < printed.size() ? printed[differ] : "(nothing more)";
      report << "  output line " << differ + 1 << " shown:   " << shownLine << "\n"
             << "  output line " << differ + 1 << " printed: " << printedLine << "\n"
             << "  everything printed:\n";
      for (const std::string& line : printed) report << "    " << line << "\n";
      ADD_FAILURE() << report.str();
    }
  }
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Documents, DocsExamples, ::testing::ValuesIn(Documents()), TestName);

// Every public method of the standard classes (scripts/*.gs) is in
// docs/scripts.md, with its arguments as declared, under the heading "## <class>".
TEST(DocsScripts, NameEveryPublicMethodOfScripts) {
  const std::string doc = ReadFile(fs::path(ROVANA_SOURCE_DIR) / "docs/scripts.md");
  std::map<std::string, std::string> sections;  // class -> its section's text
  const std::regex heading("^## `?(\\w+)`?");
  std::string* section = nullptr;
  for (const std::string& line : Lines(doc)) {
    std::smatch m;
    if (std::regex_search(line, m, heading)) section = &sections[m[1]];
    if (section) *section += line + "\n";
  }
  // Declarations are one line each; lines broken in the document join with one blank.
  auto flat = [](std::string text) { return std::regex_replace(text, std::regex("\\s+"), " "); };
  for (auto& [name, text] : sections) text = flat(text);
  const std::regex classLine("^\\s*(?:\\w+\\s+)*class\\s+(\\w+)");
  const std::regex methodLine("^\\s*public\\s+(?:native\\s+)?[\\w\\[\\]]+\\s+(\\w+\\([^)]*\\))");
  int methods = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(ROVANA_SOURCE_DIR) / "scripts")) {
    if (entry.path().extension() != ".gs") continue;
    std::string cls;
    for (const std::string& line : Lines(ReadFile(entry.path()))) {
      std::smatch m;
      if (std::regex_search(line, m, classLine)) cls = m[1];
      if (!std::regex_search(line, m, methodLine)) continue;
      ++methods;
      const std::string method = flat(m[1]);
      const auto found = sections.find(cls);
      EXPECT_TRUE(found != sections.end() && found->second.find(method) != std::string::npos)
          << entry.path().filename().string() << ": " << cls << "." << method << " is not in docs/scripts.md";
    }
  }
  EXPECT_GT(methods, 100);
}

// The parser and the matcher the examples rely on, on a document made here.
TEST(DocsExamplesParser, MarkedBlocksOnly) {
  const std::string text =
      "```\n$ not an example\n```\n"
      "<!-- example -->\n```sh\n$ echo a   # shown\na\n$ true\n```\n"
      "<!-- example -->\nno block\n"
      "<!-- example -->\n```\nstray\n$ x\n```\n";
  std::vector<std::string> problems;
  const std::vector<Example> examples = ParseExamples(text, problems);
  ASSERT_EQ(examples.size(), 2u);
  ASSERT_EQ(examples[0].commands.size(), 2u);
  EXPECT_EQ(examples[0].commands[0].text, "echo a   # shown");
  EXPECT_EQ(examples[0].commands[0].line, 6);
  EXPECT_EQ(examples[0].commands[0].shown, std::vector<std::string>{"a"});
  EXPECT_TRUE(examples[0].commands[1].shown.empty());
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find("not followed by a fenced block"), std::string::npos);
  EXPECT_NE(problems[1].find("output before the first command"), std::string::npos);

  EXPECT_TRUE(Matches("3 R 3 Asset folder '/…/nowhere' not found.",
                      "3 R 3 Asset folder '/tmp/x/nowhere' not found."));
  EXPECT_FALSE(
      Matches("3 R 3 Asset folder '/…/nowhere' not found.", "3 R 3 Asset folder 'nowhere' not found."));
  EXPECT_TRUE(Matches("a…b…c", "aXXbYYc"));
  EXPECT_FALSE(Matches("a…b…c", "aXXcYYb"));
  EXPECT_FALSE(Matches("ab", "abc"));
}

// Commands share one shell per block; each command's output is its own,
// with or without a last newline.
TEST(DocsExamplesParser, CommandsRunInOneShellEach) {
  TempTree tree;
  tree.MakeDir("clone");
  std::vector<std::string> problems;
  const std::vector<Example> examples = ParseExamples(
      "<!-- example -->\n```\n$ export X=1; cd /\n$ printf 'no end'\n$ echo $X $PWD; echo oops >&2; false\n$ "
      "echo $?\n```\n",
      problems);
  ASSERT_EQ(examples.size(), 1u);
  const std::vector<std::string> outputs =
      RunExample(examples[0], tree.Path("clone"), tree.Path("example.sh"));
  ASSERT_EQ(outputs.size(), 4u);
  EXPECT_EQ(outputs[0], "");
  EXPECT_EQ(outputs[1], "no end");
  EXPECT_EQ(outputs[2], "1 /\noops\n");
  EXPECT_EQ(outputs[3], "1\n");
}

}  // namespace
