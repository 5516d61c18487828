#pragma once
// The member list of an online group, as the service reports it: names are
// compared ignoring letter case, and the list keeps the order members came in.
//
// On the wire (the rest of service messages 21, 23 and 29):
//   u16 count, then count times { pstring name, u8 status (0xFF: removed), u32 flags }
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "foundation/Stream.h"
#include "kiv/PString.h"

class OnlineGroupMembers {
public:
  static constexpr uint8_t kRemoved = 0xFF;

  struct Member {
    Kiv::PString name;
    uint32_t status = 0;
    uint32_t flags = 0;
  };
  enum class Change { kAdded, kRemoved, kStatus };
  using OnChange = std::function<void(Change, std::string_view name)>;

  // Applies one list read from `rest` (`replace` empties this list first),
  // telling onChange of each member added, removed or changed, in the list's
  // order. A list cut short ends after its last whole entry. True when
  // anything changed, the emptying included.
  [[nodiscard]] bool Read(TStream& rest, bool replace, const OnChange& onChange);

  // The position of the first member of that name (any letter case), or -1.
  int Find(std::string_view name) const;
  void Append(const Kiv::PString& name) { m_members.push_back({name, 0, 0}); }
  void RemoveAt(size_t index) { m_members.erase(m_members.begin() + long(index)); }
  size_t Size() const { return m_members.size(); }
  const Member& At(size_t index) const { return m_members[index]; }
  const std::vector<Member>& All() const { return m_members; }

private:
  std::vector<Member> m_members;
};
