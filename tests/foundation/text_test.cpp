#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/Text.h"

TEST(MatchTagExpression, AlternativesAndAbsentTerms) {
  // {tags, expression, matches}: whole tags only, "?" is one character,
  // blanks and empty pieces are ignored.
  const struct {
    const char* tags;
    const char* expr;
    bool match;
  } cases[] = {{"TR;TV", "", true},        {"", "", true},
               {"TR;TV", "TR;TV", true},   {"TV;XX;TR", "TR;TV", true},
               {"TR", "TR;TV", false},     {"TO", "TR;TV|TO", true},
               {"TX", "TR;TV|TO", false},  {"TR", "TR;-TV", true},
               {"TR;TV", "TR;-TV", false}, {"TR;TV", "TR;-TV|TV", true},
               {"", "-TV", true},          {"TRX", "TR", false},
               {"T", "TR", false},         {"SWA", "?WA", true},
               {"BR;JWA", "?WA", true},    {"WA", "?WA", false},
               {"XSWA", "?WA", false},     {" TR ; TV ", "TV ;; TR", true},
               {"TR", "|", false}};
  for (const auto& c : cases)
    EXPECT_EQ(MatchTagExpression(c.tags, c.expr), c.match) << c.tags << " ~ " << c.expr;
}

TEST(SubstituteMacro, ReplacesWithoutRegardToCaseAndNeverRescans) {
  std::string s = "File $(FileName) and $(FILENAME), not $(file) or $(FILENAME";
  EXPECT_EQ(SubstituteMacro(s, "filename", "a.gs"), 2);
  EXPECT_EQ(s, "File a.gs and a.gs, not $(file) or $(FILENAME");
  std::string loop = "$(x)";
  EXPECT_EQ(SubstituteMacro(loop, "x", "$(x)$(x)"), 1);
  EXPECT_EQ(loop, "$(x)$(x)");
  std::string none = "nothing here $";
  EXPECT_EQ(SubstituteMacro(none, "x", "y"), 0);
  EXPECT_EQ(none, "nothing here $");
  Kiv::String ks("<$(A)>");
  SubstituteMacro(ks, "a", "1");
  EXPECT_EQ(ks.Str(), "<1>");
}

TEST(DecodeUtf8Char, ValidAndMalformedSequences) {
  size_t used = 99;
  const struct {
    const char* bytes;
    uint32_t cp;
  } valid[] = {
      {"", 0}, {"A", 0x41}, {"\xC3\xA9", 0xE9}, {"\xE2\x82\xAC", 0x20AC}, {"\xF0\x9F\x98\x80", 0x1F600}};
  for (const auto& v : valid) {
    EXPECT_EQ(DecodeUtf8Char(v.bytes, std::strlen(v.bytes), &used), v.cp);
    EXPECT_EQ(used, std::strlen(v.bytes));
  }
  // Overlong, surrogate, out of range, stray continuation: one byte, U+FFFD.
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xFF"}) {
    EXPECT_EQ(DecodeUtf8Char(bad, std::strlen(bad), &used), 0xFFFDu) << bad;
    EXPECT_EQ(used, 1u);
  }
}

// A truncated sequence at the end of the text must not read past it: the
// bytes after the given length are a guard that would complete the sequence.
TEST(DecodeUtf8Char, TruncatedInputStopsAtTheEnd) {
  const char euro[] = "\xE2\x82\xAC";
  size_t used;
  for (size_t n = 1; n < 3; ++n) {
    EXPECT_EQ(DecodeUtf8Char(euro, n, &used), 0xFFFDu);
    EXPECT_EQ(used, 1u);
  }
  // Walking any byte string consumes at least one byte per step and ends exactly.
  const char mixed[] = "a\xC3\xA9\xE2\x82\xF0\x9F\x98";
  size_t pos = 0, steps = 0;
  while (pos < sizeof mixed - 1) {
    DecodeUtf8Char(mixed + pos, sizeof mixed - 1 - pos, &used);
    ASSERT_GE(used, 1u);
    pos += used;
    ++steps;
  }
  EXPECT_EQ(pos, sizeof mixed - 1);
  EXPECT_EQ(steps, 1u + 1u + 2u + 3u);
}

TEST(ConvertCodePageInPlace, Between1252AndUtf8) {
  char buf[32] = "caf\xE9 \x80";  // "café €" in 1252
  EXPECT_EQ(ConvertCodePageInPlace(buf, sizeof buf, kCodePage1252, kCodePageUtf8), 0);
  EXPECT_STREQ(buf, "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(ConvertCodePageInPlace(buf, sizeof buf, kCodePageUtf8, kCodePage1252), 0);
  EXPECT_STREQ(buf, "caf\xE9 \x80");
  // A character 1252 lacks becomes "?".
  char cjk[16] = "x\xE4\xB8\xAD";
  EXPECT_EQ(ConvertCodePageInPlace(cjk, sizeof cjk, kCodePageUtf8, kCodePage1252), 0);
  EXPECT_STREQ(cjk, "x?");
}

TEST(ConvertCodePageInPlace, SmallBufferAndFailures) {
  char small[6] = "\xE9\xE9\xE9";  // needs 7 bytes as UTF-8
  EXPECT_EQ(ConvertCodePageInPlace(small, sizeof small, kCodePage1252, kCodePageUtf8), 7);
  EXPECT_STREQ(small, "\xE9\xE9\xE9");
  char badUtf8[8] = "a\xC3(b";
  EXPECT_EQ(ConvertCodePageInPlace(badUtf8, sizeof badUtf8, kCodePageUtf8, kCodePage1252), -1);
  EXPECT_STREQ(badUtf8, "a?(b");
  char unknown[8] = "\xE9z";
  EXPECT_EQ(ConvertCodePageInPlace(unknown, sizeof unknown, 437, kCodePageUtf8), -1);
  EXPECT_STREQ(unknown, "?z");
  char unterminated[3] = {'a', '\xE9', 'b'};
  EXPECT_EQ(ConvertCodePageInPlace(unterminated, sizeof unterminated, kCodePage1252, kCodePageUtf8), -1);
  EXPECT_EQ(unterminated[1], '?');
}

TEST(SafeFormat, FillsByPositionAndType) {
  EXPECT_EQ(SafeFormat("Tag '%s' in %s", {"kuid", "config.txt"}), "Tag 'kuid' in config.txt");
  EXPECT_EQ(SafeFormat("%d of %d (%5.1f%%)", {3, 4, 75.0}), "3 of 4 ( 75.0%)");
  EXPECT_EQ(SafeFormat("%2$s-%1$s", {"a", "b"}), "b-a");
  EXPECT_EQ(SafeFormat("%x %X %u %c", {255, 255, 7, 65}), "ff FF 7 A");
  EXPECT_EQ(SafeFormat("[%-4s|%4s]", {"ab", "cd"}), "[ab  |  cd]");
  EXPECT_EQ(SafeFormat("%.2s", {"abcdef"}), "ab");
  // Types convert: a number for %s, a text for %d.
  EXPECT_EQ(SafeFormat("%s/%d", {12, "34"}), "12/34");
}

// Outside text never acts as a printf format: missing parameters print
// nothing, and dangerous or unknown conversions are copied as text.
TEST(SafeFormat, HostileTextIsHarmless) {
  EXPECT_EQ(SafeFormat("%s %s %s %d", {"one"}), "one   ");
  EXPECT_EQ(SafeFormat("%n%p%q", {"x"}), "%n%p%q");
  EXPECT_EQ(SafeFormat("100%", {}), "100%");
  EXPECT_EQ(SafeFormat("%99999d", {1}), "%99999d");
  EXPECT_EQ(SafeFormat("%.999f", {1.0}), "%.999f");
  EXPECT_EQ(SafeFormat("%0$s|%9$s", {"a"}), "%0$s|");
  std::string wide = SafeFormat("%255.255f", {1e300});
  EXPECT_GE(wide.size(), 255u);
}

// Random bytes through the text helpers that read outside text: no crash
// (the sanitizer build checks reads), bounded output, and the documented
// invariants.
TEST(TextHelpers, RandomInputIsHandledSafely) {
  std::mt19937 rng(99);
  const char alphabet[] = "%$()-;|?ab1.\xC3\xA9\xE2\x82\x80\xF0\xFF sd*#";
  for (int round = 0; round < 3000; ++round) {
    std::string s(rng() % 40, '\0');
    for (char& c : s) c = (rng() % 4) ? alphabet[rng() % (sizeof alphabet - 1)] : static_cast<char>(rng());
    const std::string out = SafeFormat(s, {1, "two", 3.5});
    ASSERT_LE(out.size(), s.size() + 3 * 600);
    // Set-up; the checks below show a failure.
    (void)MatchTagExpression(s, s.substr(0, s.size() / 2));
    std::string copy = s;
    SubstituteMacro(copy, "a", "$(a)");
    size_t pos = 0, used = 0;
    while (pos < s.size()) {
      const uint32_t cp = DecodeUtf8Char(s.data() + pos, s.size() - pos, &used);
      ASSERT_GE(used, 1u);
      ASSERT_LE(cp, 0x10FFFFu);
      pos += used;
    }
    ASSERT_EQ(pos, s.size());
    std::vector<char> buf(s.size() * 3 + 1);
    std::copy(s.begin(), s.end(), buf.begin());
    const int r = ConvertCodePageInPlace(buf.data(), buf.size(), round % 2 ? kCodePageUtf8 : kCodePage1252,
                                         round % 2 ? kCodePage1252 : kCodePageUtf8);
    ASSERT_TRUE(r == 0 || r == -1) << r;
  }
}
