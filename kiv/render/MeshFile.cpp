#include "kiv/render/MeshFile.h"

#include "kiv/File.h"

namespace Kiv {

std::string MeshTagText(uint32_t tag) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const char c = char(tag >> (8 * i));
    text[i] = c >= 32 && c < 127 ? c : '?';
  }
  return text;
}

const char* MeshResultText(int result) {
  switch (result) {
    case kMeshOk: return "no error";
    case kMeshTextParse: return "its text form does not parse";
    case kMeshNoData: return "the file holds no mesh";
    case kMeshMalformed: return "the file is malformed or cut short";
    case kMeshBadVersion: return "the file's version is not supported";
    case kMeshNoManager: return "no material manager is running";
    case kMeshMaterialMissing: return "a material it names is missing";
    case kMeshMaterialFailed: return "a material of it does not load";
    case kMeshMissingElement: return "an element it needs is missing";
    case kMeshMaterialNotLoaded: return "a material of it is not loaded";
    default: return "an unknown mesh read result";
  }
}

bool MemoryFile::Open(std::string_view path, uint64_t maxBytes) {
  Close();
  if (!File::ReadWholeFile(path, m_bytes, maxBytes)) {
    Close();
    return false;
  }
  return true;
}

bool TakeTag(ByteReader& reader, uint32_t& tag) {
  if (!reader.Has(4)) return false;
  tag = reader.U32();
  return true;
}

void BackOff(ByteReader& reader, size_t n) { reader.Seek(reader.Pos() > n ? reader.Pos() - n : 0); }

bool PeekTag(ByteReader& reader, std::initializer_list<uint32_t> accepted, uint32_t* which) {
  uint32_t tag = 0;
  // Only a tag that was taken is given back, so the position never moves
  // before where the peek began.
  if (!TakeTag(reader, tag)) return false;
  BackOff(reader, 4);
  for (uint32_t a : accepted) {
    if (a == tag) {
      if (which) *which = tag;
      return true;
    }
  }
  return false;
}

bool ReadMeshChunk(ByteReader& reader, MeshChunk& chunk) {
  if (!reader.Has(12)) return false;
  chunk.tag = reader.U32();
  const uint32_t size = reader.U32();
  if (size < 4 || !reader.Has(size)) {
    reader.Fail();
    return false;
  }
  chunk.version = reader.U32();
  chunk.body = reader.Sub(uint64_t(size) - 4);
  return !reader.Failed();
}

bool ReadMeshContainer(ByteReader& reader, uint32_t& form, ByteReader& body) {
  uint32_t magic = 0;
  if (!TakeTag(reader, magic) || magic != MeshTag("KVXB")) return false;
  const uint32_t size = reader.U32();
  if (size < 4 || !reader.Has(size)) return false;
  form = reader.U32();
  body = reader.Sub(uint64_t(size) - 4);
  return !reader.Failed();
}

bool MeshFileSupport::ReadPaddedString(ByteReader& reader, std::string& out) {
  const uint32_t length = reader.U32();
  const uint64_t padded = (uint64_t(length) + 3) & ~uint64_t(3);
  if (!reader.Has(padded)) {
    reader.Fail();
    out.clear();
    return false;
  }
  out.assign(reader.Chars(length));
  reader.Skip(padded - length);
  return true;
}

bool MeshFileSupport::ReadPaddedString(ByteReader& reader, PString& out) {
  std::string text;
  const bool ok = ReadPaddedString(reader, text);
  out = PString(text);
  return ok;
}

void MeshFileSupport::WritePaddedString(std::vector<uint8_t>& out, std::string_view text) {
  AppendLE32(out, uint32_t(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  out.insert(out.end(), (4 - text.size() % 4) % 4, uint8_t(0));
}

void MeshFileSupport::ReadFloats(ByteReader& reader, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = reader.F32();
}

size_t MeshFileSupport::BeginChunk(std::vector<uint8_t>& out, std::string_view tag, uint32_t version) {
  out.insert(out.end(), tag.begin(), tag.end());
  const size_t mark = MarkSizePos(out);
  AppendLE32(out, version);
  return mark;
}

size_t MeshFileSupport::MarkSizePos(std::vector<uint8_t>& out) {
  const size_t mark = out.size();
  AppendLE32(out, 0);
  return mark;
}

void MeshFileSupport::WriteSizeAtMark(std::vector<uint8_t>& out, size_t mark) {
  StoreLE32(out.data() + mark, uint32_t(out.size() - mark - 4));
}

}  // namespace Kiv
