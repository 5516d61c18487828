#pragma once
// The identity of an asset: user id, content id and version. The user id keeps
// 25 significant bits (signed) and the version 7, because both share one packed
// 32-bit word in every stored form.
#include <cstdint>
#include <string>
#include <string_view>

struct KUID {
  static constexpr int32_t kMinUser = -(1 << 24);
  static constexpr int32_t kMaxUser = (1 << 24) - 1;
  static constexpr int32_t kMaxVersion = 127;

  int32_t user = -1;
  int32_t content = -1;
  int32_t version = kMaxVersion;

  // The default value is the null KUID (-1, -1, 127): "no asset".
  constexpr KUID() = default;
  constexpr KUID(int32_t userId, int32_t contentId, int32_t ver)
      : user(userId), content(contentId), version(ver) {}

  // The two-number form: version 0 for a non-negative user id, 127 for a negative one.
  static constexpr KUID FromUserContent(int32_t userId, int32_t contentId) {
    return KUID(userId, contentId, userId < 0 ? kMaxVersion : 0);
  }
  static constexpr KUID Null() { return KUID(); }

  [[nodiscard]] constexpr bool IsNull() const {
    return user == -1 && content == -1 && version == kMaxVersion;
  }
  // True when the fields fit the packed word (25-bit user, 7-bit version).
  [[nodiscard]] constexpr bool FitsPacked() const {
    return user >= kMinUser && user <= kMaxUser && version >= 0 && version <= kMaxVersion;
  }

  // version << 25 | user & 0x1FFFFFF; fields outside their range are truncated.
  constexpr uint32_t PackedWord() const {
    return (static_cast<uint32_t>(version) << 25) | (static_cast<uint32_t>(user) & 0x1FFFFFFu);
  }
  // Inverse of PackedWord: the user id is sign-extended from bit 24.
  static constexpr KUID FromPacked(uint32_t word, int32_t contentId) {
    int32_t u = static_cast<int32_t>(word & 0x1FFFFFFu);
    if (u & 0x1000000) u -= 0x2000000;
    return KUID(u, contentId, static_cast<int32_t>(word >> 25));
  }

  // The 8-byte soup form: the packed word, then the content id (little-endian).
  void PackSoup(uint8_t out[8]) const {
    const uint32_t words[2] = {PackedWord(), static_cast<uint32_t>(content)};
    for (int w = 0; w < 2; ++w)
      for (int b = 0; b < 4; ++b) out[w * 4 + b] = static_cast<uint8_t>(words[w] >> (8 * b));
  }
  static KUID UnpackSoup(const uint8_t in[8]);

  // "<kuid:%d:%d>" (user, content) without the version; "<NULL>" for the null KUID.
  std::string GetBaseString() const;

  friend constexpr bool operator==(const KUID& a, const KUID& b) = default;
};

// "<kuid:%d:%d>" when (version 0 and user >= 0) or (version 127 and user < 0),
// otherwise "<kuid2:%d:%d:%d>"; the null KUID gives "<NULL>".
std::string FormatKUIDTag(const KUID& kuid);

// Parses "<kuid:U:C>", "<kuid2:U:C:V>" (keywords in any case) and "<NULL>" (any
// case). Strict: exactly one such form, nothing around it. Not strict: blanks
// around the text are ignored and the angle brackets may be left out. Numbers
// must be decimal and in range (user 25 bits, version 0..127). False on any
// other text; out is then the null KUID.
[[nodiscard]] bool TryParseKUID(std::string_view text, bool strict, KUID& out);
// The KUID a text names; the null KUID when the text names none.
KUID ParseKUID(std::string_view text, bool strict);

// The command-argument forms "U:C" and "U:C:V" (decimal, same ranges as above).
// "U:C" takes version 0 for a non-negative user, 127 for a negative one.
[[nodiscard]] bool ParseKUIDArgument(std::string_view text, KUID& out);
