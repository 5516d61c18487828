#pragma once
// Mesh files: the chunk container "KVXB" and the padded strings inside it.
// A container is the magic, a u32 size of what follows, a form tag and the
// form's chunks; a chunk is a tag, a u32 size of what follows and a u32
// version. Every read goes through a ByteReader, and a chunk's body is read
// through a reader bounded by the chunk's own end, so no field can run into
// the next chunk or past the data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/Bytes.h"
#include "kiv/PString.h"

namespace Kiv {

// A four-character tag as the u32 that its bytes form in little-endian order.
constexpr uint32_t MeshTag(std::string_view text) {
  return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
         uint32_t(uint8_t(text[3])) << 24;
}
std::string MeshTagText(uint32_t tag);

// The tags of the chunks the mesh forms share.
inline constexpr uint32_t kMeshTagInfo = MeshTag("INFO");
inline constexpr uint32_t kMeshTagMatl = MeshTag("MATL");
inline constexpr uint32_t kMeshTagGeom = MeshTag("GEOM");
inline constexpr uint32_t kMeshTagNinf = MeshTag("NINF");
inline constexpr uint32_t kMeshTagAtch = MeshTag("ATCH");

// Result codes of every mesh reader.
enum MeshResult : int {
  kMeshOk = 0,
  kMeshTextParse = 1,
  kMeshNoData = 2,
  kMeshMalformed = 3,
  kMeshBadVersion = 4,
  kMeshNoManager = 5,
  kMeshMaterialMissing = 6,
  kMeshMaterialFailed = 7,
  kMeshMissingElement = 8,
  kMeshMaterialNotLoaded = 9,
};
// What a result code says, for a message ("the file is malformed or cut short").
const char* MeshResultText(int result);

// The whole of a mesh file in memory while it is read.
class MemoryFile {
public:
  MemoryFile() = default;
  explicit MemoryFile(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

  // Reads the whole file; false (and empty) when it cannot be read or is
  // larger than maxBytes.
  [[nodiscard]] bool Open(std::string_view path, uint64_t maxBytes = UINT64_C(1) << 31);
  // Frees the bytes.
  void Close() { std::vector<uint8_t>().swap(m_bytes); }
  [[nodiscard]] bool IsEmpty() const { return m_bytes.empty(); }
  std::span<const uint8_t> Bytes() const { return m_bytes; }
  ByteReader Reader() const { return ByteReader(m_bytes.data(), m_bytes.size()); }

private:
  std::vector<uint8_t> m_bytes;
};

// Takes a tag when four bytes are left; otherwise the reader is left as it was
// (not failed) and the result is false: a tag that cannot be taken is a wrong tag.
[[nodiscard]] bool TakeTag(ByteReader& reader, uint32_t& tag);
// Moves back n bytes, never before the start.
void BackOff(ByteReader& reader, size_t n);
// The optional-chunk rule: reads the next tag and, when it is none of the
// accepted ones, moves back over it. True when an accepted tag is next (the
// position stays before it).
[[nodiscard]] bool PeekTag(ByteReader& reader, std::initializer_list<uint32_t> accepted,
                           uint32_t* which = nullptr);

struct MeshChunk {
  uint32_t tag = 0;
  uint32_t version = 0;
  ByteReader body;  // the bytes after the version, up to the chunk's end
};
// Reads a chunk header; the reader moves past the whole chunk. False when
// the header is incomplete or the size runs past the data.
[[nodiscard]] bool ReadMeshChunk(ByteReader& reader, MeshChunk& chunk);
// Reads the outer header: "KVXB", the size and the form. The body (the
// chunks) is bounded by the size. False for another magic or a size past the data.
[[nodiscard]] bool ReadMeshContainer(ByteReader& reader, uint32_t& form, ByteReader& body);

// The base of the mesh definitions: the mesh path and the padded strings.
// A padded string is a u32 byte length, the bytes (no terminator) and zero
// bytes up to the next multiple of four from the length word's start.
class MeshFileSupport {
public:
  virtual ~MeshFileSupport() = default;

  [[nodiscard]] static bool ReadPaddedString(ByteReader& reader, std::string& out);
  [[nodiscard]] static bool ReadPaddedString(ByteReader& reader, PString& out);
  static void WritePaddedString(std::vector<uint8_t>& out, std::string_view text);
  // n little-endian floats; zeros past the data (the reader then fails).
  static void ReadFloats(ByteReader& reader, float* out, int n);
  // Writes a chunk's tag, a size word to patch and the version; EndChunk
  // patches the size.
  static size_t BeginChunk(std::vector<uint8_t>& out, std::string_view tag, uint32_t version);
  static void EndChunk(std::vector<uint8_t>& out, size_t mark) { WriteSizeAtMark(out, mark); }
  // Reserves a u32 size word and returns its offset; WriteSizeAtMark stores
  // the number of bytes written after it.
  static size_t MarkSizePos(std::vector<uint8_t>& out);
  static void WriteSizeAtMark(std::vector<uint8_t>& out, size_t mark);

  const PString& GetPath() const { return m_path; }
  void SetPath(PString path) { m_path = std::move(path); }

protected:
  PString m_path;
};

}  // namespace Kiv
