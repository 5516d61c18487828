#pragma once
// The named validation rules that a tag definition's "validation" list binds
// to a tag, the container checks a container definition binds, and the
// null-KUID warning of the KUID-browser writers.
#include <span>
#include <string_view>
#include <vector>

#include "config/Container.h"

namespace OBLLib {

struct NamedTagRule {
  const char* name;
  TagRuleFn rule;
};
// The thirteen tag rules in table order.
std::span<const NamedTagRule> NamedTagRules();

struct NamedContainerCheck {
  const char* name;
  ContainerRuleFn check;
};
// The four container checks in table order.
std::span<const NamedContainerCheck> NamedContainerChecks();

// The element count test of the "arraysize" rule: false (without a report)
// for an empty value; from build 2.9 a count other than expected is reported.
[[nodiscard]] bool CheckArraySize(Tag& tag, long expected);

// Warns about a tag whose value reads as the null KUID (not in an
// "obsolete-table"). Always true.
[[nodiscard]] bool WarnNullKUID(Tag& tag);

// Number lists of tag values: pieces between blanks and commas (empty pieces
// skipped), each read as the longest leading decimal number (0 when there is
// none), in the "C" locale and without overflow.
std::vector<float> ParseFloatList(std::string_view text);
std::vector<int> ParseIntList(std::string_view text);
float ParseLeadingFloat(std::string_view text);

}  // namespace OBLLib
