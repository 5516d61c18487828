#include "foundation/ScriptFileBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "foundation/Crc32.h"
#include "foundation/FileUtil.h"
#include "kiv/Bytes.h"
#include "kiv/File.h"

// Enciphered form: "RGSE", version byte 1, three zero bytes, then u32 plain
// length, u32 CRC-32 of the plain text and u32 key seed (little-endian), then
// the plain text XORed with an xorshift32 key stream from the seed.
namespace {

constexpr char kMagic[4] = {'R', 'G', 'S', 'E'};
constexpr size_t kHeaderSize = 20;
constexpr uint8_t kVersion = 1;

// XORs the key stream of seed over n bytes (the same call enciphers and deciphers).
void ApplyKeyStream(uint32_t seed, const uint8_t* in, uint8_t* out, size_t n) {
  uint32_t state = seed;
  for (size_t i = 0; i < n; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = static_cast<uint8_t>(in[i] ^ (state >> 24));
  }
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    char a = s[s.size() - suffix.size() + i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != suffix[i]) return false;
  }
  return true;
}

}  // namespace

void ScriptFileBuffer::Reset() { Clear(); }

void ScriptFileBuffer::Clear() {
  std::string().swap(m_storage);
  m_mapped.Unmap();
  m_released = nullptr;
  data = nullptr;
  length = 0;
  prefixLength = 0;
  enciphered = false;
}

void ScriptFileBuffer::SetText(std::string&& text) {
  m_mapped.Unmap();
  m_storage = std::move(text);
  data = m_storage.c_str();
  length = static_cast<uint32_t>(m_storage.size());
}

void ScriptFileBuffer::Assign(const void* bytes, size_t size, bool isEnciphered) {
  Clear();
  if (size > kMaxFileSize) return;
  SetText(size ? std::string(static_cast<const char*>(bytes), size) : std::string());
  enciphered = isEnciphered;
}

bool ScriptFileBuffer::Load(const char* baseFolder, const char* path) {
  Clear();
  if (!path || !*path) return false;
  const std::string_view name(path);
  bool isEnciphered;
  if (EndsWithNoCase(name, ".gse"))
    isEnciphered = true;
  else if (EndsWithNoCase(name, ".gs"))
    isEnciphered = false;
  else
    return false;
  const auto resolved = Kiv::ResolvePath(PathUnder(baseFolder, name));
  if (!resolved) return false;
  // A large source is mapped: it is read once, front to back, and a copy
  // would first clear as much memory and then fill it.
  std::string bytes;
  if (!Kiv::File::ReadOrMapWholeFileAsSpelled(*resolved, bytes, m_mapped, kMaxFileSize)) return false;
  if (m_mapped.Data()) {
    data = m_mapped.Data();
    length = static_cast<uint32_t>(m_mapped.Size());
  } else {
    SetText(std::move(bytes));
  }
  enciphered = isEnciphered;
  return true;
}

bool ScriptFileBuffer::Decode() {
  if (!enciphered) return true;
  Kiv::ByteReader in(data, data ? length : 0);
  const bool header = in.Chars(4) == std::string_view(kMagic, 4) && in.U8() == kVersion && in.U8() == 0 &&
                      in.U8() == 0 && in.U8() == 0;
  const uint32_t plainLength = in.U32();
  const uint32_t crc = in.U32();
  const uint32_t seed = in.U32();
  if (!header || in.Failed() || seed == 0 || plainLength != in.Remaining()) {
    Clear();
    return false;
  }
  std::string out(kScriptPrefix.size() + plainLength, '\0');
  std::memcpy(out.data(), kScriptPrefix.data(), kScriptPrefix.size());
  auto* plain = reinterpret_cast<uint8_t*>(out.data() + kScriptPrefix.size());
  ApplyKeyStream(seed, in.Cursor(), plain, plainLength);
  if (Crc32(plain, plainLength) != crc) {
    Clear();
    return false;
  }
  SetText(std::move(out));
  prefixLength = static_cast<uint32_t>(kScriptPrefix.size());
  enciphered = false;
  return true;
}

void ScriptFileBuffer::ReleaseBefore(const char* position) {
  if (!data || position <= data || position > data + length) return;
  // Pages wholly inside the text only: the allocator's own words lie outside.
  static const auto kPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t from =
      (reinterpret_cast<uintptr_t>(m_released ? m_released : data) + kPage - 1) & ~(kPage - 1);
  const uintptr_t to = reinterpret_cast<uintptr_t>(position) & ~(kPage - 1);
  // A call per 256 KiB at most: the memory is given back in steps, each a
  // system call that empties the pages' table entries.
  if (to < from + 64 * kPage) return;
  if (::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED) == 0)
    m_released = reinterpret_cast<const char*>(to);
}

std::string_view ScriptFileBuffer::PlainText() const {
  if (!data) return {};
  return std::string_view(data + prefixLength, length - prefixLength);
}

std::vector<uint8_t> ScriptFileBuffer::Encode(std::string_view plainText) {
  std::vector<uint8_t> out(kHeaderSize + plainText.size());
  const uint32_t crc = Crc32(plainText.data(), plainText.size());
  uint32_t seed = crc ^ 0x5A17C0DEu;
  if (seed == 0) seed = 1;
  std::memcpy(out.data(), kMagic, 4);
  out[4] = kVersion;
  Kiv::StoreLE32(out.data() + 8, static_cast<uint32_t>(plainText.size()));
  Kiv::StoreLE32(out.data() + 12, crc);
  Kiv::StoreLE32(out.data() + 16, seed);
  ApplyKeyStream(seed, reinterpret_cast<const uint8_t*>(plainText.data()), out.data() + kHeaderSize,
                 plainText.size());
  return out;
}

uint32_t ScriptSourceChecksum(std::string_view plainText) {
  return Crc32(plainText.data(), plainText.size());
}

uint32_t ScriptSourceChecksum(const ScriptFileBuffer& buffer) {
  return ScriptSourceChecksum(buffer.PlainText());
}
