#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "foundation/Crc32.h"
#include "foundation/ScriptFileBuffer.h"
#include "kiv/TempFolder.h"

namespace {

namespace fs = std::filesystem;

class ScriptFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    m_dir = m_temp.Root();
    fs::create_directories(m_dir / "Scripts");
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(m_dir / name, std::ios::binary) << bytes;
  }
  Kiv::TempFolder m_temp{"rovana-gse"};
  fs::path m_dir;
};

const std::string kSource = "include \"gs.gs\"\r\nclass Foo isclass GameObject\n{\n  int x = 1;\n};\n";

}  // namespace

TEST(ScriptFileBuffer, EncodeDecodeRoundTripAndSameChecksum) {
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    std::string text(rng() % 3000, '\0');
    for (char& c : text) c = static_cast<char>(rng());
    ScriptFileBuffer buffer;
    auto file = ScriptFileBuffer::Encode(text);
    buffer.Assign(file.data(), file.size(), true);
    ASSERT_TRUE(buffer.enciphered);
    ASSERT_TRUE(buffer.Decode());
    EXPECT_FALSE(buffer.enciphered);
    EXPECT_EQ(std::string_view(buffer.data, buffer.prefixLength), ScriptFileBuffer::kScriptPrefix);
    EXPECT_EQ(buffer.PlainText(), text);
    EXPECT_EQ(buffer.data[buffer.length], '\0');
    EXPECT_EQ(ScriptSourceChecksum(buffer), Crc32(text.data(), text.size()));
  }
}

// The documented example file, byte for byte: a changed cipher would make
// existing ".gse" files unreadable.
// The text before a position goes back a page at a time; what follows it
// stays as it was, and positions outside the text change nothing.
TEST(ScriptFileBuffer, ReleasingTheReadTextKeepsWhatFollows) {
  std::string text;
  for (int i = 0; i < 400000; ++i) text += static_cast<char>('a' + i % 26);
  ScriptFileBuffer buffer;
  buffer.Assign(text.data(), text.size(), false);
  const char* data = buffer.data;
  buffer.ReleaseBefore(data - 1);
  buffer.ReleaseBefore(data + text.size() + 1);
  EXPECT_EQ(std::string_view(data, text.size()), text);
  buffer.ReleaseBefore(data + 1000);  // less than a step: nothing goes
  EXPECT_EQ(std::string_view(data, text.size()), text);
  std::size_t kept = 0;  // the text from here on must be whole
  for (std::size_t at : {150001u, 150001u, 100000u, 300017u}) {
    buffer.ReleaseBefore(data + at);  // going back releases nothing more
    kept = std::max(kept, at);
    EXPECT_TRUE(std::string_view(data + kept, text.size() - kept) == std::string_view(text).substr(kept))
        << at;
  }
  EXPECT_EQ(data[4096 * 10], '\0');  // given back: reads as zero
  EXPECT_EQ(data[0], 'a');           // the first page holds the allocator's words: never given back
  EXPECT_EQ(data[text.size()], '\0');
  buffer.Clear();
  EXPECT_EQ(buffer.data, nullptr);
}

TEST(ScriptFileBuffer, EncodingIsStable) {
  const std::vector<uint8_t> expected = {0x52, 0x47, 0x53, 0x45, 0x01, 0x00, 0x00, 0x00, 0x06,
                                         0x00, 0x00, 0x00, 0xec, 0x5d, 0xc6, 0x32, 0x32, 0x9d,
                                         0xd1, 0x68, 0x5c, 0x50, 0xad, 0x0c, 0xa9, 0xd9};
  EXPECT_EQ(ScriptFileBuffer::Encode("int x;"), expected);
}

TEST(ScriptFileBuffer, CorruptEncipheredDataIsRefused) {
  const auto good = ScriptFileBuffer::Encode(kSource);
  ScriptFileBuffer buffer;
  // Every single flipped bit, anywhere in the file, is caught.
  for (size_t i = 0; i < good.size(); ++i) {
    for (int bit = 0; bit < 8; bit += 3) {
      auto bad = good;
      bad[i] ^= static_cast<uint8_t>(1u << bit);
      buffer.Assign(bad.data(), bad.size(), true);
      ASSERT_FALSE(buffer.Decode()) << "byte " << i << " bit " << bit;
      ASSERT_EQ(buffer.data, nullptr);
      ASSERT_EQ(buffer.length, 0u);
    }
  }
  // Truncated at every length, and with extra bytes.
  for (size_t n = 0; n < good.size(); ++n) {
    buffer.Assign(good.data(), n, true);
    ASSERT_FALSE(buffer.Decode()) << "length " << n;
  }
  auto longer = good;
  longer.push_back(0);
  buffer.Assign(longer.data(), longer.size(), true);
  EXPECT_FALSE(buffer.Decode());
  // A plain buffer decodes to itself.
  buffer.Assign(kSource.data(), kSource.size(), false);
  EXPECT_TRUE(buffer.Decode());
  EXPECT_EQ(buffer.prefixLength, 0u);
  EXPECT_EQ(buffer.PlainText(), kSource);
}

TEST_F(ScriptFileTest, LoadsPlainAndEncipheredFilesWithTheSameChecksum) {
  Write("Scripts/Main.gs", kSource);
  const auto enc = ScriptFileBuffer::Encode(kSource);
  Write("Scripts/main.GSE", std::string(enc.begin(), enc.end()));
  Write("Scripts/notes.txt", kSource);

  ScriptFileBuffer plain, ciphered;
  // Names resolve without regard to case and with either separator.
  ASSERT_TRUE(plain.Load(m_dir.c_str(), "scripts\\main.gs"));
  EXPECT_FALSE(plain.enciphered);
  EXPECT_EQ(plain.PlainText(), kSource);
  ASSERT_TRUE(ciphered.Load(m_dir.c_str(), "Scripts/main.gse"));
  EXPECT_TRUE(ciphered.enciphered);
  ASSERT_TRUE(ciphered.Decode());
  EXPECT_EQ(ScriptSourceChecksum(plain), ScriptSourceChecksum(ciphered));
  EXPECT_EQ(ScriptSourceChecksum(plain), ScriptSourceChecksum(kSource));

  ScriptFileBuffer absolute;
  EXPECT_TRUE(absolute.Load(nullptr, (m_dir / "Scripts/Main.gs").c_str()));
  absolute.Clear();
  EXPECT_EQ(absolute.data, nullptr);

  ScriptFileBuffer other;
  EXPECT_FALSE(other.Load(m_dir.c_str(), "Scripts/notes.txt"));  // another extension
  EXPECT_FALSE(other.Load(m_dir.c_str(), "Scripts/missing.gs"));
  EXPECT_FALSE(other.Load(m_dir.c_str(), "Scripts"));
  EXPECT_FALSE(other.Load(m_dir.c_str(), ""));
  EXPECT_FALSE(other.Load(m_dir.c_str(), nullptr));
  EXPECT_EQ(other.data, nullptr);
}
