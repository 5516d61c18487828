#pragma once
// The online client's UDP socket with its peers. A peer's destination comes
// from a name resolution that may finish on the connector thread; the answer
// waits in a locked hand-over box until the main thread takes it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kiv/Udp.h"

class UdpPeer;

class UdpSocket {
public:
  static constexpr size_t kReceiveBufferSize = 100000;
  static constexpr int kDatagramsPerPoll = 32;

  UdpSocket();
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // A non-blocking socket on any address and a system-chosen port; an open one is
  // closed first (a reconnect never leaks the old descriptor). False when it fails.
  [[nodiscard]] bool Open();
  // Closes the socket and forgets the peers (which are not deleted).
  void Close();
  [[nodiscard]] bool IsOpen() const { return m_socket.IsOpen(); }
  uint16_t LocalPort() const { return m_socket.LocalPort(); }

  // Reads one datagram and hands it to the peer it came from; datagrams from
  // unknown sources are dropped. False when nothing was waiting.
  [[nodiscard]] bool ReceiveOne();
  // ReceiveOne up to 32 times, stopping at the first false.
  void Poll();

  void AttachPeer(UdpPeer* peer);
  void DetachPeer(UdpPeer* peer);

  // Waits up to timeoutMs for a datagram (test drivers on a loaded machine).
  [[nodiscard]] bool WaitReadable(int timeoutMs) const { return m_socket.WaitReadable(timeoutMs); }

  [[nodiscard]] bool SendTo(const Kiv::SocketAddress& to, const void* data, size_t size) {
    return m_socket.SendTo(to, data, size);
  }

private:
  Kiv::DatagramSocket m_socket;
  std::vector<UdpPeer*> m_peers;
  std::unique_ptr<uint8_t[]> m_buffer;
};

class UdpPeer {
public:
  using Receiver = std::function<void(const uint8_t* data, size_t size)>;
  enum class Resolution { None, Pending, Resolved, Failed };

  UdpPeer() = default;
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  // Detaches from the current socket, starts resolving (host, port) and attaches
  // to the socket. A numeric address resolves at once; a name resolves on the
  // connector thread. False when the resolution cannot even be queued.
  [[nodiscard]] bool Connect(UdpSocket& socket, const std::string& host, int port);
  void SetReceiver(Receiver receiver) { m_receiver = std::move(receiver); }
  // Clears the receiver and the socket; a pending resolution is dropped.
  void Reset();

  // Takes a finished resolution over (main thread) and reports the state.
  Resolution TakeResolution();
  const Kiv::SocketAddress& Address() const { return m_address; }
  UdpSocket* Socket() const { return m_socket; }

  [[nodiscard]] bool Send(const void* data, size_t size);

private:
  friend class UdpSocket;
  struct HandOver;

  Receiver m_receiver;
  UdpSocket* m_socket = nullptr;
  Kiv::SocketAddress m_address;
  Resolution m_resolution = Resolution::None;
  std::shared_ptr<HandOver> m_pending;
};

// Process-wide traffic counters; only ever increased.
struct TMETrafficCounters {
  uint32_t datagramsSent = 0;
  uint32_t datagramsReceived = 0;
  uint32_t bytes = 0;          // sent plus received
  uint32_t inFlight = 0;       // packets in flight after the last flush
  uint32_t datagramsRead = 0;  // every datagram read, wanted or not
};
TMETrafficCounters& TMETraffic();
