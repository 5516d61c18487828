// A loopback stand-in for the online-access service, for tests only. Its
// transport is written from the wire description on its own (it shares no code
// with the client's channel or scrambler, only the stream and soup codec), so a
// mistake made the same way on both sides cannot pass unnoticed. It runs on the
// test's thread with the test's fake time, and can lose, duplicate, reorder and
// delay datagrams in either direction.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/Stream.h"
#include "kiv/Udp.h"

namespace loopback {

using Bytes = std::vector<uint8_t>;

// The fake process clock every online test runs on.
struct FakeClock {
  FakeClock();
  ~FakeClock();
  static double now;
  static void Advance(double seconds) { now += seconds; }
};

struct Faults {
  double drop = 0;       // chance a datagram is lost
  double duplicate = 0;  // chance it goes twice
  double reorder = 0;    // chance it is held back behind later ones
  double delay = 0;      // seconds every datagram is held
  // A datagram with the same header is never lost more than this many times in a
  // row, so the client never reaches its send limit in a soak.
  int maxDropsInRow = 3;
};

class LoopbackService {
public:
  struct Datagram {
    double time;
    bool fromClient;
    Bytes bytes;
  };
  enum class AckPolicy { Immediate, Piggyback, Suppressed };

  explicit LoopbackService(uint64_t seed = 1);
  uint16_t Port() const { return m_socket.LocalPort(); }

  // Reads every waiting datagram, delivers, acknowledges, retransmits and
  // releases held datagrams, all at the given time. When the client has just sent
  // `expected` datagrams, waits (200 ms at most, in real time) until they are in:
  // on a loaded machine loopback delivery can lag while fake time runs on.
  void Step(double now, size_t expected = 0);
  // Datagrams put on the wire towards a client port so far.
  size_t PutTo(uint16_t port) const {
    auto it = m_putTo.find(port);
    return it == m_putTo.end() ? 0 : it->second;
  }

  // ---- transport ----
  void Send(const Bytes& content);  // sequenced, scrambled once keyed
  void SendRaw(const Bytes& datagram);
  void SendKeepAlive();
  void SendClose();
  // Sends from a second socket: the client must ignore it.
  void SendSpoofed(const Bytes& datagram);
  // Opens the session before the client's first datagram.
  void ExpectClient(const Kiv::SocketAddress& client) {
    OpenSession(client);
    m_pinned = true;
  }
  // Transport-only runs: scramble both ways from now on with this key.
  void SetKey(const Bytes& key);
  size_t Unacknowledged() const { return m_unacked.size() + m_waiting.size(); }
  // Waits up to `ms` milliseconds (real time) for a datagram; true when one is there.
  bool WaitForDatagram(int ms) { return m_socket.WaitReadable(ms); }
  bool HasSession() const { return m_haveClient; }

  AckPolicy ackPolicy = AckPolicy::Immediate;
  bool retransmit = true;
  double retransmitAfter = 2.0;
  size_t fragmentSize = 1469;
  bool shuffleFragments = false;
  bool reverseFragments = false;
  bool duplicateFragments = false;
  Faults in, out;

  // ---- service ----
  bool service = true;  // false: transport only, contents go to `delivered`
  bool answerLogin = true;
  std::string loginError;
  std::string loginKey = "ABCDEFGH";
  bool answerSessionKey = true;
  int resultType = 4;  // 3 or 4
  std::string resultError;
  bool refusalTextOnly = false;  // a refusal (1, 3 or 4) carries its error text alone
  bool emptyLoginReply = false;  // reply 1 is its type byte alone
  uint32_t minuteLimit = 300000, hourLimit = 10800000;
  std::string expectedSessionKey;  // empty: any
  int echoPosts = 0;               // 10 or 11: posts come back as that type
  bool echoGroupPosts = false;     // group posts (24) come back as they went

  // ---- what was seen ----
  std::vector<Datagram> wire;
  std::vector<Bytes> delivered;  // every sequenced client packet, unscrambled, in order
  std::vector<std::string> violations;
  int malformed = 0, keepAlives = 0, closes = 0, duplicates = 0, foreign = 0;
  bool keyed = false;
  Bytes clientKey;
  std::string profile, sessionKeySeen;
  int groupCounter = 0;
  // Members of the groups joined (28) and asked in (23), by name as written:
  // {status, flags}. A join finds "host" (status 2) already there.
  std::map<std::string, std::pair<uint8_t, uint32_t>> members;
  // Service requests by type, their contents after the type byte.
  std::map<int, std::vector<Bytes>> requests;

private:
  struct Outgoing {
    uint8_t sequence;
    Bytes content;  // scrambled already when keyed
    double sentAt;
    int sends;
  };
  struct Held {
    double releaseAt;
    int afterCount;
    Bytes bytes;
  };

  void OpenSession(const Kiv::SocketAddress& from);
  void Receive(const Bytes& datagram);
  void TakeAck(uint8_t ack);
  void Complete(uint8_t sequence, Bytes content);
  void Deliver(Bytes content);
  void Serve(const Bytes& content);
  // The member of that name in any letter case, or members.end().
  std::map<std::string, std::pair<uint8_t, uint32_t>>::iterator FindMember(std::string_view name);
  // Writes a member list of these names as `members` holds them (0xFF for one it does not).
  void WriteMembers(TBuffer& out, const std::vector<std::string>& names);
  void Transmit(Outgoing& o);
  void Emit(const Bytes& datagram);
  void Put(const Bytes& datagram);
  void BareAck();
  void Release();
  void Advance();
  bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_rng) < p; }
  uint8_t ScrambleOut(uint8_t plain);
  uint8_t UnscrambleIn(uint8_t wire);

  Kiv::DatagramSocket m_socket, m_spoof;
  Kiv::SocketAddress m_client;
  bool m_haveClient = false;
  bool m_pinned = false;  // ExpectClient: no other source opens a session
  double m_now = 0;
  std::mt19937_64 m_rng;
  uint8_t m_nextSeq = 1, m_expected = 1, m_lastInOrder = 0;
  std::map<uint8_t, Bytes> m_parked;
  struct Pieces {
    int total = -1;
    std::map<int, Bytes> parts;
  };
  std::map<uint8_t, Pieces> m_pieces;
  std::deque<Outgoing> m_unacked;
  std::deque<Bytes> m_waiting;
  bool m_ackOwed = false;
  double m_lastAck = 0;
  std::vector<Held> m_heldOut, m_heldIn;
  std::map<std::pair<bool, uint32_t>, int> m_dropsInRow;
  Bytes m_key;
  uint32_t m_sendState = 0, m_recvState = 0;
  std::map<uint16_t, size_t> m_putTo;
  std::vector<std::pair<Kiv::SocketAddress, Bytes>> m_pending;
};

}  // namespace loopback
