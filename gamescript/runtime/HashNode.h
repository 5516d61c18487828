#pragma once
// Hash table of intrusive nodes with chains kept in ascending compare order,
// so a failed search stops early and equal nodes are refused.

#include <cstddef>
#include <cstdint>

namespace Utils {

class IHashNode {
public:
  IHashNode* next = nullptr;

  virtual ~IHashNode() = default;
  virtual uint32_t Hash() const = 0;
  // Negative, zero or positive as this node orders before, equal to or after other.
  virtual int Compare(const IHashNode& other) const = 0;
};

class IHashNodeTable {
public:
  struct Iterator {
    IHashNode** link = nullptr;  // the link that points at the entry
    IHashNodeTable* table = nullptr;
    std::size_t bucket = 0;

    explicit operator bool() const { return link && *link; }
    IHashNode* operator*() const { return *link; }
  };

  IHashNodeTable() = default;
  ~IHashNodeTable() { Clear(); }
  IHashNodeTable(const IHashNodeTable&) = delete;
  IHashNodeTable& operator=(const IHashNodeTable&) = delete;

  // Drops the old buckets (nodes are not owned) and makes bucketCount empty ones.
  [[nodiscard]] bool Init(std::size_t bucketCount);
  // False when an equal node is present (the first one stays).
  [[nodiscard]] bool Insert(IHashNode* node);
  // The entry equal to key, or an empty iterator.
  Iterator Find(const IHashNode& key);
  // Unlinks the iterator's entry; the iterator then stands on the following one.
  IHashNode* Erase(Iterator& it);
  // First entry of the first non-empty bucket.
  Iterator Begin();
  // Moves to the following entry (in bucket order); empty at the end.
  void Advance(Iterator& it);
  // Empties the table and frees the bucket array (nodes are not owned).
  void Clear();

  std::size_t Count() const { return m_count; }
  std::size_t BucketCount() const { return m_bucketCount; }

private:
  Iterator FirstFrom(std::size_t bucket);

  IHashNode** m_buckets = nullptr;
  std::size_t m_bucketCount = 0;
  std::size_t m_count = 0;
};

}  // namespace Utils
