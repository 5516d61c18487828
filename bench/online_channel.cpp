// The online channel over loopback against the physical reference (raw UDP
// through the same socket wrapper) and against ENet's reliable channel for the
// same transfers; the scrambler against memcpy. Plain main: every figure is
// measured in this run, and the closing lines are one per figure.
#include <enet/enet.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
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

double EnetGoodput(size_t size, size_t totalBytes) {
  ENetAddress address{};
  address.host = ENET_HOST_ANY;
  enet_address_set_host(&address, "127.0.0.1");
  address.port = 0;
  ENetHost* server = enet_host_create(&address, 1, 1, 0, 0);
  ENetHost* client = enet_host_create(nullptr, 1, 1, 0, 0);
  if (!server || !client) return 0;
  ENetAddress to{};
  enet_address_set_host(&to, "127.0.0.1");
  to.port = server->address.port;
  ENetPeer* peer = enet_host_connect(client, &to, 1, 0);
  ENetEvent e;
  bool connected = false;
  auto t0 = Clock::now();
  while (!connected && Since(t0) < 5) {
    while (enet_host_service(client, &e, 0) > 0)
      if (e.type == ENET_EVENT_TYPE_CONNECT) connected = true;
    while (enet_host_service(server, &e, 0) > 0) {}
  }
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
  enet_host_destroy(client);
  enet_host_destroy(server);
  return double(bytes) / s;
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
  scrambleMBs = double(a.size()) / best / 1e6;
  unscrambleMBs = double(a.size()) / bestUn / 1e6;
  copyMBs = double(a.size()) / bestCopy / 1e6;
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
  return 0;
}
