#pragma once
// Intrusive reference counting: objects start with no holders, each holder
// calls AddRef, and the last Release deletes the object.
#include <atomic>
#include <cstddef>
#include <utility>

namespace Kiv {

// An atomic long.
class ProtectedLong {
public:
  explicit ProtectedLong(long value = 0) : m_value(value) {}
  long Get() const { return m_value.load(); }
  void Set(long value) { m_value.store(value); }
  // Each returns the new value.
  long Increment() { return m_value.fetch_add(1) + 1; }
  long Decrement() { return m_value.fetch_sub(1) - 1; }
  long Add(long delta) { return m_value.fetch_add(delta) + delta; }
  // Stores value and returns the old one.
  long Exchange(long value) { return m_value.exchange(value); }
  // Stores value when the current one equals expected; returns the old one.
  long CompareExchange(long value, long expected) {
    m_value.compare_exchange_strong(expected, value);
    return expected;
  }
  operator long() const { return Get(); }

private:
  std::atomic<long> m_value;
};

// Single-thread counted base.
class ReferenceCount {
public:
  ReferenceCount() = default;
  ReferenceCount(const ReferenceCount&) : m_refs(0) {}
  ReferenceCount& operator=(const ReferenceCount&) { return *this; }
  void AddReference() const { ++m_refs; }
  // Deletes the object when this was the last reference.
  void ReleaseReference() const {
    if (--m_refs == 0) delete this;
  }
  void AddRef() const { AddReference(); }
  void Release() const { ReleaseReference(); }
  long GetReferenceCount() const { return m_refs; }

protected:
  virtual ~ReferenceCount() = default;

private:
  mutable long m_refs = 0;
};

// Counted base safe to share between threads.
class ReferenceCountMP {
public:
  ReferenceCountMP() = default;
  ReferenceCountMP(const ReferenceCountMP&) : m_refs(0) {}
  ReferenceCountMP& operator=(const ReferenceCountMP&) { return *this; }
  void AddReference() const { m_refs.fetch_add(1, std::memory_order_relaxed); }
  void ReleaseReference() const {
    if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  void AddRef() const { AddReference(); }
  void Release() const { ReleaseReference(); }
  long GetReferenceCount() const { return m_refs.load(); }

protected:
  virtual ~ReferenceCountMP() = default;

private:
  mutable std::atomic<long> m_refs{0};
};

// Holds one reference to a counted object (null allowed).
template <class T>
class Ref {
public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  Ref(T* p) : m_p(p) {
    if (m_p) m_p->AddRef();
  }
  Ref(const Ref& o) : Ref(o.m_p) {}
  template <class U>
  Ref(const Ref<U>& o) : Ref(o.Get()) {}
  Ref(Ref&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  ~Ref() {
    if (m_p) m_p->Release();
  }
  Ref& operator=(const Ref& o) {
    Reset(o.m_p);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      T* old = std::exchange(m_p, std::exchange(o.m_p, nullptr));
      if (old) old->Release();
    }
    return *this;
  }
  void Reset(T* p = nullptr) {
    if (p) p->AddRef();
    T* old = std::exchange(m_p, p);
    if (old) old->Release();
  }
  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  friend bool operator==(const Ref& a, const Ref& b) { return a.m_p == b.m_p; }

private:
  T* m_p = nullptr;
};

}  // namespace Kiv
