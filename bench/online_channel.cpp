// The online channel over loopback against the physical reference (raw UDP
// through the same socket wrapper) and against ENet's reliable channel for the
// same transfers; the scrambler against memcpy. Plain main: every figure is
// measured in this run, and the closing lines are one per figure.
#include <enet/enet.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "foundation/Jobs.h"
#include "kiv/Log.h"
#include "kiv/Random.h"
#include "kiv/Udp.h"
#include "online/Scramble.h"
#include "online/TMEEndpoint.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ---- raw UDP through the socket wrapper ----

double RawRoundTripMicros(int rounds) {
  Kiv::DatagramSocket a, b;
  // Set-up of the measured data, known to work.
  (void)a.Open(Kiv::SocketAddress::Loopback(0));
  // Set-up of the measured data, known to work.
  (void)b.Open(Kiv::SocketAddress::Loopback(0));
  auto toB = Kiv::SocketAddress::Loopback(b.LocalPort()), toA = Kiv::SocketAddress::Loopback(a.LocalPort());
  uint8_t buf[64] = {};
  Kiv::SocketAddress from;
  auto t = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    // Set-up of the measured data, known to work.
    (void)a.SendTo(toB, buf, 32);
    // Set-up of the measured data, known to work.
    while (b.ReceiveFrom(buf, sizeof buf, from) < 0) (void)b.WaitReadable(10);
    // Set-up of the measured data, known to work.
    (void)b.SendTo(toA, buf, 32);
    // Set-up of the measured data, known to work.
    while (a.ReceiveFrom(buf, sizeof buf, from) < 0) (void)a.WaitReadable(10);
  }
  return Since(t) / rounds * 1e6;
}

// Payload bytes per second of 1469-byte datagrams, sent in bursts and drained.
double RawGoodput(size_t totalBytes, double& datagramsPerSecond) {
  Kiv::DatagramSocket a, b;
  // Set-up of the measured data, known to work.
  (void)a.Open(Kiv::SocketAddress::Loopback(0));
  // Set-up of the measured data, known to work.
  (void)b.Open(Kiv::SocketAddress::Loopback(0));
  // Set-up of the measured data, known to work.
  (void)b.SetReceiveBufferSize(8 << 20);
  auto toB = Kiv::SocketAddress::Loopback(b.LocalPort());
  std::vector<uint8_t> d(TMEEndpoint::kMaxDatagram, 7), in(70000);
  Kiv::SocketAddress from;
  size_t received = 0, datagrams = 0;
  auto t = Clock::now();
  while (received < totalBytes) {
    // Set-up of the measured data, known to work.
    for (int i = 0; i < 32; ++i) (void)a.SendTo(toB, d.data(), d.size());
    long n;
    while ((n = b.ReceiveFrom(in.data(), in.size(), from)) > 0) {
      received += size_t(n) - 3;
      ++datagrams;
    }
  }
  double s = Since(t);
  datagramsPerSecond = double(datagrams) / s;
  return double(received) / s;
}

// ---- the channel: two production endpoints ----

class Side : public TMEEndpoint {
public:
  // Set-up of the measured data, known to work.
  Side() { (void)socket.Open(); }
  ~Side() override { Disconnect(); }
  void Link(uint16_t port) {
    // Set-up of the measured data, known to work.
    (void)peer.Connect(socket, "127.0.0.1", port);
    Attach(&peer);
  }
  void Tick() {
    socket.Poll();
    Update();
  }
  UdpSocket socket;
  UdpPeer peer;
  size_t packets = 0, bytes = 0;

protected:
  void HandlePacket(TMEPacket& p) override {
    ++packets;
    bytes += p.Size();
  }
};

struct Pair {
  Side a, b;
  Pair() {
    a.Link(b.socket.LocalPort());
    b.Link(a.socket.LocalPort());
    a.SetMaxContent(1 << 20);
    b.SetMaxContent(1 << 20);
  }
};

// Post to delivery with both sides ticking every millisecond.
double ChannelLatencyMicros(int rounds) {
  Pair p;
  double total = 0;
  for (int i = 0; i < rounds; ++i) {
    std::vector<uint8_t> c(32, uint8_t(i));
    size_t before = p.b.packets;
    auto t = Clock::now();
    // Set-up of the measured data, known to work.
    (void)p.a.SendPacket(std::make_unique<TMEPacket>(c.data(), c.size()));
    auto next = t;
    while (p.b.packets == before) {
      p.a.Tick();
      p.b.Tick();
      if (p.b.packets != before) break;
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
    }
    total += Since(t);
  }
  return total / rounds * 1e6;
}

// Payload bytes per second for packets of `size`, ticking as fast as possible.
double ChannelGoodput(size_t size, size_t totalBytes) {
  Pair p;
  std::vector<uint8_t> c(size, 3);
  size_t count = std::max<size_t>(1, totalBytes / size), posted = 0;
  auto t = Clock::now();
  while (p.b.packets < count) {
    while (posted < count && p.a.QueuedCount() < 64) {
      // Set-up of the measured data, known to work.
      (void)p.a.SendPacket(std::make_unique<TMEPacket>(c.data(), c.size()));
      ++posted;
    }
    p.a.Tick();
    p.b.Tick();
    if (Since(t) > 60) break;
  }
  return double(p.b.bytes) / Since(t);
}

// ---- ENet, the same transfer on its reliable channel ----

// A client and a server host on loopback, connected both ways.
struct EnetPair {
  ENetHost* server = nullptr;
  ENetHost* client = nullptr;
  ENetPeer* peer = nullptr;  // the client's, to the server
  ENetPeer* back = nullptr;  // the server's, to the client
  bool Open() {
    ENetAddress address{};
    enet_address_set_host(&address, "127.0.0.1");
    server = enet_host_create(&address, 1, 1, 0, 0);
    client = enet_host_create(nullptr, 1, 1, 0, 0);
    if (!server || !client) return false;
    ENetAddress to{};
    enet_address_set_host(&to, "127.0.0.1");
    to.port = server->address.port;
    peer = enet_host_connect(client, &to, 1, 0);
    ENetEvent e;
    auto t0 = Clock::now();
    while ((!back || peer->state != ENET_PEER_STATE_CONNECTED) && Since(t0) < 5) {
      while (enet_host_service(client, &e, 0) > 0) {}
      while (enet_host_service(server, &e, 0) > 0)
        if (e.type == ENET_EVENT_TYPE_CONNECT) back = e.peer;
    }
    return back != nullptr;
  }
  ~EnetPair() {
    if (client) enet_host_destroy(client);
    if (server) enet_host_destroy(server);
  }
};

double EnetGoodput(size_t size, size_t totalBytes) {
  EnetPair pair;
  if (!pair.Open()) return 0;
  ENetHost *server = pair.server, *client = pair.client;
  ENetPeer* peer = pair.peer;
  ENetEvent e;
  std::vector<uint8_t> c(size, 3);
  size_t count = std::max<size_t>(1, totalBytes / size), posted = 0, got = 0, bytes = 0;
  auto t = Clock::now();
  while (got < count && Since(t) < 60) {
    while (posted < count && posted - got < 64) {
      enet_peer_send(peer, 0, enet_packet_create(c.data(), c.size(), ENET_PACKET_FLAG_RELIABLE));
      ++posted;
    }
    while (enet_host_service(client, &e, 0) > 0) {}
    while (enet_host_service(server, &e, 0) > 0) {
      if (e.type == ENET_EVENT_TYPE_RECEIVE) {
        ++got;
        bytes += e.packet->dataLength;
        enet_packet_destroy(e.packet);
      }
    }
  }
  double s = Since(t);
  return double(bytes) / s;
}

// ---- a hostile network between two scrambling endpoints, on simulated time ----
//
// Each side's datagrams go to a relay socket; the relay loses, duplicates,
// reorders and replays them and hands them to the other side's datagram handler.
// Both sides post a stream that mixes distinct messages, one message repeated
// and empty packets, and check every delivery against what the other posted.

double g_fakeNow = 0;
double FakeNow() { return g_fakeNow; }

struct Conditions {
  const char* name;
  double loss, duplicate, reorder;
  int reorderWindow;
  double replay;  // chance a datagram also brings a copy of one up to 2000 back
};

class Checked : public TMEEndpoint {
public:
  void Expect(const std::vector<uint8_t>* stream, const std::vector<size_t>* ends) {
    m_stream = stream;
    m_ends = ends;
  }
  void Take(const uint8_t* data, size_t size) { HandleDatagram(data, size); }
  size_t delivered = 0, garbled = 0, disconnects = 0;

protected:
  void HandlePacket(TMEPacket& p) override {
    const size_t i = delivered + garbled;
    const size_t from = i == 0 ? 0 : (*m_ends)[i - 1];
    const bool same = i < m_ends->size() && (*m_ends)[i] - from == p.Size() &&
                      std::equal(p.Data(), p.Data() + p.Size(), m_stream->begin() + long(from));
    ++(same ? delivered : garbled);
  }
  void OnDisconnected() override { ++disconnects; }

private:
  const std::vector<uint8_t>* m_stream = nullptr;
  const std::vector<size_t>* m_ends = nullptr;
};

struct Relay {
  Kiv::DatagramSocket socket;
  struct Held {
    long after;     // released once that many datagrams have passed,
    double latest;  // or at this time at the latest
    std::vector<uint8_t> bytes;
  };
  std::deque<Held> held;
  std::vector<std::vector<uint8_t>> history;  // the last 2000, as a ring
  std::map<uint32_t, int> dropsInRow;
  long count = 0;
};

struct HostileRun {
  size_t delivered = 0, garbled = 0, sent = 0;
  bool complete = false, ended = false;
  std::string why;  // the channel's own report when it ended
  double simulated = 0, seconds = 0;
};

// The messages of one direction: runs of distinct ones, of one short message
// repeated, and of empty packets; now and then one of several fragments.
void MakeStream(uint32_t seed, size_t count, std::vector<uint8_t>& bytes, std::vector<size_t>& ends) {
  Kiv::Rand rand(seed);
  for (size_t i = 0; i < count; ++i) {
    const size_t kind = (i / 400) % 3;
    size_t size = kind == 2 ? 0 : kind == 1 ? 12 : 1 + size_t(rand.NextInt(120));
    if (kind == 0 && i % 97 == 0) size = 4000;
    for (size_t k = 0; k < size; ++k)
      bytes.push_back(kind == 1 ? uint8_t("heartbeat ok"[k]) : uint8_t(rand.Next()));
    ends.push_back(bytes.size());
  }
}

HostileRun RunHostile(const Conditions& c, size_t messages, uint32_t seed) {
  HostileRun result;
  std::vector<uint8_t> streamA, streamB;
  std::vector<size_t> endsA, endsB;
  MakeStream(seed, messages, streamA, endsA);
  MakeStream(seed + 1, messages, streamB, endsB);
  g_fakeNow = 1000;
  ProcessClock::SetSource(FakeNow);
  Checked a, b;
  Relay toB, toA;  // toB takes a's datagrams
  UdpSocket sa, sb;
  UdpPeer pa, pb;
  // Set-up of the measured data, known to work.
  (void)sa.Open();
  (void)sb.Open();
  (void)toB.socket.Open(Kiv::SocketAddress::Loopback(0));
  (void)toA.socket.Open(Kiv::SocketAddress::Loopback(0));
  (void)toB.socket.SetReceiveBufferSize(8 << 20);
  (void)toA.socket.SetReceiveBufferSize(8 << 20);
  (void)pa.Connect(sa, "127.0.0.1", toB.socket.LocalPort());
  (void)pb.Connect(sb, "127.0.0.1", toA.socket.LocalPort());
  a.Attach(&pa);
  b.Attach(&pb);
  a.disconnects = b.disconnects = 0;  // Attach closes any earlier connection first
  a.SetMaxContent(1 << 20);
  b.SetMaxContent(1 << 20);
  // One client key for both sides, as the two ends of a login share one.
  ProcessRandom().Seed(seed);
  (void)a.GetClientKey();
  ProcessRandom().Seed(seed);
  (void)b.GetClientKey();
  (void)a.SetLoginKey("session-key-1234");
  (void)b.SetLoginKey("session-key-1234");
  a.Expect(&streamB, &endsB);
  b.Expect(&streamA, &endsA);
  std::mt19937_64 rng(seed);
  auto chance = [&](double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  auto pump = [&](Relay& r, Checked& to) {
    uint8_t buffer[2048];
    Kiv::SocketAddress from;
    long n;
    while ((n = r.socket.ReceiveFrom(buffer, sizeof buffer, from)) >= 0) {
      std::vector<uint8_t> d(buffer, buffer + n);
      ++r.count;
      if (c.replay > 0) {
        if (chance(c.replay) && !r.history.empty()) {
          const std::vector<uint8_t> old = r.history[size_t(rng() % r.history.size())];
          to.Take(old.data(), old.size());
        }
        if (r.history.size() < 2000)
          r.history.push_back(d);
        else
          r.history[size_t(r.count % 2000)] = d;
      }
      // A datagram is never lost more than 3 times in a row: past that the
      // sender's five sends run out, which no network worth the name does.
      const uint32_t key = d.size() >= 3 ? (uint32_t(d[0]) << 8 | d[2]) : 0x10000u + (d.size() > 2);
      if (chance(c.loss) && r.dropsInRow[key] < 3) {
        ++r.dropsInRow[key];
        continue;
      }
      r.dropsInRow[key] = 0;
      const int copies = chance(c.duplicate) ? 2 : 1;
      for (int k = 0; k < copies; ++k) {
        if (chance(c.reorder))
          r.held.push_back({r.count + 1 + long(rng() % uint64_t(c.reorderWindow)), g_fakeNow + 0.5, d});
        else
          to.Take(d.data(), d.size());
      }
    }
    for (auto it = r.held.begin(); it != r.held.end();) {
      if (it->after <= r.count || it->latest <= g_fakeNow) {
        to.Take(it->bytes.data(), it->bytes.size());
        it = r.held.erase(it);
      } else {
        ++it;
      }
    }
  };
  size_t postedA = 0, postedB = 0;
  auto post = [&](Checked& side, const std::vector<uint8_t>& stream, const std::vector<size_t>& ends,
                  size_t& posted) {
    while (posted < ends.size() && side.QueuedCount() < 100) {
      const size_t from = posted == 0 ? 0 : ends[posted - 1];
      // Set-up of the measured data, known to work.
      (void)side.SendPacket(std::make_unique<TMEPacket>(stream.data() + from, ends[posted] - from));
      ++posted;
    }
  };
  const double start = g_fakeNow;
  Kiv::Log::Instance().SetConsole(false);
  const int listener = Kiv::Log::Instance().AddListener([&](Kiv::LogLevel, std::string_view line) {
    if (line.find("garbled") != std::string_view::npos)
      result.why = "garbled, reported";
    else if (line.find("unacknowledged") != std::string_view::npos && result.why.empty())
      result.why = "5 sends";
  });
  result.seconds = BenchReport::Seconds([&] {
    while (g_fakeNow - start < 20000) {
      post(a, streamA, endsA, postedA);
      post(b, streamB, endsB, postedB);
      a.Update();
      b.Update();
      pump(toB, b);
      pump(toA, a);
      g_fakeNow += 0.01;
      if (a.disconnects || b.disconnects || !a.IsConnected() || !b.IsConnected()) break;
      if (a.delivered + a.garbled >= messages && b.delivered + b.garbled >= messages) break;
    }
  });
  Kiv::Log::Instance().RemoveListener(listener);
  Kiv::Log::Instance().SetConsole(true);
  result.simulated = g_fakeNow - start;
  result.delivered = a.delivered + b.delivered;
  result.garbled = a.garbled + b.garbled;
  result.sent = 2 * messages;
  result.ended = a.disconnects || b.disconnects || !a.IsConnected() || !b.IsConnected();
  result.complete = result.delivered == result.sent;
  a.Disconnect();
  b.Disconnect();
  ProcessClock::SetSource(nullptr);
  return result;
}

// ENet's reliable channel, clean loopback: the same number of messages each way
// of the same sizes, as the time reference.
double EnetMessages(size_t messages, uint32_t seed) {
  std::vector<uint8_t> stream;
  std::vector<size_t> ends;
  MakeStream(seed, messages, stream, ends);
  EnetPair pair;
  if (!pair.Open()) return 0;
  ENetHost *server = pair.server, *client = pair.client;
  ENetPeer *peer = pair.peer, *back = pair.back;
  ENetEvent e;
  size_t postedA = 0, postedB = 0, gotA = 0, gotB = 0;
  auto t = Clock::now();
  while ((gotA < messages || gotB < messages) && Since(t) < 60) {
    for (; postedA < messages && postedA - gotB < 100; ++postedA) {
      const size_t from = postedA == 0 ? 0 : ends[postedA - 1];
      enet_peer_send(
          peer, 0, enet_packet_create(stream.data() + from, ends[postedA] - from, ENET_PACKET_FLAG_RELIABLE));
    }
    for (; postedB < messages && postedB - gotA < 100; ++postedB) {
      const size_t from = postedB == 0 ? 0 : ends[postedB - 1];
      enet_peer_send(
          back, 0, enet_packet_create(stream.data() + from, ends[postedB] - from, ENET_PACKET_FLAG_RELIABLE));
    }
    while (enet_host_service(client, &e, 0) > 0)
      if (e.type == ENET_EVENT_TYPE_RECEIVE) {
        ++gotA;
        enet_packet_destroy(e.packet);
      }
    while (enet_host_service(server, &e, 0) > 0)
      if (e.type == ENET_EVENT_TYPE_RECEIVE) {
        ++gotB;
        enet_packet_destroy(e.packet);
      }
  }
  return Since(t);
}

// ---- scrambler against memcpy ----

void Scrambler(double& scrambleMBs, double& unscrambleMBs, double& copyMBs) {
  std::vector<uint8_t> a(64 << 20, 5), b(64 << 20);
  std::string key =
      "\x11\x22\x33\x44\x55\x66\x77\x88"
      "ABCDEFGH";
  uint32_t state = 0;
  TMEScrambleKey scrambler;
  scrambler.Set(key);
  double best = 1e9, bestCopy = 1e9, bestUn = 1e9;
  for (int i = 0; i < 3; ++i) {
    auto t = Clock::now();
    scrambler.Scramble(a.data(), a.size(), state);
    best = std::min(best, Since(t));
    t = Clock::now();
    scrambler.Unscramble(a.data(), a.size(), state);
    bestUn = std::min(bestUn, Since(t));
    t = Clock::now();
    std::memcpy(b.data(), a.data(), a.size());
    bestCopy = std::min(bestCopy, Since(t));
  }
  if (b[12345] != a[12345]) std::printf("copy mismatch\n");
  const double bytes = 64 << 20;
  scrambleMBs = bytes / best / 1e6;
  unscrambleMBs = bytes / bestUn / 1e6;
  copyMBs = bytes / bestCopy / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const size_t total = quick ? (4u << 20) : (64u << 20);
  enet_initialize();

  double rtt = RawRoundTripMicros(quick ? 2000 : 20000);
  double rawDps = 0;
  double raw = RawGoodput(total, rawDps);
  double latency = ChannelLatencyMicros(quick ? 20 : 200);
  struct Row {
    const char* name;
    size_t size;
    double channel, enet;
  } rows[] = {{"goodput 1 KB", 1024, 0, 0}, {"goodput 64 KB", 65536, 0, 0}, {"goodput 186 KB", 186000, 0, 0}};
  for (auto& r : rows) {
    std::vector<double> ours, theirs;
    for (int i = 0; i < 3; ++i) {
      ours.push_back(ChannelGoodput(r.size, total));
      theirs.push_back(EnetGoodput(r.size, total));
    }
    r.channel = *std::max_element(ours.begin(), ours.end());
    r.enet = *std::max_element(theirs.begin(), theirs.end());
    std::printf("%s: channel %.1f MB/s (spread %.0f%%), ENet %.1f MB/s (spread %.0f%%)\n", r.name,
                r.channel / 1e6, BenchReport::SpreadPercent(ours), r.enet / 1e6,
                BenchReport::SpreadPercent(theirs));
  }
  double scramble = 0, unscramble = 0, copy = 0;
  Scrambler(scramble, unscramble, copy);

  const size_t messages = quick ? 4000 : 20000;
  const Conditions hostile[] = {
      {"clean", 0, 0, 0, 1, 0},
      {"loss 30%", 0.3, 0, 0, 1, 0},
      {"reorder 100", 0, 0, 0.3, 100, 0},
      {"loss 10%, dup 10%, reorder 100", 0.1, 0.1, 0.2, 100, 0},
      {"loss 30%, dup 20%, reorder 100", 0.3, 0.2, 0.3, 100, 0},
      {"loss 30%, dup 20%, reorder 100, replays 2000 back", 0.3, 0.2, 0.3, 100, 0.05},
  };
  const double enetSeconds = EnetMessages(messages, 5);
  std::printf("\nhostile network, %zu messages each way (distinct, repeated, empty), simulated time:\n",
              messages);
  std::printf("%-52s %10s %8s %-22s %10s %8s\n", "conditions", "delivered", "garbled", "outcome", "simulated",
              "cpu");
  std::vector<std::pair<std::string, double>> cpu;
  for (const Conditions& c : hostile) {
    for (uint32_t seed : {1u, 2u, 3u}) {
      HostileRun r = RunHostile(c, messages, seed);
      const std::string outcome = r.complete ? "complete" : r.ended ? "ended: " + r.why : "stalled";
      std::printf("%-52s %10zu %8zu %-22s %9.0fs %7.2fs\n", c.name, r.delivered, r.garbled, outcome.c_str(),
                  r.simulated, r.seconds);
      if (seed == 1) cpu.push_back({c.name, r.seconds});
    }
  }
  enet_deinitialize();

  std::printf("raw UDP loopback: round trip %.1f us, %.0f datagrams/s, %.1f MB/s of payload\n", rtt, rawDps,
              raw / 1e6);
  BenchReport::Figure("channel latency, 1 ms tick (vs raw one-way)", latency, rtt / 2, "us");
  for (auto& r : rows) {
    std::string name = std::string("channel ") + r.name + " vs ENet";
    BenchReport::Figure(name.c_str(), r.channel / 1e6, r.enet / 1e6, "MB/s");
    name = std::string("channel ") + r.name + " vs raw UDP";
    BenchReport::Figure(name.c_str(), r.channel / 1e6, raw / 1e6, "MB/s");
  }
  BenchReport::Figure("scrambler (send side) vs memcpy", scramble, copy, "MB/s");
  BenchReport::Figure("unscrambler (receive side) vs memcpy", unscramble, copy, "MB/s");
  for (auto& [name, seconds] : cpu) {
    std::string figure = "hostile network '" + name + "' cpu time vs ENet clean";
    BenchReport::Figure(figure.c_str(), seconds, enetSeconds, "s");
  }
  return 0;
}
