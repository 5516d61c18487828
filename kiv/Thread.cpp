#include "kiv/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

namespace Kiv {

namespace {
// Longer waits count as forever: the clock arithmetic behind them would
// overflow and time out at once.
constexpr int64_t kForeverMs = int64_t{1} << 40;  // about 35 years
bool Forever(int64_t timeoutMs) { return timeoutMs < 0 || timeoutMs >= kForeverMs; }
}  // namespace

namespace {

// One thread with a large stack that runs the jobs handed to it, one at a
// time: starting a thread (and, in instrumented builds, preparing its whole
// stack) for every job would cost more than most jobs.
class StackRunner {
public:
  // A running runner, or null when the system refuses the thread. Never
  // destroyed: it lives, waiting for work, until the process ends.
  static StackRunner* Start(std::size_t stackBytes) {
    auto* runner = new StackRunner();
    runner->m_stackBytes = stackBytes;
    pthread_attr_t attr;
    bool started = false;
    if (pthread_attr_init(&attr) == 0) {
      pthread_t thread;
      started = pthread_attr_setstacksize(&attr, stackBytes) == 0 &&
                pthread_create(&thread, &attr, &StackRunner::Main, runner) == 0;
      if (started) pthread_detach(thread);
      pthread_attr_destroy(&attr);
    }
    if (!started) {
      delete runner;
      return nullptr;
    }
    return runner;
  }

  std::size_t StackBytes() const { return m_stackBytes; }
  pid_t Process() const { return m_process; }

  void Run(void (*body)(void*), void* argument) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_body = body;
    m_argument = argument;
    m_wake.notify_one();
    m_done.wait(guard, [this] { return m_body == nullptr; });
  }

private:
  static void* Main(void* raw) {
    auto* self = static_cast<StackRunner*>(raw);
    std::unique_lock<std::mutex> guard(self->m_lock);
    for (;;) {
      self->m_wake.wait(guard, [self] { return self->m_body != nullptr; });
      guard.unlock();
      self->m_body(self->m_argument);
      guard.lock();
      self->m_body = nullptr;
      self->m_done.notify_one();
    }
    return nullptr;
  }

  std::mutex m_lock;
  std::condition_variable m_wake, m_done;
  void (*m_body)(void*) = nullptr;
  void* m_argument = nullptr;
  std::size_t m_stackBytes = 0;
  pid_t m_process = getpid();
};

}  // namespace

void RunWithStack(std::size_t stackBytes, void (*body)(void*), void* argument) {
  static std::mutex oneAtATime;
  static StackRunner* runner = nullptr;
  std::lock_guard<std::mutex> guard(oneAtATime);
  // A forked child has the pointer but not the thread: it makes its own.
  if (runner == nullptr || runner->StackBytes() < stackBytes || runner->Process() != getpid())
    runner = StackRunner::Start(stackBytes);
  if (runner == nullptr)
    body(argument);
  else
    runner->Run(body, argument);
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
      // The start signal is always given by the creator.
      (void)shared->go.Wait();
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
