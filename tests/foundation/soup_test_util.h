#pragma once
// Random soup trees and a structural comparison, shared by the soup tests.
#include <cstring>
#include <random>
#include <string>

#include "foundation/Soup.h"

namespace souptest {

inline std::string RandomText(std::mt19937& rng, bool allowEmpty) {
  static const char kChars[] = "abcXYZ019 _-.\"\\{}[],<>:\t\n";
  size_t length = rng() % 12;
  if (length == 0 && !allowEmpty) length = 1;
  std::string s;
  for (size_t i = 0; i < length; ++i) s += kChars[rng() % (sizeof kChars - 1)];
  return s;
}

inline float RandomFloat(std::mt19937& rng, bool specials) {
  switch (rng() % 6) {
    case 0: return static_cast<float>(static_cast<int>(rng() % 200) - 100);
    case 1: {
      if (!specials) return 0.0f;
      const float kSpecial[] = {INFINITY, -INFINITY, -0.0f, 1e-45f, 3.4028235e38f};
      return kSpecial[rng() % 5];
    }
    default: {
      uint32_t bits = static_cast<uint32_t>(rng());
      float f;
      std::memcpy(&f, &bits, 4);
      if (std::isnan(f)) f = 0.25f;
      return f;
    }
  }
}

inline void Fill(std::mt19937& rng, SoupRef& soup, int depth) {
  soup.EnsureContainer();
  size_t count = rng() % 7;
  for (size_t i = 0; i < count; ++i) {
    Kiv::PString name(RandomText(rng, true));
    TDBDataTag tag;
    const int t = static_cast<int>(rng() % 7);
    switch (t) {
      case 0:
        if (depth < 5) {
          SoupRef child;
          Fill(rng, child, depth + 1);
          EXPECT_TRUE(soup.Get()->AddNamedChild(name, child.Get()));
          continue;
        }
        [[fallthrough]];
      case 1: {
        std::string text = RandomText(rng, true);
        tag = TDBDataTag::MakeBytes(name, kSoupText, text.data(), text.size());
        break;
      }
      case 2: {
        std::string bytes;
        size_t n = rng() % 20;
        for (size_t b = 0; b < n; ++b) bytes += static_cast<char>(rng());
        tag = TDBDataTag::MakeBytes(name, kSoupBinary, bytes.data(), bytes.size());
        break;
      }
      case 3:
      case 4: {
        uint32_t values[5];
        size_t n = rng() % 6;
        for (size_t v = 0; v < n; ++v) {
          float f = RandomFloat(rng, true);
          values[v] = static_cast<uint32_t>(rng());
          if (t == 3) std::memcpy(&values[v], &f, 4);
        }
        tag = TDBDataTag::MakeBytes(name, t == 3 ? kSoupFloat : kSoupInt, values, n * 4);
        break;
      }
      case 5: {
        uint8_t packed[24];
        size_t n = rng() % 4;
        for (size_t v = 0; v < n; ++v) {
          KUID k = rng() % 5 == 0
                       ? KUID::Null()
                       : KUID::FromPacked(static_cast<uint32_t>(rng()), static_cast<int32_t>(rng()));
          k.PackSoup(packed + v * 8);
        }
        tag = TDBDataTag::MakeBytes(name, kSoupKUID, packed, n * 8);
        break;
      }
      default: {
        int32_t v = static_cast<int32_t>(rng() % 1000) - 500;
        tag = TDBDataTag::MakeBytes(name, kSoupInt, &v, 4);
        break;
      }
    }
    EXPECT_TRUE(soup.Get()->AppendTag(std::move(tag)));
  }
}

inline SoupRef RandomSoup(uint32_t seed) {
  std::mt19937 rng(seed);
  SoupRef soup;
  Fill(rng, soup, 0);
  return soup;
}

// Same names, types and value bytes in the same order, recursively.
inline bool SameTree(const ACSChunk* a, const ACSChunk* b, std::string* where = nullptr) {
  if (!a || !b) return a == b;
  if (a->CountChildren() != b->CountChildren()) {
    if (where) *where = "child count";
    return false;
  }
  for (size_t i = 0; i < a->CountChildren(); ++i) {
    const TDBDataTag& x = a->GetTag(i);
    const TDBDataTag& y = b->GetTag(i);
    if (!(x.GetName() == y.GetName()) || x.GetDataType() != y.GetDataType() || x.GetSize() != y.GetSize() ||
        std::memcmp(x.GetData(), y.GetData(), x.GetSize()) != 0) {
      if (where) *where = "tag '" + x.GetName().Str() + "'";
      return false;
    }
    if (x.GetContainer() && !SameTree(x.GetContainer(), y.GetContainer(), where)) return false;
  }
  return true;
}

}  // namespace souptest
