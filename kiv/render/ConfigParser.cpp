#include "kiv/render/ConfigParser.h"

#include <charconv>
#include <cmath>

#include "kiv/File.h"
#include "kiv/String.h"

namespace Kiv {

namespace {

bool SameKey(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

enum class Token { Word, String, Open, Close, LineEnd, End, Error };

class Scanner {
public:
  explicit Scanner(std::string_view text) : m_text(text) {}

  Token Next(std::string& out) {
    out.clear();
    for (;;) {
      if (m_pos >= m_text.size()) return Token::End;
      const char c = m_text[m_pos];
      if (c == '\n') {
        ++m_pos;
        ++m_line;
        return Token::LineEnd;
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        ++m_pos;
        continue;
      }
      if (c == '#' || (c == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '/')) {
        while (m_pos < m_text.size() && m_text[m_pos] != '\n') ++m_pos;
        continue;
      }
      break;
    }
    const char c = m_text[m_pos];
    if (c == ';') {
      ++m_pos;
      return Token::LineEnd;
    }
    if (c == '{') {
      ++m_pos;
      return Token::Open;
    }
    if (c == '}') {
      ++m_pos;
      return Token::Close;
    }
    if (c == '"') {
      ++m_pos;
      while (m_pos < m_text.size()) {
        char d = m_text[m_pos++];
        if (d == '"') return Token::String;
        if (d == '\n') break;
        if (d == '\\' && m_pos < m_text.size() && (m_text[m_pos] == '"' || m_text[m_pos] == '\\')) {
          d = m_text[m_pos++];
        }
        out.push_back(d);
      }
      m_error = "a quoted string does not end on its line";
      return Token::Error;
    }
    while (m_pos < m_text.size()) {
      const char d = m_text[m_pos];
      if (d == ' ' || d == '\t' || d == '\r' || d == '\n' || d == '\f' || d == '\v' || d == '"' || d == '{' ||
          d == '}' || d == ';' || d == '#') {
        break;
      }
      if (d == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '/') break;
      out.push_back(d);
      ++m_pos;
    }
    return Token::Word;
  }

  uint32_t Line() const { return m_line; }
  const std::string& ScanError() const { return m_error; }

private:
  std::string_view m_text;
  size_t m_pos = 0;
  uint32_t m_line = 1;
  std::string m_error;
};

class Reader {
public:
  explicit Reader(std::string_view text) : m_scanner(text) { Advance(); }

  bool Entries(ConfigEntry& parent, int depth) {
    const bool inBlock = depth > 0;
    for (;;) {
      if (m_token == Token::Error) return Fail(m_scanner.ScanError());
      if (m_token == Token::LineEnd) {
        Advance();
        continue;
      }
      if (m_token == Token::End) return inBlock ? Fail("a block is not closed") : true;
      if (m_token == Token::Close) {
        if (!inBlock) return Fail("\"}\" without a block");
        Advance();
        return true;
      }
      if (m_token == Token::Open) return Fail("a block without a key");
      ConfigEntry entry;
      entry.key = std::move(m_text);
      entry.line = m_scanner.Line();
      Advance();
      if (m_token == Token::Word || m_token == Token::String) {
        entry.value = std::move(m_text);
        Advance();
      }
      if (m_token == Token::Open) {
        if (depth + 1 >= ConfigParser::kMaxDepth) return Fail("blocks nest too deeply");
        Advance();
        if (!Entries(entry, depth + 1)) return false;
      }
      if (m_token == Token::Word || m_token == Token::String || m_token == Token::Open) {
        return Fail("more than one value after \"" + entry.key + "\"");
      }
      parent.children.push_back(std::move(entry));
    }
  }

  const std::string& Error() const { return m_error; }

private:
  void Advance() { m_token = m_scanner.Next(m_text); }
  bool Fail(const std::string& why) {
    m_error = "line " + std::to_string(m_scanner.Line()) + ": " + why;
    return false;
  }

  Scanner m_scanner;
  Token m_token = Token::End;
  std::string m_text;
  std::string m_error;
};

}  // namespace

const ConfigEntry* ConfigEntry::Find(std::string_view name) const {
  for (const ConfigEntry& child : children) {
    if (SameKey(child.key, name)) return &child;
  }
  return nullptr;
}

std::vector<const ConfigEntry*> ConfigEntry::FindAll(std::string_view name) const {
  std::vector<const ConfigEntry*> found;
  for (const ConfigEntry& child : children) {
    if (SameKey(child.key, name)) found.push_back(&child);
  }
  return found;
}

std::string ConfigEntry::GetString(std::string_view name, std::string_view fallback) const {
  const ConfigEntry* child = Find(name);
  return child ? child->value : std::string(fallback);
}

bool ParseConfigFloat(std::string_view text, float& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  float value = 0.0f;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return false;
  }
  out = value;
  return true;
}

float ConfigEntry::GetFloat(std::string_view name, float fallback) const {
  const ConfigEntry* child = Find(name);
  float value = fallback;
  return child && ParseConfigFloat(child->value, value) ? value : fallback;
}

bool ConfigEntry::GetBool(std::string_view name, bool fallback) const {
  const ConfigEntry* child = Find(name);
  if (!child) return fallback;
  const std::string value = ToLowerAscii(child->value);
  if (value == "true" || value == "yes" || value == "1") return true;
  if (value == "false" || value == "no" || value == "0") return false;
  return fallback;
}

float ConfigData::GetVersion() const { return m_root.GetFloat("version", 1.0f); }

int ConfigParser::Parse(std::string_view path, ConfigData& data) {
  std::string text;
  if (!File::ReadWholeFile(path, text, kMaxBytes)) {
    data = ConfigData();
    data.SetError("cannot read " + std::string(path));
    return kUnreadable;
  }
  return ParseText(text, data);
}

int ConfigParser::ParseText(std::string_view text, ConfigData& data) {
  data = ConfigData();
  text = Kiv::SkipByteOrderMark(text);
  Reader reader(text);
  if (!reader.Entries(data.Root(), 0)) {
    data = ConfigData();
    data.SetError(reader.Error());
    return kSyntax;
  }
  return kOk;
}

}  // namespace Kiv
