#include "foundation/SubFile.h"

#include <algorithm>

TSubFile::TSubFile(TStream& parent, SubFileWindow window, int64_t parentPosition)
    : m_parent(parent),
      m_start(std::max<int64_t>(window.start, 0)),
      m_end(std::max(m_start, window.end)),
      m_current(parentPosition) {
  const int64_t inside = std::clamp(m_current, m_start, m_end);
  if (inside != m_current) {
    // The sub-file seeks within its parent's range.
    (void)m_parent.SeekTo(inside, 0);
    m_current = m_parent.Tell();
    if (m_current != inside) m_current = m_end;  // the parent cannot reach the window: nothing to read
  }
}

size_t TSubFile::Read(void* data, size_t n) {
  if (m_current >= m_end || n == 0) return 0;
  const size_t want = static_cast<size_t>(
      std::min<int64_t>(static_cast<int64_t>(std::min<size_t>(n, INT64_MAX)), m_end - m_current));
  const size_t got = m_parent.ReadBytes(data, want);
  m_current += static_cast<int64_t>(got);
  return got;
}

size_t TSubFile::Write(const void* data, size_t n) {
  if (n == 0) return 0;
  const size_t written = m_parent.WriteBytes(data, n);
  m_current += static_cast<int64_t>(written);
  return written;
}

bool TSubFile::Seek(int64_t offset, int whence) {
  int64_t base;
  switch (whence) {
    case 0: base = m_start; break;
    case 1: base = m_current; break;
    case 2: base = m_end; break;
    default: return false;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) target = offset < 0 ? m_start : m_end;
  target = std::clamp(target, m_start, m_end);
  if (target == m_current) return true;
  if (m_parent.SeekTo(target, 0)) {
    m_current = target;
    return true;
  }
  m_current = m_parent.Tell();  // stay in step with wherever the parent is
  return false;
}
