#include "kiv/PString.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kiv/String.h"

namespace Kiv {

struct PString::Entry {
  std::atomic<long> refs{1};
  std::string text;
};

namespace {

struct Table {
  std::mutex lock;
  std::unordered_map<std::string_view, PString::Entry*> map;
};

// Never destroyed: constant strings are interned by static initialisers and
// released by static destructors in any order.
Table& GetTable() {
  static Table* table = new Table;
  return *table;
}

PString::Entry* Intern(std::string_view text) {
  Table& t = GetTable();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.map.find(text);
  if (it != t.map.end()) {
    // A count at zero here cannot happen: the 1 -> 0 step runs under this lock.
    it->second->refs.fetch_add(1, std::memory_order_relaxed);
    return it->second;
  }
  auto* e = new PString::Entry;
  e->text.assign(text.data(), text.size());
  t.map.emplace(std::string_view(e->text), e);
  return e;
}

void AddRef(PString::Entry* e) {
  if (e) e->refs.fetch_add(1, std::memory_order_relaxed);
}

void Release(PString::Entry* e) {
  if (!e) return;
  long r = e->refs.load(std::memory_order_relaxed);
  while (r > 1) {
    if (e->refs.compare_exchange_weak(r, r - 1, std::memory_order_acq_rel)) return;
  }
  // Possibly the last holder: drop it under the table lock so that a
  // concurrent Intern of the same text never sees a dying entry.
  Table& t = GetTable();
  std::lock_guard<std::mutex> guard(t.lock);
  if (e->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    t.map.erase(std::string_view(e->text));
    delete e;
  }
}

}  // namespace

PString::PString(const char* text) : m_entry(text ? Intern(text) : nullptr) {}
PString::PString(const char* text, size_t length)
    : m_entry(text ? Intern(std::string_view(text, length)) : nullptr) {}
PString::PString(std::string_view text) : m_entry(Intern(text)) {}
PString::PString(const std::string& text) : m_entry(Intern(text)) {}
PString::PString(const PString& other) noexcept : m_entry(other.m_entry) { AddRef(m_entry); }

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

const char* PString::c_str() const noexcept { return m_entry ? m_entry->text.c_str() : ""; }
std::string_view PString::View() const noexcept {
  return m_entry ? std::string_view(m_entry->text) : std::string_view();
}
size_t PString::Length() const noexcept { return m_entry ? m_entry->text.size() : 0; }

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
  return t.map.size();
}

}  // namespace Kiv
