#include "online/OnlineGroupMembers.h"

#include <string>
#include <unordered_map>

#include "kiv/String.h"

int OnlineGroupMembers::Find(std::string_view name) const {
  for (size_t i = 0; i < m_members.size(); ++i)
    if (Kiv::CompareNoCase(m_members[i].name.View(), name) == 0) return int(i);
  return -1;
}

bool OnlineGroupMembers::Read(TStream& rest, bool replace, const OnChange& onChange) {
  bool changed = false;
  if (replace && !m_members.empty()) {
    m_members.clear();
    changed = true;
  }
  const uint16_t count = rest.ReadU16();
  if (rest.GetError() || count == 0) return changed;

  // Lower-cased names to positions, so that a list of thousands of entries
  // against a group of thousands of members is read in linear time. Removed
  // members leave a gap until the end.
  std::unordered_map<std::string, size_t> index;
  index.reserve(m_members.size());
  for (size_t i = 0; i < m_members.size(); ++i) index.emplace(Kiv::ToLowerAscii(m_members[i].name.View()), i);
  std::vector<bool> gone(m_members.size(), false);

  for (uint16_t i = 0; i < count; ++i) {
    Member entry;
    entry.name = rest.ReadPString();
    entry.status = rest.ReadU8();
    entry.flags = rest.ReadU32();
    if (rest.GetError()) break;
    std::string key = Kiv::ToLowerAscii(entry.name.View());
    const auto found = index.find(key);
    if (entry.status == kRemoved) {
      if (found == index.end()) continue;
      gone[found->second] = true;
      index.erase(found);
      onChange(Change::kRemoved, entry.name.View());
    } else if (found == index.end()) {
      index.emplace(std::move(key), m_members.size());
      m_members.push_back(entry);
      gone.push_back(false);
      onChange(Change::kAdded, entry.name.View());
    } else {
      Member& m = m_members[found->second];
      if (m.status == entry.status && m.flags == entry.flags) continue;
      m.status = entry.status;
      m.flags = entry.flags;
      onChange(Change::kStatus, entry.name.View());
    }
    changed = true;
  }

  size_t kept = 0;
  for (size_t i = 0; i < m_members.size(); ++i)
    if (!gone[i]) {
      if (kept != i) m_members[kept] = std::move(m_members[i]);
      ++kept;
    }
  m_members.resize(kept);
  return changed;
}
