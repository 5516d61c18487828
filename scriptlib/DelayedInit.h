#pragma once
// Objects whose set-up has up to three stages that need not run at
// construction. A manager keeps the clients with stages still to run; an owner
// can force a client's stages at once (Complete) or withdraw it (Remove), for
// example when it is destroyed.
#include <cstddef>
#include <cstdint>
#include <vector>

class DelayedInitClient {
public:
  static constexpr uint8_t kStage1Done = 0x01;
  static constexpr uint8_t kStage2Done = 0x02;
  static constexpr uint8_t kStage3Done = 0x04;
  static constexpr uint8_t kAllStagesDone = 0x07;
  static constexpr uint8_t kQueued = 0x08;
  // Bits 5 to 7 are the derived class's own.
  static constexpr uint8_t kDerivedBits = 0xE0;

  // Keeps the derived bits of flags and clears the others.
  explicit DelayedInitClient(uint8_t flags = 0) : m_flags(flags & kDerivedBits) {}
  virtual ~DelayedInitClient() = default;

  // Each stage does its work and sets its bit; the base only sets the bit.
  virtual void Stage1() { m_flags |= kStage1Done; }
  virtual void Stage2() { m_flags |= kStage2Done; }
  virtual void Stage3() { m_flags |= kStage3Done; }

  uint8_t Flags() const { return m_flags; }

protected:
  uint8_t m_flags;

private:
  friend class DelayedInitManager;
};

class DelayedInitManager {
public:
  DelayedInitManager() = default;
  virtual ~DelayedInitManager() = default;
  DelayedInitManager(const DelayedInitManager&) = delete;
  DelayedInitManager& operator=(const DelayedInitManager&) = delete;

  // Queues a client unless it is queued already or all its stages are done.
  void Add(DelayedInitClient& client);
  // Withdraws a queued client; others are left alone. During a walk its entry
  // is cleared and the list is compacted when the walk ends.
  void Remove(DelayedInitClient& client);
  // Runs the client's stages that are not done, in order, then withdraws it.
  void Complete(DelayedInitClient& client);
  // Walks the queue in order and completes every client in it; clients queued
  // during the walk are completed in the same walk.
  void RunPending();

  size_t QueuedCount() const;
  [[nodiscard]] bool IsRunning() const { return m_running; }

private:
  std::vector<DelayedInitClient*> m_clients;  // null: withdrawn during a walk
  bool m_running = false;
};
