#pragma once
// The reliable, ordered packet channel over one UDP peer: 1..255 sequence
// numbers, cumulative acknowledgements, retransmission on a fixed back-off,
// fragmenting into split datagrams, reassembly, keep-alive, silence drop and
// close. Single-threaded: everything runs in Update and the datagram handler.
//
// Datagram: [u8 sequence][u8 ack] then either the whole content (sequence 0, or
// connection mode 0) or [u8 fragment: index in bits 0-6, 0x80 on the last] and
// at most 1469 content bytes.
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "online/Scramble.h"
#include "online/TMEPacket.h"
#include "online/UdpSocket.h"

class TMEEndpoint {
public:
  static constexpr size_t kFragmentBytes = 1469;
  static constexpr size_t kMaxDatagram = kFragmentBytes + 3;
  static constexpr size_t kMaxFragments = 127;
  static constexpr size_t kMaxInFlight = 60;
  // Bytes in flight beyond the first packet: a window of large packets would
  // otherwise overrun the peer's receive queue in one burst.
  static constexpr size_t kMaxInFlightBytes = 128 * 1024;
  // Deliveries acknowledged at once rather than after the delay.
  static constexpr size_t kAckPackets = kMaxInFlight / 2;
  static constexpr size_t kAckBytes = 32 * 1024;
  static constexpr size_t kMaxParked = 128;
  static constexpr size_t kMaxQueued = 1000;
  // Largest packet content either side accepts; a peer of this channel drops
  // anything larger unacknowledged, so the sender refuses it up front.
  static constexpr size_t kMaxContent = 0x10000;
  static constexpr double kAckDelay = 1.0;
  static constexpr double kKeepAlive = 30.0;
  static constexpr double kSilence = 300.0;
  static constexpr int kMaxSends = 5;

  TMEEndpoint();
  virtual ~TMEEndpoint();
  TMEEndpoint(const TMEEndpoint&) = delete;
  TMEEndpoint& operator=(const TMEEndpoint&) = delete;

  // Disconnects, resets sequences and timers, and takes the peer's datagrams.
  void Attach(UdpPeer* peer);
  [[nodiscard]] bool IsConnected() const { return m_peer != nullptr; }
  // Queues the packet (scrambled once a login key is set); sent by the next Update.
  // False, and the packet dropped, when not connected, when more than 1000 are
  // queued, or when the content cannot be sent (over the content limit, or more
  // than 127 fragments in split mode).
  [[nodiscard]] bool SendPacket(std::unique_ptr<TMEPacket> packet);
  virtual void Update();
  // Flushes the queue and sends the close datagram when connected; then drops
  // every packet and record and calls OnDisconnected.
  void Disconnect();

  // 8 bytes, each 1..255, made once from the process random generator.
  std::string GetClientKey();
  // Sets the login key and restarts both scramble states; a key shorter than 8
  // bytes is refused and cleared (false).
  [[nodiscard]] bool SetLoginKey(const std::string& key);
  [[nodiscard]] bool HasLoginKey() const { return m_loginKey.size() >= 8; }

  // 0: whole datagrams only; 1: split datagrams.
  void SetConnectionMode(uint32_t mode) { m_connectionMode = mode; }
  // Raises (or lowers) the content limit of both directions: test and benchmark setups.
  void SetMaxContent(size_t bytes) { m_maxContent = bytes; }
  size_t MaxContent() const { return m_maxContent; }

  // The number of fragments a content of `size` bytes is cut into (at least 1).
  static size_t FragmentCount(size_t size) {
    return size == 0 ? 1 : (size + kFragmentBytes - 1) / kFragmentBytes;
  }

  // State for tests and diagnostics.
  size_t QueuedCount() const { return m_sendQueue.size(); }
  size_t InFlightCount() const { return m_inFlight.size(); }
  size_t ParkedCount() const { return m_parked.size(); }
  size_t ReassemblyBytes() const;
  uint8_t NextSendSequence() const { return m_nextSendSeq; }

protected:
  // Each sequenced packet, in order and unscrambled; the caller deletes it after.
  virtual void HandlePacket(TMEPacket& packet) = 0;
  virtual void OnDisconnected() {}
  virtual void OnPacketDelivered(uint32_t token) { (void)token; }

  // The datagram handler (the peer's receiver).
  void HandleDatagram(const uint8_t* data, size_t size);

private:
  struct Reassembly {
    uint8_t total = 0;
    size_t bytes = 0;
    std::vector<std::optional<std::vector<uint8_t>>> fragments;
    std::vector<uint64_t> hashes;  // of each fragment's datagram
  };
  // Packets delivered under one number in the last turns of the numbering, newest first.
  static constexpr size_t kRememberedTurns = 2;
  using DeliveredTurns = std::array<std::vector<uint64_t>, kRememberedTurns>;

  double Now() const;
  [[nodiscard]] bool Transmit(TMEPacket& packet);
  [[nodiscard]] bool TransmitWhole(TMEPacket& packet);
  [[nodiscard]] bool TransmitSplit(TMEPacket& packet);
  void Flush();
  void SendControl(bool close);
  void Acknowledge(uint8_t ack);
  void PacketPath(std::unique_ptr<TMEPacket> packet);
  std::unique_ptr<TMEPacket> AddFragment(uint8_t sequence, uint8_t fragment, const uint8_t* data, size_t size,
                                         uint64_t hash);
  // A late copy from an earlier turn of the numbering, known before its
  // acknowledgement is taken or it is unscrambled: a datagram at or ahead of the
  // expected number that lies past the peer's window, or that repeats one
  // already delivered under that number.
  [[nodiscard]] bool IsStaleCopy(uint8_t sequence, uint64_t hash);
  void DropAll();
  // Sends what is queued and the close, leaves the peer, and drops all state.
  void LeavePeer();

  uint8_t m_nextSendSeq = 1;
  uint8_t m_expectedSeq = 1;
  uint8_t m_lastReceivedSeq = 0;
  uint8_t m_lastAckSent = 0;
  double m_ackTimer = 0.0;
  double m_lastHeard = 0.0;
  std::map<uint8_t, std::unique_ptr<TMEPacket>> m_parked;
  std::deque<std::unique_ptr<TMEPacket>> m_inFlight;
  std::deque<std::unique_ptr<TMEPacket>> m_sendQueue;
  UdpPeer* m_peer = nullptr;
  uint32_t m_connectionMode = 1;
  bool m_hasQueued = false;
  std::map<uint8_t, Reassembly> m_reassembly;
  std::array<DeliveredTurns, 256> m_delivered;
  std::string m_clientKey;
  std::string m_loginKey;
  uint32_t m_sendState = 0;
  uint32_t m_recvState = 0;
  TMEScrambleKey m_scrambler;
  size_t m_deliveredSinceAck = 0;
  size_t m_deliveredBytesSinceAck = 0;
  size_t m_inFlightBytes = 0;
  size_t m_maxContent = kMaxContent;
  uint32_t m_epoch = 0;  // changes on every attach, so a handler that re-attached is noticed
};
