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

// Hash table keyed by text, chains kept in byte order, duplicates refused.
// The key text is copied into the entry.
template <class Value>
class StringKeyTable {
public:
    struct Entry {
        std::string key;
        Value value;
        Entry* next;
    };

    explicit StringKeyTable(std::size_t bucketCount) : count_(bucketCount ? bucketCount : 1)
    {
        buckets_ = new Entry*[count_]();
    }
    ~StringKeyTable()
    {
        Clear();
        delete[] buckets_;
    }
    StringKeyTable(const StringKeyTable&) = delete;
    StringKeyTable& operator=(const StringKeyTable&) = delete;

    // False (and the first entry kept) when the key is present.
    bool Insert(std::string_view key, Value value)
    {
        Entry** link = &buckets_[StringHash(key) % count_];
        while (*link) {
            int c = std::string_view((*link)->key).compare(key);
            if (c == 0) return false;
            if (c > 0) break;
            link = &(*link)->next;
        }
        *link = new Entry{std::string(key), std::move(value), *link};
        ++entries_;
        return true;
    }
    // The entry of the key, or null.
    Entry* Find(std::string_view key) const
    {
        for (Entry* e = buckets_[StringHash(key) % count_]; e; e = e->next) {
            int c = std::string_view(e->key).compare(key);
            if (c == 0) return e;
            if (c > 0) break;
        }
        return nullptr;
    }
    // Frees every entry, handing each value to release first.
    template <class Release>
    void Clear(Release&& release)
    {
        for (std::size_t i = 0; i < count_; ++i) {
            while (Entry* e = buckets_[i]) {
                buckets_[i] = e->next;
                release(e->value);
                delete e;
            }
        }
        entries_ = 0;
    }
    void Clear()
    {
        Clear([](Value&) {});
    }
    std::size_t Count() const { return entries_; }

private:
    Entry** buckets_;
    std::size_t count_;
    std::size_t entries_ = 0;
};

// Hash table keyed by a 64-bit library id (low word, high word); bucket = low
// word mod bucket count; chains ordered by low word, then high word.
template <class Value>
class IdKeyTable {
public:
    struct Entry {
        uint32_t low;
        uint32_t high;
        Value value;
        Entry* next;
    };

    explicit IdKeyTable(std::size_t bucketCount) : count_(bucketCount ? bucketCount : 1)
    {
        buckets_ = new Entry*[count_]();
    }
    ~IdKeyTable()
    {
        Clear();
        delete[] buckets_;
    }
    IdKeyTable(const IdKeyTable&) = delete;
    IdKeyTable& operator=(const IdKeyTable&) = delete;

    bool Insert(uint32_t low, uint32_t high, Value value)
    {
        Entry** link = &buckets_[low % count_];
        while (*link) {
            int c = Order(**link, low, high);
            if (c == 0) return false;
            if (c > 0) break;
            link = &(*link)->next;
        }
        *link = new Entry{low, high, std::move(value), *link};
        ++entries_;
        return true;
    }
    Entry* Find(uint32_t low, uint32_t high) const
    {
        for (Entry* e = buckets_[low % count_]; e; e = e->next) {
            int c = Order(*e, low, high);
            if (c == 0) return e;
            if (c > 0) break;
        }
        return nullptr;
    }
    template <class Release>
    void Clear(Release&& release)
    {
        for (std::size_t i = 0; i < count_; ++i) {
            while (Entry* e = buckets_[i]) {
                buckets_[i] = e->next;
                release(e->value);
                delete e;
            }
        }
        entries_ = 0;
    }
    void Clear()
    {
        Clear([](Value&) {});
    }
    std::size_t Count() const { return entries_; }

private:
    static int Order(const Entry& e, uint32_t low, uint32_t high)
    {
        if (e.low != low) return e.low < low ? -1 : 1;
        if (e.high != high) return e.high < high ? -1 : 1;
        return 0;
    }

    Entry** buckets_;
    std::size_t count_;
    std::size_t entries_ = 0;
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
