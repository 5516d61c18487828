#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kiv/Clock.h"
#include "kiv/render/OverlappedResource.h"

namespace Kiv {
namespace {

using State = OverlappedResource::State;

void WaitUntil(const std::function<bool()>& done) {
  while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(OverlappedResource, LoadsTheOldestRequestFirst) {
  std::atomic<uint64_t> now{10000};
  Clock::SetMillisecondsSource([&] { return now.load(); });
  auto owned = std::make_unique<OverlappedResourceSystem>();
  OverlappedResourceSystem& system = *owned;
  EXPECT_EQ(OverlappedResourceSystem::Instance(), &system);
  std::mutex orderLock;
  std::vector<int> order;
  const auto step = [&](int id) {
    return [&, id] {
      std::lock_guard lock(orderLock);
      order.push_back(id);
      return true;
    };
  };
  Overlapped handles[4];
  {
    // Queued newest first while loading is paused; ages decide the order.
    std::lock_guard paused(system.LoadMutex());
    std::unique_ptr<OverlappedResource> requests[4];
    for (int i = 0; i < 4; ++i) {
      now = 10000 + static_cast<uint64_t>(i) * 1000;
      requests[i] = std::make_unique<OverlappedResourceCallback>(step(i), nullptr);
    }
    now = 20000;
    // Set-up; the checks below show a failure.
    for (int i : {3, 1, 0, 2}) (void)system.Queue(handles[i], std::move(requests[i]));
    EXPECT_EQ(system.QueuedCount(), 4u);
  }
  WaitUntil([&] {
    std::lock_guard lock(orderLock);
    return order.size() == 4;
  });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  for (Overlapped& handle : handles) {
    EXPECT_TRUE(handle.Collect());
    EXPECT_EQ(handle.Get()->GetState(), State::kComplete);
    EXPECT_EQ(handle.Poll(), 2);
  }
  owned.reset();
  Clock::SetMillisecondsSource(nullptr);
}

TEST(OverlappedResource, CollectingAQueuedRequestDoesTheWorkOnTheCollector) {
  OverlappedResourceSystem system;
  const auto self = std::this_thread::get_id();
  std::thread::id loadedOn, completedOn;
  Overlapped handle, failing, cancelled, empty;
  bool cancelledLoaded = false;
  std::lock_guard paused(system.LoadMutex());
  OverlappedResourceSystem::Request(
      handle, &system,
      [&] {
        loadedOn = std::this_thread::get_id();
        return true;
      },
      [&] {
        completedOn = std::this_thread::get_id();
        return true;
      },
      "mesh.im");
  EXPECT_EQ(handle.Get()->GetName(), "mesh.im");
  EXPECT_EQ(handle.Get()->GetState(), State::kQueued);
  OverlappedResourceSystem::Request(
      failing, &system, [] { return false; }, nullptr);
  OverlappedResourceSystem::Request(
      cancelled, &system,
      [&] {
        cancelledLoaded = true;
        return true;
      },
      nullptr);
  OverlappedResourceSystem::Request(empty, &system, nullptr, nullptr);
  EXPECT_EQ(empty.Get()->GetName(), "unknown");

  EXPECT_TRUE(handle.Collect());
  EXPECT_EQ(loadedOn, self);
  EXPECT_EQ(completedOn, self);
  EXPECT_FALSE(failing.Collect());
  EXPECT_EQ(failing.Get()->GetState(), State::kIdle);
  EXPECT_EQ(failing.Poll(), 2);
  EXPECT_FALSE(cancelled.CancelAndCollect());
  EXPECT_FALSE(cancelledLoaded);
  EXPECT_TRUE(empty.Collect());
  EXPECT_EQ(system.QueuedCount(), 0u);
}

TEST(OverlappedResource, ARefusedRequestStillLoadsWhenCollected) {
  OverlappedResourceSystem system;
  std::atomic<int> loads{0};
  std::vector<std::unique_ptr<Overlapped>> handles;
  {
    std::lock_guard paused(system.LoadMutex());
    for (size_t i = 0; i <= OverlappedResourceSystem::kMaxQueued; ++i) {
      handles.push_back(std::make_unique<Overlapped>());
      const bool queued = system.Queue(*handles.back(), std::make_unique<OverlappedResourceCallback>(
                                                            [&] {
                                                              ++loads;
                                                              return true;
                                                            },
                                                            nullptr));
      EXPECT_EQ(queued, i < OverlappedResourceSystem::kMaxQueued);
    }
    EXPECT_EQ(system.QueuedCount(), OverlappedResourceSystem::kMaxQueued);
    EXPECT_EQ(handles.back()->Get()->GetState(), State::kCollecting);
    EXPECT_TRUE(handles.back()->Collect());
    EXPECT_EQ(loads.load(), 1);
  }
  for (auto& handle : handles) EXPECT_TRUE(handle->Collect());
  EXPECT_EQ(loads.load(), static_cast<int>(OverlappedResourceSystem::kMaxQueued) + 1);
}

struct Counted : OverlappedResourceCallback {
  Counted(Step load, Step complete, std::atomic<int>& deleted)
      : OverlappedResourceCallback(std::move(load), std::move(complete)), m_deleted(deleted) {}
  ~Counted() override { ++m_deleted; }
  std::atomic<int>& m_deleted;
};

TEST(OverlappedResource, ReleasingALoadingRequestWaitsForTheWorker) {
  OverlappedResourceSystem system;
  std::atomic<bool> started{false}, finish{false}, loadReturned{false}, releasedEarly{false};
  std::atomic<int> deleted{0};
  auto handle = std::make_unique<Overlapped>();
  // Set-up; the checks below show a failure.
  (void)system.Queue(*handle, std::make_unique<Counted>(
                                  [&] {
                                    started = true;
                                    WaitUntil([&] { return finish.load(); });
                                    loadReturned = true;
                                    return true;
                                  },
                                  nullptr, deleted));
  WaitUntil([&] { return started.load(); });
  EXPECT_EQ(handle->Get()->GetState(), State::kLoading);
  std::thread releaser([&] {
    handle->Release();
    releasedEarly = !loadReturned;
  });
  finish = true;
  releaser.join();
  EXPECT_FALSE(releasedEarly.load());
  EXPECT_EQ(deleted.load(), 1);
  EXPECT_EQ(handle->Get(), nullptr);
}

TEST(OverlappedResource, HandlesOutliveTheirSystem) {
  Overlapped queued;
  {
    OverlappedResourceSystem system;
    std::lock_guard paused(system.LoadMutex());
    OverlappedResourceSystem::Request(queued, &system, nullptr, nullptr);
  }
  EXPECT_EQ(OverlappedResourceSystem::Instance(), nullptr);
  EXPECT_TRUE(queued.Collect());
  Overlapped direct;
  bool loaded = false;
  OverlappedResourceSystem::Request(
      direct, nullptr,
      [&] {
        loaded = true;
        return true;
      },
      nullptr);
  EXPECT_TRUE(direct.Collect());
  EXPECT_TRUE(loaded);
}

TEST(OverlappedResource, EightCollectorsShareOneLoader) {
  constexpr int kThreads = 8, kPerThread = 10000, kBatch = 1000;
  OverlappedResourceSystem system;
  std::vector<std::atomic<int>> loads(kThreads * kPerThread), completes(kThreads * kPerThread);
  std::atomic<int> wrongResults{0};
  std::vector<std::thread> collectors;
  for (int t = 0; t < kThreads; ++t) {
    collectors.emplace_back([&, t] {
      for (int start = 0; start < kPerThread; start += kBatch) {
        std::vector<std::unique_ptr<Overlapped>> handles;
        for (int i = 0; i < kBatch; ++i) {
          const int id = t * kPerThread + start + i;
          handles.push_back(std::make_unique<Overlapped>());
          OverlappedResourceSystem::Request(
              *handles.back(), &system,
              [&, id] {
                ++loads[id];
                return id % 13 != 0;
              },
              [&, id] {
                ++completes[id];
                return true;
              });
        }
        for (int i = 0; i < kBatch; ++i) {
          const int id = t * kPerThread + start + i;
          if (id % 7 == 0) {
            handles[i].reset();  // given up: cancelled, never loaded afterwards
            continue;
          }
          if (handles[i]->Collect() != (id % 13 != 0)) ++wrongResults;
        }
      }
    });
  }
  for (std::thread& collector : collectors) collector.join();
  EXPECT_EQ(wrongResults.load(), 0);
  int wrongCounts = 0;
  for (int id = 0; id < kThreads * kPerThread; ++id) {
    const bool given = id % 7 == 0, fails = id % 13 == 0;
    if (loads[id] > 1 || completes[id] > 1) ++wrongCounts;
    if (!given && (loads[id] != 1 || completes[id] != (fails ? 0 : 1))) ++wrongCounts;
  }
  EXPECT_EQ(wrongCounts, 0);
}

}  // namespace
}  // namespace Kiv
