#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "foundation/ScriptFileBuffer.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"
#include "gamescript/compiler/Scanner.h"
#include "gamescript/compiler/Source.h"
#include "tests/gamescript/compiler/codegen_support.h"
#include "tests/gamescript/compiler/parser_support.h"

namespace fs = std::filesystem;
using namespace GSCompiler;
using CodegenTest::MainRun;
using CodegenTest::TempDir;
using ParserTest::LogLines;

namespace {

const char* kUsage =
    "MELKO GameScript Compiler V1.02\n\n"
    "prog returns number of compile errors\n"
    "prog <option> <option>..\nwhere <option> is one of the following\n\n"
    "<-d> print documentation, u might wanna pipe it to a text document =)\n"
    "<-s> silent\n"
    "<-bfilename> dump the build info (compile log) to file\n"
    "<-ppathname> output path\n"
    "<-ofilename> output library filename\n"
    "<filename> input source file\n"
    "<-ipathname> additional include path\n";

const char* kClass = "class A { };\n";

MainRun Main(std::vector<std::string> args) { return CodegenTest::RunMain(std::move(args)); }

std::string Joined(const CompileLog& log) {
  std::string out;
  for (const std::string& l : LogLines(log)) out += l + "\n";
  return out;
}

}  // namespace

TEST(DriverCommandLine, NoSourcePrintsBannerAndUsage) {
  // The command word arrives as an empty argument.
  MainRun r = Main({"C:\\tools/bin\\prog", "", "-s", "-x"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.out, kUsage);
  r = Main({"prog"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.out, kUsage);
}

TEST(DriverCommandLine, DocumentWinsOverEverythingElse) {
  TempDir t;
  std::string src = t.Write("a.gs", "this is not valid");
  MainRun r = Main({"prog", src, "-d"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, std::string(LanguageDocument()) + "\n");
  EXPECT_EQ(r.out.find("parse error"), std::string::npos);
}

TEST(DriverCommandLine, LaterSourceReplacesEarlierAndLogIsPrinted) {
  TempDir t;
  std::string good = t.Write("dir/good.gs", kClass);
  MainRun r = Main({"prog", "", t.Path("missing.gs"), good});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(fs::exists(t.Path("dir/good.gsl")));

  r = Main({"prog", "", t.Path("missing.gs")});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.out, "Could not read file missing.gs : not found in '" +
                       fs::path(t.Path()).parent_path().string() + "'.\n.. while compiling 'missing.gs'\n");
}

TEST(DriverCommandLine, BuildLogIsAppendedAndSilentPrintsNothing) {
  TempDir t;
  std::string bad = t.Write("bad.gs", "class A { }\n");  // no closing ";"
  std::string logFile = t.Path("build.log");
  std::ofstream(logFile) << "earlier\n";
  MainRun r = Main({"prog", "-s", "-b" + logFile, bad, "-c", "-t", "-l", "-ofoo", "-"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.out, "");
  r = Main({"prog", "-b" + logFile, bad});
  EXPECT_EQ(r.result, 1);
  const std::string messages = "bad.gs(2) : parse error, line 2\n.. while compiling 'bad.gs'\n";
  EXPECT_EQ(r.out, messages);
  EXPECT_EQ(ParserTest::ReadFile(logFile), "earlier\n" + messages + messages);

  // A build log that cannot be opened is reported with the reason and
  // counted, and its messages go to standard output even when silent; the
  // usage still prints.
  const std::string lost = t.Path("no/such/dir/log.txt");
  std::string unable = "Unable to open build log file: '";
  unable.append(lost).append("' (No such file or directory).\n");
  r = Main({"prog", "-b" + lost});
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.out, std::string(kUsage).append(unable));
  r = Main({"prog", "-s", "-b" + lost, bad});
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.out, unable + messages);
  // After the usage the named build log is still opened (and made, empty).
  r = Main({"prog", "-b" + t.Path("fresh.log")});
  EXPECT_EQ(r.result, 1);
  EXPECT_TRUE(fs::exists(t.Path("fresh.log")));
  EXPECT_EQ(fs::file_size(t.Path("fresh.log")), 0u);
}

TEST(DriverCommandLine, OutputFolderRules) {
  TempDir t;
  std::string src = t.Write("dir/a.gs", kClass);
  fs::create_directories(t.Path("out"));
  // Each run writes one library; the file tells where it went.
  auto writes = [&](std::vector<std::string> args, const std::string& lib) {
    std::error_code ec;
    fs::remove(lib, ec);
    const MainRun r = Main(std::move(args));
    return r.result == 0 && r.out.empty() && fs::exists(lib);
  };
  EXPECT_TRUE(writes({"prog", src}, t.Path("dir/a.gsl")));
  EXPECT_TRUE(writes({"prog", src, "-p" + t.Path("out/")}, t.Path("out/a.gsl")));
  // A folder given without a trailing separator is still that folder.
  EXPECT_TRUE(writes({"prog", src, "-p" + t.Path("out")}, t.Path("out/a.gsl")));
  // A path that is not a folder: its last name is removed.
  EXPECT_TRUE(writes({"prog", src, "-p" + t.Path("out/x.gsl")}, t.Path("out/a.gsl")));
  EXPECT_FALSE(fs::exists(t.Path("out/x.gsl")));
}

TEST(DriverIncludes, SearchOrderIsSourceFolderThenIncludeFoldersInOrder) {
  TempDir t;
  std::string main = t.Write("src/main.gs", "include \"inc.gs\"\nclass M { };\n");
  t.Write("first/other.gs", kClass);
  t.Write("second/inc.gs", "\n\n\n\nclass { };\n");  // parse error on line 5
  t.Write("third/inc.gs", "class { };\n");           // parse error on line 1
  CompileLog log;
  std::vector<IncludePath> inc = {{t.Path("first"), {}}, {t.Path("second"), {}}, {t.Path("third"), {}}};
  EXPECT_EQ(CompileFile(main.c_str(), nullptr, inc, &log), 1);
  EXPECT_EQ(Joined(log),
            "inc.gs(5) : parse error, line 5\n.. while compiling 'inc.gs'\n"
            ".. while compiling 'main.gs'\n");
  ASSERT_EQ(IncludePaths().size(), 4u);
  EXPECT_EQ(IncludePaths().front().path.Str(), t.Path("src"));

  // A file in the source's own folder wins over every include folder.
  t.Write("src/inc.gs", "\nclass { };\n");
  CompileLog log2;
  EXPECT_EQ(CompileFile(main.c_str(), nullptr, inc, &log2), 1);
  EXPECT_EQ(LogLines(log2).at(0), "inc.gs(2) : parse error, line 2");
}

TEST(DriverIncludes, CyclesAndRepeatsCompileEachFileOnce) {
  TempDir t;
  t.Write("a.gs", "include \"b.gs\"\ninclude \"a.gs\"\nclass A { };\n");
  t.Write("b.gs", "include \"A.GS\"\ninclude \"sub/c.gs\"\ninclude \"c.gs\"\nclass B { };\n");
  t.Write("sub/c.gs", "class D { };\n");
  t.Write("c.gs", "class C { };\n");
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  CompileLog log;
  CompileUnit unit;
  EXPECT_EQ(unit.Compile("a.gs", &log), 0) << Joined(log);
  EXPECT_EQ(unit.FileCount(), 3);
  EXPECT_TRUE(LogLines(log).empty()) << Joined(log);
  // Indexes: the main file 0, then depth first in the order entered.
  ASSERT_NE(unit.Symbols().FindDependent("a.gs"), nullptr);
  EXPECT_EQ(unit.Symbols().FindDependent("a.gs")->index, 0);
  EXPECT_EQ(unit.Symbols().FindDependent("b.gs")->index, 1);
  EXPECT_EQ(unit.Symbols().FindDependent("c.gs")->index, 2);
  ClearIncludePaths();
}

TEST(DriverIncludes, MissingIncludeIsReportedWithTheChain) {
  TempDir t;
  std::string main = t.Write("m.gs", "include \"lost.gs\"\nclass M { };\n");
  CompileLog log;
  EXPECT_EQ(CompileFile(main.c_str(), nullptr, {{t.Path("extra"), {}}}, &log), 1);
  EXPECT_EQ(LogLines(log),
            (std::vector<std::string>{"Could not read file lost.gs : not found in '" +
                                          fs::path(t.Path()).parent_path().string() + "', '" +
                                          t.Path("extra") + "'.",
                                      ".. while compiling 'lost.gs'", ".. while compiling 'm.gs'"}));
}

// A long chain of files each including the next is refused at a fixed
// depth with the including file's name and line, not by exhausting the stack.
TEST(DriverIncludes, IncludeChainsDeeperThanTheLimitAreErrors) {
  TempDir t;
  for (int i = 0; i < 300; ++i) {
    char name[16], text[80];
    std::snprintf(name, sizeof name, "f%d.gs", i);
    std::snprintf(text, sizeof text, "include \"f%d.gs\"\nclass C%d { };\n", i + 1, i);
    t.Write(name, text);
  }
  t.Write("f300.gs", "class C300 { };\n");
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  CompileLog log;
  CompileUnit unit;
  EXPECT_GT(unit.Compile("f0.gs", &log), 0);
  const std::vector<std::string> lines = LogLines(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "f256.gs(1) : Includes nested too deep, line 1.");
  EXPECT_EQ(lines.back(), ".. while compiling 'f0.gs'");

  // A chain within the limit compiles.
  CompileLog shallow;
  EXPECT_EQ(unit.Compile("f100.gs", &shallow), 0) << Joined(shallow);
  ClearIncludePaths();
}

TEST(DriverSources, EncipheredFallbackAndGseUnitName) {
  TempDir t;
  auto bytes = ScriptFileBuffer::Encode("class Secret { };\n");
  t.Write("s.gse", std::string(bytes.begin(), bytes.end()));
  t.Write("bad.gse", "not an enciphered file");
  ClearIncludePaths();
  AppendIncludePath({t.Path("empty"), {}});
  AppendIncludePath({t.Path(), {}});
  CompileLog log;
  CompileUnit unit;
  EXPECT_EQ(unit.Compile("s.gse", &log), 0) << Joined(log);
  ASSERT_NE(unit.Symbols().FindDependent("s.gs"), nullptr);

  // A file that cannot be deciphered is one error, reported as unreadable.
  CompileLog log2;
  EXPECT_EQ(unit.Compile("bad.gs", &log2), 1);
  EXPECT_EQ(LogLines(log2),
            (std::vector<std::string>{
                "Could not read file " + fs::path(t.Path()).parent_path().string() + " : bad.gs.",
                ".. while compiling 'bad.gs'"}));
  ClearIncludePaths();
}

// A large source is mapped rather than read; one cut short while it is
// parsed is reported as unreadable, without what its parse said, and names
// no checksum. A whole one, plain or enciphered, reads as any other.
TEST(DriverSources, LargeSourceCutShortWhileParsedIsUnreadable) {
  TempDir t;
  std::string text;
  for (int i = 0; i < 6000; ++i) text += "class C" + std::to_string(i) + " { int x; };\n";
  ASSERT_GT(text.size(), std::size_t(128 << 10));
  t.Write("big.gs", text);
  auto bytes = ScriptFileBuffer::Encode(text);
  t.Write("sealed.gse", std::string(bytes.begin(), bytes.end()));
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});

  struct Cutter final : ParseSink {
    std::string path;
    int classes = 0;
    void Includes(SyntaxNode*) override {}
    void Class(SyntaxNode*) override {
      if (++classes == 1 && !path.empty()) {
        EXPECT_EQ(::truncate(path.c_str(), 4096), 0);
      }
    }
  };
  for (const char* name : {"big.gs", "sealed.gs"}) {
    CompileLog log;
    ParseContext c;
    c.Reset(&log, nullptr);
    Cutter whole;
    EXPECT_EQ(ReadAndParseSource(name, c, &whole), 0) << name << Joined(log);
    EXPECT_EQ(whole.classes, 6000);
    EXPECT_EQ(c.sourceCrc, ScriptSourceChecksum(text));
  }

  CompileLog log;
  ParseContext c;
  c.Reset(&log, nullptr);
  Cutter cutter;
  cutter.path = t.Path("big.gs");
  EXPECT_EQ(ReadAndParseSource("big.gs", c, &cutter), 1);
  EXPECT_LT(cutter.classes, 6000);
  EXPECT_EQ(LogLines(log),
            std::vector<std::string>{"Could not read file " + fs::path(t.Path()).parent_path().string() +
                                     " : big.gs."});
  EXPECT_EQ(c.errorCount, 1);
  EXPECT_EQ(c.sourceCrc, 0u);
  ClearIncludePaths();
}

TEST(DriverSources, IdentityWords) {
  TempDir t;
  t.Write("one.gs", kClass);
  t.Write("two.gs", kClass);
  t.Write("Three.gs", "class B { };\n");
  auto bytes = ScriptFileBuffer::Encode(kClass);
  t.Write("four.gse", std::string(bytes.begin(), bytes.end()));
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  // The text and file-name checksums a source is identified by.
  auto read = [](const char* name) {
    ParseContext c;
    c.Reset(nullptr, nullptr);
    EXPECT_EQ(ReadAndParseSource(name, c), 0) << name;
    return std::make_pair(c.sourceCrc, c.fileNameCrc);
  };
  const auto one = read("one.gs"), two = read("two.gs"), three = read("three.gs");
  EXPECT_EQ(one.first, two.first);
  EXPECT_NE(one.second, two.second);
  EXPECT_NE(one.first, three.first);
  EXPECT_EQ(three.second, read("THREE.GS").second);
  EXPECT_EQ(read("four.gs").first,
            one.first);  // through the ".gse" fallback; the decipher prefix is not text
  EXPECT_EQ(one.first, ScriptSourceChecksum(kClass));
  EXPECT_EQ(CurrentParseContext(), nullptr);
  EXPECT_EQ(CurrentScanner(), nullptr);
  ClearIncludePaths();
}

TEST(DriverSources, CompileToFileEntries) {
  TempDir t;
  t.Write("x.gs", kClass);
  EXPECT_EQ(CompileToFile(nullptr, "out.gsl", nullptr), 0);
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  CompileLog log;
  EXPECT_EQ(CompileToFile("x.gs", nullptr, &log), 0);
  EXPECT_TRUE(LogLines(log).empty());
  EXPECT_EQ(CompileToFile("x.gs", t.Path("x.gsl").c_str(), &log), 0);
  EXPECT_TRUE(LogLines(log).empty());
  EXPECT_TRUE(fs::exists(t.Path("x.gsl")));
  // A library that cannot be stored is one error with its message.
  const std::string lost = t.Path("no/such/folder/x.gsl");
  EXPECT_EQ(CompileToFile("x.gs", lost.c_str(), &log), 1);
  // The specified message, then the file and the system's reason.
  EXPECT_EQ(LogLines(log),
            (std::vector<std::string>{"Unable to open output file: '" + lost + "'.\n",
                                      "cannot create '" + lost + "': No such file or directory\n"}));
  EXPECT_EQ(CompileToFile("y.gs", "cache/y.gsl", nullptr), 1);  // no log: nothing recorded, still counted
  // A full path passes through the search: a rooted name is not joined.
  CompileLog log2;
  EXPECT_EQ(CompileToFile(t.Path("x.gs").c_str(), nullptr, &log2), 0) << Joined(log2);
  ClearIncludePaths();
}

// A compile in a process that ends after it leaves its symbols to the end
// of the process, and gives the pages of code it has written back at once:
// the library is the same, a failed compile still fails, and a later such
// compile lets the one before go. The source makes over a megabyte of
// library, several of the writer's blocks.
TEST(DriverSources, CompileBeforeTheProcessEndsWritesTheSameLibrary) {
  TempDir t;
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    const std::string n = std::to_string(i);
    text += "class C" + n + " { int x = " + n +
            "; int F(int a) { int i; for (i = 0; i < a; i++) x = x + i * a - " + n + "; return a + x; } };\n";
  }
  const std::string source = t.Write("p.gs", text);
  t.MakeDir("a");
  t.MakeDir("b");
  CompileLog log;
  ASSERT_EQ(CompileFile(source.c_str(), t.Path("a/").c_str(), {}, &log), 0) << Joined(log);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(CompileFile(source.c_str(), t.Path("b/").c_str(), {}, &log, true), 0) << Joined(log);
    EXPECT_EQ(CodegenTest::ReadFile(t.Path("b/p.gsl")), CodegenTest::ReadFile(t.Path("a/p.gsl")));
  }
  const std::string bad = t.Write("q.gs", "class Q { int F() { return y; } };\n");
  EXPECT_GT(CompileFile(bad.c_str(), t.Path("b/").c_str(), {}, &log, true), 0);
  EXPECT_FALSE(fs::exists(t.Path("b/q.gsl")));
  ClearIncludePaths();
}

TEST(DriverSources, OverlongTokensAndEmptyFilesAreCompileErrors) {
  TempDir t;
  std::string big =
      t.Write("big.gs", "class A {\n string s = \"" + std::string(100 * 1024, 'x') + "\";\n};\n");
  std::string comment = t.Write("comment.gs", "class A { };\n//" + std::string(20000, '-') + "\n");
  std::string empty = t.Write("empty.gs", "");
  // An over-long comment line is refused like a token.
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {big,
       {"big.gs(2) : Token longer than 16384 bytes, line 2.", "big.gs(2) : parse error, line 2",
        ".. while compiling 'big.gs'"}},
      {comment,
       {"comment.gs(2) : Token longer than 16384 bytes, line 2.", "comment.gs(2) : parse error, line 2",
        ".. while compiling 'comment.gs'"}},
      {empty, {"empty.gs(1) : parse error, line 1", ".. while compiling 'empty.gs'"}},
  };
  for (const auto& [file, messages] : cases) {
    CompileLog log;
    EXPECT_EQ(CompileFile(file.c_str(), nullptr, {}, &log), 1) << file;
    EXPECT_EQ(LogLines(log), messages);
  }
}

TEST(DriverSources, OnlyRegularFilesAreSources) {
  TempDir t;
  fs::create_directories(t.Path("first/x.gs"));  // a folder named like the source
  fs::create_directories(t.Path("second"));
  ASSERT_EQ(mkfifo(t.Path("second/x.gs").c_str(), 0600), 0);  // reading it would block
  t.Write("third/x.gs", kClass);
  ClearIncludePaths();
  AppendIncludePath({t.Path("first"), {}});
  AppendIncludePath({t.Path("second"), {}});
  AppendIncludePath({t.Path("third"), {}});
  CompileLog log;
  EXPECT_EQ(CompileToFile("x.gs", nullptr, &log), 0) << Joined(log);
  ClearIncludePaths();
}
