#include "foundation/InterfaceTextDB.h"

#include <algorithm>
#include <mutex>

#include "foundation/Jobs.h"
#include "foundation/Log.h"
#include "kiv/File.h"
#include "kiv/String.h"

namespace {

std::atomic<bool> g_loaded{false};
std::atomic<int> g_misses{0};
std::mutex g_folderMutex;
std::string g_folder = "strings";

constexpr int kMaxReportedMisses = 10;
constexpr uint64_t kMaxTableFileSize = uint64_t{16} << 20;

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      char n = text[i + 1];
      if (n == 'n' || n == 't' || n == '\\') {
        out += n == 'n' ? '\n' : n == 't' ? '\t' : '\\';
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace

InterfaceTextDB& InterfaceTextDB::Instance() {
  static InterfaceTextDB db;
  if (!g_loaded.load(std::memory_order_acquire)) {
    GlobalLockGuard hold;
    if (!g_loaded.load(std::memory_order_relaxed)) {
      db.Load();
      g_loaded.store(true, std::memory_order_release);
    }
  }
  return db;
}

void InterfaceTextDB::SetFolder(std::string_view folder) {
  GlobalLockGuard hold;
  {
    std::lock_guard<std::mutex> lock(g_folderMutex);
    g_folder = std::string(folder);
  }
  g_loaded.store(false, std::memory_order_release);
}

std::string InterfaceTextDB::Folder() {
  std::lock_guard<std::mutex> lock(g_folderMutex);
  return g_folder;
}

void InterfaceTextDB::Load() {
  m_texts.clear();
  m_loadErrors = 0;
  const std::string folder = Folder();
  Kiv::File::Path pattern(folder);
  pattern.Join("*.txt");
  Kiv::File::Find find(pattern.View());
  size_t files = 0;
  while (find.Next()) {
    if (find.IsDirectory()) continue;
    std::string text;
    if (!Kiv::File::ReadWholeFile(find.FullPath(), text, kMaxTableFileSize)) {
      LogLine("InterfaceTextDB::Load> Unable to read '%s'", find.FullPath().c_str());
      ++m_loadErrors;
      continue;
    }
    ++files;
    m_loadErrors += LoadTableText(text, find.FullPath());
  }
  if (files == 0) LogLine("InterfaceTextDB::Load> No string tables in '%s'", folder.c_str());
}

size_t InterfaceTextDB::LoadTableText(std::string_view text, std::string_view fileName) {
  size_t bad = 0;
  size_t lineNo = 0;
  text = Kiv::SkipByteOrderMark(text);
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    line.remove_prefix(first);
    size_t keyEnd = line.find_first_of(" \t");
    std::string_view key = line.substr(0, keyEnd);
    if (key.size() < 2 || key[0] != '$') {
      if (bad++ < 5)
        LogLine("InterfaceTextDB::Load> Malformed line %zu in '%.*s'", lineNo,
                static_cast<int>(fileName.size()), fileName.data());
      continue;
    }
    std::string_view value;
    if (keyEnd != std::string_view::npos) {
      value = line.substr(keyEnd);
      value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t")));
    }
    // The first definition of a key wins.
    m_texts.emplace(Kiv::PString(key), Kiv::PString(Unescape(value)));
  }
  return bad;
}

Kiv::PString InterfaceTextDB::GetString(const Kiv::PString& key, bool report) {
  if (key.IsEmpty()) return key;
  {
    GlobalLockGuard hold;
    auto it = m_texts.find(key);
    if (it != m_texts.end()) return it->second;
  }
  if (report && g_misses.load() < kMaxReportedMisses && g_misses.fetch_add(1) < kMaxReportedMisses)
    LogLine("InterfaceTextDB::GetString> Tag '%s' not found in '%s'", key.c_str(), Folder().c_str());
  return key;
}

bool InterfaceTextDB::FindString(const Kiv::PString& key, Kiv::PString& out) {
  if (key.IsEmpty()) {
    out = key;
    return false;
  }
  GlobalLockGuard hold;
  auto it = m_texts.find(key);
  if (it == m_texts.end()) {
    out = Kiv::PString::Empty();
    return false;
  }
  out = it->second;
  return true;
}

size_t InterfaceTextDB::Count() const {
  GlobalLockGuard hold;
  return m_texts.size();
}

size_t InterfaceTextDB::LoadErrors() const { return m_loadErrors; }

int InterfaceTextDB::ReportedMisses() { return std::min(g_misses.load(), kMaxReportedMisses); }

Kiv::String GetInterfaceText(const Kiv::PString& key) {
  return Kiv::String(InterfaceTextDB::Instance().GetString(key, false).View());
}
