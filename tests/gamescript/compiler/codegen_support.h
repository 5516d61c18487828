#pragma once
// Helpers of the code-generation and library tests: compile a source text in a
// temporary folder, read back the library, check its structure and list the
// byte code of one function.

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Disassemble.h"
#include "kiv/TempFolder.h"
#include "tests/gamescript/compiler/library_checker.h"

namespace CodegenTest {

namespace fs = std::filesystem;

class TempDir : public Kiv::TempFolder {
public:
  TempDir() : Kiv::TempFolder("gscodegen") {}
  std::string Path(const std::string& rel = "") const { return Kiv::TempFolder::Path(rel); }
};

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Built {
  int errors = -1;
  std::vector<std::string> log;
  std::vector<uint8_t> bytes;
  LibraryCheck::Library lib;
  std::string problem;  // from the structure checker; empty when well formed
  std::string mainPath;

  std::string Log() const {
    std::string out;
    for (const std::string& l : log) out += l + "\n";
    return out;
  }
  const LibraryCheck::Function* Find(const std::string& cls, const std::string& key) const {
    for (const auto& c : lib.classes)
      if (c.name == cls)
        for (const auto& f : c.functions)
          if (f.key.find(key) != std::string::npos) return &f;
    return nullptr;
  }
  // The listing of the first function of the class whose key contains `key`.
  std::string Listing(const std::string& cls, const std::string& key) const {
    const LibraryCheck::Function* f = Find(cls, key);
    if (!f) return "no function " + cls + " " + key;
    return GSRuntime::Disassemble(f->code.data(), f->code.size(), &lib.strings);
  }
};

// Compiles `text` as "m.gs" (with `files` beside it) into an "out" folder.
inline Built Build(const TempDir& dir, const std::string& text,
                   const std::map<std::string, std::string>& files = {}) {
  Built b;
  for (const auto& [name, body] : files) dir.Write(name, body);
  b.mainPath = dir.Write("m.gs", text);
  dir.MakeDir("out");
  GSCompiler::CompileLog log;
  b.errors = GSCompiler::CompileFile(b.mainPath.c_str(), dir.Path("out/").c_str(), {}, &log);
  for (std::size_t i = 0; i < log.Count(); ++i) b.log.emplace_back(log.At(i));
  if (b.errors == 0) {
    b.bytes = ReadFile(dir.Path("out/m.gsl"));
    b.problem = LibraryCheck::Check(b.bytes, b.lib);
  }
  return b;
}

inline Built Build(const std::string& text, const std::map<std::string, std::string>& files = {}) {
  TempDir dir;
  return Build(dir, text, files);
}

// The command-line program's result and what it printed.
struct MainRun {
  int result;
  std::string out;
};

inline MainRun RunMain(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  const int r = GSCompiler::CompilerMain(int(argv.size()), argv.data());
  return {r, testing::internal::GetCapturedStdout()};
}

}  // namespace CodegenTest
