#include "gamescript/compiler/Dependencies.h"

#include <algorithm>
#include <set>

#include "foundation/Crc32.h"
#include "foundation/FileUtil.h"
#include "foundation/ScriptFileBuffer.h"
#include "gamescript/compiler/Scanner.h"
#include "gamescript/compiler/Source.h"
#include "gamescript/compiler/Tokens.h"
#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/StringPool.h"
#include "kiv/String.h"

namespace GSCompiler {

namespace {

// As deep as a compile follows includes.
constexpr int kMaxDepth = 256;

// One file and then its includes, depth first, as the compile enters them.
bool Walk(const std::string& name, int depth, std::set<std::string>& seen, LibraryDependencies& out) {
  if (depth > kMaxDepth) return false;
  seen.insert(std::string(Utils::FileNamePart(Kiv::ToLowerAscii(name))));
  const char* base = nullptr;
  const std::string found = FindSource(name.c_str(), &base);
  ScriptFileBuffer buffer;
  buffer.Reset();
  if (found.empty() || !buffer.Load(base, found.c_str()) || !buffer.Decode()) return false;
  const std::string_view text(buffer.data ? buffer.data : "", buffer.length);
  if (text.starts_with("\xEF\xBB\xBF")) return false;  // the compile refuses UTF-8 text
  out.emplace_back(ScriptSourceChecksum(buffer),
                   Crc32LowerString(std::string(Utils::FileNamePart(name)).c_str()));
  const std::vector<std::string> includes = IncludeNames(text);
  buffer.Clear();  // one text held at a time, however deep the includes go
  for (const std::string& include : includes) {
    if (seen.count(std::string(Utils::FileNamePart(include)))) continue;  // included before, or a cycle
    if (!Walk(include, depth + 1, seen, out)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> IncludeNames(std::string_view text) {
  std::vector<std::string> names;
  Scanner scanner(text.data(), text.size());
  while (scanner.Next() == KEYWORD_INCLUDE && scanner.Next() == CONSTANT_STRING)
    names.push_back(
        Kiv::ToLowerAscii(scanner.Text().substr(1, scanner.Length() >= 2 ? scanner.Length() - 2 : 0)));
  return names;
}

bool CurrentDependencies(const char* sourceName, LibraryDependencies& out) {
  out.clear();
  std::string name = sourceName ? sourceName : "";
  // A ".gse" unit compiles under its ".gs" name, as the compile takes it.
  if (name.size() >= 4 && Kiv::CompareNoCase(name.substr(name.size() - 4), ".gse") == 0) name.pop_back();
  std::set<std::string> seen;
  return Walk(name, 0, seen, out);
}

bool LibraryMatchesSources(std::span<const uint8_t> image, const char* sourceName) {
  GSRuntime::LibraryFile file;
  LibraryDependencies now;
  if (!GSRuntime::ReadLibraryFile(image, file).empty() || !CurrentDependencies(sourceName, now)) return false;
  if (file.id1 != now.front().first || file.id2 != now.front().second) return false;
  // The order follows from the texts: equal ids, equal sources.
  LibraryDependencies listed = file.dependencies;
  std::sort(listed.begin(), listed.end());
  std::sort(now.begin(), now.end());
  return listed == now;
}

}  // namespace GSCompiler
