#pragma once
// Shared helpers of the parser and symbol-table tests: parse a text with the
// real scanner and collect the compile log.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"
#include "gamescript/compiler/Scanner.h"
#include "gamescript/compiler/SyntaxTree.h"

namespace ParserTest {

inline std::vector<std::string> LogLines(const GSCompiler::CompileLog& log) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < log.Count(); ++i) lines.emplace_back(log.At(i));
  return lines;
}

// One parsed file; keeps the context (and with it the tree) alive.
struct Parsed {
  std::unique_ptr<GSCompiler::CompileLog> log = std::make_unique<GSCompiler::CompileLog>();
  std::unique_ptr<GSCompiler::ParseContext> context = std::make_unique<GSCompiler::ParseContext>();
  std::string text;
  int result = -1;

  GSCompiler::SyntaxNode* Tree() const { return context->declarations; }
  std::vector<std::string> Lines() const { return LogLines(*log); }
};

inline std::unique_ptr<Parsed> ParseText(std::string text, const char* fileName = "t.gs") {
  auto p = std::make_unique<Parsed>();
  p->text = std::move(text);
  p->context->Reset(p->log.get(), nullptr);
  p->context->fileName = p->context->stringPool.StrDup(fileName);
  GSCompiler::Scanner scanner(p->text.data(), p->text.size());
  p->result = GSCompiler::Parse(scanner, *p->context);
  return p;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// The text after `marker` on every line that has it, in order ("// EXPECT: ...").
inline std::vector<std::string> Expectations(const std::string& source, const std::string& marker) {
  std::vector<std::string> found;
  std::istringstream in(source);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t at = line.find(marker);
    if (at != std::string::npos) found.push_back(line.substr(at + marker.size()));
  }
  return found;
}

// A field of a corpus table: \n \r \t \v \f \0 \\ and \xHH stand for those bytes.
inline std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char c = field[++i];
    if (c == 'x' && i + 2 < field.size()) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
      i += 2;
      continue;
    }
    const std::string from = "nrtvf0", to("\n\r\t\v\f\0", 6);
    const size_t at = from.find(c);
    out += at == std::string::npos ? c : to[at];
  }
  return out;
}

// The lines of a corpus table that are neither empty nor "#" comments.
inline std::vector<std::string> TableLines(const char* relative) {
  std::istringstream in(
      ReadFile(std::filesystem::path(ROVANA_SOURCE_DIR) / "tests/gamescript/compiler/corpus" / relative));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

inline std::vector<std::filesystem::path> CorpusFiles(const char* folder) {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path root =
      std::filesystem::path(ROVANA_SOURCE_DIR) / "tests/gamescript/compiler/corpus" / folder;
  for (const auto& entry : std::filesystem::directory_iterator(root))
    if (entry.path().extension() == ".gs") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace ParserTest
