#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "scriptlib/DelayedInit.h"

namespace {

class Client : public DelayedInitClient {
public:
  Client(std::string name, std::string& log, uint8_t flags = 0)
      : DelayedInitClient(flags), m_name(std::move(name)), m_log(log) {}
  void Stage1() override {
    m_log += m_name + "1 ";
    if (onStage1) onStage1();
    DelayedInitClient::Stage1();
  }
  void Stage2() override {
    m_log += m_name + "2 ";
    DelayedInitClient::Stage2();
  }
  void Stage3() override {
    m_log += m_name + "3 ";
    DelayedInitClient::Stage3();
  }
  void MarkDone(uint8_t bits) { m_flags |= bits; }
  std::function<void()> onStage1;

private:
  std::string m_name;
  std::string& m_log;
};

TEST(DelayedInit, QueueingAndCompletion) {
  std::string log;
  DelayedInitManager manager;
  Client a("a", log, 0xFF);
  EXPECT_EQ(a.Flags(), DelayedInitClient::kDerivedBits);  // the derived bits are kept, the rest cleared
  manager.Add(a);
  manager.Add(a);
  EXPECT_EQ(manager.QueuedCount(), 1u);

  Client done("d", log);
  done.MarkDone(DelayedInitClient::kAllStagesDone);
  manager.Add(done);
  EXPECT_EQ(manager.QueuedCount(), 1u);
  EXPECT_FALSE(done.Flags() & DelayedInitClient::kQueued);

  Client other("o", log);
  manager.Remove(other);  // not queued: nothing happens
  EXPECT_EQ(manager.QueuedCount(), 1u);

  a.MarkDone(DelayedInitClient::kStage2Done);
  manager.Complete(a);
  EXPECT_EQ(log, "a1 a3 ");
  EXPECT_EQ(manager.QueuedCount(), 0u);
  EXPECT_EQ(a.Flags() & 0x1F, DelayedInitClient::kAllStagesDone);
}

TEST(DelayedInit, RemovalDuringAWalkClearsTheEntryAndCompactsAfter) {
  std::string log;
  DelayedInitManager manager;
  Client a("a", log), b("b", log), c("c", log), late("l", log);
  a.onStage1 = [&] {
    EXPECT_TRUE(manager.IsRunning());
    manager.Remove(b);
    manager.Add(late);
  };
  manager.Add(a);
  manager.Add(b);
  manager.Add(c);
  manager.RunPending();
  EXPECT_EQ(log, "a1 a2 a3 c1 c2 c3 l1 l2 l3 ");
  EXPECT_EQ(manager.QueuedCount(), 0u);
  EXPECT_FALSE(b.Flags() & DelayedInitClient::kQueued);
  EXPECT_EQ(b.Flags() & DelayedInitClient::kAllStagesDone, 0);
  // b can be queued again and runs in the next walk.
  manager.Add(b);
  log.clear();
  manager.RunPending();
  EXPECT_EQ(log, "b1 b2 b3 ");
}

}  // namespace
