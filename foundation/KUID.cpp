#include "foundation/KUID.h"

#include <charconv>
#include <cstdio>

#include "kiv/Bytes.h"
#include "kiv/String.h"

KUID KUID::UnpackSoup(const uint8_t in[8]) {
  return FromPacked(Kiv::LoadLE32(in), static_cast<int32_t>(Kiv::LoadLE32(in + 4)));
}

std::string KUID::GetBaseString() const {
  if (IsNull()) return "<NULL>";
  char buf[48];
  std::snprintf(buf, sizeof buf, "<kuid:%d:%d>", user, content);
  return buf;
}

std::string FormatKUIDTag(const KUID& kuid) {
  if (kuid.IsNull()) return "<NULL>";
  char buf[64];
  if ((kuid.version == 0 && kuid.user >= 0) || (kuid.version == KUID::kMaxVersion && kuid.user < 0))
    std::snprintf(buf, sizeof buf, "<kuid:%d:%d>", kuid.user, kuid.content);
  else
    std::snprintf(buf, sizeof buf, "<kuid2:%d:%d:%d>", kuid.user, kuid.content, kuid.version);
  return buf;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// "N:N" or "N:N:N" with decimal numbers (an optional leading minus); count is 2 or 3.
bool ParseNumbers(std::string_view text, int32_t* values, int& count) {
  count = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (true) {
    if (count == 3) return false;
    if (p == end || *p == '+') return false;
    auto [next, ec] = std::from_chars(p, end, values[count]);
    if (ec != std::errc() || next == p) return false;
    ++count;
    p = next;
    if (p == end) break;
    if (*p != ':') return false;
    ++p;
  }
  return count >= 2;
}

bool MakeChecked(const int32_t* values, int count, KUID& out) {
  KUID k = count == 2 ? KUID::FromUserContent(values[0], values[1]) : KUID(values[0], values[1], values[2]);
  if (!k.FitsPacked()) return false;
  out = k;
  return true;
}

}  // namespace

bool TryParseKUID(std::string_view text, bool strict, KUID& out) {
  out = KUID::Null();
  if (!strict) text = Trim(text);
  bool bracketed = text.size() >= 2 && text.front() == '<' && text.back() == '>';
  if (bracketed) {
    text = text.substr(1, text.size() - 2);
  } else if (strict) {
    return false;
  }
  if (Kiv::CompareNoCase(text, "null") == 0) return true;
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view keyword = text.substr(0, colon);
  int32_t values[3];
  int count = 0;
  if (!ParseNumbers(text.substr(colon + 1), values, count)) return false;
  if (Kiv::CompareNoCase(keyword, "kuid") == 0) {
    if (count != 2) return false;
  } else if (Kiv::CompareNoCase(keyword, "kuid2") == 0) {
    if (count != 3) return false;
  } else {
    return false;
  }
  return MakeChecked(values, count, out);
}

KUID ParseKUID(std::string_view text, bool strict) {
  KUID k;
  // An unparsed text leaves the null KUID, which the caller tests.
  (void)TryParseKUID(text, strict, k);
  return k;
}

bool ParseKUIDArgument(std::string_view text, KUID& out) {
  int32_t values[3];
  int count = 0;
  if (!ParseNumbers(text, values, count)) return false;
  return MakeChecked(values, count, out);
}
