#include "foundation/Jobs.h"

#include <atomic>
#include <exception>
#include <map>

#include "foundation/Log.h"
#include "kiv/Clock.h"
#include "kiv/Random.h"

// ---------------------------------------------------------------------------
// The process-wide recursive lock.

namespace {

std::mutex g_lockMutex;
std::condition_variable g_lockFree;
uint32_t g_lockOwner = 0;
int g_lockDepth = 0;

// The thread that runs static initialisers is the program's main thread. A
// function-local static, so a queue made during another file's static
// initialisation sees it too.
uint32_t MainThreadId() {
  static const uint32_t id = Kiv::CurrentThreadId();
  return id;
}
[[maybe_unused]] const uint32_t g_mainThreadAtStart = MainThreadId();

}  // namespace

bool AcquireGlobalLock(uint32_t threadId, bool wait) {
  std::unique_lock<std::mutex> lock(g_lockMutex);
  if (g_lockDepth > 0 && g_lockOwner == threadId) {
    ++g_lockDepth;
    return true;
  }
  if (g_lockDepth > 0) {
    if (!wait) return false;
    g_lockFree.wait(lock, [] { return g_lockDepth == 0; });
  }
  g_lockOwner = threadId;
  g_lockDepth = 1;
  return true;
}

void ReleaseGlobalLock(uint32_t threadId) {
  std::lock_guard<std::mutex> lock(g_lockMutex);
  if (g_lockDepth == 0 || g_lockOwner != threadId) throw OSException("Failed to release the mutex");
  if (--g_lockDepth == 0) {
    g_lockOwner = 0;
    g_lockFree.notify_one();
  }
}

// ---------------------------------------------------------------------------
// The job queue.

struct JobQueue::Job {
  TCXCallback* callback = nullptr;  // deleted after the run when ownsCallback
  bool ownsCallback = true;
  std::function<void()> task;      // used instead of callback by call chains
  std::function<void()> onCancel;  // run instead when the job is dropped unrun
  void* argument = nullptr;
  const void* owner = nullptr;
  uint32_t flags = 0;
  bool waited = false;  // a poster waits on done; the poster owns the job
  std::atomic<bool> done{false};
  bool ran = false;
};

JobQueue::JobQueue(uint32_t mainThreadId, unsigned workers)
    : m_mainThread(mainThreadId ? mainThreadId : MainThreadId()), m_workerCount(workers ? workers : 1) {}

JobQueue::~JobQueue() { Stop(); }

JobQueue& JobQueue::Process() {
  static JobQueue queue(MainThreadId(), 2);
  return queue;
}

bool JobQueue::IsStopped() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopped;
}

void JobQueue::RunJob(Job* job) {
  try {
    if (job->task)
      job->task();
    else if (job->callback)
      job->callback->Invoke(job->argument);
  } catch (const std::exception& e) {
    LogLine("JobQueue::RunJob> job of %p failed: %s", job->owner, e.what());
  } catch (...) {
    LogLine("JobQueue::RunJob> job of %p failed", job->owner);
  }
  if (job->ownsCallback) delete job->callback;
  job->callback = nullptr;
  job->ran = true;
  if (job->waited)
    job->done.store(true);  // the poster frees it; touch nothing after this
  else
    delete job;
}

bool JobQueue::Enqueue(Job* job) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_stopped) return false;
  if (IsMainThreadJob(job->flags)) {
    m_mainJobs.push_back(job);
    m_mainWake.notify_all();
  } else {
    if (m_workers.size() < m_workerCount) {
      // Start the workers on the first worker job.
      while (m_workers.size() < m_workerCount) m_workers.emplace_back([this] { WorkerLoop(); });
    }
    m_workerJobs.push_back(job);
    m_workerWake.notify_one();
  }
  return true;
}

bool JobQueue::Post(std::unique_ptr<TCXCallback> owned, uint32_t flags, void* argument, const void* owner) {
  if (!owned) return false;
  // The job owns the callback from here on, and deletes it once it ran or was refused.
  TCXCallback* callback = owned.release();
  if (IsMainThreadJob(flags) && IsMainThread()) {
    if (IsStopped()) {
      delete callback;
      return false;
    }
    Job* job = new Job;
    job->callback = callback;
    job->argument = argument;
    job->owner = owner;
    job->flags = flags;
    RunJob(job);
    return true;
  }
  if (IsMainThreadJob(flags)) {
    Job job;
    job.callback = callback;
    job.argument = argument;
    job.owner = owner;
    job.flags = flags;
    job.waited = true;
    if (!Enqueue(&job)) {
      delete callback;
      return false;
    }
    while (!job.done.load()) Kiv::Sleep(1);
    return job.ran;
  }
  Job* job = new Job;
  job->callback = callback;
  job->argument = argument;
  job->owner = owner;
  job->flags = flags;
  if (!Enqueue(job)) {
    delete callback;
    delete job;
    return false;
  }
  return true;
}

int JobQueue::ServiceMainThread() {
  if (!IsMainThread()) return 0;
  std::deque<Job*> jobs;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    jobs.swap(m_mainJobs);
  }
  int count = 0;
  for (Job* job : jobs) {
    RunJob(job);
    ++count;
  }
  return count;
}

bool JobQueue::WaitForMainThreadJob(int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_mainWake.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), [this] {
    return !m_mainJobs.empty() || m_stopped;
  }) && !m_mainJobs.empty();
}

void JobQueue::WorkerLoop() {
  while (true) {
    Job* job;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_workerWake.wait(lock, [this] { return m_stopped || !m_workerJobs.empty(); });
      if (m_workerJobs.empty()) return;  // stopped and drained
      job = m_workerJobs.front();
      m_workerJobs.pop_front();
    }
    RunJob(job);
  }
}

namespace {

// A job that will not run: free it and release whoever waits for it.
void CancelJob(JobQueue::Job* job);

}  // namespace

void JobQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
  }
  // Main-thread jobs first, so no worker stays blocked on one while we join.
  if (IsMainThread()) {
    ServiceMainThread();
  } else {
    std::deque<Job*> jobs;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      jobs.swap(m_mainJobs);
    }
    for (Job* job : jobs) CancelJob(job);
  }
  m_workerWake.notify_all();
  m_mainWake.notify_all();
  for (std::thread& t : m_workers)
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
  std::deque<Job*> rest;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    rest.swap(m_mainJobs);
  }
  for (Job* job : rest) CancelJob(job);
}

namespace {

void CancelJob(JobQueue::Job* job) {
  if (job->ownsCallback) delete job->callback;
  job->callback = nullptr;
  if (job->onCancel) job->onCancel();
  if (job->waited)
    job->done.store(true);
  else
    delete job;
}

}  // namespace

bool PostJob(JobQueue* queue, std::unique_ptr<TCXCallback> callback, uint32_t flags, void* argument,
             const void* owner) {
  return (queue ? *queue : JobQueue::Process()).Post(std::move(callback), flags, argument, owner);
}

// ---------------------------------------------------------------------------
// Worker call chains.

RovanaWorkerCallChain::RovanaWorkerCallChain(JobQueue* queue)
    : m_queue(queue ? queue : &JobQueue::Process()) {}

RovanaWorkerCallChain::~RovanaWorkerCallChain() { WaitUntilDone(); }

bool RovanaWorkerCallChain::AddStep(std::unique_ptr<TCXCallback> callback, uint32_t flags, void* argument) {
  if (!callback) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_running) return false;
  m_steps.push_back(Step{std::move(callback), flags, argument});
  return true;
}

size_t RovanaWorkerCallChain::StepCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_steps.size();
}

bool RovanaWorkerCallChain::Start() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running || m_steps.empty() || m_queue->IsStopped()) return false;
    m_running = true;
    m_failed = false;
  }
  QueueStep(0);
  return true;
}

void RovanaWorkerCallChain::QueueStep(size_t index) {
  auto* job = new JobQueue::Job;
  job->ownsCallback = false;
  job->flags = m_steps[index].flags;
  job->owner = this;
  job->task = [this, index] { RunStep(index); };
  job->onCancel = [this] {
    SetFailed();
    Finish();
  };
  if (!m_queue->Enqueue(job)) {
    delete job;
    SetFailed();
    Finish();
  }
}

void RovanaWorkerCallChain::RunStep(size_t index) {
  const Step& step = m_steps[index];
  try {
    step.callback->Invoke(step.argument);
  } catch (const std::exception& e) {
    LogLine("RovanaWorkerCallChain::RunStep> step %zu failed: %s", index, e.what());
    SetFailed();
  } catch (...) {
    LogLine("RovanaWorkerCallChain::RunStep> step %zu failed", index);
    SetFailed();
  }
  if (index + 1 < m_steps.size())
    QueueStep(index + 1);
  else
    Finish();
}

void RovanaWorkerCallChain::Finish() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_running = false;
  m_done.notify_all();
}

void RovanaWorkerCallChain::WaitUntilDone() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_queue->IsMainThread()) {
    // Main-thread steps of this chain (and of others) need this thread.
    while (m_running) {
      lock.unlock();
      m_queue->ServiceMainThread();
      lock.lock();
      if (m_running) m_done.wait_for(lock, std::chrono::milliseconds(1));
    }
  } else {
    m_done.wait(lock, [this] { return !m_running; });
  }
}

bool RovanaWorkerCallChain::IsRunning() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_running;
}

bool RovanaWorkerCallChain::Failed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failed;
}

void RovanaWorkerCallChain::SetFailed() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failed = true;
}

// ---------------------------------------------------------------------------
// Process clock, collection of unused resources, main-thread service.

namespace {

std::mutex g_clockMutex;
double (*g_clockSource)() = nullptr;
bool g_clockStarted = false;
double g_clockOrigin = 0;

double ClockNow() { return g_clockSource ? g_clockSource() : Kiv::Clock::Seconds(); }

std::mutex g_collectorMutex;
std::map<int, std::function<void()>> g_collectors;
int g_nextCollector = 1;
std::atomic<bool> g_collectionDue{false};

}  // namespace

double ProcessClock::Seconds() {
  std::lock_guard<std::mutex> lock(g_clockMutex);
  const double now = ClockNow();
  if (!g_clockStarted) {
    g_clockStarted = true;
    g_clockOrigin = now;
  }
  return now - g_clockOrigin;
}

float ProcessClock::SecondsFloat() { return static_cast<float>(Seconds()); }

void ProcessClock::SetSource(double (*source)()) {
  std::lock_guard<std::mutex> lock(g_clockMutex);
  g_clockSource = source;
  g_clockStarted = false;
}

int AddUnusedResourceCollector(std::function<void()> collector) {
  std::lock_guard<std::mutex> lock(g_collectorMutex);
  const int id = g_nextCollector++;
  g_collectors.emplace(id, std::move(collector));
  return id;
}

void RemoveUnusedResourceCollector(int id) {
  std::lock_guard<std::mutex> lock(g_collectorMutex);
  g_collectors.erase(id);
}

bool IsResourceCollectionDue() { return g_collectionDue.load(); }

void CollectUnusedResources() {
  if (!JobQueue::Process().IsMainThread()) {
    g_collectionDue.store(true);
    return;
  }
  g_collectionDue.store(false);
  std::vector<std::function<void()>> collectors;
  {
    std::lock_guard<std::mutex> lock(g_collectorMutex);
    for (auto& [id, fn] : g_collectors) collectors.push_back(fn);
  }
  // Interned strings free themselves with their last holder; only caches remain.
  for (auto& fn : collectors) fn();
}

void ServiceMainThread() {
  ProcessClock::Seconds();
  JobQueue& queue = JobQueue::Process();
  if (!queue.IsMainThread()) return;
  queue.ServiceMainThread();
  if (g_collectionDue.load()) CollectUnusedResources();
}

Kiv::Rand& ProcessRandom() {
  static Kiv::Rand random;
  return random;
}
