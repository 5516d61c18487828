#include "foundation/ResultsLog.h"

#include "foundation/InterfaceTextDB.h"
#include "foundation/Log.h"
#include "kiv/String.h"

const KUID* RovanaPropertyRef::AssetKUID() const {
  auto* asset = dynamic_cast<RovanaPropertyAssetID*>(m_p);
  return asset ? &asset->GetKUID() : nullptr;
}

std::string ResultsLog::FillPlaceholders(std::string_view text, const SoupRef& params) {
  const size_t tagCount = params.CountTags();
  if (tagCount == 0 || text.find("$(") == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size() + 32);
  size_t pos = 0;
  while (true) {
    const size_t at = text.find("$(", pos);
    if (at == std::string_view::npos) break;
    const size_t close = text.find(')', at + 2);
    if (close == std::string_view::npos) break;
    const std::string_view name = text.substr(at + 2, close - at - 2);
    bool replaced = false;
    for (size_t i = 0; i < tagCount && !replaced; ++i) {
      const Kiv::PString tag = params.GetIndexedTagName(i);
      if (!tag.IsEmpty() && Kiv::CompareNoCase(tag.View(), name) == 0) {
        out.append(text.substr(pos, at - pos));
        out.append(params.GetNamedTag(tag).View());
        pos = close + 1;
        replaced = true;
      }
    }
    if (!replaced) {
      out.append(text.substr(pos, at + 2 - pos));
      pos = at + 2;
    }
  }
  out.append(text.substr(pos));
  return out;
}

void ResultsLog::AddResult(int severity, RovanaProperty* asset, std::string_view text,
                           const SoupRef& params) {
  std::string resolved;
  if (text.size() > 1 && text[0] == '$' && text[1] != '(' &&
      text.find_first_of(" \t\r\n") == std::string_view::npos)
    resolved = InterfaceTextDB::Instance().GetString(Kiv::PString(text), true).Str();
  else
    resolved = std::string(text);
  Entry entry{severity, RovanaPropertyRef(), FillPlaceholders(resolved, params), {}};
  entry.asset.Set(asset);
  Append(std::move(entry));
}

void ResultsLog::AddResultLines(int severity, RovanaProperty* asset, const std::vector<std::string>& lines) {
  Entry entry{severity, RovanaPropertyRef(), {}, {}};
  for (const std::string& line : lines) {
    if (&line != &lines.front()) {
      entry.lineBreaks.push_back(entry.text.size());
      entry.text += '\n';
    }
    entry.text += line;
  }
  entry.asset.Set(asset);
  Append(std::move(entry));
}

void ResultsLog::Append(Entry entry) {
  if (entry.severity < kInformation || entry.severity > kSuccess) {
    LogLine("ResultsLog::AddResult> severity %d recorded as an error", entry.severity);
    entry.severity = kError;
  }
  const int severity = entry.severity;
  std::lock_guard<std::mutex> lock(m_lock);
  m_entries.push_back(std::move(entry));
  ++m_counts[severity];
}

std::vector<ResultsLog::Entry> ResultsLog::Entries() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_entries;
}

size_t ResultsLog::Size() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_entries.size();
}

int ResultsLog::Count(int severity) const {
  if (severity < kInformation || severity > kSuccess) return 0;
  std::lock_guard<std::mutex> lock(m_lock);
  return m_counts[severity];
}

void ResultsLog::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_entries.clear();
  m_counts.fill(0);
}
