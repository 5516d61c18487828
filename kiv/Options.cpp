#include "kiv/Options.h"

namespace Kiv {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool Options::SetRaw(std::string_view text) {
  m_items.clear();
  bool ok = true;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    if (i >= text.size()) break;
    // One token: up to the next blank outside quotes.
    std::string token;
    bool quoted = false;
    while (i < text.size()) {
      char c = text[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
        break;
      } else {
        token.push_back(c);
      }
      ++i;
    }
    if (quoted) ok = false;
    if (token.size() < 2 || token[0] != '-') {
      ok = false;
      continue;
    }
    size_t eq = token.find('=');
    std::string key = token.substr(1, eq == std::string::npos ? std::string::npos : eq - 1);
    if (key.empty()) {
      ok = false;
      continue;
    }
    Set(key, eq == std::string::npos ? std::string_view() : std::string_view(token).substr(eq + 1));
  }
  return ok;
}

bool Options::Has(std::string_view key) const {
  std::string unused;
  return Get(key, unused);
}

std::string Options::Get(std::string_view key) const {
  std::string value;
  // A missing option leaves the value empty, as the caller wants.
  (void)Get(key, value);
  return value;
}

bool Options::Get(std::string_view key, std::string& value) const {
  for (const auto& item : m_items) {
    if (EqualsNoCase(item.first, key)) {
      value = item.second;
      return true;
    }
  }
  value.clear();
  return false;
}

void Options::Set(std::string_view key, std::string_view value) {
  for (auto& item : m_items) {
    if (EqualsNoCase(item.first, key)) {
      item.second = std::string(value);
      return;
    }
  }
  m_items.emplace_back(std::string(key), std::string(value));
}

}  // namespace Kiv
