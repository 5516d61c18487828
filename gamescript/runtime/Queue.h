#pragma once
// Ring queue that grows by a fixed step whenever it is full; the ring is
// unrolled into the new slots in order.

#include <cstddef>
#include <new>
#include <utility>

namespace Utils {

template <class T>
class Queue {
public:
  static constexpr std::size_t kGrowth = 128;

  Queue() = default;
  ~Queue() { delete[] m_slots; }
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  // False when the slots could not grow (the queue is unchanged).
  [[nodiscard]] bool Push(T value) {
    if (m_count == m_capacity && !Grow()) return false;
    m_slots[m_tail] = std::move(value);
    m_tail = (m_tail + 1) % m_capacity;
    ++m_count;
    return true;
  }
  // Oldest first; false when empty.
  [[nodiscard]] bool Pop(T& out) {
    if (m_count == 0) return false;
    out = std::move(m_slots[m_head]);
    m_head = (m_head + 1) % m_capacity;
    --m_count;
    return true;
  }
  // The i-th queued value, oldest first (i < Count()).
  const T& At(std::size_t i) const { return m_slots[(m_head + i) % m_capacity]; }
  std::size_t Count() const { return m_count; }
  std::size_t Capacity() const { return m_capacity; }

private:
  [[nodiscard]] bool Grow() {
    std::size_t capacity = m_capacity + kGrowth;
    T* slots = new (std::nothrow) T[capacity];
    if (!slots) return false;
    for (std::size_t i = 0; i < m_count; ++i) slots[i] = std::move(m_slots[(m_head + i) % m_capacity]);
    delete[] m_slots;
    m_slots = slots;
    m_capacity = capacity;
    m_head = 0;
    m_tail = m_count;
    return true;
  }

  T* m_slots = nullptr;
  std::size_t m_capacity = 0;
  std::size_t m_count = 0;
  std::size_t m_head = 0;
  std::size_t m_tail = 0;
};

}  // namespace Utils
