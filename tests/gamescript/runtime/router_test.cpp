#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/Router.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;
using RuntimeTest::LogCapture;

namespace {

// A node that records what it receives and can run an action on receipt.
struct Probe : GSNode {
  explicit Probe(std::string name = {}) : name(std::move(name)) {}
  std::string NodeName() const override { return name; }
  bool Receive(GSMessage* m) override {
    got.push_back(m->major);
    if (onReceive) onReceive(m);
    return GSNode::Receive(m);
  }
  std::string name;
  std::vector<uint16_t> got;
  std::function<void(GSMessage*)> onReceive;
};

struct Clock {
  uint64_t now = 1000;
  GSRouter::ClockSource Source() {
    return [this] { return now; };
  }
};

MessageRef Message(uint16_t major, uint32_t destination, uint32_t time = kMessageCreated) {
  return GSMessage::Make(major, kMessageAnyMinor, 0, destination, time);
}

TEST(Router, MessageIdsAreInternedAndNeverWrapIntoSystemIds) {
  Clock clock;
  GSRouter router(clock.Source());
  EXPECT_EQ(router.GetMessageId("Tick"), 101);
  EXPECT_EQ(router.GetMessageId("Tock"), 102);
  EXPECT_EQ(router.GetMessageId("Tick"), 101);
  EXPECT_EQ(router.GetMessageId(""), kMessageAnyMinor);
  EXPECT_EQ(router.MessageString(102), "Tock");

  // After a reset old strings do not keep ids that new strings get again.
  router.Reset();
  EXPECT_EQ(router.GetMessageId("Other"), 101);
  EXPECT_EQ(router.GetMessageId("Tick"), 102);
  EXPECT_EQ(router.MessageString(101), "Other");

  // The last id is 0xFFFF; further strings are refused with 0, reported once.
  LogCapture log;
  for (int i = 0; router.MessageIdCounter() != 0xFFFF; ++i) router.GetMessageId(std::to_string(i));
  EXPECT_EQ(router.GetMessageId("one more"), 0);
  EXPECT_EQ(router.GetMessageId("and another"), 0);
  EXPECT_EQ(router.GetMessageId("Other"), 101);
  EXPECT_EQ(LogCapture::Lines().size(), 1u) << log.All();
  Probe a;
  ASSERT_TRUE(router.AddNode(&a));
  EXPECT_FALSE(GSMessage::Create(&a, "new major", "", 0, 0));
}

// A new object that cannot join its router is told in the log, with its maker.
TEST(Router, ANewNodeThatCannotJoinIsReported) {
  Clock clock;
  GSRouter router(clock.Source()), other(clock.Source());
  Probe a;
  LogCapture log;
  EXPECT_TRUE(router.AddNewNode(&a, "Maker::Make"));
  EXPECT_TRUE(LogCapture::Lines().empty()) << log.All();
  EXPECT_FALSE(other.AddNewNode(&a, "Maker::Make"));
  ASSERT_EQ(LogCapture::Lines().size(), 1u) << log.All();
  EXPECT_EQ(
      LogCapture::Lines()[0],
      "Maker::Make> a new object could not join its router (registered already); it gets no messages or "
      "updates");
  EXPECT_EQ(other.NodeCount(), 0u);
}

TEST(Router, DeliveryFollowsSystemIdsSubscriptionsAndSkipFlag) {
  Clock clock;
  GSRouter router(clock.Source());
  Probe a, b, c;
  for (Probe* p : {&a, &b, &c}) ASSERT_TRUE(router.AddNode(p));
  EXPECT_FALSE(router.AddNode(&a));
  EXPECT_LT(a.NodeId(), b.NodeId());
  c.SetNodeFlags(c.NodeFlags() | GSNode::kSkipSubscribers);

  // A system message without destination reaches every node, flagged ones too.
  router.SendMessage(Message(50, 0).Get());
  EXPECT_EQ(a.got.size() + b.got.size() + c.got.size(), 3u);

  // Major 150 reaches a destination only when it subscribed.
  router.SendMessage(Message(150, uint32_t(a.NodeId())).Get());
  EXPECT_EQ(a.got.size(), 1u);
  ASSERT_TRUE(router.Subscribe(&a, 150));
  ASSERT_TRUE(router.Subscribe(&a, 150));
  ASSERT_TRUE(router.Subscribe(&c, 150));
  EXPECT_TRUE(router.Unsubscribe(&a, 150));
  EXPECT_TRUE(router.IsSubscribed(&a, 150));  // counted: subscribed twice
  router.SendMessage(Message(150, 0).Get());
  EXPECT_EQ(a.got.size(), 2u);
  EXPECT_EQ(c.got.size(), 1u);  // skips deliveries to subscribers
  EXPECT_TRUE(router.Unsubscribe(&a, 150));
  EXPECT_FALSE(router.Unsubscribe(&a, 150));
  router.SendMessage(Message(150, 0).Get());
  EXPECT_EQ(a.got.size(), 2u);
}

TEST(Router, SubscribersChangingDuringDeliveryAreSafe) {
  // Each receiver unsubscribes the next one, removes a node and subscribes
  // new ones; run under the sanitizers this shows no stale access.
  Clock clock;
  GSRouter router(clock.Source());
  std::vector<std::unique_ptr<Probe>> probes;
  for (int i = 0; i < 40; ++i) {
    probes.push_back(std::make_unique<Probe>());
    ASSERT_TRUE(router.AddNode(probes.back().get()));
    // Set-up; the checks below show a failure.
    (void)router.Subscribe(probes.back().get(), 200);
  }
  std::vector<std::unique_ptr<Probe>> added;
  for (int i = 0; i + 2 < 40; ++i) {
    Probe* next = probes[std::size_t(i) + 1].get();
    std::unique_ptr<Probe>* doomed = &probes[std::size_t(i) + 2];
    probes[std::size_t(i)]->onReceive = [&, next, doomed](GSMessage*) {
      // Set-up; the checks below show a failure.
      (void)router.Unsubscribe(next, 200);
      doomed->reset();
      added.push_back(std::make_unique<Probe>());
      // Set-up; the checks below show a failure.
      (void)router.AddNode(added.back().get());
      // Set-up; the checks below show a failure.
      (void)router.Subscribe(added.back().get(), 200);
    };
  }
  router.SendMessage(Message(200, 0).Get());
  EXPECT_EQ(probes[0]->got.size(), 1u);
  EXPECT_FALSE(probes[2]);
  for (const auto& p : added) EXPECT_TRUE(p->got.empty());  // subscribed after the pass began
}

TEST(Router, PostedAndDelayedMessagesAreDeliveredByStep) {
  Clock clock;
  GSRouter router(clock.Source());
  Probe a("a");
  ASSERT_TRUE(router.AddNode(&a));
  // Set-up; the checks below show a failure.
  (void)router.Subscribe(&a, 120);
  clock.now += 1000;
  router.Step();
  EXPECT_EQ(router.Time(), 1000u);
  EXPECT_TRUE(router.PostMessage(Message(120, uint32_t(a.NodeId()), kMessageCreated | 500).Get()));
  EXPECT_TRUE(router.PostMessage(Message(120, uint32_t(a.NodeId()), kMessageCreated | 200).Get()));
  EXPECT_TRUE(router.PostMessage(Message(121, uint32_t(a.NodeId())).Get()));
  ASSERT_EQ(router.DelayedCount(), 2u);
  EXPECT_EQ(router.DelayedDue(0), 1200u);
  EXPECT_EQ(router.DelayedDue(1), 1500u);
  EXPECT_EQ(router.PostedCount(), 1u);

  clock.now += 100;
  router.Step();
  EXPECT_TRUE(a.got.empty());  // 121 is not subscribed; the delayed ones are not due
  EXPECT_EQ(router.PostedCount(), 0u);
  clock.now += 400;
  router.Step();
  EXPECT_EQ(a.got.size(), 2u);

  // A message posted by a receiver waits for the next step.
  a.onReceive = [&](GSMessage* m) { EXPECT_TRUE(router.PostMessage(m)); };
  EXPECT_TRUE(router.PostMessage(Message(120, uint32_t(a.NodeId())).Get()));
  router.Step();
  EXPECT_EQ(a.got.size(), 3u);
  EXPECT_EQ(router.PostedCount(), 1u);
  a.onReceive = nullptr;

  // Clearing by major and any minor, reported with the count.
  LogCapture log;
  EXPECT_TRUE(router.PostMessage(
      Message(router.GetMessageId("Clear"), uint32_t(a.NodeId()), kMessageCreated | 50).Get()));
  router.ClearDelayedMessages(&a, "Clear", "");
  EXPECT_EQ(router.DelayedCount(), 0u);
  EXPECT_NE(log.All().find("1 queued router messages cleared for"), std::string::npos) << log.All();
}

TEST(Router, NodesGoneWithMessagesQueuedLoseThem) {
  Clock clock;
  GSRouter router(clock.Source());
  auto* a = new Probe("a");
  Probe b("b");
  ASSERT_TRUE(router.AddNode(a));
  ASSERT_TRUE(router.AddNode(&b));
  const uint32_t id = uint32_t(a->NodeId());
  EXPECT_TRUE(router.PostMessage(Message(kMessageDelete, id).Get()));
  EXPECT_TRUE(router.PostMessage(Message(40, id, kMessageCreated | 300).Get()));
  clock.now += 100;
  router.Step();  // the delete message marks it; the step deletes it
  EXPECT_EQ(router.FindNode(int32_t(id)), nullptr);
  clock.now += 500;
  router.Step();  // the delayed message finds nobody
  EXPECT_EQ(router.NodeCount(), 1u);
  EXPECT_EQ(router.FindNode("a"), nullptr);
  EXPECT_EQ(router.FindNode("b"), &b);

  // Done detaches the rest and deletes those marked for deletion.
  auto* c = new Probe("c");
  ASSERT_TRUE(router.AddNode(c));
  c->MarkForDeletion();
  LogCapture log;
  router.Done();
  EXPECT_EQ(b.Router(), nullptr);
  EXPECT_EQ(b.NodeId(), -1);
  EXPECT_NE(log.All().find("GSRouter::Done(), 2 outstanding node(s)"), std::string::npos) << log.All();
  EXPECT_FALSE(router.PostMessage(Message(40, 0).Get()));  // not running: dropped
  EXPECT_EQ(router.PostedCount(), 0u);
}

TEST(Router, NodesAskForUpdatesAndHandTheirOwnQueueToReceive) {
  struct Ticker : Probe {
    int updates = 0;
    bool again = true;
    void Update(float seconds) override {
      GSNode::Update(seconds);
      ++updates;
      if (again) RequestUpdate();
    }
  };
  Clock clock;
  GSRouter router(clock.Source());
  Ticker t;
  t.RequestUpdate();  // asked before it joins: updated once it does
  ASSERT_TRUE(router.AddNode(&t));
  router.Step();
  router.Step();  // no time passed: the node is not dropped from the update set
  EXPECT_EQ(t.updates, 2);
  MessageRef m = Message(60, 0);
  t.QueueMessage(m.Get());
  clock.now += 100;
  router.Step();
  EXPECT_EQ(t.got, std::vector<uint16_t>{60});
  t.again = false;
  router.Step();
  router.Step();
  EXPECT_EQ(t.updates, 4);
}

TEST(Router, SubscriptionsAgreeWithAModelThroughRandomChanges) {
  // Random subscribes, unsubscribes, removals, re-additions and resets; after
  // each, every node's subscriptions and every broadcast's recipients match
  // a plain count per (node, major).
  Clock clock;
  GSRouter router(clock.Source());
  constexpr int kNodes = 12, kMajors = 4;
  std::vector<std::unique_ptr<Probe>> nodes;
  for (int i = 0; i < kNodes; ++i) {
    nodes.push_back(std::make_unique<Probe>());
    ASSERT_TRUE(router.AddNode(nodes.back().get()));
  }
  std::map<std::pair<int, int>, int> model;
  std::mt19937 random(11);
  for (int step = 0; step < 4000; ++step) {
    const int n = int(random() % kNodes), major = 150 + int(random() % kMajors);
    Probe* p = nodes[std::size_t(n)].get();
    int& count = model[std::make_pair(n, major)];
    switch (random() % 10) {
      case 0:
        // Set-up; the checks below show a failure.
        (void)router.RemoveNode(p);
        ASSERT_TRUE(router.AddNode(p));
        for (int m = 0; m < kMajors; ++m) model[std::make_pair(n, 150 + m)] = 0;
        break;
      case 1:
        if (step % 50 == 0) {
          router.Reset();  // forgets every node and subscription; the nodes join again
          model.clear();
          for (auto& q : nodes) {
            // Set-up; the checks below show a failure.
            (void)router.RemoveNode(q.get());
            ASSERT_TRUE(router.AddNode(q.get()));
          }
        }
        break;
      case 2:
      case 3:
      case 4:
        EXPECT_EQ(router.Unsubscribe(p, uint16_t(major)), count > 0);
        if (count > 0) --count;
        break;
      default: ASSERT_TRUE(router.Subscribe(p, uint16_t(major))); ++count;
    }
    for (int i = 0; i < kNodes; ++i)
      for (int m = 0; m < kMajors; ++m)
        ASSERT_EQ(router.IsSubscribed(nodes[std::size_t(i)].get(), uint16_t(150 + m)),
                  model[std::make_pair(i, 150 + m)] > 0)
            << "step " << step;
    if (step % 20 == 0) {
      for (auto& q : nodes) q->got.clear();
      router.SendMessage(Message(uint16_t(major), 0).Get());
      for (int i = 0; i < kNodes; ++i)
        ASSERT_EQ(nodes[std::size_t(i)]->got.size(), model[std::make_pair(i, major)] > 0 ? 1u : 0u)
            << "step " << step;
    }
  }
}

}  // namespace

namespace {
// Sets the script memory limit for one test.
struct MemoryLimit {
  explicit MemoryLimit(uint64_t bytes) : saved(ScriptMemory::Limit()) { ScriptMemory::SetLimit(bytes); }
  ~MemoryLimit() { ScriptMemory::SetLimit(saved); }
  uint64_t saved;
};

// A router with one node, and the script memory in use before any message.
struct RouterMemory : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(router.AddNode(&a));
    before = ScriptMemory::Used();
  }
  Clock clock;
  GSRouter router{clock.Source()};
  Probe a{"a"};
  uint64_t before = 0;
};
}  // namespace

TEST_F(RouterMemory, QueuedMessagesCountAgainstTheScriptMemoryUntilTheyGo) {
  MessageRef heavy = Message(120, uint32_t(a.NodeId()), kMessageCreated | 100);
  heavy->payloadBytes = 1000;
  ASSERT_TRUE(router.PostMessage(heavy.Get()));
  ASSERT_TRUE(router.PostMessage(Message(121, uint32_t(a.NodeId())).Get()));
  EXPECT_EQ(ScriptMemory::Used() - before, 2 * GSRouter::kQueuedMessageBytes + 1000);
  heavy = MessageRef();  // the queued copy keeps its count
  EXPECT_EQ(ScriptMemory::Used() - before, 2 * GSRouter::kQueuedMessageBytes + 1000);
  router.Step();  // the posted one is delivered
  EXPECT_EQ(ScriptMemory::Used() - before, GSRouter::kQueuedMessageBytes + 1000);
  EXPECT_TRUE(router.PostMessage(Message(122, uint32_t(a.NodeId()), kMessageCreated | 100).Get()));
  router.Done();  // dropped with the rest
  EXPECT_EQ(ScriptMemory::Used(), before);
}

TEST_F(RouterMemory, AFullQueueIsReportedEmptiedAndTheRouterGoesOn) {
  // Past the memory limit: the post fails, the queues empty, the report says so.
  {
    MemoryLimit limit(before + 10 * GSRouter::kQueuedMessageBytes);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(router.PostMessage(Message(120, uint32_t(a.NodeId())).Get()));
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(router.PostMessage(Message(121, uint32_t(a.NodeId()), kMessageCreated | 100).Get()));
    LogCapture log;
    MessageRef over = GSMessage::Make(router.GetMessageId("Over"), kMessageAnyMinor, uint32_t(a.NodeId()),
                                      uint32_t(a.NodeId()), kMessageCreated);
    EXPECT_FALSE(router.PostMessage(over.Get()));
    EXPECT_EQ(router.PostedCount() + router.DelayedCount(), 0u);
    EXPECT_EQ(ScriptMemory::Used(), before);
    const std::string report = log.All();
    EXPECT_NE(report.find("Message Queue Overflow for node " + std::to_string(a.NodeId()) +
                          " (discarded message follows)\n"),
              std::string::npos)
        << report;
    char to[32];
    std::snprintf(to, sizeof to, "to %04d 'a', message Over, \n", int(a.NodeId()));
    EXPECT_NE(report.find(to), std::string::npos) << report;
    EXPECT_NE(report.find(" 10 messages queued by the router are dropped\n"), std::string::npos) << report;
  }
  // An overflow while a step delivers ends that step's deliveries; later posts go through.
  {
    MemoryLimit limit(before + 4 * GSRouter::kQueuedMessageBytes);
    a.got.clear();
    a.onReceive = [&](GSMessage* m) {
      // Some of these overflow, as the test wants; the report is looked at below.
      (void)router.PostMessage(m);
      (void)router.PostMessage(m);
    };
    ASSERT_TRUE(router.PostMessage(Message(40, uint32_t(a.NodeId())).Get()));
    LogCapture log;
    for (int i = 0; i < 5; ++i) router.Step();
    a.onReceive = nullptr;
    EXPECT_NE(log.All().find("Message Queue Overflow"), std::string::npos);
    EXPECT_LE(router.PostedCount(), 4u);
    EXPECT_LT(a.got.size(), 16u);
    for (int i = 0; i < 5; ++i) router.Step();
    const std::size_t got = a.got.size();
    ASSERT_TRUE(router.PostMessage(Message(41, uint32_t(a.NodeId())).Get()));
    router.Step();
    ASSERT_EQ(a.got.size(), got + 1);
    EXPECT_EQ(a.got.back(), 41);
  }
  // Past the number a router queues, whatever the memory.
  LogCapture log;
  for (std::size_t i = 0; i < GSRouter::kMaxQueuedMessages; ++i)
    ASSERT_TRUE(router.PostMessage(Message(120, uint32_t(a.NodeId()), kMessageCreated | 100).Get()));
  EXPECT_FALSE(router.PostMessage(Message(120, uint32_t(a.NodeId())).Get()));
  EXPECT_EQ(router.DelayedCount(), 0u);
  EXPECT_NE(log.All().find(" 1048576 messages queued by the router are dropped\n"), std::string::npos);
  EXPECT_EQ(ScriptMemory::Used(), before);
}
