#pragma once
// String hash, the string- and library-id-keyed tables, and the compiler's two
// text helpers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace Utils {

// h = h * 3 + c over the bytes, c taken as a signed byte, in 32-bit arithmetic.
uint32_t StringHash(std::string_view text);

// Buckets of chains kept in key order, duplicates refused. The entry stores
// its own copy of the key (Stored) made from the key looked up (Key). Keys
// gives the bucket of a key (Keys::Hash) and how a stored key orders against
// it (Keys::Order: below 0, 0 or above 0).
template <class Stored, class Key, class Value, class Keys>
class SortedChainTable {
public:
  struct Entry {
    Stored key;
    Value value;
    Entry* next;
  };

  explicit SortedChainTable(std::size_t bucketCount) : m_count(bucketCount ? bucketCount : 1) {
    m_buckets = new Entry*[m_count]();
  }
  ~SortedChainTable() {
    Clear();
    delete[] m_buckets;
  }
  SortedChainTable(const SortedChainTable&) = delete;
  SortedChainTable& operator=(const SortedChainTable&) = delete;

  // False (and the first entry kept) when the key is present.
  [[nodiscard]] bool Insert(const Key& key, Value value) {
    Entry** link = &m_buckets[Keys::Hash(key) % m_count];
    while (*link) {
      int c = Keys::Order((*link)->key, key);
      if (c == 0) return false;
      if (c > 0) break;
      link = &(*link)->next;
    }
    *link = new Entry{Stored(key), std::move(value), *link};
    ++m_entries;
    return true;
  }
  // The entry of the key, or null.
  Entry* Find(const Key& key) const {
    for (Entry* e = m_buckets[Keys::Hash(key) % m_count]; e; e = e->next) {
      int c = Keys::Order(e->key, key);
      if (c == 0) return e;
      if (c > 0) break;
    }
    return nullptr;
  }
  // Frees every entry, handing each value to release first.
  template <class Release>
  void Clear(Release&& release) {
    for (std::size_t i = 0; i < m_count; ++i) {
      while (Entry* e = m_buckets[i]) {
        m_buckets[i] = e->next;
        release(e->value);
        delete e;
      }
    }
    m_entries = 0;
  }
  void Clear() {
    Clear([](Value&) {});
  }
  std::size_t Count() const { return m_entries; }

private:
  Entry** m_buckets;
  std::size_t m_count;
  std::size_t m_entries = 0;
};

// Text keys: chains kept in byte order.
struct StringKeys {
  static uint32_t Hash(std::string_view key) { return StringHash(key); }
  static int Order(const std::string& stored, std::string_view key) {
    return std::string_view(stored).compare(key);
  }
};

// Hash table keyed by text, chains kept in byte order, duplicates refused.
// The key text is copied into the entry.
template <class Value>
using StringKeyTable = SortedChainTable<std::string, std::string_view, Value, StringKeys>;

// A 64-bit library id as its low and high words.
struct IdKey {
  uint32_t low;
  uint32_t high;
};

// Id keys: bucket by the low word; chains ordered by low word, then high word.
struct IdKeys {
  static uint32_t Hash(const IdKey& key) { return key.low; }
  static int Order(const IdKey& stored, const IdKey& key) {
    if (stored.low != key.low) return stored.low < key.low ? -1 : 1;
    if (stored.high != key.high) return stored.high < key.high ? -1 : 1;
    return 0;
  }
};

// Hash table keyed by a 64-bit library id (low word, high word); bucket = low
// word mod bucket count; chains ordered by low word, then high word.
template <class Value>
class IdKeyTable : public SortedChainTable<IdKey, IdKey, Value, IdKeys> {
public:
  using Base = SortedChainTable<IdKey, IdKey, Value, IdKeys>;
  using Base::Base;

  [[nodiscard]] bool Insert(uint32_t low, uint32_t high, Value value) {
    return Base::Insert(IdKey{low, high}, std::move(value));
  }
  typename Base::Entry* Find(uint32_t low, uint32_t high) const { return Base::Find(IdKey{low, high}); }
};

// The text after the last "\\", "/" or ":"; the whole text when there is none.
std::string_view FileNamePart(std::string_view path);

// The value of a quoted literal: a leading "L" is skipped, a trailing quote
// dropped; text that then does not begin with a quote gives "". With escapes,
// \\ \n \t \v \r \f \b \a \' \" \0 become their characters, a backslash before
// any other character is dropped, and a backslash at the very end ends the text.
// Literals of any length are taken whole. An escaped \0 is kept in the result.
std::string UnquoteLiteral(std::string_view text, bool escapes);

}  // namespace Utils
