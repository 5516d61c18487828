#pragma once
// Threads and locks. Mutex is recursive: the same thread may lock it again.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Kiv {

class Mutex {
public:
  void Lock() { m_mutex.lock(); }
  [[nodiscard]] bool TryLock() { return m_mutex.try_lock(); }
  void Unlock() { m_mutex.unlock(); }
  // For std::lock_guard and friends.
  void lock() { Lock(); }
  [[nodiscard]] bool try_lock() { return TryLock(); }
  void unlock() { Unlock(); }

private:
  std::recursive_mutex m_mutex;
};

// The engine's critical section: a recursive lock too.
using CriticalSection = Mutex;

// Holds a lock for its scope; Unlock releases it early.
class SingleLock {
public:
  explicit SingleLock(Mutex& mutex, bool lockNow = true) : m_mutex(mutex) {
    if (lockNow) Lock();
  }
  ~SingleLock() { Unlock(); }
  SingleLock(const SingleLock&) = delete;
  SingleLock& operator=(const SingleLock&) = delete;
  void Lock() {
    if (!m_locked) m_mutex.Lock();
    m_locked = true;
  }
  void Unlock() {
    if (m_locked) m_mutex.Unlock();
    m_locked = false;
  }
  [[nodiscard]] bool IsLocked() const { return m_locked; }

private:
  Mutex& m_mutex;
  bool m_locked = false;
};

// An event: Set wakes waiters. A manual-reset event stays set until Reset;
// an auto-reset event lets exactly one waiter through per Set.
class Event {
public:
  explicit Event(bool manualReset = false, bool initiallySet = false)
      : m_manual(manualReset), m_set(initiallySet) {}
  void Set();
  void Reset();
  // Waits at most timeoutMs (negative or beyond 2^40 ms: forever); true when
  // the event was set.
  [[nodiscard]] bool Wait(int64_t timeoutMs = -1);
  [[nodiscard]] bool IsSet() const;

private:
  mutable std::mutex m_lock;
  std::condition_variable m_cond;
  bool m_manual;
  bool m_set;
};

// A counting semaphore with an upper bound.
class Semaphore {
public:
  explicit Semaphore(long initial = 0, long maximum = 0x7fffffff) : m_count(initial), m_max(maximum) {}
  // Adds count; false (and nothing added) when that would pass the maximum.
  [[nodiscard]] bool Release(long count = 1);
  // Takes one; waits at most timeoutMs (negative or beyond 2^40 ms: forever).
  [[nodiscard]] bool Wait(int64_t timeoutMs = -1);

private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  long m_count;
  long m_max;
};

// Runs body(argument) to its end on a thread whose stack has room for
// `stackBytes` (only the part used is touched) and waits for it: for deep
// but bounded recursion. The thread is made on first use and kept for later
// calls; calls from several threads take turns. Runs the body on the calling
// thread when no such thread can be had. The body must not throw.
void RunWithStack(std::size_t stackBytes, void (*body)(void*), void* argument);

// A thread running one function. Join waits for it; the destructor joins,
// except on the thread itself (a body may delete its own Thread object),
// where it lets the thread finish on its own. The body starts only once
// Start has finished with the object, so it may delete it at once.
class Thread {
public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // False when it is already running or the system refuses a thread.
  [[nodiscard]] bool Start(std::function<void()> body);
  void Join();
  [[nodiscard]] bool IsRunning() const;
  [[nodiscard]] bool Joinable() const { return m_thread.joinable(); }

private:
  struct Shared;
  std::thread m_thread;
  // Shared with the running body, which may outlive this object.
  std::shared_ptr<Shared> m_shared;
};

// A small stable number for the calling thread (1 for the first caller).
uint32_t CurrentThreadId();

// The processor cores this process may run on (its affinity mask), at least 1.
unsigned UsableCores();
void Sleep(uint32_t milliseconds);

}  // namespace Kiv
