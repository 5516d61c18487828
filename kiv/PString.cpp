#include "kiv/PString.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "kiv/Memory.h"
#include "kiv/String.h"

namespace Kiv {

// One block per text: this header, then the bytes and a terminator. A
// config of a million tags interns a million names, so every byte of the
// entry counts: a short name takes one 32-byte heap chunk.
struct PString::Entry {
  std::atomic<uint32_t> refs{1};
  uint32_t length = 0;
  size_t hash = 0;

  const char* Text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::string_view View() const noexcept { return std::string_view(Text(), length); }
  static Entry* Make(std::string_view text, size_t hash) {
    if (text.size() >= UINT32_MAX) throw std::length_error("PString: text too long");
    void* block = ::operator new(sizeof(Entry) + text.size() + 1);
    auto* e = ::new (block) Entry;
    e->hash = hash;
    e->length = static_cast<uint32_t>(text.size());
    char* bytes = reinterpret_cast<char*>(e + 1);
    if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = 0;
    return e;
  }
  static void Free(Entry* e) noexcept {
    e->~Entry();
    ::operator delete(static_cast<void*>(e));
  }
};
static_assert(sizeof(PString::Entry) == 16);

namespace {

// Open addressing with linear probing, at most half full. A slot keeps the
// text's hash beside the entry, so a lookup reads the slot and then only the
// entry it finds: with hundreds of thousands of texts, each extra memory
// read on the way is a cache miss.
struct Table {
  struct Slot {
    size_t hash = 0;
    PString::Entry* entry = nullptr;
  };
  std::mutex lock;
  using Slots = std::vector<Slot, TableAllocator<Slot>>;
  Slots slots = Slots(1024);
  size_t used = 0;

  size_t Mask() const { return slots.size() - 1; }

  PString::Entry* Find(std::string_view text, size_t hash) const {
    for (size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      const Slot& slot = slots[i];
      if (!slot.entry) return nullptr;
      if (slot.hash == hash && slot.entry->View() == text) return slot.entry;
    }
  }

  void Insert(PString::Entry* e) {
    if ((used + 1) * 2 > slots.size()) {
      Slots old(slots.size() * 2);
      old.swap(slots);
      for (const Slot& slot : old)
        if (slot.entry) Place(slot);
    }
    Place({e->hash, e});
    ++used;
  }

  void Place(const Slot& s) {
    size_t i = s.hash & Mask();
    while (slots[i].entry) i = (i + 1) & Mask();
    slots[i] = s;
  }

  // Removes the entry and moves later slots of its run back, so that every
  // text stays reachable from its home slot without gaps.
  void Erase(const PString::Entry* e) {
    size_t i = e->hash & Mask();
    while (slots[i].entry != e) i = (i + 1) & Mask();
    for (size_t j = (i + 1) & Mask(); slots[j].entry; j = (j + 1) & Mask()) {
      const size_t home = slots[j].hash & Mask();
      // The slot at j may move to the gap at i unless its home lies
      // cyclically in (i, j].
      const bool homeBetween = i <= j ? (home > i && home <= j) : (home > i || home <= j);
      if (!homeBetween) {
        slots[i] = slots[j];
        i = j;
      }
    }
    slots[i] = Slot();
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
  const size_t hash = std::hash<std::string_view>()(text);
  Table& t = GetTable();
  std::lock_guard<std::mutex> guard(t.lock);
  if (PString::Entry* e = t.Find(text, hash)) {
    // A count at zero here cannot happen: the 1 -> 0 step runs under this lock.
    e->refs.fetch_add(1, std::memory_order_relaxed);
    return e;
  }
  PString::Entry* e = PString::Entry::Make(text, hash);
  t.Insert(e);
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
