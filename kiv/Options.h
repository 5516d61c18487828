#pragma once
// Command-style options: a text of "-Key=value" and "-Key" tokens separated
// by blanks. Keys compare without regard to case; a later token replaces an
// earlier one of the same key. A value may be quoted ("-Key=\"a b\"").
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Kiv {

class Options {
public:
  Options() = default;
  // Fixed option text that parses.
  explicit Options(std::string_view text) { (void)SetRaw(text); }

  // Replaces every option with those of the text. False (options still taken
  // from the well-formed tokens) when a token does not start with "-" or has an
  // empty key.
  [[nodiscard]] bool SetRaw(std::string_view text);
  void Clear() { m_items.clear(); }

  [[nodiscard]] bool Has(std::string_view key) const;
  // The value of the key; empty when absent or given without "=".
  std::string Get(std::string_view key) const;
  // True with the value when the key is present.
  [[nodiscard]] bool Get(std::string_view key, std::string& value) const;
  void Set(std::string_view key, std::string_view value);
  size_t Count() const { return m_items.size(); }

private:
  std::vector<std::pair<std::string, std::string>> m_items;
};

// Compares two keys without regard to ASCII case.
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace Kiv
