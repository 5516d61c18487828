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
  // Packets kept unconfirmed, tentative ones included: within the 127 numbers
  // the peer parks ahead.
  static constexpr size_t kMaxUnconfirmed = 120;
  // Bytes in flight beyond the first packet: a window of large packets would
  // otherwise overrun the peer's receive queue in one burst.
  static constexpr size_t kMaxInFlightBytes = 128 * 1024;
  // Deliveries acknowledged at once rather than after the delay.
  static constexpr size_t kAckPackets = kMaxInFlight / 2;
  static constexpr size_t kAckBytes = 32 * 1024;
  static constexpr size_t kMaxParked = 128;
  // Longest login key taken: the longest text a string field carries.
  static constexpr size_t kMaxLoginKey = 65535;
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
  // bytes or longer than kMaxLoginKey is refused and cleared (false).
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
  // Packets the window holds: sent, and not acknowledged even tentatively.
  size_t InFlightCount() const { return m_inFlight.size() - m_tentative; }
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
  // What was delivered under one number in one turn of the numbering.
  struct Delivery {
    uint64_t index = 0;            // which delivery it was, from 1; 0: none
    uint32_t startState = 0;       // the receive scramble state it was unscrambled from
    std::vector<uint64_t> hashes;  // of each datagram it arrived in, past the header
    // It repeated a datagram delivered under its number in an earlier turn, so
    // it may have been a late copy standing in for the peer's packet.
    bool possibleCopy = false;
  };
  // Turns of the numbering remembered per number (about 2000 packets).
  static constexpr size_t kRememberedTurns = 8;
  // A repeat of an earlier packet whose masks now differ from then in this many
  // bytes is that packet's late copy: a new packet matching it byte for byte
  // under other masks would take that many coincidences.
  static constexpr size_t kProvenCopyBytes = 6;

  double Now() const;
  [[nodiscard]] bool Transmit(TMEPacket& packet);
  [[nodiscard]] bool TransmitWhole(TMEPacket& packet);
  [[nodiscard]] bool TransmitSplit(TMEPacket& packet);
  void Flush();
  void SendControl(bool close);
  // A bare acknowledgement (a datagram carrying nothing else) may be a late
  // copy, indistinguishable by its bytes: the packets it covers leave the window
  // but are kept, and resent on their timer, until a datagram with content or a
  // second bare acknowledgement covers them too.
  void Acknowledge(uint8_t ack, bool bare);
  void PacketPath(std::unique_ptr<TMEPacket> packet);
  // A known copy's fragment fills a gap only.
  std::unique_ptr<TMEPacket> AddFragment(uint8_t sequence, uint8_t fragment, const uint8_t* data, size_t size,
                                         uint64_t hash, bool knownCopy);
  // The turn (0 = the newest) whose delivery under `sequence` holds a datagram of
  // this hash, or -1.
  [[nodiscard]] int FindDelivered(uint8_t sequence, uint64_t hash) const;
  // Whether a datagram may be taken further, and whether its ack may be: a
  // datagram behind the expected number is checked against what was delivered
  // under it and dropped; one that repeats an earlier turn's delivery is kept,
  // but its ack (as old as it is) is not taken.
  [[nodiscard]] bool Screen(uint8_t sequence, uint64_t hash, bool& takeAck);
  // A packet at or ahead of the expected number holding a datagram delivered under its number before.
  [[nodiscard]] bool IsKnownCopy(const TMEPacket& packet) const;
  // A packet at the expected number that repeats an earlier one byte for byte
  // while the masks now differ from then: that packet's late copy.
  [[nodiscard]] bool IsProvenCopy(const TMEPacket& packet) const;
  void Remember(TMEPacket& packet, uint32_t startState);
  // Whether this packet came `times` times to the expected number, over a
  // retransmission interval or more (or, `whileParked`, came again so while
  // parked): the peer sending it again rather than a late copy.
  [[nodiscard]] bool CameAgain(const TMEPacket& packet, double now, bool whileParked, int times);
  // Marks a parked packet as resent when a datagram of it comes again a resend interval after it arrived.
  void NoteRepeat(TMEPacket& parked, uint64_t hash);
  Delivery* Turns(uint8_t sequence) { return &m_delivered[size_t(sequence) * kRememberedTurns]; }
  const Delivery* Turns(uint8_t sequence) const { return &m_delivered[size_t(sequence) * kRememberedTurns]; }
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
  std::vector<Delivery> m_delivered;  // kRememberedTurns per number, newest first
  uint64_t m_deliveries = 0;
  // The last packet turned away at the expected number, and when it first came.
  uint8_t m_againSeq = 0;
  uint64_t m_againHash = 0;
  double m_againAt = 0.0;
  int m_againCount = 0;
  bool m_lastDeliveryRepeated = false;  // the last delivery repeated an earlier turn's
  double m_lastDeliveryAt = 0.0;
  std::string m_clientKey;
  std::string m_loginKey;
  uint32_t m_sendState = 0;
  uint32_t m_recvState = 0;
  TMEScrambleKey m_scrambler;
  size_t m_deliveredSinceAck = 0;
  size_t m_deliveredBytesSinceAck = 0;
  size_t m_inFlightBytes = 0;  // of the packets the window holds
  size_t m_tentative = 0;      // packets in m_inFlight acknowledged tentatively
  size_t m_maxContent = kMaxContent;
  uint32_t m_epoch = 0;  // changes on every attach, so a handler that re-attached is noticed
};
