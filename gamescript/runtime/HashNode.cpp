#include "gamescript/runtime/HashNode.h"

#include <new>

namespace Utils {

bool IHashNodeTable::Init(std::size_t bucketCount) {
  Clear();
  if (bucketCount == 0) return false;
  m_buckets = new (std::nothrow) IHashNode*[bucketCount]();
  if (!m_buckets) return false;
  m_bucketCount = bucketCount;
  return true;
}

bool IHashNodeTable::Insert(IHashNode* node) {
  if (!m_buckets || !node) return false;
  IHashNode** link = &m_buckets[node->Hash() % m_bucketCount];
  while (*link) {
    int c = (*link)->Compare(*node);
    if (c == 0) return false;
    if (c > 0) break;
    link = &(*link)->next;
  }
  node->next = *link;
  *link = node;
  ++m_count;
  return true;
}

IHashNodeTable::Iterator IHashNodeTable::Find(const IHashNode& key) {
  Iterator it;
  if (!m_buckets) return it;
  std::size_t bucket = key.Hash() % m_bucketCount;
  IHashNode** link = &m_buckets[bucket];
  // Walk while the key orders after the entry.
  while (*link && key.Compare(**link) > 0) link = &(*link)->next;
  if (*link && key.Compare(**link) == 0) {
    it.link = link;
    it.table = this;
    it.bucket = bucket;
  }
  return it;
}

IHashNode* IHashNodeTable::Erase(Iterator& it) {
  if (!it || it.table != this) return nullptr;
  IHashNode* node = *it.link;
  *it.link = node->next;
  node->next = nullptr;
  --m_count;
  if (!*it.link) it = FirstFrom(it.bucket + 1);
  return node;
}

IHashNodeTable::Iterator IHashNodeTable::FirstFrom(std::size_t bucket) {
  Iterator it;
  for (; m_buckets && bucket < m_bucketCount; ++bucket) {
    if (m_buckets[bucket]) {
      it.link = &m_buckets[bucket];
      it.table = this;
      it.bucket = bucket;
      break;
    }
  }
  return it;
}

IHashNodeTable::Iterator IHashNodeTable::Begin() { return FirstFrom(0); }

void IHashNodeTable::Advance(Iterator& it) {
  if (!it) return;
  IHashNode** next = &(*it.link)->next;
  if (*next)
    it.link = next;
  else
    it = FirstFrom(it.bucket + 1);
}

void IHashNodeTable::Clear() {
  delete[] m_buckets;
  m_buckets = nullptr;
  m_bucketCount = 0;
  m_count = 0;
}

}  // namespace Utils
