#include "foundation/Soup.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "foundation/SoupInternal.h"
#include "foundation/Log.h"
#include "kiv/Bytes.h"

namespace soup_detail {

bool ParseIntToken(std::string_view token, int32_t& out) {
  if (token.empty()) return false;
  const char* p = token.data();
  const char* end = p + token.size();
  bool negative = *p == '-';
  if (negative) ++p;
  if (p == end) return false;
  int64_t value = 0;
  for (; p != end; ++p) {
    unsigned digit = static_cast<unsigned char>(*p) - '0';
    if (digit > 9) return false;
    value = value * 10 + digit;
    if (value > INT64_C(2147483648)) return false;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool IsIntegerSpelling(std::string_view token) {
  if (!token.empty() && token[0] == '-') token.remove_prefix(1);
  if (token.empty()) return false;
  for (char c : token)
    if (c < '0' || c > '9') return false;
  return true;
}

bool ParseFloatToken(std::string_view token, float& out) {
  if (token == "nan") {
    out = std::nanf("");
    return true;
  }
  if (token == "inf" || token == "-inf") {
    out = token[0] == '-' ? -HUGE_VALF : HUGE_VALF;
    return true;
  }
  // A digit or point must come first (after a minus): from_chars would also
  // take "infinity" and "nan(...)", which the writer never produces.
  size_t first = !token.empty() && token[0] == '-' ? 1 : 0;
  if (first >= token.size() || !((token[first] >= '0' && token[first] <= '9') || token[first] == '.'))
    return false;
  // Most numbers in soups are short decimals ("3.4", "-0.25"): with at most
  // 2^24 as digits and ten places, one float division of two exact values is
  // the correctly rounded result.
  {
    uint32_t digits = 0;
    int places = -1;  // digits after the point; -1 before it
    bool any = false, fast = true;
    for (size_t i = first; i < token.size() && fast; ++i) {
      const char c = token[i];
      if (c >= '0' && c <= '9') {
        digits = digits * 10 + static_cast<uint32_t>(c - '0');
        any = true;
        if (places >= 0) ++places;
        fast = digits <= (1u << 24) && places <= 10;
      } else {
        fast = c == '.' && places < 0 && any;
        places = 0;
      }
    }
    if (fast && any && places != 0) {
      static constexpr float kTens[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
      float v = static_cast<float>(digits);
      if (places > 0) v /= kTens[places];
      out = first ? -v : v;
      return true;
    }
  }
  const char* end = token.data() + token.size();
  auto [next, ec] = std::from_chars(token.data(), end, out, std::chars_format::general);
  return ec == std::errc() && next == end;
}

void AppendInt(std::string& out, int32_t value) {
  char buf[16];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  out.append(buf, end);
}

void AppendFloat(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  std::string_view text(buf, end - buf);
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

}  // namespace soup_detail

using namespace soup_detail;

namespace {

// Truncation of a float to an int, refused outside the int range.
bool FloatToInt(float f, int32_t& out) {
  if (!std::isfinite(f) || f < -2147483648.0f || f >= 2147483648.0f) return false;
  out = static_cast<int32_t>(f);
  return true;
}

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

size_t ValueWidth(SoupDataType type) {
  switch (type) {
    case kSoupFloat:
    case kSoupInt: return 4;
    case kSoupKUID: return 8;
    default: return 1;
  }
}

}  // namespace

// ---- TDBDataTag ----

static_assert(sizeof(TDBDataTag) == 24, "a config keeps a tag per value");

void TDBDataTag::Free() noexcept {
  if (m_type == kSoupContainer) {
    if (m_value.child) m_value.child->Release();
  } else if (m_size > kInline && !m_inNode) {
    ::operator delete(m_value.heap);
  }
  m_type = kSoupNone;
  m_size = 0;
  m_inNode = false;
}

void TDBDataTag::MoveFrom(TDBDataTag& other) noexcept {
  m_name = std::move(other.m_name);
  m_size = other.m_size;
  m_type = other.m_type;
  m_value = other.m_value;
  if (other.m_inNode) {
    // Bytes in a container's block stay there: the moved value gets its own.
    m_value.heap = static_cast<uint8_t*>(::operator new(m_size));
    std::memcpy(m_value.heap, other.m_value.heap, m_size);
  }
  other.m_type = kSoupNone;
  other.m_size = 0;
  other.m_inNode = false;
}

void TDBDataTag::CopyFrom(const TDBDataTag& other) {
  m_name = other.m_name;
  m_type = other.m_type;
  m_size = other.m_size;
  m_inNode = false;
  if (m_type == kSoupContainer) {
    m_value.child = other.m_value.child;
    if (m_value.child) m_value.child->AddRef();
  } else if (m_size > kInline) {
    m_value.heap = static_cast<uint8_t*>(::operator new(m_size));
    std::memcpy(m_value.heap, other.m_value.heap, m_size);
  } else {
    m_value = other.m_value;
  }
}

TDBDataTag::TDBDataTag(const TDBDataTag& other) { CopyFrom(other); }

TDBDataTag::TDBDataTag(TDBDataTag&& other) noexcept { MoveFrom(other); }

TDBDataTag& TDBDataTag::operator=(const TDBDataTag& other) {
  if (this != &other) {
    TDBDataTag copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TDBDataTag& TDBDataTag::operator=(TDBDataTag&& other) noexcept {
  if (this != &other) {
    Free();
    MoveFrom(other);
  }
  return *this;
}

TDBDataTag TDBDataTag::MakeBytes(Kiv::PString name, SoupDataType type, const void* data, size_t size) {
  TDBDataTag tag;
  tag.m_name = std::move(name);
  if (type == kSoupContainer || type == kSoupNone) return tag;
  // Typed values hold whole values only.
  size -= size % ValueWidth(type);
  if (size > UINT32_MAX) size = 0;
  tag.m_type = type;
  tag.m_size = static_cast<uint32_t>(size);
  if (size > kInline) {
    tag.m_value.heap = static_cast<uint8_t*>(::operator new(size));
    std::memcpy(tag.m_value.heap, data, size);
  } else if (size != 0) {
    std::memcpy(tag.m_value.bytes, data, size);
  }
  return tag;
}

TDBDataTag TDBDataTag::MakeContainer(Kiv::PString name, ACSChunk* child) {
  TDBDataTag tag;
  tag.m_name = std::move(name);
  tag.m_type = kSoupContainer;
  tag.m_value.child = child;
  child->AddRef();
  return tag;
}

bool TDBDataTag::ToInt(int32_t& out) const {
  const uint8_t* d = GetData();
  switch (m_type) {
    case kSoupInt:
    case kSoupBinary:
      if (m_size != 4) return false;
      out = static_cast<int32_t>(Kiv::LoadLE32(d));
      return true;
    case kSoupFloat:
      if (m_size != 4) return false;
      return FloatToInt(Kiv::LoadLEFloat(d), out);
    case kSoupText: {
      std::string_view text = Trim(std::string_view(reinterpret_cast<const char*>(d), m_size));
      if (ParseIntToken(text, out)) return true;
      // An integer past the i32 range must not come back as a rounded neighbour.
      float f;
      return !IsIntegerSpelling(text) && ParseFloatToken(text, f) && FloatToInt(f, out);
    }
    default: return false;
  }
}

bool TDBDataTag::ToFloat(float& out) const {
  const uint8_t* d = GetData();
  switch (m_type) {
    case kSoupFloat:
    case kSoupBinary:
      if (m_size != 4) return false;
      out = Kiv::LoadLEFloat(d);
      return true;
    case kSoupInt:
      if (m_size != 4) return false;
      out = static_cast<float>(static_cast<int32_t>(Kiv::LoadLE32(d)));
      return true;
    case kSoupText: {
      std::string_view text = Trim(std::string_view(reinterpret_cast<const char*>(d), m_size));
      int32_t i;
      if (ParseIntToken(text, i)) {
        out = static_cast<float>(i);
        return true;
      }
      return ParseFloatToken(text, out);
    }
    default: return false;
  }
}

bool TDBDataTag::ToKUID(KUID& out) const {
  const uint8_t* d = GetData();
  switch (m_type) {
    case kSoupKUID:
    case kSoupBinary:
      if (m_size != 8) return false;
      out = KUID::UnpackSoup(d);
      return true;
    case kSoupText:
      return TryParseKUID(std::string_view(reinterpret_cast<const char*>(d), m_size), false, out);
    default: return false;
  }
}

bool TDBDataTag::ToText(std::string& out) const {
  out.clear();
  const uint8_t* d = GetData();
  switch (m_type) {
    case kSoupText: out.assign(reinterpret_cast<const char*>(d), m_size); return true;
    case kSoupInt:
      for (uint32_t i = 0; i < m_size; i += 4) {
        if (i) out += ',';
        AppendInt(out, static_cast<int32_t>(Kiv::LoadLE32(d + i)));
      }
      return true;
    case kSoupFloat:
      for (uint32_t i = 0; i < m_size; i += 4) {
        if (i) out += ',';
        AppendFloat(out, Kiv::LoadLEFloat(d + i));
      }
      return true;
    case kSoupKUID:
      for (uint32_t i = 0; i < m_size; i += 8) {
        if (i) out += ',';
        out += FormatKUIDTag(KUID::UnpackSoup(d + i));
      }
      return true;
    default: return false;
  }
}

bool TDBDataTag::ToFloatList(std::vector<float>& out) const {
  out.clear();
  const uint8_t* d = GetData();
  switch (m_type) {
    case kSoupFloat:
      out.reserve(m_size / 4);
      for (uint32_t i = 0; i + 4 <= m_size; i += 4) out.push_back(Kiv::LoadLEFloat(d + i));
      return true;
    case kSoupInt:
      for (uint32_t i = 0; i < m_size; i += 4)
        out.push_back(static_cast<float>(static_cast<int32_t>(Kiv::LoadLE32(d + i))));
      return true;
    case kSoupText: {
      std::string_view text(reinterpret_cast<const char*>(d), m_size);
      if (Trim(text).empty()) return true;
      while (true) {
        size_t comma = text.find(',');
        std::string_view item = Trim(text.substr(0, comma));
        float f;
        int32_t i;
        if (ParseIntToken(item, i))
          f = static_cast<float>(i);
        else if (!ParseFloatToken(item, f)) {
          out.clear();
          return false;
        }
        out.push_back(f);
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
      }
    }
    default: return false;
  }
}

// ---- ACSChunk ----

ACSChunk* ACSChunk::Create() { return CreateWithRoom(0); }

ACSChunk* ACSChunk::CreateWithRoom(size_t room, size_t bytes) {
  static_assert(sizeof(ACSChunk) % alignof(TDBDataTag) == 0);
  if (room > UINT32_MAX) throw std::bad_alloc();
  void* block = ::operator new(sizeof(ACSChunk) + room * sizeof(TDBDataTag) + bytes);
  ACSChunk* node = ::new (block) ACSChunk(kSoupContainer);
  node->m_capacity = static_cast<uint32_t>(room);
  node->m_data = room ? node->Room() : nullptr;
  node->m_tagsInRoom = room != 0;
  return node;
}

size_t ACSChunk::BlockSize(size_t room, size_t bytes) noexcept {
  // Rounded so the next node in a slab is aligned.
  return (sizeof(ACSChunk) + room * sizeof(TDBDataTag) + bytes + alignof(ACSChunk) - 1) &
         ~(alignof(ACSChunk) - 1);
}

ACSChunk* ACSChunk::PlaceWithRoom(void* at, SoupSlab* slab, size_t room) {
  ACSChunk* node = ::new (at) ACSChunk(kSoupContainer);
  node->m_capacity = static_cast<uint32_t>(room);
  node->m_data = room ? node->Room() : nullptr;
  node->m_tagsInRoom = room != 0;
  node->m_slab = slab;
  return node;
}

namespace {

SoupMemoryHook g_memoryHook;

void TakeMemory(uint64_t bytes) {
  if (bytes && g_memoryHook.take) g_memoryHook.take(bytes);
}

}  // namespace

void SetSoupMemoryHook(const SoupMemoryHook& hook) { g_memoryHook = hook; }

void ACSChunk::GiveMemory(uint64_t bytes) noexcept {
  if (bytes && g_memoryHook.give) g_memoryHook.give(bytes);
}

uint64_t ACSChunk::TagBytes(const TDBDataTag& tag) noexcept {
  // A container tag's size is 0; one of DestroyCounted's has its type cleared first.
  const bool own = tag.m_type != kSoupContainer && tag.m_size > TDBDataTag::kInline && !tag.m_inNode;
  return tag.m_name.View().size() + (own ? tag.m_size : 0);
}

uint64_t ACSChunk::HeldBytes() const noexcept {
  const uint64_t perTag = sizeof(TDBDataTag) + (m_indexed ? kIndexBytesPerTag : 0);
  uint64_t bytes = sizeof(ACSChunk) + uint64_t(m_capacity) * perTag;
  for (uint32_t i = 0; i < m_count; ++i) bytes += TagBytes(m_data[i]);
  return bytes;
}

void ACSChunk::CountMemory(ACSChunk* root) {
  if (!root || root->m_type != kSoupContainer || root->m_memoryCounted) return;
  std::vector<ACSChunk*> pending{root};
  root->m_memoryCounted = true;
  while (!pending.empty()) {
    ACSChunk* node = pending.back();
    pending.pop_back();
    TakeMemory(node->HeldBytes());
    for (uint32_t i = 0; i < node->m_count; ++i)
      if (ACSChunk* child = node->m_data[i].GetContainer(); child && !child->m_memoryCounted) {
        child->m_memoryCounted = true;
        pending.push_back(child);
      }
  }
}

namespace {

// How many tags of each indexed container hold each name (by its interned
// handle). Few containers have one, so they share a table and its lock.
struct NameIndexes {
  std::mutex lock;
  std::unordered_map<const ACSChunk*, std::unordered_map<const void*, uint32_t>> of;
};

NameIndexes& Indexes() {
  static NameIndexes* indexes = new NameIndexes;  // outlives every soup
  return *indexes;
}

}  // namespace

void ACSChunk::Destroy() noexcept {
  if (m_memoryCounted) GiveMemory(HeldBytes());
  if (m_indexed) {
    NameIndexes& indexes = Indexes();
    const std::lock_guard<std::mutex> hold(indexes.lock);
    indexes.of.erase(this);
  }
  for (uint32_t i = 0; i < m_count; ++i) m_data[i].~TDBDataTag();
  if (!m_tagsInRoom) ::operator delete(m_data);
  SoupSlab* slab = m_slab;
  this->~ACSChunk();
  if (!slab) {
    ::operator delete(static_cast<void*>(this));
  } else if (slab->nodes.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    slab->~SoupSlab();
    ::operator delete(static_cast<void*>(slab));
  }
}

void ACSChunk::PushTag(TDBDataTag&& tag) {
  if (m_count == m_capacity) {
    uint64_t capacity = m_capacity < 4 ? 4 : uint64_t(m_capacity) * 2;
    if (capacity > UINT32_MAX) throw std::bad_alloc();
    auto* grown = static_cast<TDBDataTag*>(::operator new(capacity * sizeof(TDBDataTag)));
    if (m_count)
      std::memcpy(static_cast<void*>(grown), static_cast<const void*>(m_data), m_count * sizeof(TDBDataTag));
    if (!m_tagsInRoom) ::operator delete(m_data);
    m_tagsInRoom = false;
    if (m_memoryCounted)
      TakeMemory((capacity - m_capacity) * (sizeof(TDBDataTag) + (m_indexed ? kIndexBytesPerTag : 0)));
    m_data = grown;
    m_capacity = static_cast<uint32_t>(capacity);
  }
  ::new (static_cast<void*>(m_data + m_count)) TDBDataTag(std::move(tag));
  if (m_indexed) Index(m_data[m_count].GetName());
  ++m_count;
  if (m_memoryCounted) {
    TakeMemory(TagBytes(m_data[m_count - 1]));
    CountMemory(m_data[m_count - 1].GetContainer());
  }
}

ACSChunk* ACSChunk::SharedNull() {
  // One reference held forever, so it is never freed.
  static ACSChunk* node = [] {
    ACSChunk* n = Create();
    n->m_type = kSoupNone;
    n->AddRef();
    return n;
  }();
  return node;
}

void ACSChunk::DestroyCounted(ACSChunk* node) noexcept {
  std::vector<ACSChunk*> doomed;
  while (true) {
    for (uint32_t i = 0; i < node->m_count; ++i) {
      TDBDataTag& tag = node->m_data[i];
      if (tag.m_type != kSoupContainer) continue;
      ACSChunk* child = tag.m_value.child;
      tag.m_type = kSoupNone;
      if (child && child->DropReference()) doomed.push_back(child);
    }
    node->Destroy();
    if (doomed.empty()) return;
    node = doomed.back();
    doomed.pop_back();
  }
}

void ACSChunk::BuildIndex() {
  NameIndexes& indexes = Indexes();
  {
    const std::lock_guard<std::mutex> hold(indexes.lock);
    auto& names = indexes.of[this];
    for (uint32_t i = 0; i < m_count; ++i) ++names[m_data[i].GetName().Handle()];
  }
  m_indexed = true;
  if (m_memoryCounted) TakeMemory(uint64_t(m_capacity) * kIndexBytesPerTag);
}

void ACSChunk::Index(const Kiv::PString& name) {
  NameIndexes& indexes = Indexes();
  const std::lock_guard<std::mutex> hold(indexes.lock);
  ++indexes.of[this][name.Handle()];
}

void ACSChunk::Unindex(const Kiv::PString& name) noexcept {
  NameIndexes& indexes = Indexes();
  const std::lock_guard<std::mutex> hold(indexes.lock);
  auto& names = indexes.of[this];
  const auto entry = names.find(name.Handle());
  if (entry != names.end() && --entry->second == 0) names.erase(entry);
}

bool ACSChunk::MayHold(const Kiv::PString& name) const noexcept {
  if (!m_indexed) return true;
  NameIndexes& indexes = Indexes();
  const std::lock_guard<std::mutex> hold(indexes.lock);
  return indexes.of[this].contains(name.Handle());
}

long ACSChunk::FindTag(const Kiv::PString& name, size_t start) const noexcept {
  if (!MayHold(name)) return -1;
  for (size_t i = start; i < m_count; ++i)
    if (m_data[i].GetName() == name) return static_cast<long>(i);
  return -1;
}

bool ACSChunk::Reaches(const ACSChunk* node) const {
  if (node == this) return true;
  std::vector<const ACSChunk*> pending{this};
  std::unordered_set<const ACSChunk*> seen{this};
  while (!pending.empty()) {
    const ACSChunk* current = pending.back();
    pending.pop_back();
    for (uint32_t i = 0; i < current->m_count; ++i) {
      const ACSChunk* child = current->m_data[i].GetContainer();
      if (!child) continue;
      if (child == node) return true;
      if (seen.insert(child).second) pending.push_back(child);
    }
  }
  return false;
}

bool ACSChunk::AddNamedChild(const Kiv::PString& name, ACSChunk* child) {
  if (m_type != kSoupContainer || !child || child->GetDataType() != kSoupContainer || child->Reaches(this))
    return false;
  PushTag(TDBDataTag::MakeContainer(name, child));
  return true;
}

bool ACSChunk::AppendTag(TDBDataTag tag) {
  // The shared null node stays empty.
  if (m_type != kSoupContainer || tag.GetDataType() == kSoupNone) return false;
  ACSChunk* child = tag.GetContainer();
  if (child && (child->GetDataType() != kSoupContainer || child->Reaches(this))) return false;
  PushTag(std::move(tag));
  return true;
}

bool ACSChunk::RemoveChild(const ACSChunk* child) {
  for (size_t i = 0; i < m_count; ++i) {
    if (child && m_data[i].GetContainer() == child) {
      RemoveTag(i);
      return true;
    }
  }
  return false;
}

void ACSChunk::RemoveTag(size_t index) {
  if (index >= m_count) return;
  if (m_memoryCounted) GiveMemory(TagBytes(m_data[index]));
  if (m_indexed) Unindex(m_data[index].GetName());
  m_data[index].~TDBDataTag();
  std::memmove(static_cast<void*>(m_data + index), static_cast<const void*>(m_data + index + 1),
               (m_count - index - 1) * sizeof(TDBDataTag));
  --m_count;
}

size_t ACSChunk::RemoveTagsNamed(const Kiv::PString& name) {
  // Built here, where the container changes: readers may share it across threads.
  if (!m_indexed && m_count >= kIndexFrom) BuildIndex();
  if (!MayHold(name)) return 0;
  return RemoveTagsIf([&name](const TDBDataTag& tag) { return tag.GetName() == name; });
}

// ---- SoupRef ----

SoupRef::SoupRef(const SoupRef& other) noexcept : m_node(other.m_node) {
  if (m_node) m_node->AddRef();
}

SoupRef& SoupRef::operator=(const SoupRef& other) noexcept {
  if (other.m_node) other.m_node->AddRef();
  ACSChunk* old = m_node;
  m_node = other.m_node;
  if (old) old->Release();
  return *this;
}

SoupRef& SoupRef::operator=(SoupRef&& other) noexcept {
  if (this != &other) {
    ACSChunk* old = m_node;
    m_node = other.m_node;
    other.m_node = nullptr;
    if (old) old->Release();
  }
  return *this;
}

SoupRef SoupRef::FromChunk(ACSChunk* node) {
  if (!node || node->GetDataType() == kSoupNone) return SoupRef();
  return SoupRef(node);
}

SoupRef SoupRef::NewContainer() { return SoupRef(ACSChunk::Create()); }

void SoupRef::EnsureContainer() {
  if (!m_node) {
    m_node = ACSChunk::Create();
    m_node->AddRef();
  }
}

void SoupRef::Clear() noexcept {
  if (m_node) {
    ACSChunk* old = m_node;
    m_node = nullptr;
    old->Release();
  }
}

size_t SoupRef::CountTags() const noexcept { return m_node ? m_node->CountChildren() : 0; }

Kiv::PString SoupRef::GetIndexedTagName(size_t index) const {
  if (!m_node || index >= m_node->CountChildren()) return Kiv::PString::Empty();
  return m_node->GetTag(index).GetName();
}

SoupRef SoupRef::GetIndexedSoup(size_t index) const {
  if (!m_node || index >= m_node->CountChildren()) return SoupRef();
  return FromChunk(m_node->GetTag(index).GetContainer());
}

const TDBDataTag* SoupRef::FindTag(const Kiv::PString& name) const {
  if (!m_node) return nullptr;
  long index = m_node->FindTag(name);
  return index < 0 ? nullptr : &m_node->GetTag(static_cast<size_t>(index));
}

size_t SoupRef::TagsWalked(const Kiv::PString& name) const noexcept {
  if (!m_node) return 0;
  const long index = m_node->FindTag(name);
  if (index >= 0) return size_t(index) + 1;
  return m_node->m_indexed ? 0 : m_node->CountChildren();
}

bool SoupRef::HasNamedTag(const Kiv::PString& name) const {
  const TDBDataTag* tag = FindTag(name);
  return tag && tag->GetDataType() != kSoupNone;
}

Kiv::PString SoupRef::GetNamedTag(const Kiv::PString& name, const Kiv::PString& def) const {
  const TDBDataTag* tag = FindTag(name);
  std::string text;
  if (!tag || !tag->ToText(text)) return def;
  return Kiv::PString(text);
}

std::string_view SoupRef::GetNamedTagText(const Kiv::PString& name, std::string& scratch) const {
  const TDBDataTag* tag = FindTag(name);
  if (!tag) return std::string_view();
  if (tag->GetDataType() == kSoupText)
    return std::string_view(reinterpret_cast<const char*>(tag->GetData()), tag->GetSize());
  return tag->ToText(scratch) ? std::string_view(scratch) : std::string_view();
}

std::string SoupRef::GetNamedTagString(const Kiv::PString& name) const {
  std::string scratch;
  const std::string_view text = GetNamedTagText(name, scratch);
  if (text.data() != scratch.data()) return std::string(text);
  return scratch;
}

int32_t SoupRef::GetNamedTagAsInt(const Kiv::PString& name, int32_t def) const {
  const TDBDataTag* tag = FindTag(name);
  int32_t value;
  return tag && tag->ToInt(value) ? value : def;
}

float SoupRef::GetNamedTagAsFloat(const Kiv::PString& name, float def) const {
  const TDBDataTag* tag = FindTag(name);
  float value;
  return tag && tag->ToFloat(value) ? value : def;
}

KUID SoupRef::GetNamedTagAsKUID(const Kiv::PString& name, const KUID& def) const {
  const TDBDataTag* tag = FindTag(name);
  KUID value;
  return tag && tag->ToKUID(value) ? value : def;
}

SoupDataType SoupRef::GetNamedTagType(const Kiv::PString& name) const {
  const TDBDataTag* tag = FindTag(name);
  return tag ? tag->GetDataType() : kSoupNone;
}

SoupRef SoupRef::GetNamedSoup(const Kiv::PString& name) const {
  const TDBDataTag* tag = FindTag(name);
  return tag ? FromChunk(tag->GetContainer()) : SoupRef();
}

bool SoupRef::GetCameraFloats(std::vector<float>& out) const {
  static const Kiv::PString kCamera("camera");
  out.clear();
  const TDBDataTag* tag = FindTag(kCamera);
  if (!tag || !tag->ToFloatList(out)) {
    out.clear();
    return false;
  }
  return !out.empty();
}

Kiv::PString SoupRef::GetUniqueTagName() const {
  // Mark the decimal names in use (only 0..count can matter), then take the first gap.
  size_t count = CountTags();
  std::vector<bool> used(count + 1, false);
  for (size_t i = 0; i < count; ++i) {
    std::string_view name = m_node->GetTag(i).GetName().View();
    if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0')) continue;
    uint64_t value = 0;
    bool digits = true;
    for (char c : name) {
      if (c < '0' || c > '9') {
        digits = false;
        break;
      }
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (digits && value <= count) used[value] = true;
  }
  size_t first = 0;
  while (used[first]) ++first;
  return Kiv::PString(std::to_string(first));
}

void SoupRef::SetBytes(const Kiv::PString& name, SoupDataType type, const void* data, size_t size) {
  EnsureContainer();
  TDBDataTag tag = TDBDataTag::MakeBytes(name, type, data, size);
  m_node->RemoveTagsNamed(name);
  m_node->PushTag(std::move(tag));
}

void SoupRef::SetNamedTag(const Kiv::PString& name, std::string_view text) {
  SetBytes(name, kSoupText, text.data(), text.size());
}

void SoupRef::SetNamedTagInt(const Kiv::PString& name, int32_t value) {
  uint8_t b[4];
  Kiv::StoreLE32(b, static_cast<uint32_t>(value));
  SetBytes(name, kSoupInt, b, 4);
}

void SoupRef::SetNamedTagFloat(const Kiv::PString& name, float value) {
  SetNamedTagFloatArray(name, &value, 1);
}

void SoupRef::SetNamedTagFloatArray(const Kiv::PString& name, const float* values, size_t count) {
  std::vector<uint8_t> bytes(count * 4);
  for (size_t i = 0; i < count; ++i) Kiv::StoreLEFloat(&bytes[i * 4], values[i]);
  SetBytes(name, kSoupFloat, bytes.data(), bytes.size());
}

void SoupRef::SetNamedTagKUID(const Kiv::PString& name, const KUID& value) {
  uint8_t b[8];
  value.PackSoup(b);
  SetBytes(name, kSoupKUID, b, 8);
}

bool SoupRef::SetNamedSoup(const Kiv::PString& name, const SoupRef& child) {
  SoupRef entered = child.IsNull() ? NewContainer() : child;  // keeps the child alive throughout
  EnsureContainer();
  if (entered.m_node->Reaches(m_node)) return false;
  m_node->RemoveTagsNamed(name);
  m_node->PushTag(TDBDataTag::MakeContainer(name, entered.m_node));
  return true;
}

void SoupRef::RemoveNamedTag(const Kiv::PString& name) {
  if (!m_node) return;
  long index = m_node->FindTag(name);
  if (index >= 0) m_node->RemoveTag(static_cast<size_t>(index));
}

void SoupRef::Copy(const SoupRef& source) {
  // Copy first, then let go of the old node: source may be this very soup.
  // Containers shared inside the source stay shared (once each) in the copy.
  SoupRef copy = NewContainer();
  if (source.m_node) {
    std::unordered_map<const ACSChunk*, ACSChunk*> copies{{source.m_node, copy.m_node}};
    std::vector<std::pair<const ACSChunk*, ACSChunk*>> pending{{source.m_node, copy.m_node}};
    while (!pending.empty()) {
      auto [from, to] = pending.back();
      pending.pop_back();
      for (size_t i = 0; i < from->CountChildren(); ++i) {
        const TDBDataTag& tag = from->GetTag(i);
        const ACSChunk* child = tag.GetContainer();
        if (!child) {
          to->PushTag(TDBDataTag(tag));
          continue;
        }
        auto [it, fresh] = copies.emplace(child, nullptr);
        if (fresh) {
          it->second = ACSChunk::CreateWithRoom(child->CountChildren());
          pending.emplace_back(child, it->second);
        }
        to->PushTag(TDBDataTag::MakeContainer(tag.GetName(), it->second));
      }
    }
  }
  *this = std::move(copy);
}

bool SoupRef::Log(uint64_t maxBytes, uint64_t* made) const {
  std::string text;
  const bool ok = WriteSoupText(*this, text, maxBytes);
  if (made) *made = text.size();
  if (ok) LogLine("%s", text.c_str());
  return ok;
}

// ---- ACSRawDataCore ----

Kiv::Ref<ACSRawDataCore> ACSRawDataCore::CreateCopy(const void* data, size_t size) {
  if (size == 0 || !data) return {};
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
  std::memcpy(bytes.get(), data, size);
  return Kiv::Ref<ACSRawDataCore>(new ACSRawDataCore(std::move(bytes), size));
}
