#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/Crc32.h"

TEST(Crc32, KnownValues) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

// Every length around the folding thresholds, every alignment, random bytes:
// the answer must be zlib's.
TEST(Crc32, MatchesZlibOnRandomBuffers) {
  std::mt19937 rng(1234);
  std::vector<uint8_t> buf(5000 + 16);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t len :
         {0, 1, 7, 8, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 129, 255, 256, 1000, 4096, 5000}) {
      const uint8_t* p = buf.data() + offset;
      ASSERT_EQ(Crc32(p, len), static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(len))))
          << "offset " << offset << " length " << len;
    }
  }
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> data(rng() % 20000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(Crc32(data.data(), data.size()),
              static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  }
}

TEST(Crc32, UpdateContinuesAcrossPieces) {
  std::string text(3000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 31 + 7);
  const uint32_t whole = Crc32(text.data(), text.size());
  for (size_t cut : {0, 1, 64, 100, 1500, 2999, 3000}) {
    uint32_t c = Crc32Update(0, text.data(), cut);
    c = Crc32Update(c, text.data() + cut, text.size() - cut);
    EXPECT_EQ(c, whole) << "cut at " << cut;
  }
}

TEST(Crc32, LowerStringFoldsCaseAndSkipsTheTerminator) {
  EXPECT_EQ(Crc32LowerString("MAIN.GS"), Crc32("main.gs", 7));
  EXPECT_EQ(Crc32LowerString("Main.gs"), Crc32LowerString("main.GS"));
  EXPECT_EQ(Crc32LowerString(""), 0u);
  EXPECT_EQ(Crc32LowerString(nullptr), 0u);
  // Only ASCII letters fold; other bytes stay.
  EXPECT_EQ(Crc32LowerString("\xC4-_1"), Crc32("\xC4-_1", 4));
}
