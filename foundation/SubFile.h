#pragma once
// A window [start, end) of another open stream, itself a stream: a reader can
// hand one section of a file to code that reads a whole stream, and never sees
// a byte outside the section. Reads go through the parent's read-ahead, so
// windows over a buffered file cost no extra system calls.
#include <cstdint>

#include "foundation/Stream.h"

// Absolute offsets in the parent; end is one past the window.
struct SubFileWindow {
  int64_t start = 0;
  int64_t end = 0;
};

class TSubFile : public TStream {
public:
  // The parent is not owned and must outlive the window. A window whose end
  // lies before its start is empty. A parent positioned outside the window is
  // moved to the nearer edge, so the first read starts inside it.
  TSubFile(TStream& parent, SubFileWindow window) : TSubFile(parent, window, parent.Tell()) {}
  // As above, for a caller that keeps track of the parent's logical position
  // itself (parentPosition must equal parent.Tell()): saves asking a file for
  // it once per window.
  TSubFile(TStream& parent, SubFileWindow window, int64_t parentPosition);

  int64_t Start() const noexcept { return m_start; }
  int64_t End() const noexcept { return m_end; }
  // The parent's logical position (the window's reads and seeks keep it).
  int64_t ParentPosition() const noexcept { return m_current; }

  // Nothing to forget: the window keeps no state of its own but its position.
  void Reset() override {}
  // Device position relative to the window's start.
  int64_t GetPosition() override { return m_current - m_start; }
  [[nodiscard]] bool IsOpen() override { return m_parent.IsOpen(); }
  int64_t GetLength() override { return m_end - m_start; }
  // Writes through to the parent; writes are not limited to the window.
  size_t Write(const void* data, size_t n) override;
  // Reads at most up to the window's end; returns the bytes the parent gave.
  size_t Read(void* data, size_t n) override;
  // The target is clamped to the window. False when the parent cannot move.
  [[nodiscard]] bool Seek(int64_t offset, int whence) override;
  [[nodiscard]] bool IsEOF() override { return m_readAheadLeft == 0 && m_current >= m_end; }

private:
  TStream& m_parent;
  int64_t m_start;
  int64_t m_end;
  int64_t m_current;  // absolute parent offset of the next byte
};
