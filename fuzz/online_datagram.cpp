// The online channel's datagram handler: any sequence of datagrams, in the
// connection's split mode and scrambled once keyed, is taken or ignored without
// a fault, and reassembly stays within its bound.
#include <cstdint>
#include <cstdlib>

#include "online/TMEEndpoint.h"

namespace {
class Fuzzed : public TMEEndpoint {
public:
  Fuzzed() { Attach(&m_peer); }  // a peer without a socket: nothing goes out
  ~Fuzzed() override { Disconnect(); }
  void Feed(const uint8_t* data, size_t size) { HandleDatagram(data, size); }
  size_t delivered = 0;

protected:
  void HandlePacket(TMEPacket& packet) override {
    if (packet.Size() > MaxContent()) std::abort();
    ++delivered;
  }

private:
  UdpPeer m_peer;
};
}  // namespace

// Input: a mode byte, then datagrams as [u16 length][bytes].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Fuzzed channel;
  channel.SetConnectionMode(data[0] & 1);
  // Any result will do: the run looks for faults, not answers.
  if (data[0] & 2) (void)channel.SetLoginKey("ABCDEFGH");
  size_t at = 1;
  while (at + 2 <= size) {
    size_t n = size_t(data[at]) | size_t(data[at + 1]) << 8;
    at += 2;
    if (n > size - at) n = size - at;
    channel.Feed(data + at, n);
    at += n;
    // 127 sequences ahead at most, each within the content limit.
    if (channel.ReassemblyBytes() > 128 * (TMEEndpoint::kMaxContent + TMEEndpoint::kFragmentBytes))
      std::abort();
    if (channel.ParkedCount() > TMEEndpoint::kMaxParked) std::abort();
  }
  return 0;
}
