#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/Jobs.h"
#include "kiv/Thread.h"

TEST(GlobalLock, RecursiveByThreadIdAndStrictOnRelease) {
  const uint32_t me = Kiv::CurrentThreadId();
  ASSERT_TRUE(AcquireGlobalLock(me, true));
  ASSERT_TRUE(AcquireGlobalLock(me, false));
  std::atomic<int> otherGot{-1};
  std::thread other([&] {
    const uint32_t id = Kiv::CurrentThreadId();
    otherGot = AcquireGlobalLock(id, false) ? 1 : 0;
    EXPECT_THROW(ReleaseGlobalLock(id), OSException);
  });
  other.join();
  EXPECT_EQ(otherGot.load(), 0);
  ReleaseGlobalLock(me);
  ReleaseGlobalLock(me);
  EXPECT_THROW(ReleaseGlobalLock(me), OSException);
  // Free again: another thread takes it at once.
  std::thread later([] {
    const uint32_t id = Kiv::CurrentThreadId();
    EXPECT_TRUE(AcquireGlobalLock(id, false));
    ReleaseGlobalLock(id);
  });
  later.join();
}

TEST(GlobalLock, WaitingThreadGetsItAfterRelease) {
  const uint32_t me = Kiv::CurrentThreadId();
  // Set-up; the checks below show a failure.
  (void)AcquireGlobalLock(me, true);
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    const uint32_t id = Kiv::CurrentThreadId();
    // Set-up; the checks below show a failure.
    (void)AcquireGlobalLock(id, true);
    got = true;
    ReleaseGlobalLock(id);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(got.load());
  ReleaseGlobalLock(me);
  waiter.join();
  EXPECT_TRUE(got.load());
}

namespace {

struct Recorder {
  std::atomic<uint32_t> ranOn{0};
  std::atomic<int> runs{0};
  std::unique_ptr<TCXCallback> Job() {
    return std::make_unique<TCXCallbackCPPVoidPtr<Recorder>>(this, &Recorder::Run);
  }
  void Run(void* arg) {
    ranOn = Kiv::CurrentThreadId();
    ++runs;
    if (arg) *static_cast<int*>(arg) += 1;
  }
};

}  // namespace

TEST(JobQueue, MainThreadJobFromMainThreadRunsAtOnce) {
  JobQueue queue(Kiv::CurrentThreadId());
  Recorder r;
  int value = 0;
  EXPECT_TRUE(queue.Post(r.Job(), kJobMainThread, &value, nullptr));
  EXPECT_EQ(value, 1);
  EXPECT_EQ(r.ranOn.load(), Kiv::CurrentThreadId());
}

// A job posted from a worker runs on the main thread, and the poster waits
// until the main thread has serviced the queue.
TEST(JobQueue, JobPostedFromWorkerRunsOnMainThreadWhilePosterWaits) {
  const uint32_t mainId = Kiv::CurrentThreadId();
  JobQueue queue(mainId);
  Recorder r;
  int value = 0;
  std::atomic<bool> postReturned{false};
  std::atomic<bool> postResult{false};
  std::thread worker([&] {
    postResult = queue.Post(r.Job(), 3, &value, &r);
    postReturned = true;
  });
  ASSERT_TRUE(queue.WaitForMainThreadJob(5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(postReturned.load());
  EXPECT_EQ(r.runs.load(), 0);
  EXPECT_EQ(queue.ServiceMainThread(), 1);
  worker.join();
  EXPECT_TRUE(postReturned.load());
  EXPECT_TRUE(postResult.load());
  EXPECT_EQ(r.ranOn.load(), mainId);
  EXPECT_EQ(value, 1);
}

TEST(JobQueue, WorkerJobsRunOffTheMainThreadAndStopReleasesWaiters) {
  JobQueue queue(Kiv::CurrentThreadId());
  Recorder r;
  ASSERT_TRUE(queue.Post(r.Job(), 0, nullptr, nullptr));
  for (int i = 0; i < 5000 && r.runs.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(r.runs.load(), 1);
  EXPECT_NE(r.ranOn.load(), Kiv::CurrentThreadId());

  // A poster on another thread waiting for a main-thread job is released by a
  // stop from a thread that is not the main thread; the job does not run.
  std::atomic<int> result{-1};
  Recorder never;
  std::thread poster([&] { result = queue.Post(never.Job(), 3, nullptr, nullptr) ? 1 : 0; });
  ASSERT_TRUE(queue.WaitForMainThreadJob(5000));
  std::thread stopper([&] { queue.Stop(); });
  stopper.join();
  poster.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(never.runs.load(), 0);
  // After the stop nothing is accepted.
  EXPECT_FALSE(queue.Post(r.Job(), 0, nullptr, nullptr));
  EXPECT_FALSE(queue.Post(nullptr, 0, nullptr, nullptr));
}

TEST(JobQueue, ProcessQueueServicedByServiceMainThread) {
  Recorder r;
  std::thread worker([&] { EXPECT_TRUE(PostJob(nullptr, r.Job(), 3, nullptr, nullptr)); });
  while (r.runs.load() == 0) {
    ServiceMainThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  worker.join();
  EXPECT_EQ(r.ranOn.load(), Kiv::CurrentThreadId());
}

namespace {

struct ChainProbe {
  std::mutex lock;
  std::vector<int> order;
  std::vector<uint32_t> threads;
  void Step(void* arg) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard<std::mutex> g(lock);
    order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    threads.push_back(Kiv::CurrentThreadId());
  }
  void Fail(void* arg) {
    Step(arg);
    throw std::runtime_error("broken step");
  }
};

void* Tag(intptr_t n) { return reinterpret_cast<void*>(n); }
std::unique_ptr<TCXCallback> Step(ChainProbe& p) {
  return std::make_unique<TCXCallbackCPPVoidPtr<ChainProbe>>(&p, &ChainProbe::Step);
}

}  // namespace

TEST(RovanaWorkerCallChain, StepsRunInOrderWithTheirOwnThreads) {
  JobQueue queue(Kiv::CurrentThreadId(), 3);
  ChainProbe probe;
  RovanaWorkerCallChain chain(&queue);
  EXPECT_FALSE(chain.Start());  // no step yet
  for (intptr_t i = 1; i <= 5; ++i) EXPECT_TRUE(chain.AddStep(Step(probe), i == 3 ? 3 : 0, Tag(i)));
  ASSERT_TRUE(chain.Start());
  EXPECT_FALSE(chain.Start());
  EXPECT_FALSE(chain.AddStep(Step(probe), 0));
  chain.WaitUntilDone();  // services step 3 on this (main) thread
  EXPECT_FALSE(chain.IsRunning());
  EXPECT_FALSE(chain.Failed());
  EXPECT_EQ(probe.order, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(probe.threads[2], Kiv::CurrentThreadId());
  EXPECT_NE(probe.threads[0], Kiv::CurrentThreadId());
  // It can run again.
  ASSERT_TRUE(chain.Start());
  chain.WaitUntilDone();
  EXPECT_EQ(probe.order.size(), 10u);
}

TEST(RovanaWorkerCallChain, FailedStepSetsTheFlagAndLaterStepsStillRun) {
  JobQueue queue(Kiv::CurrentThreadId());
  ChainProbe probe;
  RovanaWorkerCallChain chain(&queue);
  EXPECT_TRUE(chain.AddStep(Step(probe), 11, Tag(1)));
  EXPECT_TRUE(chain.AddStep(std::make_unique<TCXCallbackCPPVoidPtr<ChainProbe>>(&probe, &ChainProbe::Fail),
                            24, Tag(2)));
  EXPECT_TRUE(chain.AddStep(Step(probe), 9, Tag(3)));
  ASSERT_TRUE(chain.Start());
  chain.WaitUntilDone();
  EXPECT_TRUE(chain.Failed());
  EXPECT_EQ(probe.order, (std::vector<int>{1, 2, 3}));
  // A new start clears the flag.
  RovanaWorkerCallChain clean(&queue);
  EXPECT_TRUE(clean.AddStep(Step(probe), 0, Tag(4)));
  ASSERT_TRUE(clean.Start());
  clean.WaitUntilDone();
  EXPECT_FALSE(clean.Failed());
}

// Waiting from a thread that is not the main thread, with a main-thread step:
// the main thread services it.
TEST(RovanaWorkerCallChain, WaitFromAnotherThread) {
  JobQueue queue(Kiv::CurrentThreadId());
  ChainProbe probe;
  RovanaWorkerCallChain chain(&queue);
  EXPECT_TRUE(chain.AddStep(Step(probe), 3, Tag(1)));
  EXPECT_TRUE(chain.AddStep(Step(probe), 0, Tag(2)));
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_TRUE(chain.Start());
    chain.WaitUntilDone();
    done = true;
  });
  while (!done.load()) {
    queue.ServiceMainThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  waiter.join();
  EXPECT_EQ(probe.order, (std::vector<int>{1, 2}));
}

TEST(RovanaWorkerCallChain, StoppedQueueEndsTheChainAsFailed) {
  JobQueue queue(Kiv::CurrentThreadId());
  ChainProbe probe;
  RovanaWorkerCallChain chain(&queue);
  EXPECT_TRUE(chain.AddStep(Step(probe), 0, Tag(1)));
  EXPECT_TRUE(chain.AddStep(Step(probe), 3, Tag(2)));
  ASSERT_TRUE(chain.Start());
  // Stop from a thread that is not the main thread: the main-thread step is dropped.
  for (int i = 0; i < 5000 && probe.order.empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread stopper([&] { queue.Stop(); });
  stopper.join();
  chain.WaitUntilDone();
  EXPECT_FALSE(chain.IsRunning());
  EXPECT_TRUE(chain.Failed());
  EXPECT_EQ(probe.order, (std::vector<int>{1}));
}

namespace {
double g_fakeNow = 0;
double FakeNow() { return g_fakeNow; }
}  // namespace

TEST(ProcessServices, ClockCountsFromFirstUse) {
  g_fakeNow = 1000.0;
  ProcessClock::SetSource(&FakeNow);
  EXPECT_DOUBLE_EQ(ProcessClock::Seconds(), 0.0);
  g_fakeNow = 1002.5;
  ServiceMainThread();
  EXPECT_DOUBLE_EQ(ProcessClock::Seconds(), 2.5);
  EXPECT_FLOAT_EQ(ProcessClock::SecondsFloat(), 2.5f);
  ProcessClock::SetSource(nullptr);
  EXPECT_LT(ProcessClock::Seconds(), 1.0);
}

TEST(ProcessServices, CollectionOnMainThreadOrMarkedDue) {
  std::atomic<int> collected{0};
  const int id = AddUnusedResourceCollector([&] { ++collected; });
  CollectUnusedResources();
  EXPECT_EQ(collected.load(), 1);
  std::thread other([] { CollectUnusedResources(); });
  other.join();
  EXPECT_EQ(collected.load(), 1);
  EXPECT_TRUE(IsResourceCollectionDue());
  ServiceMainThread();
  EXPECT_EQ(collected.load(), 2);
  EXPECT_FALSE(IsResourceCollectionDue());
  RemoveUnusedResourceCollector(id);
  CollectUnusedResources();
  EXPECT_EQ(collected.load(), 2);
}
