#include "kiv/ChunkFile.h"

#include <cstring>

namespace Kiv {

namespace {
constexpr char kContainer[4] = {'K', 'V', 'X', 'B'};

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace

ChunkFileWriter::ChunkFileWriter(uint32_t formTag) {
  WriteBytes(kContainer, 4);
  WriteU32(formTag);
}

void ChunkFileWriter::BeginChunk(std::string_view tag) {
  EndChunk();
  char name[4] = {' ', ' ', ' ', ' '};
  std::memcpy(name, tag.data(), tag.size() < 4 ? tag.size() : 4);
  WriteBytes(name, 4);
  m_open = m_bytes.size();
  WriteU32(0);
}

void ChunkFileWriter::EndChunk() {
  if (m_open == 0) return;
  uint32_t length = static_cast<uint32_t>(m_bytes.size() - m_open - 4);
  for (int i = 0; i < 4; ++i) m_bytes[m_open + i] = static_cast<uint8_t>(length >> (8 * i));
  m_open = 0;
}

void ChunkFileWriter::WriteU32(uint32_t value) {
  for (int i = 0; i < 4; ++i) m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void ChunkFileWriter::WriteBytes(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  m_bytes.insert(m_bytes.end(), p, p + size);
}

const std::vector<uint8_t>& ChunkFileWriter::Bytes() {
  EndChunk();
  return m_bytes;
}

bool ChunkFileReader::Open(const uint8_t* data, size_t size, uint32_t formTag) {
  m_chunks.clear();
  m_error.clear();
  if (!data || size < 8 || std::memcmp(data, kContainer, 4) != 0) {
    m_error = "not a chunk file";
    return false;
  }
  if (LoadU32(data + 4) != formTag) {
    m_error = "unexpected form tag";
    return false;
  }
  size_t pos = 8;
  while (pos < size) {
    if (size - pos < 8) {
      m_error = "truncated chunk header";
      return false;
    }
    Chunk chunk;
    chunk.tag.assign(reinterpret_cast<const char*>(data + pos), 4);
    chunk.size = LoadU32(data + pos + 4);
    pos += 8;
    if (chunk.size > size - pos) {
      m_error = "chunk '" + chunk.tag + "' runs past the end";
      return false;
    }
    chunk.data = data + pos;
    pos += chunk.size;
    m_chunks.push_back(chunk);
  }
  return true;
}

uint8_t ChunkCursor::ReadU8() {
  const uint8_t* p = ReadBytes(1);
  return p ? p[0] : 0;
}

uint32_t ChunkCursor::ReadU32() {
  const uint8_t* p = ReadBytes(4);
  return p ? LoadU32(p) : 0;
}

const uint8_t* ChunkCursor::ReadBytes(size_t n) {
  if (m_failed || n > m_size - m_pos) {
    m_failed = true;
    return nullptr;
  }
  const uint8_t* p = m_data + m_pos;
  m_pos += n;
  return p;
}

}  // namespace Kiv
