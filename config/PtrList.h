#pragma once
// An ordered list of pointers with constant-time membership and removal, so
// registering and unregistering thousands of tags stays linear overall.
#include <list>
#include <unordered_map>
#include <vector>

namespace OBLLib {

template <class T>
class PtrList {
public:
  // Appends p (a pointer may appear more than once).
  void Append(T* p) {
    m_items.push_back(p);
    m_where[p].push_back(std::prev(m_items.end()));
  }
  // Appends p unless it is present; true when appended.
  bool AppendUnique(T* p) {
    if (Contains(p)) return false;
    Append(p);
    return true;
  }
  bool Contains(const T* p) const { return m_where.count(const_cast<T*>(p)) != 0; }
  // Removes every occurrence of p; the others keep their order.
  void RemoveAll(const T* p) {
    auto found = m_where.find(const_cast<T*>(p));
    if (found == m_where.end()) return;
    for (auto it : found->second) m_items.erase(it);
    m_where.erase(found);
  }
  void Clear() {
    m_items.clear();
    m_where.clear();
  }
  size_t Size() const { return m_items.size(); }
  bool Empty() const { return m_items.empty(); }
  std::vector<T*> Items() const { return {m_items.begin(), m_items.end()}; }
  auto begin() const { return m_items.begin(); }
  auto end() const { return m_items.end(); }

private:
  std::list<T*> m_items;
  std::unordered_map<T*, std::vector<typename std::list<T*>::iterator>> m_where;
};

}  // namespace OBLLib
