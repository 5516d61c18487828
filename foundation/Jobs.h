#pragma once
// Process services: the process-wide recursive lock, the job queue with its
// main-thread jobs and worker threads, worker call chains, the process clock,
// the process random generator and the collection of unused resources.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kiv/Thread.h"

namespace Kiv {
class Rand;
}

// Thrown when a lock cannot be released ("Failed to release the mutex").
class OSException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The process-wide recursive lock, owned by thread id (Kiv::CurrentThreadId()). With wait false the
// call only tries and returns whether the lock was taken; with wait true it
// returns true once the lock is held. Each successful acquire needs one release.
[[nodiscard]] bool AcquireGlobalLock(uint32_t threadId, bool wait = true);
// Releases one level; throws OSException when threadId does not hold the lock.
void ReleaseGlobalLock(uint32_t threadId);

// Holds the process-wide lock for the calling thread for one scope.
class GlobalLockGuard {
public:
  // Waits until it has the lock.
  GlobalLockGuard() : m_id(Kiv::CurrentThreadId()) { (void)AcquireGlobalLock(m_id, true); }
  ~GlobalLockGuard() { ReleaseGlobalLock(m_id); }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;

private:
  uint32_t m_id;
};

// A job: Invoke(argument) runs it. The queue deletes it after the run.
class TCXCallback {
public:
  virtual ~TCXCallback() = default;
  virtual void Invoke(void* argument) = 0;
};

// A job that calls a member function of its target with the job's argument.
template <class T>
class TCXCallbackCPPVoidPtr final : public TCXCallback {
public:
  using Member = void (T::*)(void*);
  TCXCallbackCPPVoidPtr(T* target, Member member) : m_target(target), m_member(member) {}
  void Invoke(void* argument) override { (m_target->*m_member)(argument); }

private:
  T* m_target;
  Member m_member;
};

// Job flags whose two low bits are both set run on the main thread; any other
// value runs on a worker thread of the queue. Higher bits carry no meaning here.
inline constexpr uint32_t kJobMainThread = 3;
[[nodiscard]] inline constexpr bool IsMainThreadJob(uint32_t flags) { return (flags & 3u) == 3u; }

class JobQueue {
public:
  // The main thread is the one that ran the program's static initialisers
  // unless another id is given. Worker threads start on the first worker job.
  explicit JobQueue(uint32_t mainThreadId = 0, unsigned workers = 2);
  ~JobQueue();  // stops the queue
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // The process job queue.
  static JobQueue& Process();

  // Runs callback->Invoke(argument) as the flags say and deletes the callback
  // afterwards. A main-thread job posted from the main thread runs at once; from
  // any other thread it is queued, the main thread is woken and the caller waits
  // (polling every millisecond) until the main thread has run it. A worker job
  // is queued and the call returns at once. False when the queue is stopped (the
  // callback is deleted without running) or the callback is null.
  [[nodiscard]] bool Post(std::unique_ptr<TCXCallback> callback, uint32_t flags, void* argument,
                          const void* owner);

  // Runs the main-thread jobs queued so far; call it from the main thread. Returns
  // how many ran (0 on any other thread).
  int ServiceMainThread();
  // Waits up to timeoutMs for a main-thread job to arrive (false on timeout).
  [[nodiscard]] bool WaitForMainThreadJob(int timeoutMs);

  // Refuses new jobs, runs what is queued (main-thread jobs only when called on
  // the main thread; waiting posters of the rest are released with false) and
  // joins the workers.
  void Stop();

  [[nodiscard]] bool IsMainThread() const { return Kiv::CurrentThreadId() == m_mainThread; }
  [[nodiscard]] bool IsStopped() const;

  // Internal: queue a job without waiting for it (used by call chains).
  struct Job;
  [[nodiscard]] bool Enqueue(Job* job);

private:
  void WorkerLoop();
  void RunJob(Job* job);

  uint32_t m_mainThread;
  unsigned m_workerCount;
  mutable std::mutex m_mutex;
  std::condition_variable m_workerWake;
  std::condition_variable m_mainWake;
  std::deque<Job*> m_mainJobs;
  std::deque<Job*> m_workerJobs;
  std::vector<std::thread> m_workers;
  bool m_stopped = false;
};

// PostJob(queue, callback, flags, argument, owner): JobQueue::Post on the given
// queue, or on the process queue when queue is null.
[[nodiscard]] bool PostJob(JobQueue* queue, std::unique_ptr<TCXCallback> callback, uint32_t flags,
                           void* argument, const void* owner);

// Steps that run one after another through a job queue (each with its own
// flags), with a done event and a failure flag. A step that throws sets the
// failure flag; the steps after it still run so that release steps are never
// skipped.
class RovanaWorkerCallChain {
public:
  explicit RovanaWorkerCallChain(JobQueue* queue = nullptr);  // null: the process queue
  ~RovanaWorkerCallChain();  // waits for a running chain, deletes unrun steps
  RovanaWorkerCallChain(const RovanaWorkerCallChain&) = delete;
  RovanaWorkerCallChain& operator=(const RovanaWorkerCallChain&) = delete;

  // Adds a step. Refused (the callback is deleted, false) while the chain runs.
  [[nodiscard]] bool AddStep(std::unique_ptr<TCXCallback> callback, uint32_t flags, void* argument = nullptr);
  size_t StepCount() const;
  // Resets the done event and the failure flag, marks running and queues the
  // first step. False when there is no step, the chain already runs or the
  // queue is stopped.
  [[nodiscard]] bool Start();
  // Waits for the done event; on the queue's main thread it runs the queue's
  // main-thread jobs while it waits. Returns at once when the chain is not running.
  void WaitUntilDone();
  [[nodiscard]] bool IsRunning() const;
  [[nodiscard]] bool Failed() const;
  // Lets a step (or anyone) mark the chain failed.
  void SetFailed();

private:
  struct Step {
    std::unique_ptr<TCXCallback> callback;
    uint32_t flags;
    void* argument;
  };
  void RunStep(size_t index);
  void QueueStep(size_t index);
  void Finish();

  JobQueue* m_queue;
  mutable std::mutex m_mutex;
  std::condition_variable m_done;
  std::vector<Step> m_steps;
  bool m_running = false;
  bool m_failed = false;
};

// The process clock: seconds since its first use, kept by ServiceMainThread and
// readable from any thread.
class ProcessClock {
public:
  static double Seconds();
  static float SecondsFloat();
  // Tests: a time source in seconds (null restores the real clock); restarts
  // the clock at 0.
  static void SetSource(double (*source)());
};

// The main loops call this: updates the process clock, runs queued main-thread
// jobs of the process queue and a collection of unused resources when one is due.
void ServiceMainThread();

// The process-wide random generator (seeded from the clock); NextInt(n) yields
// 0 .. n-1. Not locked: the main thread and the online layer use it.
Kiv::Rand& ProcessRandom();

// On the main thread runs every registered collector of unused resources at
// once; on any other thread only marks that a collection is due (run by the
// next ServiceMainThread).
void CollectUnusedResources();
[[nodiscard]] bool IsResourceCollectionDue();
// Caches that can drop unused entries register here (for example the resource
// cache of the mesh code). Returns an id for RemoveUnusedResourceCollector.
int AddUnusedResourceCollector(std::function<void()> collector);
void RemoveUnusedResourceCollector(int id);
