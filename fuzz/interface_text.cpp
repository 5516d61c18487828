// Interface-text tables from arbitrary bytes: each input is written as the one
// table of a private folder and loaded through the database's own folder
// reading; the database must hold exactly what a simple model of the line
// format says, and nothing of the previous input.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <unistd.h>

#include "foundation/InterfaceTextDB.h"
#include "kiv/Log.h"
#include "kiv/TempFolder.h"

namespace {

struct Model {
  std::map<std::string, std::string> texts;  // first definition wins
  size_t malformed = 0;
};

std::string Unescaped(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() &&
        (text[i + 1] == 'n' || text[i + 1] == 't' || text[i + 1] == '\\')) {
      out += text[i + 1] == 'n' ? '\n' : text[i + 1] == 't' ? '\t' : '\\';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

Model Expect(std::string_view text) {
  Model m;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size() || line[i] == '#') continue;
    size_t k = i;
    while (k < line.size() && line[k] != ' ' && line[k] != '\t') ++k;
    if (k - i < 2 || line[i] != '$') {
      ++m.malformed;
      continue;
    }
    size_t v = k;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
    m.texts.emplace(std::string(line.substr(i, k - i)), Unescaped(line.substr(v)));
  }
  return m;
}

const Kiv::TempFolder& Folder() {
  static const bool quiet = [] {
    Kiv::Log::Instance().SetConsole(false);  // malformed lines are logged
    return true;
  }();
  static const Kiv::TempFolder folder("rovana-fuzz-itext");  // removed at exit
  (void)quiet;
  return folder;
}

std::string g_previousKey;  // a key of the previous input, to prove the reset

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(Folder().Path("table.txt"), std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) std::abort();
  }
  InterfaceTextDB::SetFolder(Folder().Root());  // the next use loads again
  InterfaceTextDB& db = InterfaceTextDB::Instance();

  const Model model = Expect(text);
  if (db.Count() != model.texts.size() || db.LoadErrors() != model.malformed) std::abort();
  Kiv::PString found;
  for (const auto& [key, value] : model.texts) {
    if (!db.FindString(Kiv::PString(key), found) || found.View() != value) std::abort();
    if (db.GetString(Kiv::PString(key)).View() != value) std::abort();
  }
  if (!g_previousKey.empty() && !model.texts.count(g_previousKey) &&
      (db.FindString(Kiv::PString(g_previousKey), found) ||
       db.GetString(Kiv::PString(g_previousKey)).View() != g_previousKey))
    std::abort();
  g_previousKey = model.texts.empty() ? std::string() : model.texts.begin()->first;
  return 0;
}
