// The soup text form: lines of "name value", containers as "name { ... }".
// See docs/soup-formats.md.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/Soup.h"
#include "foundation/SoupInternal.h"

using namespace soup_detail;

namespace {

struct CharTable {
  bool blank[256] = {};
  bool delimiter[256] = {};  // bytes that end an unquoted token
  constexpr CharTable() {
    for (unsigned char c : {' ', '\t', '\n', '\r'}) blank[c] = delimiter[c] = true;
    for (unsigned char c : {'{', '}', '"'}) delimiter[c] = true;
  }
};
constexpr CharTable kChars;

inline bool IsBlank(unsigned char c) { return kChars.blank[c]; }
inline bool IsDelimiter(unsigned char c) { return kChars.delimiter[c]; }

// First byte at or after p that is not a blank (or end). Indentation and line
// breaks are most of a soup text, so sixteen bytes are tested at a time.
inline const char* SkipBlankBytes(const char* p, const char* end) {
  // Most often there is nothing to skip, or the one space between a name and its value.
  if (p < end && !IsBlank(static_cast<unsigned char>(*p))) return p;
  if (end - p >= 2 && !IsBlank(static_cast<unsigned char>(p[1]))) return p + 1;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)),
                                 _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(blank)) ^ 0xFFFFu;
    if (mask) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < end && IsBlank(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// First byte at or after p that ends an unquoted token (or end).
inline const char* FindDelimiter(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                cr = _mm_set1_epi8('\r');
  const __m128i open = _mm_set1_epi8('{'), close = _mm_set1_epi8('}'), quote = _mm_set1_epi8('"');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)),
                               _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    hit = _mm_or_si128(hit, _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, open), _mm_cmpeq_epi8(v, close)),
                                         _mm_cmpeq_epi8(v, quote)));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < end && !IsDelimiter(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// First quote or backslash at or after p (or end).
inline const char* FindQuoteOrBackslash(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))));
    if (mask) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < end && *p != '"' && *p != '\\') ++p;
  return p;
}

inline uint64_t LoadPartial(const char* p, size_t n) {
  uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

inline int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c |= 0x20;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void StoreU32(std::string& out, uint32_t v) {
  char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
  out.append(b, 4);
}

}  // namespace

// Parses one text into a tree in one pass. Tags of the open containers wait on
// one flat stack, and the bytes of their longer values on another; both move
// into one block per container, sized exactly, when it closes. A tag takes
// its name without touching the name's count: the count is paid once per
// distinct name when the parse ends.
class SoupTextParser {
public:
  explicit SoupTextParser(std::string_view text)
      : m_p(text.data()), m_end(text.data() + text.size()), m_begin(text.data()) {}
  SoupTextParser(const SoupTextParser&) = delete;
  SoupTextParser& operator=(const SoupTextParser&) = delete;
  ~SoupTextParser() {
    SettleNames();
    SealSlab();
    for (size_t i = 0; i < m_count; ++i) m_tags[i].~TDBDataTag();
    ::operator delete(m_tags);
  }

  bool Parse(SoupRef& out, std::string* error) {
    if (m_end - m_p >= 3 && std::memcmp(m_p, "\xEF\xBB\xBF", 3) == 0) m_p += 3;
    bool ok = Run();
    if (!ok) {
      if (error) *error = "line " + std::to_string(LineOf(m_errorAt)) + ": " + m_error;
      out.Clear();
      return false;
    }
    ACSChunk* root = Close(0, 0);
    SettleNames();
    SealSlab();
    out = SoupRef::FromChunk(root);
    return true;
  }

private:
  struct Open {
    size_t firstTag;   // index of its first tag; the container's own tag is just before
    size_t firstByte;  // offset of its first value byte in m_bytes
    const char* openedAt;
  };

  bool Fail(const char* at, std::string message) {
    m_errorAt = at;
    m_error = std::move(message);
    return false;
  }

  size_t LineOf(const char* at) const {
    size_t line = 1;
    for (const char* p = m_begin; p < at && p < m_end; ++p)
      if (*p == '\n') ++line;
    return line;
  }

  void SkipBlanks() { m_p = SkipBlankBytes(m_p, m_end); }

  // A quoted token starting at the opening quote; "\"" and "\\" are escapes,
  // every other byte (line breaks and lone backslashes too) stands for itself.
  bool ReadQuoted(std::string_view& out) {
    const char* open = m_p;
    const char* start = ++m_p;
    const char* q = FindQuoteOrBackslash(start, m_end);
    if (q < m_end && *q == '"') {
      out = std::string_view(start, q - start);
      m_p = q + 1;
      return true;
    }
    m_scratch.clear();
    for (const char* c = start; c < m_end; ++c) {
      if (*c == '\\' && c + 1 < m_end && (c[1] == '"' || c[1] == '\\')) {
        m_scratch.push_back(*++c);
      } else if (*c == '"') {
        m_p = c + 1;
        out = m_scratch;
        return true;
      } else {
        m_scratch.push_back(*c);
      }
    }
    return Fail(open, "unterminated quoted text");
  }

  std::string_view ReadBare() {
    const char* start = m_p;
    m_p = FindDelimiter(start, m_end);
    return std::string_view(start, m_p - start);
  }

  // Eight bytes of a name from offset at (zero-padded past its end). Reads a
  // whole word when the text goes on that far, which saves a byte loop.
  uint64_t Word(std::string_view name, size_t at) const {
    if (at >= name.size()) return 0;
    size_t n = name.size() - at;
    const char* p = name.data() + at;
    if (n >= 8) return LoadPartial(p, 8);
    if (p >= m_begin && p + 8 <= m_end) return LoadPartial(p, 8) & (~uint64_t{0} >> (64 - 8 * n));
    return LoadPartial(p, n);
  }

  // Names repeat endlessly in real soups: intern each distinct one once per
  // parse. The pointer stays valid until the next call. Null when the name
  // is not cached and the cache is full: its slots may take at most a
  // quarter of the text's size, so a soup of mostly distinct names (a table
  // of a million entries) does not hold a cache larger than the tags it makes.
  struct CacheSlot;
  CacheSlot* Intern(std::string_view name) {
    const uint64_t head = Word(name, 0);
    const uint64_t next = Word(name, 8);
    const size_t at = Lookup(name, head, next);
    return at == kNotCached ? nullptr : &m_cache[at];
  }
  static constexpr size_t kNotCached = SIZE_MAX;
  static constexpr size_t kMinCacheBytes = 16 * 1024;
  bool CacheMayGrow() const {
    const size_t grown = (m_cache.empty() ? 256 : m_cache.size() * 2) * sizeof(CacheSlot);
    return grown <= kMinCacheBytes || grown <= static_cast<size_t>(m_end - m_begin) / 4;
  }

  static bool Matches(const CacheSlot& slot, std::string_view name, uint64_t head, uint64_t next) {
    return slot.head == head && slot.next == next && slot.length == name.size() &&
           (name.size() <= 16 ||
            std::memcmp(slot.name.c_str() + 16, name.data() + 16, name.size() - 16) == 0);
  }

  size_t Lookup(std::string_view name, uint64_t head, uint64_t next) {
    // The slot comes from the top bits: those of a product depend on every
    // byte of the word, the low ones only on the low bytes (names that differ
    // in bytes 5..7 alone, "asset-12" and "asset-13", would pile up in one
    // run of slots). The two products do not wait for each other.
    uint64_t h = ((head ^ name.size()) * 0x9E3779B97F4A7C15ull) ^ (next * 0xFF51AFD7ED558CCDull);
    for (size_t i = 16; i < name.size(); i += 8) h = (h ^ Word(name, i)) * 0xC4CEB9FE1A85EC53ull;
    h >>= 32;
    const bool full = (m_cacheUsed + 1) * 2 > m_cache.size();
    if (full && CacheMayGrow()) GrowCache();
    const bool insert = !full || (m_cacheUsed + 1) * 2 <= m_cache.size();
    const size_t mask = m_cache.size() - 1;
    for (size_t i = h >> m_cacheShift;; i = (i + 1) & mask) {
      CacheSlot& slot = m_cache[i];
      if (slot.name.IsNull()) {
        if (!insert) return kNotCached;
        slot.head = head;
        slot.next = next;
        slot.length = static_cast<uint32_t>(name.size());
        slot.hash = static_cast<uint32_t>(h);
        slot.name = Kiv::PString(name);
        ++m_cacheUsed;
        return i;
      }
      if (Matches(slot, name, head, next)) return i;
    }
  }

  // Doubles the table.
  void GrowCache() {
    std::vector<CacheSlot> old;
    old.swap(m_cache);
    m_cache.resize(old.empty() ? 256 : old.size() * 2);
    m_cacheShift = 32 - std::countr_zero(m_cache.size());
    const size_t mask = m_cache.size() - 1;
    for (CacheSlot& slot : old) {
      if (slot.name.IsNull()) continue;
      size_t i = slot.hash >> m_cacheShift;
      while (!m_cache[i].name.IsNull()) i = (i + 1) & mask;
      m_cache[i] = std::move(slot);
    }
  }

  // A tag of a name the cache does not hold.
  void PushNamed(Kiv::PString&& name) {
    Reserve();
    ::new (static_cast<void*>(m_tags + m_count)) TDBDataTag(std::move(name));
    ++m_count;
  }

  // Tags of the open containers wait here; they move by their bytes. A tag
  // is placed when its name is read and gets its value after; the name's
  // count is paid for by SettleNames.
  void PushNamed(CacheSlot& slot) {
    Reserve();
    ::new (static_cast<void*>(m_tags + m_count)) TDBDataTag(slot.name.Uncounted());
    if (++slot.uses == UINT32_MAX) {
      slot.name.AddReferences(slot.uses);
      slot.uses = 0;
    }
    ++m_count;
  }

  // Pays the names' counts for the tags placed so far.
  void SettleNames() noexcept {
    for (CacheSlot& slot : m_cache) {
      if (!slot.uses) continue;
      slot.name.AddReferences(slot.uses);
      slot.uses = 0;
    }
  }

  // Gives the tag a copy of the bytes as its value. Longer values wait on
  // m_bytes (the tag holds their offset) until their container closes.
  void SetValue(TDBDataTag& tag, SoupDataType type, const void* data, size_t size) {
    if (size > UINT32_MAX) size = 0;
    if (size > TDBDataTag::kInline) {
      size_t offset = m_bytes.size();
      m_bytes.append(static_cast<const char*>(data), size);
      std::memcpy(tag.m_value.bytes, &offset, sizeof offset);
      tag.m_inNode = true;
    } else if (size) {
      std::memcpy(tag.m_value.bytes, data, size);
    }
    tag.m_type = type;
    tag.m_size = static_cast<uint32_t>(size);
  }

  void Reserve() {
    if (m_count == m_capacity) {
      size_t capacity = m_capacity < 64 ? 64 : m_capacity * 2;
      auto* grown = static_cast<TDBDataTag*>(::operator new(capacity * sizeof(TDBDataTag)));
      if (m_count)
        std::memcpy(static_cast<void*>(grown), static_cast<const void*>(m_tags),
                    m_count * sizeof(TDBDataTag));
      ::operator delete(m_tags);
      m_tags = grown;
      m_capacity = capacity;
    }
  }

  // Moves the tags from first on, and their value bytes from firstByte on,
  // into a new node.
  ACSChunk* Close(size_t first, size_t firstByte) {
    size_t n = m_count - first;
    size_t bytes = m_bytes.size() - firstByte;
    ACSChunk* node = NewNode(n, bytes);
    TDBDataTag* tags = node->m_data;
    if (n)
      std::memcpy(static_cast<void*>(tags), static_cast<const void*>(m_tags + first), n * sizeof(TDBDataTag));
    if (bytes) {
      uint8_t* room = node->ByteRoom();
      std::memcpy(room, m_bytes.data() + firstByte, bytes);
      for (size_t i = 0; i < n; ++i) {
        if (!tags[i].m_inNode) continue;
        size_t offset;
        std::memcpy(&offset, tags[i].m_value.bytes, sizeof offset);
        tags[i].m_value.heap = room + (offset - firstByte);
      }
      m_bytes.resize(firstByte);
    }
    node->m_count = static_cast<uint32_t>(n);
    m_count = first;
    return node;
  }

  // Nodes are cut from slabs of at most kSlabBytes, sized by the text still
  // to read so a small text takes a small slab; large nodes get a block of
  // their own.
  static constexpr size_t kSlabBytes = 64 * 1024;
  ACSChunk* NewNode(size_t room, size_t bytes) {
    const size_t size = ACSChunk::BlockSize(room, bytes);
    if (size > kSlabBytes / 4) return ACSChunk::CreateWithRoom(room, bytes);
    if (size > m_slabLeft) {
      SealSlab();
      const size_t wanted = std::max(size, std::min(kSlabBytes, 2 * static_cast<size_t>(m_end - m_p) + 512));
      m_slab = ::new (::operator new(SoupSlab::kHeader + wanted)) SoupSlab;
      m_slabNext = m_slab->Space();
      m_slabLeft = wanted;
    }
    ACSChunk* node = ACSChunk::PlaceWithRoom(m_slabNext, m_slab, room);
    m_slabNext += size;
    m_slabLeft -= size;
    ++m_slabNodes;
    return node;
  }

  // Gives the slab in use its count of nodes (nobody can release one before
  // the parse ends), or frees it when it holds none.
  void SealSlab() noexcept {
    if (!m_slab) return;
    if (m_slabNodes) {
      m_slab->nodes.store(m_slabNodes, std::memory_order_relaxed);
    } else {
      m_slab->~SoupSlab();
      ::operator delete(static_cast<void*>(m_slab));
    }
    m_slab = nullptr;
    m_slabNodes = 0;
    m_slabLeft = 0;
  }

  bool Run() {
    while (true) {
      SkipBlanks();
      if (m_p == m_end) {
        if (!m_open.empty())
          return Fail(m_open.back().openedAt,
                      "container '" + m_tags[m_open.back().firstTag - 1].GetName().Str() + "' is not closed");
        return true;
      }
      if (*m_p == '}') {
        if (m_open.empty()) return Fail(m_p, "'}' without an open container");
        ++m_p;
        Open open = m_open.back();
        m_open.pop_back();
        ACSChunk* node = Close(open.firstTag, open.firstByte);
        size_t first = open.firstTag;
        TDBDataTag& tag = m_tags[first - 1];
        node->AddRef();
        tag.m_value.child = node;
        tag.m_type = kSoupContainer;
        continue;
      }
      if (*m_p == '{') return Fail(m_p, "'{' without a tag name");
      const char* nameAt = m_p;
      std::string_view nameText;
      if (*m_p == '"') {
        if (!ReadQuoted(nameText)) return false;
      } else {
        nameText = ReadBare();
      }
      size_t index = m_count;
      if (CacheSlot* slot = Intern(nameText))
        PushNamed(*slot);
      else
        PushNamed(Kiv::PString(nameText));
      SkipBlanks();
      if (m_p == m_end || *m_p == '}')
        return Fail(nameAt, "tag '" + m_tags[index].GetName().Str() + "' has no value");
      if (*m_p == '{') {
        if (m_open.size() >= static_cast<size_t>(kMaxSoupDepth))
          return Fail(m_p, "containers nested too deeply");
        m_open.push_back({m_count, m_bytes.size(), m_p});
        ++m_p;
        continue;
      }
      if (*m_p == '"') {
        std::string_view text;
        if (!ReadQuoted(text)) return false;
        SetValue(m_tags[index], kSoupText, text.data(), text.size());
        continue;
      }
      const char* valueAt = m_p;
      std::string_view token = ReadBare();
      if (!AddBareValue(m_tags[index], token, valueAt)) return false;
    }
  }

  // An unquoted value: numbers, KUIDs, lists of them, "[hex]", a typed empty
  // list, or else plain text.
  bool AddBareValue(TDBDataTag& tag, std::string_view token, const char* at) {
    if (token.front() == '[') {
      if (token.back() != ']')
        return Fail(at, "binary value of '" + tag.GetName().Str() + "' is not closed by ']'");
      std::string_view hex = token.substr(1, token.size() - 2);
      if (hex.size() % 2)
        return Fail(at, "binary value of '" + tag.GetName().Str() + "' has an odd number of digits");
      m_scratch.clear();
      for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
          return Fail(at, "binary value of '" + tag.GetName().Str() + "' is not hexadecimal");
        m_scratch.push_back(static_cast<char>(hi << 4 | lo));
      }
      SetValue(tag, kSoupBinary, m_scratch.data(), m_scratch.size());
      return true;
    }
    if (token == "float[]" || token == "int[]" || token == "kuid[]") {
      SoupDataType type = token[0] == 'f' ? kSoupFloat : token[0] == 'i' ? kSoupInt : kSoupKUID;
      SetValue(tag, type, nullptr, 0);
      return true;
    }
    // A single KUID: no number starts with '<'.
    const bool single = !HasComma(token);
    if (single && token.front() == '<') {
      KUID k;
      if (QuickKUID(token, k) || TryParseKUID(token, true, k)) {
        uint8_t packed[8];
        k.PackSoup(packed);
        SetValue(tag, kSoupKUID, packed, 8);
      } else {
        SetValue(tag, kSoupText, token.data(), token.size());
      }
      return true;
    }
    // A single int is by far the most common value: take it without the list machinery.
    int32_t integer;
    if (ParseIntToken(token, integer)) {
      SetValue(tag, kSoupInt, &integer, 4);
      return true;
    }
    // Single floats likewise. An integer outside the i32 range stays text: as
    // a float it would come back rounded.
    if (single) {
      float f;
      if (!IsIntegerSpelling(token) && ParseFloatToken(token, f)) {
        SetValue(tag, kSoupFloat, &f, 4);
        return true;
      }
      SetValue(tag, kSoupText, token.data(), token.size());
      return true;
    }
    SoupDataType type = ClassifyList(token);
    if (type == kSoupText) {
      SetValue(tag, kSoupText, token.data(), token.size());
    } else {
      SetValue(tag, type, m_scratch.data(), m_scratch.size());
    }
    return true;
  }

  static bool HasComma(std::string_view token) {
    for (char c : token)
      if (c == ',') return true;
    return false;
  }

  // Comma-separated ints, numbers or KUIDs, packed into m_scratch; kSoupText
  // when the token is none of these.
  SoupDataType ClassifyList(std::string_view token) {
    m_scratch.clear();
    if (token.front() == '<') {
      for (size_t start = 0;;) {
        size_t comma = token.find(',', start);
        std::string_view item =
            token.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        KUID k;
        if (!QuickKUID(item, k) && !TryParseKUID(item, true, k)) return kSoupText;
        char packed[8];
        k.PackSoup(reinterpret_cast<uint8_t*>(packed));
        m_scratch.append(packed, 8);
        if (comma == std::string_view::npos) return kSoupKUID;
        start = comma + 1;
      }
    }
    m_ints.clear();
    m_floats.clear();
    bool allInts = true;
    bool anyFloat = false;  // an item spelled as a float, not as an integer
    for (size_t start = 0;;) {
      size_t comma = token.find(',', start);
      std::string_view item =
          token.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
      int32_t i;
      float f;
      if (allInts && ParseIntToken(item, i)) {
        m_ints.push_back(i);
        m_floats.push_back(static_cast<float>(i));
      } else if (ParseFloatToken(item, f)) {
        allInts = false;
        anyFloat = anyFloat || !IsIntegerSpelling(item);
        m_floats.push_back(f);
      } else {
        return kSoupText;
      }
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    // Only integers, one of them outside the i32 range: keep the text whole.
    if (!allInts && !anyFloat) return kSoupText;
    if (allInts) {
      for (int32_t v : m_ints) StoreU32(m_scratch, static_cast<uint32_t>(v));
      return kSoupInt;
    }
    for (float v : m_floats) {
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      StoreU32(m_scratch, bits);
    }
    return kSoupFloat;
  }

  // The lower-case forms "<kuid:U:C>" and "<kuid2:U:C:V>" that writers
  // produce, read without the general parser; false sends anything else there.
  static bool QuickKUID(std::string_view item, KUID& out) {
    const char* p = item.data();
    const char* end = p + item.size();
    if (item.size() < 10 || std::memcmp(p, "<kuid", 5) != 0) return false;
    p += 5;
    bool withVersion = *p == '2';
    if (withVersion) ++p;
    int32_t values[3];
    int wanted = withVersion ? 3 : 2;
    for (int n = 0; n < wanted; ++n) {
      if (p >= end || *p != ':') return false;
      ++p;
      bool negative = p < end && *p == '-';
      if (negative) ++p;
      const char* digits = p;
      int64_t v = 0;
      while (p < end && *p >= '0' && *p <= '9' && p - digits < 10) v = v * 10 + (*p++ - '0');
      if (p == digits || (p < end && *p >= '0' && *p <= '9')) return false;
      if (negative) v = -v;
      if (v < INT32_MIN || v > INT32_MAX) return false;
      values[n] = static_cast<int32_t>(v);
    }
    if (p + 1 != end || *p != '>') return false;
    KUID k =
        withVersion ? KUID(values[0], values[1], values[2]) : KUID::FromUserContent(values[0], values[1]);
    if (!k.FitsPacked()) return false;
    out = k;
    return true;
  }

  struct CacheSlot {
    uint64_t head = 0;  // bytes 0..7 of the name, zero-padded
    uint64_t next = 0;  // bytes 8..15
    Kiv::PString name;
    uint32_t length = 0;
    uint32_t hash = 0;
    uint32_t uses = 0;  // tags given the name without a count of their own
  };

  const char* m_p;
  const char* m_end;
  const char* m_begin;
  TDBDataTag* m_tags = nullptr;
  size_t m_count = 0;
  size_t m_capacity = 0;
  std::vector<Open> m_open;
  std::vector<CacheSlot> m_cache;
  size_t m_cacheUsed = 0;
  int m_cacheShift = 32;  // a slot is the top bits of a 32-bit hash
  SoupSlab* m_slab = nullptr;
  uint8_t* m_slabNext = nullptr;
  size_t m_slabLeft = 0;
  uint32_t m_slabNodes = 0;
  std::string m_bytes;  // longer values of the tags on the stack
  std::string m_scratch;
  std::vector<int32_t> m_ints;
  std::vector<float> m_floats;
  const char* m_errorAt = nullptr;
  std::string m_error;
};

bool ParseSoupText(std::string_view text, SoupRef& out, std::string* error) {
  SoupTextParser parser(text);
  return parser.Parse(out, error);
}

// ---- writer ----

namespace {

bool NeedsQuotes(std::string_view name) {
  // A leading byte-order mark would be skipped when the text is read again.
  if (name.empty() || name.starts_with("\xEF\xBB\xBF")) return true;
  for (unsigned char c : name)
    if (c < 0x21 || c == '{' || c == '}' || c == '"' || c == 0x7F) return true;
  return false;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendValue(std::string& out, const TDBDataTag& tag) {
  static const char kHex[] = "0123456789abcdef";
  const uint8_t* d = tag.GetData();
  uint32_t size = tag.GetSize();
  switch (tag.GetDataType()) {
    case kSoupText: AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(d), size)); return;
    case kSoupBinary:
      out += '[';
      for (uint32_t i = 0; i < size; ++i) {
        out += kHex[d[i] >> 4];
        out += kHex[d[i] & 15];
      }
      out += ']';
      return;
    case kSoupInt:
    case kSoupFloat:
    case kSoupKUID: {
      if (size == 0) {
        out += tag.GetDataType() == kSoupInt     ? "int[]"
               : tag.GetDataType() == kSoupFloat ? "float[]"
                                                 : "kuid[]";
        return;
      }
      std::string text;
      // The text goes to the log as far as it could be written.
      (void)tag.ToText(text);
      out += text;
      return;
    }
    default: out += "\"\""; return;
  }
}

bool WriteContainer(const ACSChunk& node, int depth, std::string& out) {
  if (depth > kMaxSoupDepth) return false;
  for (size_t i = 0; i < node.CountChildren(); ++i) {
    const TDBDataTag& tag = node.GetTag(i);
    if (tag.GetDataType() == kSoupNone) continue;
    out.append(static_cast<size_t>(depth) * 2, ' ');
    std::string_view name = tag.GetName().View();
    if (NeedsQuotes(name))
      AppendQuoted(out, name);
    else
      out += name;
    if (const ACSChunk* child = tag.GetContainer()) {
      out += '\n';
      out.append(static_cast<size_t>(depth) * 2, ' ');
      out += "{\n";
      if (!WriteContainer(*child, depth + 1, out)) return false;
      out.append(static_cast<size_t>(depth) * 2, ' ');
      out += "}\n";
    } else {
      out += ' ';
      AppendValue(out, tag);
      out += '\n';
    }
  }
  return true;
}

}  // namespace

bool WriteSoupText(const SoupRef& soup, std::string& out) {
  if (!soup) return true;
  return WriteContainer(*soup.Get(), 0, out);
}
