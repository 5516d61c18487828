#pragma once
// Number and value spellings shared by the soup text form and the converters.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/Soup.h"

namespace soup_detail {

// Decimal, optional leading '-', no other characters; false when out of range.
[[nodiscard]] bool ParseIntToken(std::string_view token, int32_t& out);
// A decimal float ("1.5", "-2e3", "7") or "inf", "-inf", "nan"; the whole token.
[[nodiscard]] bool ParseFloatToken(std::string_view token, float& out);
// An optional minus and decimal digits only (an integer, whatever its range).
[[nodiscard]] bool IsIntegerSpelling(std::string_view token);
void AppendInt(std::string& out, int32_t value);
// Shortest text that reads back as the same float; always marked as a float
// ("2.0", not "2"), and "nan", "inf", "-inf" for the special values.
void AppendFloat(std::string& out, float value);

inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// A value of every container below root (root too), made children first by
// make(node, valueOf) where valueOf(child) gives a child's value: each
// container once however many names hold it, and without recursion, so the
// cost follows the soup's nodes, not the trees its forms spell out.
template <class Value, class Make>
Value FoldContainers(const ACSChunk& root, Make make) {
  std::unordered_map<const ACSChunk*, Value> done;
  std::vector<std::pair<const ACSChunk*, size_t>> pending{{&root, 0}};
  const auto valueOf = [&done](const ACSChunk& child) -> const Value& { return done.at(&child); };
  while (!pending.empty()) {
    const ACSChunk* node = pending.back().first;
    size_t& next = pending.back().second;
    const ACSChunk* child = nullptr;
    while (!child && next < node->CountChildren()) {
      child = node->GetTag(next++).GetContainer();
      if (child && done.contains(child)) child = nullptr;
    }
    if (child) {
      pending.emplace_back(child, 0);
      continue;
    }
    pending.pop_back();
    Value value = make(*node, valueOf);
    done.emplace(node, std::move(value));
  }
  return done.at(&root);
}

}  // namespace soup_detail
