#pragma once
// The small table keyed by a 32-bit word (97 buckets, never resized; chains in
// ascending key order, equal keys refused) and the intrusive circular list.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Utils {

template <class Value>
class HashTable {
public:
  static constexpr std::size_t kBuckets = 97;

  struct Node {
    uint32_t key;
    std::unique_ptr<Value> value;
    std::unique_ptr<Node> next;
  };
  struct Iterator {
    std::unique_ptr<Node>* link = nullptr;  // the link that points at the node
    HashTable* table = nullptr;
    std::size_t bucket = 0;
    Node* operator->() const { return link->get(); }
  };

  HashTable() { Init(); }
  // Drops every node and makes 97 empty buckets.
  void Init() {
    Clear();
    m_buckets.clear();
    m_buckets.resize(kBuckets);
  }
  // False (the table unchanged) when the key is present; the table owns the value.
  [[nodiscard]] bool Insert(uint32_t key, std::unique_ptr<Value> value) {
    std::unique_ptr<Node>* link = &m_buckets[Bucket(key)];
    while (*link && (*link)->key < key) link = &(*link)->next;
    if (*link && (*link)->key == key) return false;
    *link = std::unique_ptr<Node>(new Node{key, std::move(value), std::move(*link)});
    ++m_count;
    return true;
  }
  [[nodiscard]] bool Find(uint32_t key, Iterator& it) {
    const std::size_t bucket = Bucket(key);
    std::unique_ptr<Node>* link = &m_buckets[bucket];
    while (*link && (*link)->key < key) link = &(*link)->next;
    if (!*link || (*link)->key != key) return false;
    it = Iterator{link, this, bucket};
    return true;
  }
  Value* Find(uint32_t key) {
    Iterator it;
    return Find(key, it) ? it->value.get() : nullptr;
  }
  // Frees every node and value, last bucket first; the buckets stay.
  void Clear() {
    for (std::size_t i = m_buckets.size(); i-- > 0;)
      while (m_buckets[i]) m_buckets[i] = std::move(m_buckets[i]->next);
    m_count = 0;
  }
  std::size_t Count() const { return m_count; }

private:
  static std::size_t Bucket(uint32_t key) { return (key >> 1) % kBuckets; }
  std::vector<std::unique_ptr<Node>> m_buckets;
  std::size_t m_count = 0;
};

// Node of an intrusive circular doubly linked list; a lone node points at itself.
struct IDoubleLinkListNode {
  IDoubleLinkListNode* previous = this;
  IDoubleLinkListNode* next = this;
  void* owner = nullptr;
  [[nodiscard]] bool Linked() const { return next != this; }
  void Unlink() {
    previous->next = next;
    next->previous = previous;
    previous = next = this;
    owner = nullptr;
  }
};

class IDoubleLinkList {
public:
  IDoubleLinkList() { m_head.owner = this; }
  ~IDoubleLinkList() { Clear(); }
  IDoubleLinkList(const IDoubleLinkList&) = delete;
  IDoubleLinkList& operator=(const IDoubleLinkList&) = delete;

  void Append(IDoubleLinkListNode* node) {
    node->Unlink();
    node->previous = m_head.previous;
    node->next = &m_head;
    m_head.previous->next = node;
    m_head.previous = node;
    node->owner = this;
  }
  IDoubleLinkListNode* First() { return m_head.next == &m_head ? nullptr : m_head.next; }
  // Unlinks every node: each is reset to point at itself, its owner cleared.
  void Clear() {
    while (IDoubleLinkListNode* n = First()) n->Unlink();
  }

private:
  IDoubleLinkListNode m_head;
};

}  // namespace Utils
