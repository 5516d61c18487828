#include "kiv/ChunkFile.h"

#include <cstring>

namespace Kiv {

namespace {
constexpr char kContainer[4] = {'K', 'V', 'X', 'B'};
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
  StoreLE32(m_bytes.data() + m_open, static_cast<uint32_t>(m_bytes.size() - m_open - 4));
  m_open = 0;
}

void ChunkFileWriter::WriteU32(uint32_t value) { AppendLE32(m_bytes, value); }

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
  ByteReader r(data, data ? size : 0);
  if (r.Chars(4) != std::string_view(kContainer, 4) || r.Failed()) {
    m_error = "not a chunk file";
    return false;
  }
  const uint32_t form = r.U32();
  if (r.Failed()) {
    m_error = "not a chunk file";
    return false;
  }
  if (form != formTag) {
    m_error = "unexpected form tag";
    return false;
  }
  while (!r.AtEnd()) {
    Chunk chunk;
    chunk.tag = r.Chars(4);
    const uint32_t length = r.U32();
    if (r.Failed()) {
      m_error = "truncated chunk header";
      return false;
    }
    const std::span<const uint8_t> bytes = r.Bytes(length);
    if (r.Failed()) {
      m_error = "chunk '" + chunk.tag + "' runs past the end";
      return false;
    }
    chunk.data = bytes.data();
    chunk.size = bytes.size();
    m_chunks.push_back(chunk);
  }
  return true;
}

}  // namespace Kiv
