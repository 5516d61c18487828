#pragma once
// The parts of a URL text: scheme "://" [user [":" password] "@"] host
// [":" port] [path] ["?" query] ["#" fragment], or scheme ":" path.
#include <string>
#include <string_view>

struct UrlParts {
  std::string scheme;  // lower-cased
  std::string user;
  std::string password;
  std::string host;
  int port = 0;          // 0 when the URL names none
  std::string path;      // with its leading "/" when there is one
  std::string query;     // without the "?"
  std::string fragment;  // without the "#"

  // Fills the parts from text; false (and the parts cleared) when there is no
  // valid scheme, the port is not a number from 1 to 65535, or the text holds
  // control characters or blanks.
  [[nodiscard]] bool Parse(std::string_view text);
};
