#pragma once
// Intrusive reference counting: objects start with no holders, each holder
// calls AddRef, and the last Release deletes the object.
#include <atomic>
#include <cstddef>
#include <type_traits>
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

// The one counting rule of the engine's counted objects: an object starts
// with no holders, each holder adds one reference, and the release that drops
// the last one destroys it through Derived::DestroyCounted. That is a plain
// delete unless Derived names its own (a pool, a cache that keeps the entry,
// an iterative teardown), so no object pays a virtual call for its count.
// Shared selects an atomic count for objects handed between threads.
template <class Derived, bool Shared, class Count = long>
class RefCounted {
public:
  void AddRef() const noexcept {
    if constexpr (Shared)
      m_refs.fetch_add(1, std::memory_order_relaxed);
    else
      ++m_refs;
  }
  void Release() const {
    if (DropReference()) Derived::DestroyCounted(const_cast<Derived*>(static_cast<const Derived*>(this)));
  }
  void AddReference() const noexcept { AddRef(); }
  void ReleaseReference() const { Release(); }
  Count GetReferenceCount() const noexcept {
    if constexpr (Shared)
      return m_refs.load(std::memory_order_relaxed);
    else
      return m_refs;
  }

  static void DestroyCounted(Derived* object) { delete object; }

protected:
  RefCounted() = default;
  // A copy is a new object: it has no holders yet.
  RefCounted(const RefCounted&) noexcept {}
  RefCounted& operator=(const RefCounted&) noexcept { return *this; }
  ~RefCounted() = default;

  // Drops one reference without destroying; true when it was the last.
  [[nodiscard]] bool DropReference() const noexcept {
    if constexpr (Shared)
      return m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1;
    else
      return --m_refs == 0;
  }

private:
  mutable std::conditional_t<Shared, std::atomic<Count>, Count> m_refs{0};
};

// Single-thread counted base for classes deleted through a virtual destructor.
class ReferenceCount : public RefCounted<ReferenceCount, false> {
protected:
  friend class RefCounted<ReferenceCount, false>;
  virtual ~ReferenceCount() = default;
};

// The same, safe to share between threads.
class ReferenceCountMP : public RefCounted<ReferenceCountMP, true> {
protected:
  friend class RefCounted<ReferenceCountMP, true>;
  virtual ~ReferenceCountMP() = default;
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
  // Hands the held reference to the caller, who releases it; this holds none.
  T* Detach() { return std::exchange(m_p, nullptr); }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  friend bool operator==(const Ref& a, const Ref& b) { return a.m_p == b.m_p; }

private:
  T* m_p = nullptr;
};

}  // namespace Kiv
