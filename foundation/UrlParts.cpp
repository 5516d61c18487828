#include "foundation/UrlParts.h"

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool UrlParts::Parse(std::string_view text) {
  *this = UrlParts();
  for (char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;

  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || !IsAlpha(text[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  std::string scheme(text.substr(0, colon));
  for (char& c : scheme)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::string_view rest = text.substr(colon + 1);

  // Fragment and query come off the end first.
  std::string_view fragmentPart, queryPart;
  if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
    fragmentPart = rest.substr(hash + 1);
    rest = rest.substr(0, hash);
  }
  if (size_t q = rest.find('?'); q != std::string_view::npos) {
    queryPart = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }

  std::string_view userPart, passwordPart, hostPart, pathPart = rest;
  int portValue = 0;
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    pathPart = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
      std::string_view info = authority.substr(0, at);
      authority.remove_prefix(at + 1);
      const size_t c = info.find(':');
      userPart = info.substr(0, c);
      if (c != std::string_view::npos) passwordPart = info.substr(c + 1);
    }
    // A bracketed IPv6 host keeps its colons.
    size_t portColon = std::string_view::npos;
    if (!authority.empty() && authority[0] == '[') {
      const size_t close = authority.find(']');
      if (close == std::string_view::npos) return false;
      if (close + 1 < authority.size()) {
        if (authority[close + 1] != ':') return false;
        portColon = close + 1;
      }
    } else {
      portColon = authority.find(':');
    }
    hostPart = authority.substr(0, portColon);
    if (portColon != std::string_view::npos) {
      std::string_view digits = authority.substr(portColon + 1);
      if (digits.empty() || digits.size() > 5) return false;
      for (char c : digits) {
        if (!IsDigit(c)) return false;
        portValue = portValue * 10 + (c - '0');
      }
      if (portValue < 1 || portValue > 65535) return false;
    }
  }

  this->scheme = std::move(scheme);
  user = std::string(userPart);
  password = std::string(passwordPart);
  host = std::string(hostPart);
  port = portValue;
  path = std::string(pathPart);
  query = std::string(queryPart);
  fragment = std::string(fragmentPart);
  return true;
}
