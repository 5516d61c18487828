// The member list of a group read from the service's lists: what each entry
// does to the list and which changes it reports.
#include <gtest/gtest.h>

#include <string>

#include "foundation/Stream.h"
#include "online/OnlineGroupMembers.h"

namespace {

struct Entry {
  const char* name;
  uint8_t status;
  uint32_t flags;
};

// The list's bytes, less the last `cut`.
std::string List(std::initializer_list<Entry> entries, size_t cut = 0) {
  TBuffer b;
  b.WriteU16(uint16_t(entries.size()));
  for (const Entry& e : entries) {
    b.WritePString(Kiv::PString(e.name));
    b.WriteU8(e.status);
    b.WriteU32(e.flags);
  }
  return std::string(reinterpret_cast<const char*>(b.Data()), b.Size() - cut);
}

// Reads one list; the changes as "+name", "-name", "*name", then the list as "name/status/flags".
std::string Read(OnlineGroupMembers& m, const std::string& bytes, bool replace, bool* changed = nullptr) {
  TBuffer list(bytes.data(), bytes.size());
  std::string out;
  using C = OnlineGroupMembers::Change;
  const bool any = m.Read(list, replace, [&](C c, std::string_view name) {
    out += c == C::kAdded ? "+" : c == C::kRemoved ? "-" : "*";
    out.append(name).append(" ");
  });
  if (changed) *changed = any;
  out += "|";
  for (const auto& e : m.All()) {
    out.append(" ").append(e.name.View()).append("/").append(std::to_string(e.status));
    out.append("/").append(std::to_string(e.flags));
  }
  return out;
}

TEST(GroupMembers, EntriesAddRemoveAndChangeInListOrder) {
  OnlineGroupMembers m;
  EXPECT_EQ(Read(m, List({{"tester", 0, 0}, {"Alice", 1, 4}}), true),
            "+tester +Alice | tester/0/0 Alice/1/4");
  // Names match in any letter case; an unknown name's removal and an
  // unchanged member report nothing; a removed name can come back at the end.
  bool changed = false;
  EXPECT_EQ(Read(m,
                 List({{"ALICE", 2, 4},
                       {"nobody", 0xFF, 0},
                       {"tester", 0, 0},
                       {"TESTER", 0xFF, 0},
                       {"bob", 0, 1},
                       {"Tester", 3, 0}}),
                 false, &changed),
            "*ALICE -TESTER +bob +Tester | Alice/2/4 bob/0/1 Tester/3/0");
  EXPECT_TRUE(changed);
  EXPECT_EQ(Read(m, List({{"nobody", 0xFF, 0}, {"bob", 0, 1}}), false, &changed),
            "| Alice/2/4 bob/0/1 Tester/3/0");
  EXPECT_FALSE(changed);
  EXPECT_EQ(m.Find("TESTER"), 2);
  EXPECT_EQ(m.Find("carol"), -1);
}

TEST(GroupMembers, AReplacingListEmptiesFirstAndACutListKeepsItsWholeEntries) {
  OnlineGroupMembers m;
  Read(m, List({{"a", 0, 0}, {"b", 0, 0}}), true);
  bool changed = false;
  // The last entry lacks a byte of its flags.
  EXPECT_EQ(Read(m, List({{"b", 1, 0}, {"c", 0, 0}}, 1), true, &changed), "+b | b/1/0");
  EXPECT_TRUE(changed);
  EXPECT_EQ(Read(m, List({}), true, &changed), "|");
  EXPECT_TRUE(changed);  // emptied
  EXPECT_EQ(Read(m, List({}), true, &changed), "|");
  EXPECT_FALSE(changed);
  EXPECT_EQ(Read(m, "", false, &changed), "|");
  EXPECT_FALSE(changed);
}

}  // namespace
