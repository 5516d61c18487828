#include "graphics/texture/ImageMemory.h"

#include <unistd.h>

ImageMemory& ImageMemory::Process() {
  static ImageMemory memory([] {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    // Unknown: as much as one image at the side limit takes to load.
    if (pages <= 0 || pageSize <= 0) return LoadBytes(16384, 16384);
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 4;
  }());
  return memory;
}

uint64_t ImageMemory::LoadBytes(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  return 2 * 4 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
}

void ImageMemory::Share::Take(uint64_t bytes) {
  std::unique_lock<std::mutex> lock(m_memory.m_mutex);
  if (m_bytes == 0)
    m_memory.m_given.wait(
        lock, [&] { return m_memory.m_held == 0 || m_memory.m_held + bytes <= m_memory.m_budget; });
  m_memory.m_held += bytes;
  m_bytes += bytes;
}

void ImageMemory::Share::Release() {
  if (m_bytes == 0) return;
  {
    std::lock_guard<std::mutex> lock(m_memory.m_mutex);
    m_memory.m_held -= m_bytes;
    m_bytes = 0;
  }
  m_memory.m_given.notify_all();
}
