#pragma once
// The asynchronous resource loader: a caller hands a piece of loading work to
// one background worker and later collects it, completing it on its own thread
// (or doing the whole work itself when the worker has not reached it yet).
// The program leaves the process-wide loader unset, so mesh loads stay
// synchronous; the loader is complete for whoever creates it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

namespace Kiv {

class Overlapped;
class OverlappedResourceSystem;

class OverlappedResource {
public:
  enum State : int32_t {
    kIdle = 0,  // idle, failed or cancelled
    kQueued = 1,
    kLoading = 2,  // taken by the worker
    kLoaded = 3,   // waiting for completion
    kComplete = 4,
    kCollecting = 5  // to be loaded by the collecting thread
  };

  OverlappedResource();
  virtual ~OverlappedResource() = default;
  OverlappedResource(const OverlappedResource&) = delete;
  OverlappedResource& operator=(const OverlappedResource&) = delete;

  // May run on the worker thread.
  [[nodiscard]] virtual bool Load() = 0;
  // Always runs on the collecting thread.
  [[nodiscard]] virtual bool Complete() = 0;

  // Collects the request on the calling thread; true when it is complete.
  [[nodiscard]] static bool Process(OverlappedResource& request);

  int32_t GetState() const { return m_state.load(); }
  const std::string& GetName() const { return m_name; }
  void SetName(std::string name) { m_name = std::move(name); }
  double GetTimeStamp() const { return m_timeStamp; }
  void Cancel() { m_cancel.store(true); }

private:
  friend class Overlapped;
  friend class OverlappedResourceSystem;

  Overlapped* m_owner = nullptr;
  OverlappedResourceSystem* m_system = nullptr;
  std::string m_name = "unknown";
  double m_priority = 0.0;
  std::atomic<int32_t> m_state{kIdle};
  double m_timeStamp;
  std::atomic<bool> m_cancel{false};
};

// A request made of two steps; a missing step counts as success.
class OverlappedResourceCallback : public OverlappedResource {
public:
  using Step = std::function<bool()>;
  OverlappedResourceCallback(Step load, Step complete)
      : m_load(std::move(load)), m_complete(std::move(complete)) {}
  [[nodiscard]] bool Load() override { return m_load ? m_load() : true; }
  [[nodiscard]] bool Complete() override { return m_complete ? m_complete() : true; }

private:
  Step m_load;
  Step m_complete;
};

// The caller's handle; owns its request. Destroying it cancels, collects and
// deletes the request, waiting for the worker when it is loading it.
class Overlapped {
public:
  Overlapped() = default;
  ~Overlapped() { Release(); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  OverlappedResource* Get() const { return m_request.get(); }
  // Collects the request; true when it is complete.
  [[nodiscard]] bool Collect() { return m_request ? OverlappedResource::Process(*m_request) : false; }
  // Sets the cancel flag, then collects.
  [[nodiscard]] bool CancelAndCollect();
  // Cancels, collects and deletes the request.
  void Release();
  // Deletes a finished (idle or complete) request; 1 while a request is still
  // held, else 2.
  int Poll();

private:
  friend class OverlappedResourceSystem;
  std::unique_ptr<OverlappedResource> m_request;
};

class OverlappedResourceSystem {
public:
  static constexpr size_t kMaxQueued = 5000;
  static constexpr int kSlotCount = 8;

  // Starts the worker and makes this the process-wide loader.
  OverlappedResourceSystem();
  // Stops the worker; requests still held become loadable by their
  // collectors. Clears the process-wide pointer.
  ~OverlappedResourceSystem();
  OverlappedResourceSystem(const OverlappedResourceSystem&) = delete;
  OverlappedResourceSystem& operator=(const OverlappedResourceSystem&) = delete;

  // The process-wide loader, or null when none exists.
  static OverlappedResourceSystem* Instance();

  // Makes a callback request owned by the handle (replacing what it held) and
  // queues it on the system.
  static void Request(Overlapped& handle, OverlappedResourceSystem* system,
                      OverlappedResourceCallback::Step load, OverlappedResourceCallback::Step complete,
                      const std::string& name = {});
  // Queues a request owned by the handle. With the queue full the request is
  // not queued but stays pending, and its collector loads it.
  [[nodiscard]] bool Queue(Overlapped& handle, std::unique_ptr<OverlappedResource> request);

  // Holding this pauses loading (the worker holds it while a request loads).
  std::mutex& LoadMutex() { return m_loadMutex; }
  size_t QueuedCount();

private:
  friend class OverlappedResource;
  struct Slot {
    OverlappedResource* owner = nullptr;
    std::mutex lock;
    int users = 0;  // collectors holding or waiting for the slot
  };

  void WorkerLoop();
  OverlappedResource* TakeNext();
  [[nodiscard]] bool RemoveFromHeap(OverlappedResource* request);
  void SiftUp(size_t index);
  void SiftDown(size_t index);
  Slot& TakeSlot(OverlappedResource* request);
  void GiveSlot(Slot& slot);

  std::mutex m_heapMutex;  // guards the heap, the current request and the stop flag
  std::condition_variable m_queued;
  std::condition_variable m_cycleDone;
  std::vector<OverlappedResource*> m_heap;
  OverlappedResource* m_current = nullptr;
  bool m_stop = false;
  std::mutex m_loadMutex;
  std::mutex m_loadedMutex;
  std::list<OverlappedResource*> m_loaded;
  std::mutex m_slotTableMutex;
  Slot m_slots[kSlotCount];
  std::counting_semaphore<kSlotCount> m_freeSlots{kSlotCount};
  std::thread m_worker;
};

}  // namespace Kiv
