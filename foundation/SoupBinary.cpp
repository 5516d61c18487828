// The binary soup form: "ACS$", u32 format version 1, u32 length of the body,
// then the root container. See docs/soup-formats.md.
#include <cstring>
#include <string>
#include <vector>

#include "foundation/Soup.h"
#include "foundation/Stream.h"

namespace {

constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 12;
constexpr uint32_t kMaxNameLength = 65535;
// Smallest encoded tag: name length, type, and a size or tag count.
constexpr size_t kMinTagSize = 9;

void PutU32(std::string& out, uint32_t v) {
  char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
  out.append(b, 4);
}

uint32_t GetU32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

bool EncodeContainer(const ACSChunk& node, int depth, std::string& out) {
  if (depth > kMaxSoupDepth) return false;
  uint32_t count = 0;
  for (size_t i = 0; i < node.CountChildren(); ++i)
    if (node.GetTag(i).GetDataType() != kSoupNone) ++count;
  PutU32(out, count);
  for (size_t i = 0; i < node.CountChildren(); ++i) {
    const TDBDataTag& tag = node.GetTag(i);
    if (tag.GetDataType() == kSoupNone) continue;
    std::string_view name = tag.GetName().View();
    if (name.size() > kMaxNameLength) return false;
    PutU32(out, static_cast<uint32_t>(name.size()));
    out.append(name);
    out.push_back(static_cast<char>(tag.GetDataType()));
    if (const ACSChunk* child = tag.GetContainer()) {
      if (!EncodeContainer(*child, depth + 1, out)) return false;
    } else {
      PutU32(out, tag.GetSize());
      out.append(reinterpret_cast<const char*>(tag.GetData()), tag.GetSize());
    }
  }
  return true;
}

}  // namespace

class SoupBinaryDecoder {
public:
  SoupBinaryDecoder(const uint8_t* data, size_t size) : m_p(data), m_end(data + size) {}

  // Reads one container; false on anything malformed.
  bool Container(int depth, SoupRef& out) {
    if (depth > kMaxSoupDepth) return false;
    uint32_t count;
    if (!U32(count)) return false;
    if (count > Left() / kMinTagSize) return false;
    ACSChunk* node = TDBBinaryFile::CreateWithRoom(count);
    out = SoupRef::FromChunk(node);  // frees the node if anything below fails
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t nameLength;
      if (!U32(nameLength) || nameLength > kMaxNameLength || nameLength + 1u > Left()) return false;
      Kiv::PString name(reinterpret_cast<const char*>(m_p), nameLength);
      m_p += nameLength;
      uint8_t type = *m_p++;
      if (type == kSoupContainer) {
        SoupRef child;
        if (!Container(depth + 1, child)) return false;
        TDBBinaryFile::PushTag(node, TDBDataTag::MakeContainer(std::move(name), child.Get()));
        continue;
      }
      if (type != kSoupBinary && type != kSoupFloat && type != kSoupText && type != kSoupInt &&
          type != kSoupKUID)
        return false;
      uint32_t size;
      if (!U32(size) || size > Left()) return false;
      size_t width = type == kSoupKUID ? 8 : (type == kSoupInt || type == kSoupFloat) ? 4 : 1;
      if (size % width) return false;
      TDBBinaryFile::PushTag(
          node, TDBDataTag::MakeBytes(std::move(name), static_cast<SoupDataType>(type), m_p, size));
      m_p += size;
    }
    return true;
  }

  bool AtEnd() const { return m_p == m_end; }

private:
  size_t Left() const { return static_cast<size_t>(m_end - m_p); }
  bool U32(uint32_t& v) {
    if (Left() < 4) return false;
    v = GetU32(m_p);
    m_p += 4;
    return true;
  }

  const uint8_t* m_p;
  const uint8_t* m_end;
};

bool TDBBinaryFile::Encode(const SoupRef& soup, std::string& out) {
  size_t start = out.size();
  out.append("ACS$");
  PutU32(out, kFormatVersion);
  PutU32(out, 0);
  size_t body = out.size();
  bool ok = true;
  if (soup)
    ok = EncodeContainer(*soup.Get(), 0, out);
  else
    PutU32(out, 0);
  if (!ok || out.size() - body > UINT32_MAX) {
    out.resize(start);
    return false;
  }
  uint32_t length = static_cast<uint32_t>(out.size() - body);
  for (int i = 0; i < 4; ++i) out[body - 4 + i] = static_cast<char>(length >> (8 * i));
  return true;
}

bool TDBBinaryFile::Decode(const uint8_t* data, size_t size, SoupRef& soup) {
  soup.Clear();
  // A u32 0 written ahead of the soup by some savers is not part of it.
  if (size >= 4 && GetU32(data) == 0) {
    data += 4;
    size -= 4;
  }
  if (size < kHeaderSize || std::memcmp(data, "ACS$", 4) != 0) return false;
  if (GetU32(data + 4) != kFormatVersion) return false;
  uint32_t length = GetU32(data + 8);
  if (length != size - kHeaderSize) return false;
  SoupBinaryDecoder decoder(data + kHeaderSize, length);
  SoupRef root;
  if (!decoder.Container(0, root) || !decoder.AtEnd()) return false;
  soup = std::move(root);
  return true;
}

bool TDBBinaryFile::Write(const SoupRef& soup) {
  std::string bytes;
  if (!Encode(soup, bytes)) return false;
  return m_stream.WriteBytes(bytes.data(), bytes.size()) == bytes.size();
}

bool TDBBinaryFile::Read(SoupRef& soup) {
  soup.Clear();
  uint8_t header[kHeaderSize];
  if (m_stream.ReadBytes(header, 4) != 4) return false;
  if (GetU32(header) == 0 && m_stream.ReadBytes(header, 4) != 4) return false;
  if (m_stream.ReadBytes(header + 4, 8) != 8) return false;
  uint32_t length = GetU32(header + 8);
  if (std::memcmp(header, "ACS$", 4) != 0 || GetU32(header + 4) != kFormatVersion) return false;
  // The declared length must be there before anything is allocated for it.
  if (static_cast<uint64_t>(length) > static_cast<uint64_t>(m_stream.Remaining())) return false;
  std::vector<uint8_t> bytes(kHeaderSize + length);
  std::memcpy(bytes.data(), header, kHeaderSize);
  if (m_stream.ReadBytes(bytes.data() + kHeaderSize, length) != length) return false;
  return Decode(bytes.data(), bytes.size(), soup);
}

bool WriteSoupBinary(TStream& stream, const SoupRef& soup) { return TDBBinaryFile(stream).Write(soup); }
bool ReadSoupBinary(TStream& stream, SoupRef& soup) { return TDBBinaryFile(stream).Read(soup); }
