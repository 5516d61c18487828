#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/Stream.h"
#include "kiv/TempFolder.h"

namespace {

std::vector<uint8_t> Bytes(const TBuffer& b) { return std::vector<uint8_t>(b.Data(), b.Data() + b.Size()); }

TEST(StreamTyped, LittleEndianFormsAndDefaults) {
  TBuffer b;
  b.WriteU8(0xAB);
  b.WriteU16(0x1234);
  b.WriteU32(0xDEADBEEF);
  b.WriteFloat(1.5f);
  b.WriteBool(true);
  b.WriteBool(false);
  EXPECT_EQ(Bytes(b),
            (std::vector<uint8_t>{0xAB, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE, 0x00, 0x00, 0xC0, 0x3F, 1, 0}));
  ASSERT_TRUE(b.Rewind());
  EXPECT_EQ(b.ReadU8(), 0xAB);
  EXPECT_EQ(b.ReadU16(), 0x1234);
  EXPECT_EQ(b.ReadU32(), 0xDEADBEEFu);
  EXPECT_EQ(b.ReadFloat(), 1.5f);
  EXPECT_TRUE(b.ReadBool());
  EXPECT_FALSE(b.ReadBool(true));
  EXPECT_EQ(b.GetError(), 0u);
  EXPECT_TRUE(b.IsEOF());

  // Short reads give the caller's default and error 4.
  EXPECT_EQ(b.ReadU32(77), 77u);
  EXPECT_EQ(b.GetError(), TStream::kErrorShortRead);
  EXPECT_EQ(b.ReadFloat(2.5f), 2.5f);
  EXPECT_TRUE(b.ReadBool(true));
  EXPECT_EQ(b.ReadU16(9), 9);
  EXPECT_EQ(b.ReadU8(3), 3);
}

TEST(StreamTyped, FirstErrorStays) {
  std::vector<uint8_t> data = {0x00, 0x00, 0x01, 0x00};  // a string length of 65536
  TBuffer b(data.data(), data.size());
  EXPECT_EQ(b.ReadString(), "");
  EXPECT_EQ(b.GetError(), TStream::kErrorStringTooLong);
  b.ReadU32();
  EXPECT_EQ(b.GetError(), TStream::kErrorStringTooLong);
  b.ClearError();
  b.ReadU32();
  EXPECT_EQ(b.GetError(), TStream::kErrorShortRead);
}

TEST(StreamStrings, LengthLimits) {
  TBuffer b;
  std::string longest(65535, 'x');
  b.WriteString(longest);
  b.WriteString(std::string(65536, 'y'));  // too long: only a zero length
  b.WriteString("");
  b.WriteString("tail");
  EXPECT_EQ(b.Size(), 4u + 65535u + 4u + 4u + 8u);
  EXPECT_TRUE(b.Rewind());
  EXPECT_EQ(b.ReadString(), longest);
  EXPECT_EQ(b.ReadString(), "");
  EXPECT_EQ(b.ReadString(), "");
  EXPECT_EQ(b.ReadString(), "tail");
  EXPECT_EQ(b.GetError(), 0u);
}

TEST(StreamStrings, OverLongAndShortReads) {
  // A stored length over the limit: the bytes are skipped and the next value is read.
  TBuffer b;
  b.WriteU32(70000);
  std::string big(70000, 'z');
  b.WriteBytes(big.data(), big.size());
  b.WriteU32(42);
  EXPECT_TRUE(b.Rewind());
  EXPECT_EQ(b.ReadString(), "");
  EXPECT_EQ(b.GetError(), TStream::kErrorStringTooLong);
  EXPECT_EQ(b.ReadU32(), 42u);

  // A declared length past the end.
  TBuffer s;
  s.WriteU32(10);
  s.WriteBytes("abc", 3);
  EXPECT_TRUE(s.Rewind());
  EXPECT_EQ(s.ReadString(), "");
  EXPECT_EQ(s.GetError(), TStream::kErrorShortRead);

  // A huge declared length on a short stream neither allocates nor hangs.
  TBuffer h;
  h.WriteU32(0xFFFFFFFFu);
  EXPECT_TRUE(h.Rewind());
  EXPECT_EQ(h.ReadString(), "");
  EXPECT_EQ(h.GetError(), TStream::kErrorStringTooLong);
  TBuffer empty;
  EXPECT_EQ(empty.ReadString(), "");
  EXPECT_EQ(empty.GetError(), TStream::kErrorShortRead);
}

TEST(StreamStrings, InternedForm) {
  TBuffer b;
  b.WritePString(Kiv::PString());
  b.WritePString(Kiv::PString(""));
  b.WritePString(Kiv::PString("ab"));
  EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0}));
  EXPECT_TRUE(b.Rewind());
  EXPECT_TRUE(b.ReadPString().IsNull());
  Kiv::PString empty = b.ReadPString();
  EXPECT_FALSE(empty.IsNull());
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(b.ReadPString(), Kiv::PString("ab"));
  EXPECT_EQ(b.GetError(), 0u);

  // length + 1 must fit in 65535.
  TBuffer limit;
  limit.WritePString(Kiv::PString(std::string(65534, 'p')));
  limit.WritePString(Kiv::PString(std::string(65535, 'q')));
  EXPECT_EQ(limit.Size(), 4u + 65535u + 4u);
  EXPECT_TRUE(limit.Rewind());
  EXPECT_EQ(limit.ReadPString().Length(), 65534u);
  EXPECT_TRUE(limit.ReadPString().IsNull());

  // Over-long and truncated stored strings.
  TBuffer bad;
  bad.WriteU32(65536);
  EXPECT_TRUE(bad.Rewind());
  EXPECT_TRUE(bad.ReadPString().IsEmpty());
  EXPECT_EQ(bad.GetError(), TStream::kErrorStringTooLong);
  TBuffer cut;
  cut.WriteU32(5);
  cut.WriteBytes("ab", 2);
  EXPECT_TRUE(cut.Rewind());
  EXPECT_TRUE(cut.ReadPString().IsEmpty());
  EXPECT_EQ(cut.GetError(), TStream::kErrorShortRead);
}

TEST(StreamPlaceholder, PatchesTheLengthBetween) {
  TBuffer b;
  b.WriteU32(1);
  int64_t at = b.WriteLengthPlaceholder();
  EXPECT_EQ(at, 4);
  b.WriteBytes("abc", 3);
  ASSERT_TRUE(b.PatchLengthPlaceholder(at));
  EXPECT_EQ(b.Tell(), 11);
  int64_t empty = b.WriteLengthPlaceholder();
  ASSERT_TRUE(b.PatchLengthPlaceholder(empty));
  b.WriteU8(9);
  EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{1, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c', 0, 0, 0, 0, 9}));
  // A placeholder position ahead of the current position is refused.
  EXPECT_FALSE(b.PatchLengthPlaceholder(b.Tell()));
}

TEST(StreamReadAhead, WritesLandAtTheLogicalPosition) {
  std::vector<uint8_t> data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  TBuffer b(data.data(), data.size());
  EXPECT_EQ(b.ReadU32(), 0x03020100u);
  EXPECT_EQ(b.Tell(), 4);
  // The device has run ahead into the read-ahead buffer; the write must not.
  b.WriteU32(0xFFFFFFFFu);
  EXPECT_EQ(b.Tell(), 8);
  EXPECT_EQ(b.ReadU8(), 8);
  EXPECT_EQ(b.Data()[4], 0xFF);
  EXPECT_EQ(b.Data()[8], 8);
  EXPECT_EQ(b.Size(), 10000u);

  // Mixed small and large reads keep their order.
  EXPECT_TRUE(b.Rewind());
  std::vector<uint8_t> got(10000);
  ASSERT_EQ(b.ReadBytes(got.data(), 3), 3u);
  ASSERT_EQ(b.ReadBytes(got.data() + 3, 5000), 5000u);
  ASSERT_EQ(b.ReadBytes(got.data() + 5003, 6000), 4997u);
  EXPECT_EQ(got[9999], static_cast<uint8_t>(9999));
  EXPECT_EQ(got[4000], static_cast<uint8_t>(4000));
  EXPECT_TRUE(b.IsEOF());
  EXPECT_EQ(b.Remaining(), 0);
  EXPECT_TRUE(b.SeekTo(-2, 2));
  EXPECT_EQ(b.Remaining(), 2);
}

TEST(StreamFile, WriteThenReadThroughFolder) {
  const Kiv::TempFolder temp("rovana_stream_test");
  const std::filesystem::path dir = temp.Root();
  {
    TFile f;
    ASSERT_TRUE(f.OpenInFolder(dir.string(), "Data.BIN", kFileWrite));
    f.WriteString("hello");
    WriteKUID(f, KUID(3, 4, 5));
    std::string block(9000, 'k');
    f.WriteBytes(block.data(), block.size());
    f.Close();
  }
  TFile f;
  // Names are found without regard to case.
  ASSERT_TRUE(f.OpenInFolder(dir.string(), "data.bin", kFileRead));
  EXPECT_EQ(f.GetLength(), 4 + 5 + 8 + 9000);
  EXPECT_EQ(f.ReadString(), "hello");
  EXPECT_EQ(f.ReadKUID(), KUID(3, 4, 5));
  EXPECT_EQ(f.Tell(), 17);
  std::string block(9000, '\0');
  EXPECT_EQ(f.ReadBytes(block.data(), block.size()), 9000u);
  EXPECT_EQ(block, std::string(9000, 'k'));
  EXPECT_TRUE(f.IsEOF());
  EXPECT_FALSE(f.OpenInFolder(dir.string(), "missing.bin", kFileRead));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.ReadU32(5), 5u);
}

TEST(StreamBase, EmptyDeviceReadsNothing) {
  TStream s;
  EXPECT_FALSE(s.IsOpen());
  EXPECT_EQ(s.ReadU32(11), 11u);
  EXPECT_EQ(s.GetError(), TStream::kErrorShortRead);
  s.Reset();
  EXPECT_EQ(s.GetError(), 0u);
  EXPECT_EQ(s.ReadString(), "");
}

}  // namespace
