// The binary soup form: "ACS$", u32 format version 1, u32 length of the body,
// then the root container. See docs/soup-formats.md.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/Soup.h"
#include "foundation/SoupInternal.h"
#include "foundation/Stream.h"
#include "kiv/Bytes.h"

namespace {

constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 12;
constexpr uint32_t kMaxNameLength = 65535;
// Smallest encoded tag: name length, type, and a size or tag count.
constexpr size_t kMinTagSize = 9;

// end: the size of out that the form may not pass.
bool EncodeContainer(const ACSChunk& node, int depth, std::string& out, uint64_t end) {
  if (depth > kMaxSoupDepth || out.size() > end) return false;
  uint32_t count = 0;
  for (size_t i = 0; i < node.CountChildren(); ++i)
    if (node.GetTag(i).GetDataType() != kSoupNone) ++count;
  Kiv::AppendLE32(out, count);
  for (size_t i = 0; i < node.CountChildren(); ++i) {
    const TDBDataTag& tag = node.GetTag(i);
    if (tag.GetDataType() == kSoupNone) continue;
    if (out.size() > end) return false;
    std::string_view name = tag.GetName().View();
    if (name.size() > kMaxNameLength) return false;
    Kiv::AppendLE32(out, static_cast<uint32_t>(name.size()));
    out.append(name);
    out.push_back(static_cast<char>(tag.GetDataType()));
    if (const ACSChunk* child = tag.GetContainer()) {
      if (!EncodeContainer(*child, depth + 1, out, end)) return false;
    } else {
      Kiv::AppendLE32(out, tag.GetSize());
      out.append(reinterpret_cast<const char*>(tag.GetData()), tag.GetSize());
    }
  }
  return true;
}

}  // namespace

class SoupBinaryDecoder {
public:
  explicit SoupBinaryDecoder(Kiv::ByteReader in) : m_in(in) {}

  // Reads one container; false on anything malformed.
  bool Container(int depth, SoupRef& out) {
    if (depth > kMaxSoupDepth) return false;
    const uint32_t count = m_in.U32();
    if (m_in.Failed() || count > m_in.Remaining() / kMinTagSize) return false;
    ACSChunk* node = TDBBinaryFile::CreateWithRoom(count);
    out = SoupRef::FromChunk(node);  // frees the node if anything below fails
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t nameLength = m_in.U32();
      if (nameLength > kMaxNameLength) return false;
      const std::string_view nameBytes = m_in.Chars(nameLength);
      const uint8_t type = m_in.U8();
      if (m_in.Failed()) return false;
      Kiv::PString name(nameBytes.data(), nameBytes.size());
      if (type == kSoupContainer) {
        SoupRef child;
        if (!Container(depth + 1, child)) return false;
        TDBBinaryFile::PushTag(node, TDBDataTag::MakeContainer(std::move(name), child.Get()));
        continue;
      }
      if (type != kSoupBinary && type != kSoupFloat && type != kSoupText && type != kSoupInt &&
          type != kSoupKUID)
        return false;
      const uint32_t size = m_in.U32();
      const size_t width = type == kSoupKUID ? 8 : (type == kSoupInt || type == kSoupFloat) ? 4 : 1;
      if (size % width) return false;
      const std::span<const uint8_t> bytes = m_in.Bytes(size);
      if (m_in.Failed()) return false;
      TDBBinaryFile::PushTag(
          node, TDBDataTag::MakeBytes(std::move(name), static_cast<SoupDataType>(type), bytes.data(), size));
    }
    return true;
  }

  bool AtEnd() const { return m_in.AtEnd() && !m_in.Failed(); }

private:
  Kiv::ByteReader m_in;
};

bool TDBBinaryFile::Encode(const SoupRef& soup, std::string& out, uint64_t maxBytes) {
  size_t start = out.size();
  const uint64_t end = maxBytes > UINT64_MAX - start ? UINT64_MAX : start + maxBytes;
  out.append("ACS$");
  Kiv::AppendLE32(out, kFormatVersion);
  Kiv::AppendLE32(out, 0);
  size_t body = out.size();
  bool ok = true;
  if (soup)
    ok = EncodeContainer(*soup.Get(), 0, out, end);
  else
    Kiv::AppendLE32(out, 0);
  if (!ok || out.size() > end || out.size() - body > UINT32_MAX) {
    out.resize(start);
    return false;
  }
  Kiv::StoreLE32(out.data() + body - 4, static_cast<uint32_t>(out.size() - body));
  return true;
}

uint64_t TDBBinaryFile::EncodedSize(const SoupRef& soup, int* depth) {
  using soup_detail::SaturatingAdd;
  if (depth) *depth = 0;
  if (!soup) return kHeaderSize + 4;
  struct Size {
    uint64_t bytes = 4;  // the tag count
    int height = 0;
  };
  const Size root = soup_detail::FoldContainers<Size>(*soup.Get(), [](const ACSChunk& node, auto valueOf) {
    Size size;
    for (size_t i = 0; i < node.CountChildren(); ++i) {
      const TDBDataTag& tag = node.GetTag(i);
      if (tag.GetDataType() == kSoupNone) continue;
      // name length, name, type, then the child or the value's size and bytes
      size.bytes = SaturatingAdd(size.bytes, 5 + tag.GetName().View().size());
      if (const ACSChunk* child = tag.GetContainer()) {
        const Size& c = valueOf(*child);
        size.bytes = SaturatingAdd(size.bytes, c.bytes);
        size.height = std::max(size.height, c.height + 1);
      } else {
        size.bytes = SaturatingAdd(size.bytes, 4 + uint64_t(tag.GetSize()));
      }
    }
    return size;
  });
  if (depth) *depth = root.height;
  return SaturatingAdd(kHeaderSize, root.bytes);
}

bool TDBBinaryFile::Decode(const uint8_t* data, size_t size, SoupRef& soup) {
  soup.Clear();
  Kiv::ByteReader in(data, size);
  // A u32 0 written ahead of the soup by some savers is not part of it.
  if (size >= 4 && Kiv::LoadLE32(data) == 0) in.Skip(4);
  if (in.Chars(4) != "ACS$" || in.U32() != kFormatVersion) return false;
  const uint32_t length = in.U32();
  if (in.Failed() || length != in.Remaining()) return false;
  SoupBinaryDecoder decoder(in.Sub(length));
  SoupRef root;
  if (!decoder.Container(0, root) || !decoder.AtEnd()) return false;
  soup = std::move(root);
  return true;
}

bool TDBBinaryFile::Write(const SoupRef& soup, uint64_t maxBytes) {
  std::string bytes;
  if (!Encode(soup, bytes, maxBytes)) return false;
  return m_stream.WriteBytes(bytes.data(), bytes.size()) == bytes.size();
}

bool TDBBinaryFile::Read(SoupRef& soup) {
  soup.Clear();
  uint8_t header[kHeaderSize];
  if (m_stream.ReadBytes(header, 4) != 4) return false;
  if (Kiv::LoadLE32(header) == 0 && m_stream.ReadBytes(header, 4) != 4) return false;
  if (m_stream.ReadBytes(header + 4, 8) != 8) return false;
  uint32_t length = Kiv::LoadLE32(header + 8);
  if (std::memcmp(header, "ACS$", 4) != 0 || Kiv::LoadLE32(header + 4) != kFormatVersion) return false;
  // The declared length must be there before anything is allocated for it.
  if (static_cast<uint64_t>(length) > static_cast<uint64_t>(m_stream.Remaining())) return false;
  std::vector<uint8_t> bytes(kHeaderSize + length);
  std::memcpy(bytes.data(), header, kHeaderSize);
  if (m_stream.ReadBytes(bytes.data() + kHeaderSize, length) != length) return false;
  return Decode(bytes.data(), bytes.size(), soup);
}

bool WriteSoupBinary(TStream& stream, const SoupRef& soup, uint64_t maxBytes) {
  return TDBBinaryFile(stream).Write(soup, maxBytes);
}
bool ReadSoupBinary(TStream& stream, SoupRef& soup) { return TDBBinaryFile(stream).Read(soup); }
