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
    ~Queue() { delete[] slots_; }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // False when the slots could not grow (the queue is unchanged).
    bool Push(T value)
    {
        if (count_ == capacity_ && !Grow()) return false;
        slots_[tail_] = std::move(value);
        tail_ = (tail_ + 1) % capacity_;
        ++count_;
        return true;
    }
    // Oldest first; false when empty.
    bool Pop(T& out)
    {
        if (count_ == 0) return false;
        out = std::move(slots_[head_]);
        head_ = (head_ + 1) % capacity_;
        --count_;
        return true;
    }
    // The i-th queued value, oldest first (i < Count()).
    const T& At(std::size_t i) const { return slots_[(head_ + i) % capacity_]; }
    std::size_t Count() const { return count_; }
    std::size_t Capacity() const { return capacity_; }

private:
    bool Grow()
    {
        std::size_t capacity = capacity_ + kGrowth;
        T* slots = new (std::nothrow) T[capacity];
        if (!slots) return false;
        for (std::size_t i = 0; i < count_; ++i) slots[i] = std::move(slots_[(head_ + i) % capacity_]);
        delete[] slots_;
        slots_ = slots;
        capacity_ = capacity;
        head_ = 0;
        tail_ = count_;
        return true;
    }

    T* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t count_ = 0;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
};

}  // namespace Utils
