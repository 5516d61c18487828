#pragma once
// A shared, counted array of counted engine objects (geometry chunks,
// materials): one reference count for the array, one reference held on each
// element. Shared by a mesh definition, its instances and their clones until
// one makes its own copy.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kiv/RefCount.h"

// T needs AddRef() and Release() (the engine's counted objects).
template <class T>
class RefArray : public Kiv::RefCounted<RefArray<T>, true> {
  using Counted = Kiv::RefCounted<RefArray<T>, true>;

public:
  // A new array of count null elements.
  static Kiv::Ref<RefArray> Create(uint32_t count) { return Kiv::Ref<RefArray>(new RefArray(count)); }

  using Counted::Release;
  // Drops one reference of a held array; at zero releases every element and
  // frees the array. A null array is ignored.
  static void Release(RefArray* array) {
    if (array) array->Release();
  }

  [[nodiscard]] bool IsShared() const { return this->GetReferenceCount() > 1; }
  uint32_t Count() const { return m_count; }
  T* Get(uint32_t index) const { return index < m_count ? m_items[index] : nullptr; }
  // Stores element (adding a reference to it) and releases the one it replaces.
  // An index past the end is ignored.
  void Set(uint32_t index, T* element) {
    if (index >= m_count) return;
    T*& slot = m_items[index];
    if (element) element->AddRef();
    T* old = slot;
    slot = element;
    if (old) old->Release();
  }
  // A new unshared array holding the same elements.
  Kiv::Ref<RefArray> Clone() const {
    Kiv::Ref<RefArray> copy = Create(m_count);
    for (uint32_t i = 0; i < m_count; ++i) copy->Set(i, m_items[i]);
    return copy;
  }

private:
  friend Counted;
  explicit RefArray(uint32_t count) : m_count(count), m_items(new T*[count]()) {}
  ~RefArray() {
    for (uint32_t i = 0; i < m_count; ++i)
      if (m_items[i]) m_items[i]->Release();
  }
  RefArray(const RefArray&) = delete;
  RefArray& operator=(const RefArray&) = delete;

  uint32_t m_count;
  std::unique_ptr<T*[]> m_items;
};
