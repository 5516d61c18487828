// A client channel with the loopback service, driven tick by tick on fake time.
#pragma once

#include <string>
#include <vector>

#include "LoopbackService.h"
#include "online/TMEEndpoint.h"

namespace loopback {

class Channel : public TMEEndpoint {
public:
  explicit Channel(LoopbackService& service) : Channel(service.Port()) {
    service.ExpectClient(Kiv::SocketAddress::Loopback(socket.LocalPort()));
  }
  explicit Channel(uint16_t port) {
    socket.Open();
    peer.Connect(socket, "127.0.0.1", port);
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

// Runs both sides for `seconds` of fake time in ticks of `tick`; stops early when done() holds.
template <class Client, class Done>
bool RunFor(Client& client, LoopbackService& service, double seconds, Done done, double tick = 0.05) {
  for (double t = 0; t < seconds; t += tick) {
    FakeClock::Advance(tick);
    client.Tick();
    service.Step(FakeClock::now);
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
