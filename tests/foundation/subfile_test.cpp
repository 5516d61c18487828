#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "foundation/Stream.h"
#include "foundation/SubFile.h"

namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// The window [100, 110) of a 200-byte parent, reached plainly and with the
// parent's read-ahead already holding the window's bytes.
TEST(SubFile, WindowReadsSeeksAndEnds) {
  for (bool readAhead : {false, true}) {
    SCOPED_TRACE(readAhead ? "parent read-ahead" : "no read-ahead");
    const auto bytes = Pattern(200);
    TBuffer parent(bytes.data(), bytes.size());
    if (readAhead) {
      ASSERT_TRUE(parent.SeekTo(96, 0));
      parent.ReadU32();
    } else {
      ASSERT_TRUE(parent.SeekTo(100, 0));
    }
    ASSERT_EQ(parent.Tell(), 100);
    TSubFile window(parent, {.start = 100, .end = 110});
    EXPECT_EQ(window.Tell(), 0);
    EXPECT_EQ(window.GetLength(), 10);

    uint8_t buf[64] = {};
    ASSERT_EQ(window.Read(buf, 64), 10u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 10),
              std::vector<uint8_t>(bytes.begin() + 100, bytes.begin() + 110));
    EXPECT_EQ(window.Read(buf, 64), 0u);
    EXPECT_TRUE(window.IsEOF());
    EXPECT_EQ(parent.Tell(), 110);

    ASSERT_TRUE(window.SeekTo(-5, 2));
    EXPECT_EQ(parent.Tell(), 105);
    EXPECT_EQ(window.Tell(), 5);
    EXPECT_EQ(window.ReadU8(), 105);
    ASSERT_TRUE(window.SeekTo(50, 0));
    EXPECT_EQ(window.Tell(), 10);
    ASSERT_TRUE(window.SeekTo(-50, 0));
    EXPECT_EQ(window.Tell(), 0);
    EXPECT_EQ(parent.Tell(), 100);

    // Typed reads fill the window's own read-ahead, never past its end.
    EXPECT_EQ(window.ReadU32(), 0x67666564u);
    EXPECT_EQ(window.ReadBytes(buf, 64), 6u);
    EXPECT_EQ(buf[5], 109);
    EXPECT_EQ(window.ReadU32(7), 7u);
    EXPECT_EQ(window.GetError(), TStream::kErrorShortRead);
  }
}

TEST(SubFile, NeverReportsOrReadsBytesOutsideTheWindow) {
  const auto bytes = Pattern(105);  // the parent ends inside the window
  TBuffer parent(bytes.data(), bytes.size());
  ASSERT_TRUE(parent.SeekTo(50, 0));  // before the window
  TSubFile window(parent, {.start = 100, .end = 110});
  EXPECT_EQ(window.Tell(), 0);
  uint8_t buf[64] = {};
  ASSERT_EQ(window.Read(buf, 64), 5u);
  EXPECT_EQ(buf[0], 100);
  EXPECT_EQ(buf[4], 104);
  EXPECT_EQ(window.Tell(), 5);
  EXPECT_EQ(window.Read(buf, 64), 0u);

  // A parent past the window is brought back to its end: nothing to read.
  ASSERT_TRUE(parent.SeekTo(0, 0));
  ASSERT_TRUE(parent.SeekTo(30, 0));
  TSubFile after(parent, {.start = 10, .end = 20});
  EXPECT_EQ(after.Tell(), 10);
  EXPECT_EQ(after.Read(buf, 64), 0u);

  // An end before the start is an empty window.
  TSubFile empty(parent, {.start = 40, .end = 20});
  EXPECT_EQ(empty.GetLength(), 0);
  EXPECT_EQ(empty.Read(buf, 64), 0u);
  EXPECT_TRUE(empty.IsEOF());
}

TEST(SubFile, WritesGoThroughAndMayPassTheEnd) {
  TBuffer parent;
  const std::vector<uint8_t> zeros(120, 0);
  parent.WriteBytes(zeros.data(), zeros.size());
  ASSERT_TRUE(parent.SeekTo(108, 0));
  TSubFile window(parent, {.start = 100, .end = 110});
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(window.Write(data, 3), 3u);
  EXPECT_EQ(window.Tell(), 11);
  EXPECT_EQ(parent.Tell(), 111);
  EXPECT_EQ(parent.Data()[110], 3);
}

}  // namespace
