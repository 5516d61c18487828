#pragma once
// Chunk files: the container "KVXB", a u32 form tag naming what the file
// holds, then chunks to the end of the file, each a four-character tag, a u32
// byte length and the data. All words are little-endian. Written into memory
// so the caller can replace the file on disk in one step.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/Bytes.h"

namespace Kiv {

class ChunkFileWriter {
public:
  // Starts the container with its form tag.
  explicit ChunkFileWriter(uint32_t formTag);

  // Opens a chunk; chunks do not nest. The tag is four characters.
  void BeginChunk(std::string_view tag);
  void EndChunk();
  void WriteU8(uint8_t value) { m_bytes.push_back(value); }
  void WriteU32(uint32_t value);
  void WriteBytes(const void* data, size_t size);

  // The file so far; any open chunk is closed first.
  const std::vector<uint8_t>& Bytes();

private:
  std::vector<uint8_t> m_bytes;
  size_t m_open = 0;  // offset of the open chunk's length word, 0 for none
};

struct Chunk {
  std::string tag;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// Reads a chunk file held in memory. Never reads outside the bytes.
class ChunkFileReader {
public:
  // False (and why in Error()) when the container header is missing, the form
  // tag differs, or a chunk runs past the end.
  [[nodiscard]] bool Open(const uint8_t* data, size_t size, uint32_t formTag);
  const std::vector<Chunk>& Chunks() const { return m_chunks; }
  const std::string& Error() const { return m_error; }

private:
  std::vector<Chunk> m_chunks;
  std::string m_error;
};

// A byte reader over one chunk's data.
class ChunkCursor : public ByteReader {
public:
  explicit ChunkCursor(const Chunk& chunk) : ByteReader(chunk.data, chunk.size) {}
};

}  // namespace Kiv
