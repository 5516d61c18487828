// The group member lists of service messages 21, 23 and 29, fed through the
// endpoint to a group that keeps its list as the script class does. Input:
// packets, each [u16 length][content, type byte first]; the last takes what is
// left. After every list the members must equal those of the plain reading
// (one entry at a time against the list as it stands) with the same changes
// reported in the same order, names unique in any letter case.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kiv/Bytes.h"
#include "kiv/String.h"
#include "online/OnlineAccessClientEndpoint.h"
#include "online/OnlineGroupMembers.h"

namespace {

using Change = OnlineGroupMembers::Change;

struct Event {
  Change change;
  std::string name;
  bool operator==(const Event&) const = default;
};

struct Plain {
  std::string name;
  uint32_t status, flags;
};

// The reading as the list describes it, entry by entry.
bool PlainRead(TStream& rest, bool replace, std::vector<Plain>& list, std::vector<Event>& events) {
  bool changed = false;
  if (replace && !list.empty()) {
    list.clear();
    changed = true;
  }
  const uint16_t count = rest.ReadU16();
  for (uint16_t i = 0; i < count && !rest.GetError(); ++i) {
    const Kiv::PString name = rest.ReadPString();
    const uint32_t status = rest.ReadU8();
    const uint32_t flags = rest.ReadU32();
    if (rest.GetError()) break;
    size_t at = 0;
    while (at < list.size() && Kiv::CompareNoCase(list[at].name, name.View()) != 0) ++at;
    if (status == OnlineGroupMembers::kRemoved) {
      if (at == list.size()) continue;
      list.erase(list.begin() + long(at));
      events.push_back({Change::kRemoved, std::string(name.View())});
    } else if (at == list.size()) {
      list.push_back({std::string(name.View()), status, flags});
      events.push_back({Change::kAdded, std::string(name.View())});
    } else if (list[at].status != status || list[at].flags != flags) {
      list[at].status = status;
      list[at].flags = flags;
      events.push_back({Change::kStatus, std::string(name.View())});
    } else {
      continue;
    }
    changed = true;
  }
  return changed;
}

class Endpoint : public OnlineAccessClientEndpoint {
public:
  explicit Endpoint(OnlineAccessSettings s) : OnlineAccessClientEndpoint(std::move(s)) {}
  void Feed(TMEPacket& packet) { HandlePacket(packet); }
};

class Group : public OnlineAccessClientEndpoint::OnlineGroup {
public:
  bool MatchesRequest(uint32_t) override { return true; }
  void OnJoined(const Kiv::PString&, TMEPacket& rest) override { Apply(rest, true); }
  void OnUsersChanged(TMEPacket& rest) override { Apply(rest, false); }
  void OnClosed() override {}
  void OnClientRemoved(OnlineAccessClientBase*) override {}
  bool MatchesKey(const Kiv::PString&) override { return true; }
  void OnMessage(std::unique_ptr<OnlineGroupMessage>) override {}

private:
  void Apply(TMEPacket& rest, bool replace) {
    const size_t at = size_t(rest.Tell());
    TBuffer copy(rest.Data() + at, rest.Size() - at);
    std::vector<Event> events, plainEvents;
    const bool changed = members.Read(rest, replace, [&](Change c, std::string_view name) {
      events.push_back({c, std::string(name)});
    });
    const bool plainChanged = PlainRead(copy, replace, plain, plainEvents);
    if (changed != plainChanged || events != plainEvents || members.Size() != plain.size()) std::abort();
    for (size_t i = 0; i < plain.size(); ++i) {
      const OnlineGroupMembers::Member& m = members.At(i);
      if (m.name.View() != plain[i].name || m.status != plain[i].status || m.flags != plain[i].flags ||
          m.status == OnlineGroupMembers::kRemoved || members.Find(m.name.View()) != int(i))
        std::abort();
    }
  }

  OnlineGroupMembers members;
  std::vector<Plain> plain;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OnlineAccessSettings settings;
  settings.cacheFolder = "/nonexistent-online-fuzz";
  Endpoint endpoint(settings);
  Group group;
  endpoint.AddGroup(&group);
  while (size > 0) {
    size_t length = size;
    if (size >= 2) {
      length = std::min<size_t>(Kiv::LoadLE16(data), size - 2);
      data += 2;
      size -= 2;
    }
    TMEPacket packet(data, length);
    endpoint.Feed(packet);
    data += length;
    size -= length;
  }
  endpoint.RemoveGroup(&group);
  return 0;
}
