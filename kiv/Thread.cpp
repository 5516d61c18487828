#include "kiv/Thread.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <system_error>

namespace Kiv {

namespace {
// Longer waits count as forever: the clock arithmetic behind them would
// overflow and time out at once.
constexpr int64_t kForeverMs = int64_t{1} << 40;  // about 35 years
bool Forever(int64_t timeoutMs) { return timeoutMs < 0 || timeoutMs >= kForeverMs; }
}  // namespace

void RunWithStack(std::size_t stackBytes, void (*body)(void*), void* argument) {
  struct Call {
    void (*body)(void*);
    void* argument;
  } call{body, argument};
  pthread_attr_t attr;
  bool started = false;
  pthread_t thread;
  if (pthread_attr_init(&attr) == 0) {
    if (pthread_attr_setstacksize(&attr, stackBytes) == 0)
      started = pthread_create(
                    &thread, &attr,
                    [](void* raw) -> void* {
                      auto* c = static_cast<Call*>(raw);
                      c->body(c->argument);
                      return nullptr;
                    },
                    &call) == 0;
    pthread_attr_destroy(&attr);
  }
  if (started)
    pthread_join(thread, nullptr);
  else
    body(argument);
}

// Notifies under the lock: a waiter may destroy the event as soon as its
// Wait returns, which it cannot do before the lock is released.
void Event::Set() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_set = true;
  if (m_manual)
    m_cond.notify_all();
  else
    m_cond.notify_one();
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_set = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_set;
}

bool Event::Wait(int64_t timeoutMs) {
  std::unique_lock<std::mutex> guard(m_lock);
  auto ready = [this] { return m_set; };
  if (Forever(timeoutMs))
    m_cond.wait(guard, ready);
  else if (!m_cond.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready))
    return false;
  if (!m_manual) m_set = false;
  return true;
}

bool Semaphore::Release(long count) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (count <= 0 || m_count > m_max - count) return false;
  m_count += count;
  m_cond.notify_all();
  return true;
}

bool Semaphore::Wait(int64_t timeoutMs) {
  std::unique_lock<std::mutex> guard(m_lock);
  auto ready = [this] { return m_count > 0; };
  if (Forever(timeoutMs))
    m_cond.wait(guard, ready);
  else if (!m_cond.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready))
    return false;
  --m_count;
  return true;
}

// What the body and its Thread object share; it lives as long as either.
struct Thread::Shared {
  Event go{true};
  std::atomic<bool> finished{false};
};

// The body waits for "go", which Start gives only after its last touch of
// this object: a body that deletes its Thread at once must not race with
// the assignment of m_thread.
bool Thread::Start(std::function<void()> body) {
  if (m_thread.joinable()) return false;
  auto shared = std::make_shared<Shared>();
  try {
    m_thread = std::thread([shared, body = std::move(body)] {
      shared->go.Wait();
      body();
      shared->finished.store(true);
    });
  } catch (const std::system_error&) {
    return false;
  }
  m_shared = shared;
  shared->go.Set();  // from here on *this may already be gone
  return true;
}

bool Thread::IsRunning() const { return m_thread.joinable() && m_shared && !m_shared->finished.load(); }

Thread::~Thread() {
  if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id())
    m_thread.detach();
  else
    Join();
}

void Thread::Join() {
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

uint32_t CurrentThreadId() {
  static std::atomic<uint32_t> next{1};
  thread_local uint32_t id = next.fetch_add(1);
  return id;
}

void Sleep(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

unsigned UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

}  // namespace Kiv
