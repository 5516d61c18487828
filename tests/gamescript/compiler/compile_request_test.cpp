// What a compile hands its caller besides the error count, and the scope that
// lends the process-wide include-path list to one piece of work.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/LibraryFile.h"
#include "tests/gamescript/compiler/codegen_support.h"

using namespace GSCompiler;
using CodegenTest::ReadFile;
using CodegenTest::TempDir;

namespace {

// The list as (path, base) pairs, so a failure shows what it held.
std::vector<std::pair<std::string, std::string>> Listed() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const IncludePath& entry : IncludePaths())
    out.emplace_back(entry.path.Str(), entry.base.IsNull() ? "" : entry.base.c_str());
  return out;
}

void SetList(const std::vector<IncludePath>& entries) {
  ClearIncludePaths();
  for (const IncludePath& entry : entries) AppendIncludePath(entry);
}

LibraryDependencies DependenciesInFile(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFile(path);
  GSRuntime::LibraryFile file;
  EXPECT_EQ(GSRuntime::ReadLibraryFile(bytes, file), "") << path;
  return file.dependencies;
}

}  // namespace

TEST(IncludePathScope, LendsTheListAndPutsTheOuterOneBackOnEveryWayOut) {
  SetList({{Kiv::File::Path("outer/one"), Kiv::PString("root")}, {Kiv::File::Path("outer/two"), {}}});
  const auto outer = Listed();
  {
    IncludePathScope scope({{Kiv::File::Path("inner"), {}}});
    EXPECT_EQ(Listed(), (decltype(outer){{"inner", ""}}));
    // The holder may fill it further, and a nested scope lends it again.
    PrependIncludePath({Kiv::File::Path("first"), Kiv::PString("base")});
    {
      IncludePathScope nested;
      EXPECT_TRUE(IncludePaths().empty());
      AppendIncludePath({Kiv::File::Path("deeper"), {}});
    }
    EXPECT_EQ(Listed(), (decltype(outer){{"first", "base"}, {"inner", ""}}));
  }
  EXPECT_EQ(Listed(), outer);

  // Work that fails by an exception, and a compile that refills the list
  // itself, leave the outer list as well.
  EXPECT_THROW(
      {
        IncludePathScope scope({{Kiv::File::Path("thrown"), {}}});
        throw std::runtime_error("out of memory");
      },
      std::runtime_error);
  EXPECT_EQ(Listed(), outer);
  TempDir t;
  const std::string source = t.Write("src/a.gs", "class A { };\n");
  {
    IncludePathScope scope;
    CompileLog log;
    EXPECT_EQ(CompileFile(source.c_str(), nullptr, {{Kiv::File::Path(t.Path("inc")), {}}}, &log), 0);
    EXPECT_EQ(Listed(), (decltype(outer){{t.Path("src"), ""}, {t.Path("inc"), ""}}));
  }
  EXPECT_EQ(Listed(), outer);
  ClearIncludePaths();
}

TEST(CompileDependencies, AreTheIdsTheWrittenLibraryListsAndTheIncludesLibrariesCarry) {
  TempDir t;
  const std::string main = t.Write("src/main.gs", "include \"a.gs\"\ninclude \"b.gs\"\nclass M { };\n");
  t.Write("src/a.gs", "include \"b.gs\"\nclass A { int x; };\n");
  t.Write("inc/b.gs", "class B { int y; };\n");
  const std::vector<IncludePath> includes{{Kiv::File::Path(t.Path("inc")), {}}};
  t.MakeDir("out");

  CompileLog log;
  LibraryDependencies dependencies{{1, 2}};  // replaced, not added to
  ASSERT_EQ(CompileFile(main.c_str(), t.Path("out/").c_str(), includes, &log, false, &dependencies), 0);
  ASSERT_EQ(dependencies.size(), 3u);
  EXPECT_EQ(dependencies, DependenciesInFile(t.Path("out/main.gsl")));

  // Each include compiled on its own, as a runner does with the same list,
  // carries the id the main library expects of it.
  LibraryDependencies seen{dependencies.front()};
  for (const char* name : {"a", "b"}) {
    const std::string library = t.Path(std::string("out/") + name + ".gsl");
    LibraryDependencies written;
    Kiv::Status stored;
    ASSERT_EQ(CompileToFile((std::string(name) + ".gs").c_str(), library.c_str(), &log, stored, &written), 0);
    EXPECT_EQ(written, DependenciesInFile(library)) << name;
    seen.push_back(written.front());
  }
  std::sort(seen.begin(), seen.end());
  std::sort(dependencies.begin(), dependencies.end());
  EXPECT_EQ(seen, dependencies);

  // Nothing written, nothing handed back: a failed compile and a library
  // that cannot be stored leave the caller's list as it was.
  const std::string bad = t.Write("src/bad.gs", "class Bad { int x };\n");
  LibraryDependencies untouched{{7, 8}};
  EXPECT_GT(CompileFile(bad.c_str(), t.Path("out/").c_str(), {}, &log, false, &untouched), 0);
  EXPECT_EQ(untouched, (LibraryDependencies{{7, 8}}));
  EXPECT_EQ(CompileFile(main.c_str(), t.Path("missing/deeper/").c_str(), includes, &log, false, &untouched),
            1);
  EXPECT_EQ(untouched, (LibraryDependencies{{7, 8}}));
  Kiv::Status stored;
  EXPECT_EQ(CompileToFile("bad.gs", t.Path("out/bad.gsl").c_str(), &log, stored, &untouched), 1);
  EXPECT_EQ(untouched, (LibraryDependencies{{7, 8}}));
  ClearIncludePaths();
}

TEST(CompilerArguments, AWordListReadsFromItsFirstWordAsAnArgumentVectorDoes) {
  const std::vector<std::string> words{"prog", "compile", "-s",          "a.gs", "-iinc", "-pout/",
                                       "-x",   "b.gs",    "-bbuild.log", "-d",   "c.gs"};
  std::vector<const char*> argv{"prog"};
  for (std::size_t i = 2; i < words.size(); ++i) argv.push_back(words[i].c_str());
  const CompilerArguments fromWords = ParseCompilerArguments(words, 2);
  const CompilerArguments fromArgv = ParseCompilerArguments(int(argv.size()), argv.data());
  for (const CompilerArguments* a : {&fromWords, &fromArgv}) {
    EXPECT_TRUE(a->silent);
    EXPECT_TRUE(a->document);
    EXPECT_STREQ(a->source, "b.gs");  // "-d" ends the reading
    EXPECT_STREQ(a->outputPath, "out/");
    EXPECT_STREQ(a->buildLog, "build.log");
    ASSERT_EQ(a->includes.size(), 1u);
    EXPECT_EQ(a->includes[0].path.Str(), "inc");
  }
  // The command word before the first is never the source.
  EXPECT_EQ(ParseCompilerArguments(std::vector<std::string>{"prog", "compile", "-s"}, 2).source, nullptr);
}
