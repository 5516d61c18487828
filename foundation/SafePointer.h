#pragma once
// A pointer that its target nulls when it goes away: the target keeps the
// list of safe pointers that point at it. Neither side locks; both are used
// under the lock that guards the target (the asset-spec registry's, or the
// thread that owns a script object).
#include <cstddef>

template <class T>
class SafePointerTarget;

template <class T>
class SafePointer {
public:
  SafePointer() = default;
  explicit SafePointer(T* target) { Set(target); }
  SafePointer(const SafePointer& other) { Set(other.m_target); }
  SafePointer& operator=(const SafePointer& other) {
    if (this != &other) Set(other.m_target);
    return *this;
  }
  ~SafePointer() { Set(nullptr); }

  T* Get() const { return m_target; }
  T* operator->() const { return m_target; }
  explicit operator bool() const { return m_target != nullptr; }

  // Points at target (null: at nothing), leaving the old target's list.
  void Set(T* target) {
    if (target == m_target) return;
    if (m_target) static_cast<SafePointerTarget<T>*>(m_target)->Unlink(this);
    m_target = target;
    if (m_target) static_cast<SafePointerTarget<T>*>(m_target)->Link(this);
  }

private:
  friend class SafePointerTarget<T>;
  T* m_target = nullptr;
  SafePointer* m_prev = nullptr;
  SafePointer* m_next = nullptr;
};

template <class T>
class SafePointerTarget {
public:
  SafePointerTarget() = default;
  SafePointerTarget(const SafePointerTarget&) = delete;
  SafePointerTarget& operator=(const SafePointerTarget&) = delete;
  ~SafePointerTarget() { ClearSafePointers(); }

  // Unlinks and nulls every safe pointer to this object.
  void ClearSafePointers() {
    while (m_first) {
      SafePointer<T>* p = m_first;
      Unlink(p);
      p->m_target = nullptr;
    }
  }
  size_t CountSafePointers() const { return m_count; }

private:
  friend class SafePointer<T>;
  void Link(SafePointer<T>* p) {
    p->m_prev = nullptr;
    p->m_next = m_first;
    if (m_first) m_first->m_prev = p;
    m_first = p;
    ++m_count;
  }
  void Unlink(SafePointer<T>* p) {
    if (p->m_prev)
      p->m_prev->m_next = p->m_next;
    else
      m_first = p->m_next;
    if (p->m_next) p->m_next->m_prev = p->m_prev;
    p->m_prev = p->m_next = nullptr;
    --m_count;
  }

  SafePointer<T>* m_first = nullptr;
  size_t m_count = 0;
};
