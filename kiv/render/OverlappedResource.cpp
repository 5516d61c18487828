#include "kiv/render/OverlappedResource.h"

#include <algorithm>
#include <chrono>

#include "kiv/Clock.h"

namespace Kiv {

namespace {
std::atomic<OverlappedResourceSystem*> s_instance{nullptr};
}

OverlappedResource::OverlappedResource() : m_timeStamp(Clock::Seconds()) {}

bool OverlappedResource::Process(OverlappedResource& request) {
  OverlappedResourceSystem* system = request.m_system;
  if (system) {
    std::unique_lock heap(system->m_heapMutex);
    if (request.m_state == kQueued) {
      // A request already taken from the heap has nothing to remove.
      (void)system->RemoveFromHeap(&request);
      request.m_state = kCollecting;
    }
    // A request the worker is loading is left to finish its cycle.
    system->m_cycleDone.wait(heap, [&] { return system->m_current != &request; });
  }
  if (request.m_state == kComplete) return true;

  OverlappedResourceSystem::Slot* slot = system ? &system->TakeSlot(&request) : nullptr;
  if (request.m_state == kLoaded) {
    if (system) {
      std::lock_guard loaded(system->m_loadedMutex);
      system->m_loaded.remove(&request);
    }
    if (request.m_state == kLoaded) request.m_state = request.Complete() ? kComplete : kIdle;
  }
  if (request.m_state != kComplete) {
    if (request.m_cancel) {
      request.m_state = kIdle;
    } else if (request.m_state != kIdle) {
      if (request.Load()) {
        request.m_state = kLoaded;
        request.m_state = request.Complete() ? kComplete : kIdle;
      } else {
        request.m_state = kIdle;
      }
    }
  }
  if (slot) system->GiveSlot(*slot);
  return request.m_state == kComplete;
}

bool Overlapped::CancelAndCollect() {
  if (!m_request) return false;
  m_request->Cancel();
  return OverlappedResource::Process(*m_request);
}

void Overlapped::Release() {
  if (!m_request) return;
  m_request->Cancel();
  // A failed request is recorded in the request itself.
  (void)OverlappedResource::Process(*m_request);
  m_request.reset();
}

int Overlapped::Poll() {
  if (m_request) {
    const int32_t state = m_request->GetState();
    if (state == OverlappedResource::kIdle || state == OverlappedResource::kComplete) m_request.reset();
  }
  return m_request ? 1 : 2;
}

OverlappedResourceSystem::OverlappedResourceSystem() {
  m_heap.reserve(kMaxQueued);
  OverlappedResourceSystem* none = nullptr;
  s_instance.compare_exchange_strong(none, this);
  m_worker = std::thread([this] { WorkerLoop(); });
}

OverlappedResourceSystem::~OverlappedResourceSystem() {
  {
    std::lock_guard heap(m_heapMutex);
    m_stop = true;
  }
  m_queued.notify_all();
  m_worker.join();
  // Requests still held by their handles no longer reach this system: queued
  // ones are loaded by their collectors, loaded ones completed by them.
  {
    std::lock_guard heap(m_heapMutex);
    for (OverlappedResource* request : m_heap) {
      request->m_state = OverlappedResource::kCollecting;
      request->m_system = nullptr;
    }
    m_heap.clear();
  }
  {
    std::lock_guard loaded(m_loadedMutex);
    for (OverlappedResource* request : m_loaded) request->m_system = nullptr;
    m_loaded.clear();
  }
  OverlappedResourceSystem* self = this;
  s_instance.compare_exchange_strong(self, nullptr);
}

OverlappedResourceSystem* OverlappedResourceSystem::Instance() { return s_instance.load(); }

void OverlappedResourceSystem::Request(Overlapped& handle, OverlappedResourceSystem* system,
                                       OverlappedResourceCallback::Step load,
                                       OverlappedResourceCallback::Step complete, const std::string& name) {
  auto request = std::make_unique<OverlappedResourceCallback>(std::move(load), std::move(complete));
  if (!name.empty()) request->SetName(name);
  if (system) {
    // A failed request is recorded in the request itself.
    (void)system->Queue(handle, std::move(request));
  } else {
    // Without a loader the collector does the whole work.
    handle.Release();
    request->m_owner = &handle;
    request->m_state = OverlappedResource::kCollecting;
    handle.m_request = std::move(request);
  }
}

bool OverlappedResourceSystem::Queue(Overlapped& handle, std::unique_ptr<OverlappedResource> request) {
  handle.Release();
  request->m_owner = &handle;
  request->m_system = this;
  OverlappedResource* raw = request.get();
  handle.m_request = std::move(request);
  {
    std::lock_guard heap(m_heapMutex);
    if (m_stop || m_heap.size() >= kMaxQueued) {
      // Refused, but still pending: collecting it loads it on that thread.
      raw->m_state = OverlappedResource::kCollecting;
      return false;
    }
    raw->m_state = OverlappedResource::kQueued;
    raw->m_priority = Clock::Seconds() - raw->m_timeStamp;
    m_heap.push_back(raw);
    SiftUp(m_heap.size() - 1);
  }
  m_queued.notify_one();
  return true;
}

size_t OverlappedResourceSystem::QueuedCount() {
  std::lock_guard heap(m_heapMutex);
  return m_heap.size();
}

void OverlappedResourceSystem::SiftUp(size_t index) {
  while (index > 0) {
    const size_t parent = (index - 1) / 2;
    if (!(m_heap[parent]->m_priority < m_heap[index]->m_priority)) break;
    std::swap(m_heap[parent], m_heap[index]);
    index = parent;
  }
}

void OverlappedResourceSystem::SiftDown(size_t index) {
  const size_t count = m_heap.size();
  while (true) {
    const size_t left = 2 * index + 1;
    if (left >= count) break;
    size_t child = left;
    if (left + 1 < count && !(m_heap[left + 1]->m_priority < m_heap[left]->m_priority)) child = left + 1;
    if (!(m_heap[index]->m_priority < m_heap[child]->m_priority)) break;
    std::swap(m_heap[index], m_heap[child]);
    index = child;
  }
}

OverlappedResource* OverlappedResourceSystem::TakeNext() {
  if (m_heap.empty()) return nullptr;
  // The longest waiting request goes first.
  const double now = Clock::Seconds();
  for (OverlappedResource* request : m_heap) request->m_priority = now - request->m_timeStamp;
  for (size_t i = 1; i < m_heap.size(); ++i) SiftUp(i);
  OverlappedResource* top = m_heap.front();
  m_heap.front() = m_heap.back();
  m_heap.pop_back();
  if (!m_heap.empty()) SiftDown(0);
  top->m_state = OverlappedResource::kLoading;
  return top;
}

bool OverlappedResourceSystem::RemoveFromHeap(OverlappedResource* request) {
  auto found = std::find(m_heap.begin(), m_heap.end(), request);
  if (found == m_heap.end()) return false;
  const size_t index = static_cast<size_t>(found - m_heap.begin());
  const double removed = request->m_priority;
  *found = m_heap.back();
  m_heap.pop_back();
  if (index < m_heap.size()) {
    if (m_heap[index]->m_priority < removed)
      SiftDown(index);
    else
      SiftUp(index);
  }
  return true;
}

void OverlappedResourceSystem::WorkerLoop() {
  while (true) {
    {
      std::unique_lock heap(m_heapMutex);
      m_queued.wait_for(heap, std::chrono::milliseconds(1000), [&] { return m_stop || !m_heap.empty(); });
      if (m_stop) break;
      if (m_heap.empty()) continue;
    }
    std::unique_lock load(m_loadMutex);
    OverlappedResource* request = nullptr;
    {
      std::lock_guard heap(m_heapMutex);
      if (m_stop) break;
      request = TakeNext();
      m_current = request;
    }
    if (!request) continue;
    const bool loaded = request->Load();
    {
      std::lock_guard heap(m_heapMutex);
      if (loaded) {
        std::lock_guard list(m_loadedMutex);
        if (request->m_state == OverlappedResource::kLoading) {
          request->m_state = OverlappedResource::kLoaded;
          m_loaded.push_back(request);
        }
      } else {
        request->m_state = OverlappedResource::kIdle;
      }
      m_current = nullptr;
    }
    m_cycleDone.notify_all();
  }
}

OverlappedResourceSystem::Slot& OverlappedResourceSystem::TakeSlot(OverlappedResource* request) {
  m_freeSlots.acquire();
  Slot* slot = nullptr;
  {
    std::lock_guard table(m_slotTableMutex);
    for (Slot& candidate : m_slots)
      if (candidate.users > 0 && candidate.owner == request) slot = &candidate;
    if (!slot)
      for (Slot& candidate : m_slots)
        if (candidate.users == 0) {
          slot = &candidate;
          break;
        }
    slot->owner = request;
    ++slot->users;
  }
  // Collectors of the same request complete it one after the other.
  slot->lock.lock();
  return *slot;
}

void OverlappedResourceSystem::GiveSlot(Slot& slot) {
  {
    std::lock_guard table(m_slotTableMutex);
    --slot.users;
    slot.lock.unlock();
  }
  m_freeSlots.release();
}

}  // namespace Kiv
