// A client channel with the loopback service, driven tick by tick on fake time.
#pragma once

#include <string>
#include <vector>

#include "LoopbackService.h"
#include "online/TMEEndpoint.h"
#include "online/UdpSocket.h"

namespace loopback {

class Channel : public TMEEndpoint {
public:
  explicit Channel(LoopbackService& service) : Channel(service.Port()) {
    service.ExpectClient(Kiv::SocketAddress::Loopback(socket.LocalPort()));
  }
  explicit Channel(uint16_t port) {
    EXPECT_TRUE(socket.Open());
    EXPECT_TRUE(peer.Connect(socket, "127.0.0.1", port));
    Attach(&peer);
    disconnects = 0;  // Attach closes any earlier connection first
  }
  ~Channel() override { Disconnect(); }
  void Tick() {
    socket.Poll();
    Update();
  }
  bool Post(const Bytes& content) {
    return SendPacket(std::make_unique<TMEPacket>(content.data(), content.size()));
  }

  UdpSocket socket;
  UdpPeer peer;
  std::vector<Bytes> got;
  int disconnects = 0;

protected:
  void HandlePacket(TMEPacket& packet) override {
    got.emplace_back(packet.Data(), packet.Data() + packet.Size());
  }
  void OnDisconnected() override { ++disconnects; }
};

// One tick of the client and one step of the service. Fake time runs far ahead of
// real time, so each side first waits (briefly, in real time) for the datagrams the
// other has just sent, as a loaded machine may still have them in transit.
template <class Tick>
void Exchange(UdpSocket& clientSocket, LoopbackService& service, Tick tick) {
  // Per client port: what the service sent there, and what the client had read
  // (process-wide counter) when the port was first seen.
  static uint16_t port = 0;
  static size_t receivedBase = 0;
  if (clientSocket.LocalPort() != port) {
    port = clientSocket.LocalPort();
    receivedBase = TMETraffic().datagramsRead - service.PutTo(port);
  }
  // Datagrams lost on the way (a receive queue overrun by a flood) would keep this
  // waiting: after one wait in vain they are written off.
  if (TMETraffic().datagramsRead - receivedBase < service.PutTo(port) && !clientSocket.WaitReadable(200))
    receivedBase = TMETraffic().datagramsRead - service.PutTo(port);
  const uint32_t sent = TMETraffic().datagramsSent;
  tick();
  service.Step(FakeClock::now, TMETraffic().datagramsSent - sent);
}

// Runs both sides for `seconds` of fake time in ticks of `tick`; stops early when done() holds.
template <class Client, class Done>
bool RunFor(Client& client, LoopbackService& service, double seconds, Done done, double tick = 0.05) {
  for (double t = 0; t < seconds; t += tick) {
    FakeClock::Advance(tick);
    Exchange(client.socket, service, [&] { client.Tick(); });
    if (done()) return true;
  }
  return false;
}
template <class Client>
void RunFor(Client& client, LoopbackService& service, double seconds, double tick = 0.05) {
  RunFor(
      client, service, seconds, [] { return false; }, tick);
}

inline Bytes Pattern(size_t size, uint32_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = uint8_t((seed * 2654435761u + i * 40503u) >> 7);
  return b;
}

// Client datagrams (or service datagrams) as recorded on the wire.
inline std::vector<LoopbackService::Datagram> FromClient(const LoopbackService& s) {
  std::vector<LoopbackService::Datagram> out;
  for (auto& d : s.wire)
    if (d.fromClient) out.push_back(d);
  return out;
}

}  // namespace loopback
