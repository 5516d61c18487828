#pragma once
// Non-blocking IPv4 UDP sockets and host-name resolution: the only place the
// program touches the socket interface for datagrams.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Kiv {

// An IPv4 address and port, both in host byte order. The zero value means
// "not resolved yet".
struct SocketAddress {
  uint32_t ip = 0;
  uint16_t port = 0;

  [[nodiscard]] bool IsSet() const { return ip != 0 || port != 0; }
  friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
  // "a.b.c.d:port".
  std::string ToString() const;
  // The 16-byte system socket address, and back (false for another family).
  void ToRaw16(void* out) const;
  [[nodiscard]] static bool FromRaw16(const void* in, SocketAddress& out);

  static SocketAddress Loopback(uint16_t port) { return {0x7F000001u, port}; }
};

// Resolves a dotted numeric address without blocking; false for anything else.
[[nodiscard]] bool ParseNumericIPv4(const std::string& host, uint16_t port, SocketAddress& out);
// Resolves a host name or numeric address to its first IPv4 address. Blocks:
// call it on a worker thread for names.
[[nodiscard]] bool ResolveIPv4(const std::string& host, uint16_t port, SocketAddress& out);

class DatagramSocket {
public:
  DatagramSocket() = default;
  ~DatagramSocket() { Close(); }
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  // A non-blocking socket bound to the address (any address and a system-chosen
  // port by default). An open socket is closed first. False, and closed, when
  // any step fails.
  [[nodiscard]] bool Open(const SocketAddress& bindTo = {});
  void Close();
  [[nodiscard]] bool IsOpen() const { return m_handle >= 0; }
  // Asks for a kernel receive queue of this many bytes (beyond the system cap
  // when the process may); false when the socket is closed or the system refuses.
  [[nodiscard]] bool SetReceiveBufferSize(int bytes);
  // The bound port, 0 when closed.
  uint16_t LocalPort() const;

  // True only when the whole datagram went out.
  [[nodiscard]] bool SendTo(const SocketAddress& to, const void* data, size_t size);
  // One datagram into buffer: its length (0 for an empty datagram), or -1 when
  // none is waiting or the socket is closed. A datagram longer than the buffer
  // is cut to it.
  long ReceiveFrom(void* buffer, size_t capacity, SocketAddress& from);
  // Waits up to timeoutMs for a datagram to read; true when one is waiting.
  [[nodiscard]] bool WaitReadable(int timeoutMs) const;

private:
  int m_handle = -1;
};

// Open file descriptors of this process (leak checks in tests).
int CountOpenDescriptors();

}  // namespace Kiv
