// The reliable channel against the loopback service on real loopback sockets,
// with the process clock faked.
#include <gtest/gtest.h>

#include <set>

#include "OnlineTestSupport.h"
#include "foundation/Jobs.h"
#include "kiv/Random.h"
#include "online/Scramble.h"

using namespace loopback;

namespace {

struct ChannelTest : ::testing::Test {
  FakeClock clock;
  LoopbackService service;
  ChannelTest() { service.service = false; }
};

TEST(Scrambler, VectorAndRoundTrip) {
  std::string key =
      "\x11\x22\x33\x44\x55\x66\x77\x88"
      "ABCDEFGH";
  Bytes plain = {0x02, 0x06, 0x00, 0x00, 0x00, 0x73, 0x65, 0x63, 0x72, 0x65, 0x74};
  uint32_t state = 0;
  Bytes wire = plain;
  ScrambleBytes(wire.data(), wire.size(), key, state);
  EXPECT_EQ(wire, (Bytes{0x13, 0x9d, 0xd3, 0x0f, 0x35, 0x9a, 0x8a, 0x18, 0x66, 0xc8, 0xbe}));
  EXPECT_EQ(state, 0x4EFu);
  EXPECT_EQ(TMEScrambleByte(0x0b, key, state), 0x1a);
  EXPECT_EQ(state, 0x509u);

  Kiv::Rand rand(5);
  for (int round = 0; round < 50; ++round) {
    std::string k(16 + rand.NextInt(25), '\0');
    for (char& c : k) c = char(rand.NextInt(255) + 1);
    Bytes data(rand.NextInt(2000));
    for (auto& b : data) b = uint8_t(rand.Next());
    uint32_t start = rand.Next(), s1 = start, s2 = start;
    Bytes w = data;
    ScrambleBytes(w.data(), w.size(), k, s1);
    // Byte at a time gives the same as the block form.
    uint32_t s3 = start;
    for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(TMEScrambleByte(data[i], k, s3), w[i]);
    // The table form agrees, also across the 32-bit wrap of the state.
    TMEScrambleKey table;
    table.Set(k);
    for (uint32_t from : {start, 0xFFFFFF00u + uint32_t(rand.NextInt(200))}) {
      uint32_t f1 = from, f2 = from, t1 = from, t2 = from;
      Bytes x = data, y = data;
      ScrambleBytes(x.data(), x.size(), k, f1);
      table.Scramble(y.data(), y.size(), t1);
      ASSERT_TRUE(x == y);
      ASSERT_EQ(f1, t1);
      table.Unscramble(y.data(), y.size(), t2);
      UnscrambleBytes(x.data(), x.size(), k, f2);
      ASSERT_TRUE(x == data && y == data);
      ASSERT_EQ(f2, t2);
    }
    UnscrambleBytes(w.data(), w.size(), k, s2);
    EXPECT_EQ(w, data);
    EXPECT_EQ(s1, s2);
    EXPECT_EQ(s1, s3);
  }
  for (int n : {0, 1, 3, 7, 8, 9, -1, -7, -8}) {
    uint8_t r = RotateByte(0x81, n);
    int right = n >= 0 ? (n & 7) : (8 - ((-n) & 7)) & 7;
    EXPECT_EQ(r, uint8_t((0x81 >> right) | (0x81 << ((8 - right) & 7)))) << n;
  }
}

TEST_F(ChannelTest, FragmentSplitsAndLimits) {
  Channel c(service);
  // 1469 bytes: one datagram with 0x80; 1470: two of 735 (0x00, 0x81); 1471: 735 then 736.
  struct Case {
    size_t size;
    std::vector<std::pair<uint8_t, size_t>> fragments;
  } cases[] = {{1469, {{0x80, 1469}}},
               {1470, {{0x00, 735}, {0x81, 735}}},
               {1471, {{0x00, 735}, {0x81, 736}}},
               {0, {{0x80, 0}}}};
  uint8_t seq = 1;
  for (auto& k : cases) {
    service.wire.clear();
    Bytes content = Pattern(k.size, uint32_t(k.size));
    ASSERT_TRUE(c.Post(content));
    RunFor(c, service, 0.2);
    std::vector<std::pair<uint8_t, size_t>> seen;
    for (auto& d : FromClient(service))
      if (d.bytes[0] == seq) seen.push_back({d.bytes[2], d.bytes.size() - 3});
    EXPECT_EQ(seen, k.fragments) << k.size;
    ASSERT_FALSE(service.delivered.empty());
    EXPECT_TRUE(service.delivered.back() == content);
    ++seq;
  }
  // Content the peer would drop unacknowledged, or that needs over 127 fragments, is refused.
  EXPECT_FALSE(c.Post(Bytes(0x10001)));
  c.SetMaxContent(1 << 20);
  EXPECT_FALSE(c.Post(Bytes(127 * 1469 + 1)));
  service.wire.clear();
  Bytes big = Pattern(127 * 1469, 9);
  ASSERT_TRUE(c.Post(big));
  RunFor(c, service, 0.2);
  std::set<int> indices;
  for (auto& d : FromClient(service))
    if (d.bytes[0] == seq) indices.insert(d.bytes[2]);
  EXPECT_EQ(indices.size(), 127u);
  EXPECT_EQ(*indices.rbegin(), 126 | 0x80);
  EXPECT_TRUE(service.delivered.back() == big);
  EXPECT_TRUE(service.violations.empty()) << service.violations.front();
}

TEST_F(ChannelTest, ServiceFragmentsInAnyOrderAndTwice) {
  Channel c(service);
  ASSERT_TRUE(c.Post({1}));
  RunFor(c, service, 0.2);
  service.shuffleFragments = true;
  service.duplicateFragments = true;
  service.fragmentSize = 100;
  std::vector<Bytes> sent;
  for (uint32_t i = 0; i < 5; ++i) {
    sent.push_back(Pattern(50 + 333 * i, i));
    service.Send(sent.back());
  }
  // The last-flagged fragment first.
  service.shuffleFragments = false;
  service.reverseFragments = true;
  service.fragmentSize = 2;
  sent.push_back({5, 5, 7, 7});
  service.Send(sent.back());
  RunFor(c, service, 1);
  EXPECT_TRUE(c.got == sent);
  // Over the content limit: dropped, never acknowledged.
  service.fragmentSize = 1469;
  service.Send(Bytes(0x10001, 1));
  RunFor(c, service, 1);
  EXPECT_EQ(c.got.size(), sent.size());
  EXPECT_EQ(service.Unacknowledged(), 1u);
}

TEST_F(ChannelTest, SequencesWrapFrom255To1BothWays) {
  Channel c(service);
  std::vector<Bytes> toService, toClient;
  for (uint32_t i = 0; i < 600; ++i) {
    toService.push_back(Pattern(1 + i % 40, i));
    toClient.push_back(Pattern(1 + i % 50, i + 7));
  }
  size_t next = 0;
  RunFor(c, service, 200, [&] {
    for (int k = 0; k < 10 && next < 600; ++k, ++next) {
      EXPECT_TRUE(c.Post(toService[next]));
      service.Send(toClient[next]);
    }
    return next == 600 && c.got.size() == 600 && service.delivered.size() == 600;
  });
  EXPECT_TRUE(service.delivered == toService);
  EXPECT_TRUE(c.got == toClient);
  // Client sequences: 1..255, then 1 again; never 0 on a sequenced datagram.
  uint8_t expect = 1;
  for (auto& d : FromClient(service)) {
    if (d.bytes[0] == 0) continue;
    if (d.bytes[0] != expect) continue;  // a retransmission
    expect = expect == 255 ? 1 : expect + 1;
  }
  EXPECT_EQ(expect, uint8_t(600 % 255 + 1));
  EXPECT_TRUE(service.violations.empty());
}

TEST_F(ChannelTest, SixtyInFlightAndTheQueueLimit) {
  Channel c(service);
  service.ackPolicy = LoopbackService::AckPolicy::Suppressed;
  size_t accepted = 0;
  while (c.Post({uint8_t(accepted)})) ++accepted;
  EXPECT_EQ(accepted, 1001u);  // a queue of exactly 1000 still accepts
  RunFor(c, service, 1);
  EXPECT_EQ(c.InFlightCount(), 60u);
  EXPECT_EQ(c.QueuedCount(), 941u);
  // A cumulative ack of 10 lets ten more go.
  service.SendRaw({0, 10});
  RunFor(c, service, 0.1);
  EXPECT_EQ(c.InFlightCount(), 60u);
  EXPECT_EQ(c.QueuedCount(), 931u);
  EXPECT_EQ(service.delivered.size(), 70u);
  EXPECT_TRUE(service.violations.empty());
}

TEST_F(ChannelTest, RetransmissionScheduleThenDropWithClose) {
  Channel c(service);
  service.in.drop = 1.0;
  service.in.maxDropsInRow = 1000;
  const double start = FakeClock::now;
  ASSERT_TRUE(c.Post({42}));
  RunFor(
      c, service, 130, [&] { return c.disconnects > 0; }, 0.1);
  std::vector<double> sends;
  double closedAt = -1;
  for (auto& d : FromClient(service)) {
    if (d.bytes[0] == 1) sends.push_back(d.time - start);
    if (d.bytes.size() == 3 && d.bytes[0] == 0 && d.bytes[2] == 0) closedAt = d.time - start;
  }
  std::vector<double> expected = {0, 2, 6, 22, 54};
  ASSERT_EQ(sends.size(), expected.size());
  for (size_t i = 0; i < sends.size(); ++i) EXPECT_NEAR(sends[i], expected[i], 0.25) << i;
  EXPECT_NEAR(closedAt, 118, 0.3);
  EXPECT_EQ(c.disconnects, 1);
  EXPECT_FALSE(c.IsConnected());
}

TEST_F(ChannelTest, DuplicateGetsABareAckWithinASecond) {
  Channel c(service);
  service.Send({1, 2, 3});
  RunFor(c, service, 2);
  ASSERT_EQ(c.got.size(), 1u);
  RunFor(c, service, 5);
  service.wire.clear();
  const double at = FakeClock::now;
  service.SendRaw({1, 0, 0x80, 1, 2, 3});
  RunFor(c, service, 1.5);
  double ackAt = -1;
  for (auto& d : FromClient(service))
    if (d.bytes == Bytes{0, 1} && ackAt < 0) ackAt = d.time - at;
  EXPECT_GE(ackAt, 0);
  EXPECT_LE(ackAt, 1.05);
  EXPECT_EQ(c.got.size(), 1u);
}

TEST_F(ChannelTest, KeepAliveSilenceAndClose) {
  {
    Channel c(service);
    const double start = FakeClock::now;
    RunFor(
        c, service, 301, [&] { return c.disconnects > 0; }, 0.5);
    std::vector<double> keepAlives;
    double closedAt = -1;
    for (auto& d : FromClient(service)) {
      if (d.bytes.size() == 2 && d.bytes[0] == 0) keepAlives.push_back(d.time - start);
      if (d.bytes.size() == 3 && d.bytes[0] == 0) closedAt = d.time - start;
    }
    ASSERT_FALSE(keepAlives.empty());
    EXPECT_NEAR(keepAlives[0], 30, 0.6);
    EXPECT_NEAR(closedAt, 300, 0.6);
  }
  {
    // The service's keep-alives every 100 s hold the channel for 1000 s.
    Channel c(service);
    for (int i = 0; i < 10; ++i) {
      RunFor(c, service, 100, 1.0);
      service.SendKeepAlive();
    }
    EXPECT_EQ(c.disconnects, 0);
    EXPECT_TRUE(c.IsConnected());
    // A close from the service: the client drops everything and answers with its own.
    ASSERT_TRUE(c.Post({9}));
    service.ackPolicy = LoopbackService::AckPolicy::Suppressed;
    RunFor(c, service, 0.1);
    int closesBefore = service.closes;
    service.SendClose();
    RunFor(c, service, 0.2);
    EXPECT_EQ(c.disconnects, 1);
    EXPECT_EQ(c.InFlightCount(), 0u);
    EXPECT_EQ(service.closes, closesBefore + 1);
  }
}

TEST_F(ChannelTest, HostileDatagramsLeaveTheChannelWorking) {
  Channel c(service);
  ASSERT_TRUE(c.Post({1}));
  RunFor(c, service, 0.2);
  const size_t inFlightBefore = c.InFlightCount();
  // Short, oversized, far-ahead, acks for packets never sent, a sequence-0 oddity, a spoofer.
  std::vector<Bytes> hostile = {{},       {7},         {5, 0}, {0}, {0, 0, 1, 2}, {100, 0, 0x80, 1},
                                {0, 200}, {0, 0, 0, 0}};
  Bytes tooLong(1473, 0);
  tooLong[0] = 3;
  tooLong[2] = 0x80;
  hostile.push_back(tooLong);
  for (auto& h : hostile) service.SendRaw(h);
  service.SendSpoofed({0, 0, 0});  // a close from a stranger
  RunFor(c, service, 0.2);
  EXPECT_TRUE(c.IsConnected());
  EXPECT_EQ(c.InFlightCount(), inFlightBefore);
  // A flood of fragments for many sequences stays bounded by the content limit per record.
  for (int seq = 2; seq < 100; ++seq)
    for (int f = 0; f < 127; ++f) {
      Bytes d(1472, uint8_t(f));
      d[0] = uint8_t(seq);
      d[1] = 0;
      d[2] = uint8_t(f);
      service.SendRaw(d);
      if (f % 20 == 0) c.Tick();
    }
  RunFor(c, service, 0.2);
  EXPECT_LE(c.ReassemblyBytes(), 98u * TMEEndpoint::kMaxContent);
  // Sequence 1 from the service is still delivered once it arrives.
  service.Send({77});
  RunFor(c, service, 10, [&] { return !c.got.empty(); });
  ASSERT_FALSE(c.got.empty());
  EXPECT_EQ(c.got.front(), Bytes{77});
  EXPECT_EQ(c.got.size(), 1u);
}

TEST_F(ChannelTest, SoakUnderLossDuplicationAndReorder) {
  Channel c(service);
  Faults f;
  f.drop = 0.2;
  f.duplicate = 0.2;
  f.reorder = 0.2;
  service.in = f;
  service.out = f;
  // Both sides scramble, so any slip in order or count would garble the bytes.
  std::string login = "ABCDEFGH";
  ASSERT_TRUE(c.SetLoginKey(login));
  std::string key = c.GetClientKey() + login;
  service.SetKey(Bytes(key.begin(), key.end()));
  Kiv::Rand rand(11);
  std::vector<Bytes> toService, toClient;
  for (uint32_t i = 0; i < 500; ++i) {
    toService.push_back(Pattern(1 + rand.NextInt(5000), i));
    toClient.push_back(Pattern(1 + rand.NextInt(5000), i + 1000));
  }
  size_t next = 0;
  bool done = RunFor(c, service, 3000, [&] {
    if (next < 500 && c.QueuedCount() < 20) {
      EXPECT_TRUE(c.Post(toService[next]));
      service.Send(toClient[next]);
      ++next;
    }
    return c.got.size() == 500 && service.delivered.size() == 500;
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(c.disconnects, 0);
  EXPECT_TRUE(c.got == toClient);
  EXPECT_TRUE(service.delivered == toService);
  for (auto& v : service.violations) ADD_FAILURE() << v;
}

}  // namespace

namespace {

void Key(Channel& c, LoopbackService& service, const std::string& login = "ABCDEFGH") {
  ASSERT_TRUE(c.SetLoginKey(login));
  const std::string key = c.GetClientKey() + login;
  service.SetKey(Bytes(key.begin(), key.end()));
}

bool SendAll(Channel& c, LoopbackService& service, const std::vector<Bytes>& contents) {
  for (const Bytes& b : contents) service.Send(b);
  return RunFor(c, service, 600, [&] { return c.got.size() >= contents.size(); });
}

// One short message again and again drives the scramble state into a cycle,
// where a packet repeats the one a turn before byte for byte; empty packets always do.
TEST_F(ChannelTest, RepeatedMessagesAllArrive) {
  Channel c(service);
  Key(c, service);
  const std::vector<Bytes> sent(1500, Bytes{'h'});
  EXPECT_TRUE(SendAll(c, service, sent) && c.got == sent && c.disconnects == 0);
}

TEST_F(ChannelTest, EmptyPacketsThenAMessage) {
  Channel c(service);
  Key(c, service);
  std::vector<Bytes> sent(300);
  sent.push_back({1, 2, 3});
  EXPECT_TRUE(SendAll(c, service, sent) && c.got == sent && c.disconnects == 0);
}

TEST_F(ChannelTest, PacketsUpTo127AheadWaitForTheGap) {
  Channel c(service);
  for (int seq = 2; seq <= 128; ++seq) service.SendRaw({uint8_t(seq), 0, 0x80, uint8_t(seq)});
  service.SendRaw({1, 0, 0x80, 1});
  RunFor(c, service, 0.2);
  ASSERT_EQ(c.got.size(), 128u);
  EXPECT_EQ(c.got.back(), Bytes{128});
}

// A bare ack replayed from long ago names packets the service never had: they
// are still resent, and arrive, rather than the channel running out of sends.
TEST_F(ChannelTest, ReplayedBareAckTakesNothingFromThePeer) {
  Channel c(service);
  service.in.drop = 1.0;
  service.in.maxDropsInRow = 1000;
  for (uint8_t i = 1; i <= 5; ++i) ASSERT_TRUE(c.Post({i}));
  RunFor(c, service, 0.5);
  service.SendRaw({0, 3});
  RunFor(c, service, 0.5);
  service.in.drop = 0;
  RunFor(c, service, 200, [&] { return service.delivered.size() >= 5 && c.InFlightCount() == 0; });
  EXPECT_EQ(service.delivered, (std::vector<Bytes>{{1}, {2}, {3}, {4}, {5}}));
  EXPECT_EQ(c.disconnects, 0);
}

// Copies up to seven turns old arrive at any point; the 65-byte key's masks
// repeat only every 1.5 million states, so none lands where it cannot be told.
TEST_F(ChannelTest, LateCopiesOfOlderTurns) {
  Channel c(service);
  Kiv::Rand rand(7);
  std::string login(57, '\0');
  for (char& k : login) k = char(1 + rand.NextInt(255));
  std::vector<Bytes> sent, copies;
  for (uint32_t i = 0; i < 1800; ++i) sent.push_back(Pattern(8 + rand.NextInt(40), i));
  size_t scanned = 0;
  Key(c, service, login);
  for (uint32_t i = 0; i < 1800; ++i) {
    service.Send(sent[i]);
    if (i % 3 == 0) RunFor(c, service, 0.05);
    for (; scanned < service.wire.size(); ++scanned)
      if (!service.wire[scanned].fromClient && service.wire[scanned].bytes[0] != 0)
        copies.push_back(service.wire[scanned].bytes);
    if (copies.size() > 300) service.SendRaw(copies[rand.NextInt(uint32_t(copies.size() - 256))]);
  }
  RunFor(c, service, 600, [&] { return c.got.size() >= sent.size(); });
  EXPECT_TRUE(c.got == sent && c.disconnects == 0);

  // An empty packet's copy at the expected number cannot be told from the
  // peer's own by its bytes; right after new packets it waits, so the peer's
  // own, with other bytes, is taken instead.
  Channel d(service);
  Key(d, service);
  EXPECT_TRUE(SendAll(d, service, std::vector<Bytes>(255)));
  service.SendRaw({1, 0, 0x80});
  service.Send({1, 2, 3});
  RunFor(d, service, 5, [&] { return d.got.size() >= 256; });
  EXPECT_EQ(d.got.back(), (Bytes{1, 2, 3}));
  EXPECT_EQ(d.disconnects, 0);
}

// A packet whose bytes match an earlier turn's under other masks is dropped as
// that packet's late copy; coming again on the resend schedule it is the peer's
// own, so the receive state is out of step.
TEST_F(ChannelTest, ALateCopyThatKeepsComingEndsTheChannel) {
  Channel c(service);
  Key(c, service);
  std::vector<Bytes> sent;
  for (uint32_t i = 0; i < 255; ++i) sent.push_back(Pattern(12, i));
  ASSERT_TRUE(SendAll(c, service, sent));
  Bytes first;
  for (auto& d : service.wire)
    if (!d.fromClient && !d.bytes.empty() && d.bytes[0] == 1 && first.empty()) first = d.bytes;
  for (int i = 0; i < 2; ++i) {
    service.SendRaw(first);
    RunFor(c, service, 1);
  }
  EXPECT_EQ(c.disconnects, 0);
  service.SendRaw(first);
  RunFor(c, service, 0.5);
  EXPECT_EQ(c.disconnects, 1);
  EXPECT_EQ(c.got.size(), 255u);
}

// The peer's new packet is lost and a copy of the packet sent under its number a
// turn before arrives in its place, decoding as it did then (an empty one always
// does): it waits, unacknowledged, so the peer's own packet is sent again and taken.
TEST_F(ChannelTest, ACopyInPlaceOfALostNewPacketWaitsForIt) {
  Channel c(service);
  Key(c, service);
  std::vector<Bytes> sent(1);
  for (uint32_t i = 1; i < 255; ++i) sent.push_back(Pattern(12, i));
  ASSERT_TRUE(SendAll(c, service, sent));
  const Bytes copy = {1, 0, 0x80};  // the empty packet 1
  service.out.drop = 1.0;
  service.out.maxDropsInRow = 1;
  service.Send(Pattern(20, 1000));
  RunFor(c, service, 0.1);
  service.out.drop = 0;
  service.SendRaw(copy);
  service.Send(Pattern(20, 1001));
  RunFor(c, service, 10, [&] { return c.got.size() >= 257; });
  ASSERT_EQ(c.got.size(), 257u);
  EXPECT_EQ(c.got[255], Pattern(20, 1000));
  EXPECT_EQ(c.got[256], Pattern(20, 1001));
  EXPECT_EQ(c.disconnects, 0);
}

}  // namespace
