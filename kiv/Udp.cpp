#include "kiv/Udp.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Kiv {

static_assert(sizeof(sockaddr_in) == 16, "the socket address is 16 bytes");

namespace {
sockaddr_in ToSystem(const SocketAddress& a) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_port = htons(a.port);
  s.sin_addr.s_addr = htonl(a.ip);
  return s;
}
}  // namespace

std::string SocketAddress::ToString() const {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
         std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF) + ":" + std::to_string(port);
}

void SocketAddress::ToRaw16(void* out) const {
  sockaddr_in s = ToSystem(*this);
  std::memcpy(out, &s, sizeof s);
}

bool SocketAddress::FromRaw16(const void* in, SocketAddress& out) {
  sockaddr_in s;
  std::memcpy(&s, in, sizeof s);
  if (s.sin_family != AF_INET) return false;
  out.ip = ntohl(s.sin_addr.s_addr);
  out.port = ntohs(s.sin_port);
  return true;
}

bool ParseNumericIPv4(const std::string& host, uint16_t port, SocketAddress& out) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  out.ip = ntohl(a.s_addr);
  out.port = port;
  return true;
}

bool ResolveIPv4(const std::string& host, uint16_t port, SocketAddress& out) {
  if (host.empty()) return false;
  if (ParseNumericIPv4(host, port, out)) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  bool ok = found->ai_addrlen >= sizeof(sockaddr_in) && SocketAddress::FromRaw16(found->ai_addr, out);
  freeaddrinfo(found);
  out.port = port;
  return ok;
}

bool DatagramSocket::Open(const SocketAddress& bindTo) {
  Close();
  m_handle = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  if (m_handle < 0) return false;
  int one = 1;
  setsockopt(m_handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in s = ToSystem(bindTo);
  if (bind(m_handle, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) {
    Close();
    return false;
  }
  return true;
}

void DatagramSocket::Close() {
  if (m_handle >= 0) close(m_handle);
  m_handle = -1;
}

bool DatagramSocket::SetReceiveBufferSize(int bytes) {
  if (m_handle < 0) return false;
  if (setsockopt(m_handle, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return true;
  return setsockopt(m_handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

uint16_t DatagramSocket::LocalPort() const {
  if (m_handle < 0) return 0;
  sockaddr_in s{};
  socklen_t len = sizeof s;
  if (getsockname(m_handle, reinterpret_cast<sockaddr*>(&s), &len) != 0) return 0;
  return ntohs(s.sin_port);
}

bool DatagramSocket::SendTo(const SocketAddress& to, const void* data, size_t size) {
  if (m_handle < 0) return false;
  sockaddr_in s = ToSystem(to);
  ssize_t sent;
  do {
    sent = sendto(m_handle, data, size, 0, reinterpret_cast<sockaddr*>(&s), sizeof s);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0 && size_t(sent) == size;
}

long DatagramSocket::ReceiveFrom(void* buffer, size_t capacity, SocketAddress& from) {
  if (m_handle < 0) return -1;
  sockaddr_in s{};
  socklen_t len = sizeof s;
  ssize_t got;
  do {
    got = recvfrom(m_handle, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&s), &len);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return -1;
  from.ip = ntohl(s.sin_addr.s_addr);
  from.port = ntohs(s.sin_port);
  return long(got);
}

bool DatagramSocket::WaitReadable(int timeoutMs) const {
  if (m_handle < 0) return false;
  pollfd p{m_handle, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

int CountOpenDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (readdir(d)) ++n;
  closedir(d);
  return n - 3;  // ".", ".." and the directory's own descriptor
}

}  // namespace Kiv
