#pragma once
// The engine's small configuration text (".lm.txt" and kin): entries of a
// key, an optional value and an optional block of entries in braces.
//
//   # a comment runs to the end of the line ("//" too)
//   version 1.0
//   mesh 0 {
//     name "body_lod0.im"
//   }
//   mesh collision { name body_col.im; animated true }
//
// An entry ends at the end of its line, at ";" or at the "}" of its block.
// Keys and values are words (no spaces, quotes, braces, ";" or "#") or
// quoted strings, in which \" and \\ stand for " and \. Keys are matched
// without regard to case. The text's version is the value of a top-level
// "version" entry, 1.0 when there is none.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Kiv {

struct ConfigEntry {
  std::string key;
  std::string value;
  std::vector<ConfigEntry> children;
  uint32_t line = 0;

  // The first child with the key; null when there is none.
  const ConfigEntry* Find(std::string_view key) const;
  std::vector<const ConfigEntry*> FindAll(std::string_view key) const;
  // The value of the first child with the key, or the fallback when the
  // child is missing or (for numbers and truths) its value is not one.
  std::string GetString(std::string_view key, std::string_view fallback = {}) const;
  float GetFloat(std::string_view key, float fallback) const;
  // "true", "yes", "1" and "false", "no", "0", in any case.
  [[nodiscard]] bool GetBool(std::string_view key, bool fallback) const;
};

// A number as the whole of a text; false for anything else.
[[nodiscard]] bool ParseConfigFloat(std::string_view text, float& out);

class ConfigData {
public:
  const ConfigEntry& Root() const { return m_root; }
  ConfigEntry& Root() { return m_root; }
  float GetVersion() const;
  // Why the last parse failed, with its line.
  const std::string& Error() const { return m_error; }
  void SetError(std::string error) { m_error = std::move(error); }

private:
  ConfigEntry m_root;
  std::string m_error;
};

class ConfigParser {
public:
  static constexpr int kOk = 0;
  static constexpr int kUnreadable = 2;
  static constexpr int kSyntax = 3;
  static constexpr int kMaxDepth = 64;
  static constexpr uint64_t kMaxBytes = UINT64_C(16) << 20;

  // Parses a file into data (replacing what it held): 0, 2 when the file
  // cannot be read, 3 for a syntax error (data.Error() says where).
  static int Parse(std::string_view path, ConfigData& data);
  static int ParseText(std::string_view text, ConfigData& data);
};

}  // namespace Kiv
