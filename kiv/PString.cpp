#include "kiv/PString.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include "kiv/Memory.h"
#include "kiv/String.h"

namespace Kiv {

// One block per text: this header, then the bytes and a terminator. A
// config of a million tags interns a million names, so every byte of the
// entry counts: the text's hash is not kept (the table keeps what it needs
// of it, and works it out again only to take a text out).
struct PString::Entry {
  std::atomic<uint32_t> refs{1};
  uint32_t length = 0;

  const char* Text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::string_view View() const noexcept { return std::string_view(Text(), length); }
  static Entry* Make(std::string_view text) {
    if (text.size() >= UINT32_MAX) throw std::length_error("PString: text too long");
    // The table keeps the address in 44 bits, from bit 4 on.
    void* block = ::operator new(sizeof(Entry) + text.size() + 1, std::align_val_t(16));
    if (reinterpret_cast<uintptr_t>(block) >> 48) {
      std::fputs("PString: the heap gave an address above 2^48\n", stderr);
      std::abort();
    }
    auto* e = ::new (block) Entry;
    e->length = static_cast<uint32_t>(text.size());
    char* bytes = reinterpret_cast<char*>(e + 1);
    if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = 0;
    return e;
  }
  static void Free(Entry* e) noexcept {
    e->~Entry();
    ::operator delete(static_cast<void*>(e), std::align_val_t(16));
  }
};
static_assert(sizeof(PString::Entry) == 8);

namespace {

size_t HashOf(std::string_view text) { return std::hash<std::string_view>()(text); }

// Open addressing with linear probing, at most three quarters full. A slot
// is one word: the entry's address (16-byte aligned and below 2^48, so 44
// bits) and the top 20 bits of the text's hash. A look-up reads the slots
// and then only an entry whose bits match: with hundreds of thousands of
// texts, each extra memory read on the way is a cache miss, and a slot of a
// pointer and a whole hash would double the table.
//
// A text's home slot is its 20 bits scaled to the table's size, so a slot
// alone tells where its run starts: taking a text out then moves the later
// slots of its run without reading their entries. The size is not a power of
// two but grows by half: at a million texts the table takes 12 MB, not the
// 16 MB of the next power of two at most half full.
struct Table {
  using Slot = uint64_t;  // 0: free
  static constexpr int kHashBits = 20, kAddressBits = 44;

  static uint64_t HashBits(size_t hash) { return static_cast<uint64_t>(hash) >> (64 - kHashBits); }
  static Slot Pack(const PString::Entry* e, size_t hash) {
    return reinterpret_cast<uintptr_t>(e) >> 4 | HashBits(hash) << kAddressBits;
  }
  static PString::Entry* EntryOf(Slot s) {
    return reinterpret_cast<PString::Entry*>((s & ((uint64_t{1} << kAddressBits) - 1)) << 4);
  }

  std::mutex lock;
  using Slots = std::vector<Slot, TableAllocator<Slot>>;
  Slots slots = Slots(1024);
  size_t used = 0;

  size_t Next(size_t i) const { return i + 1 == slots.size() ? 0 : i + 1; }
  size_t HomeOfBits(uint64_t bits) const { return static_cast<size_t>((bits * slots.size()) >> kHashBits); }
  size_t Home(size_t hash) const { return HomeOfBits(HashBits(hash)); }
  size_t HomeOf(Slot s) const { return HomeOfBits(s >> kAddressBits); }

  PString::Entry* Find(std::string_view text, size_t hash) const {
    const uint64_t mark = HashBits(hash);
    for (size_t i = Home(hash);; i = Next(i)) {
      const Slot slot = slots[i];
      if (!slot) return nullptr;
      if (slot >> kAddressBits == mark && EntryOf(slot)->View() == text) return EntryOf(slot);
    }
  }

  void Insert(PString::Entry* e, size_t hash) {
    if ((used + 1) * 4 > slots.size() * 3) {
      Slots old(slots.size() + slots.size() / 2);
      old.swap(slots);
      for (const Slot slot : old)
        if (slot) Place(slot);
    }
    Place(Pack(e, hash));
    ++used;
  }

  void Place(Slot s) {
    size_t i = HomeOf(s);
    while (slots[i]) i = Next(i);
    slots[i] = s;
  }

  // Removes the entry and moves later slots of its run back, so that every
  // text stays reachable from its home slot without gaps.
  void Erase(const PString::Entry* e) {
    const Slot mine = Pack(e, HashOf(e->View()));
    size_t i = HomeOf(mine);
    while (slots[i] != mine) i = Next(i);
    for (size_t j = Next(i); slots[j]; j = Next(j)) {
      const size_t home = HomeOf(slots[j]);
      // The slot at j may move to the gap at i unless its home lies
      // cyclically in (i, j].
      const bool homeBetween = i <= j ? (home > i && home <= j) : (home > i || home <= j);
      if (!homeBetween) {
        slots[i] = slots[j];
        i = j;
      }
    }
    slots[i] = 0;
    --used;
  }
};

// Never destroyed: constant strings are interned by static initialisers and
// released by static destructors in any order.
Table& GetTable() {
  static Table* table = new Table;
  return *table;
}

PString::Entry* Intern(std::string_view text) {
  const size_t hash = HashOf(text);
  Table& t = GetTable();
  std::lock_guard<std::mutex> guard(t.lock);
  if (PString::Entry* e = t.Find(text, hash)) {
    // A count at zero here cannot happen: the 1 -> 0 step runs under this lock.
    e->refs.fetch_add(1, std::memory_order_relaxed);
    return e;
  }
  PString::Entry* e = PString::Entry::Make(text);
  t.Insert(e, hash);
  return e;
}

void AddRef(PString::Entry* e) {
  if (e) e->refs.fetch_add(1, std::memory_order_relaxed);
}

void Release(PString::Entry* e) {
  if (!e) return;
  uint32_t r = e->refs.load(std::memory_order_relaxed);
  while (r > 1) {
    if (e->refs.compare_exchange_weak(r, r - 1, std::memory_order_acq_rel)) return;
  }
  // Possibly the last holder: drop it under the table lock so that a
  // concurrent Intern of the same text never sees a dying entry.
  Table& t = GetTable();
  std::lock_guard<std::mutex> guard(t.lock);
  if (e->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    t.Erase(e);
    PString::Entry::Free(e);
  }
}

}  // namespace

PString::PString(const char* text) : m_entry(text ? Intern(text) : nullptr) {}
PString::PString(const char* text, size_t length)
    : m_entry(text ? Intern(std::string_view(text, length)) : nullptr) {}
PString::PString(std::string_view text) : m_entry(Intern(text)) {}
PString::PString(const std::string& text) : m_entry(Intern(text)) {}
PString::PString(const PString& other) noexcept : m_entry(other.m_entry) { AddRef(m_entry); }

void PString::AddReferences(size_t count) const noexcept {
  if (m_entry && count) m_entry->refs.fetch_add(static_cast<uint32_t>(count), std::memory_order_relaxed);
}

PString& PString::operator=(const PString& other) noexcept {
  if (m_entry != other.m_entry) {
    AddRef(other.m_entry);
    Release(m_entry);
    m_entry = other.m_entry;
  }
  return *this;
}

PString& PString::operator=(PString&& other) noexcept {
  if (this != &other) {
    Release(m_entry);
    m_entry = other.m_entry;
    other.m_entry = nullptr;
  }
  return *this;
}

PString::~PString() { Release(m_entry); }

const PString& PString::Empty() {
  // Holds its reference for the life of the process.
  static const PString* empty = new PString(std::string_view());
  return *empty;
}

const char* PString::c_str() const noexcept { return m_entry ? m_entry->Text() : ""; }
std::string_view PString::View() const noexcept { return m_entry ? m_entry->View() : std::string_view(); }
size_t PString::Length() const noexcept { return m_entry ? m_entry->length : 0; }

PString& PString::Setf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  *this = PString(out);
  return *this;
}

PString PString::ToLower() const {
  if (IsNull()) return PString();
  return PString(ToLowerAscii(View()));
}

PString PString::ToUpper() const {
  if (IsNull()) return PString();
  return PString(ToUpperAscii(View()));
}

int PString::Find(std::string_view needle, size_t start) const noexcept {
  std::string_view v = View();
  if (start > v.size()) return -1;
  size_t p = v.find(needle, start);
  return p == std::string_view::npos ? -1 : static_cast<int>(p);
}

int PString::Find(char c, size_t start) const noexcept {
  std::string_view v = View();
  if (start >= v.size()) return -1;
  size_t p = v.find(c, start);
  return p == std::string_view::npos ? -1 : static_cast<int>(p);
}

PString PString::Insert(size_t position, std::string_view text) const {
  std::string s(View());
  s.insert(std::min(position, s.size()), text);
  return PString(s);
}

PString PString::Delete(size_t position, size_t count) const {
  std::string s(View());
  if (position < s.size()) s.erase(position, count);
  return IsNull() ? PString() : PString(s);
}

size_t PString::InternedCount() {
  Table& t = GetTable();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.used;
}

}  // namespace Kiv
