#include "online/UdpSocket.h"

#include <algorithm>
#include <mutex>

#include "umbclient/AsyncConnect.h"

TMETrafficCounters& TMETraffic() {
  static TMETrafficCounters counters;
  return counters;
}

UdpSocket::UdpSocket() : m_buffer(new uint8_t[kReceiveBufferSize]) {}

UdpSocket::~UdpSocket() { Close(); }

bool UdpSocket::Open() {
  if (!m_socket.Open()) return false;
  // Room for a full window of split packets arriving between two polls.
  // A smaller buffer only drops more under load.
  (void)m_socket.SetReceiveBufferSize(1 << 20);
  return true;
}

void UdpSocket::Close() {
  m_socket.Close();
  for (UdpPeer* p : m_peers) p->m_socket = nullptr;
  m_peers.clear();
}

bool UdpSocket::ReceiveOne() {
  Kiv::SocketAddress from;
  long n = m_socket.ReceiveFrom(m_buffer.get(), kReceiveBufferSize, from);
  if (n < 0) return false;
  TMETraffic().datagramsRead += 1;
  // An empty datagram is read and dropped, so it cannot stall the poll.
  if (n == 0) return true;
  for (UdpPeer* p : m_peers) {
    if (p->m_resolution == UdpPeer::Resolution::Resolved && p->m_address == from) {
      TMETraffic().datagramsReceived += 1;
      TMETraffic().bytes += uint32_t(n);
      // A copy: the receiver may replace itself (a close detaches the peer).
      if (UdpPeer::Receiver receiver = p->m_receiver) receiver(m_buffer.get(), size_t(n));
      break;
    }
  }
  return true;
}

void UdpSocket::Poll() {
  for (int i = 0; i < kDatagramsPerPoll && ReceiveOne(); ++i) {}
}

void UdpSocket::AttachPeer(UdpPeer* peer) {
  if (peer->m_socket) peer->m_socket->DetachPeer(peer);
  m_peers.push_back(peer);
  peer->m_socket = this;
}

void UdpSocket::DetachPeer(UdpPeer* peer) {
  m_peers.erase(std::remove(m_peers.begin(), m_peers.end(), peer), m_peers.end());
  if (peer->m_socket == this) peer->m_socket = nullptr;
}

struct UdpPeer::HandOver {
  std::mutex lock;
  Resolution state = Resolution::Pending;
  Kiv::SocketAddress address;
};

UdpPeer::~UdpPeer() { Reset(); }

bool UdpPeer::Connect(UdpSocket& socket, const std::string& host, int port) {
  if (m_socket) m_socket->DetachPeer(this);
  CancelAsyncConnect(this);
  m_pending.reset();
  m_address = {};
  m_resolution = Resolution::Failed;
  socket.AttachPeer(this);
  if (port < 1 || port > 65535) return false;
  if (Kiv::ParseNumericIPv4(host, uint16_t(port), m_address)) {
    m_resolution = Resolution::Resolved;
    return true;
  }
  // A fresh box per request: an answer for an earlier one can only land in its own box.
  auto box = std::make_shared<HandOver>();
  bool queued = QueueAsyncResolve(host, port, this, [box](bool ok, const Kiv::SocketAddress& address) {
    std::lock_guard<std::mutex> g(box->lock);
    box->address = address;
    box->state = ok ? Resolution::Resolved : Resolution::Failed;
  });
  if (!queued) return false;
  m_pending = std::move(box);
  m_resolution = Resolution::Pending;
  return true;
}

void UdpPeer::Reset() {
  CancelAsyncConnect(this);
  m_pending.reset();
  m_receiver = nullptr;
  if (m_socket) m_socket->DetachPeer(this);
  m_resolution = Resolution::None;
  m_address = {};
}

UdpPeer::Resolution UdpPeer::TakeResolution() {
  if (m_resolution == Resolution::Pending && m_pending) {
    std::lock_guard<std::mutex> g(m_pending->lock);
    if (m_pending->state != Resolution::Pending) {
      m_address = m_pending->address;
      m_resolution = m_pending->state;
    }
  }
  if (m_resolution != Resolution::Pending) m_pending.reset();
  return m_resolution;
}

bool UdpPeer::Send(const void* data, size_t size) {
  if (!m_socket || m_resolution != Resolution::Resolved) return false;
  bool ok = m_socket->SendTo(m_address, data, size);
  TMETraffic().datagramsSent += 1;
  TMETraffic().bytes += uint32_t(size);
  return ok;
}
