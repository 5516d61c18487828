#include "online/TMEEndpoint.h"

#include <algorithm>
#include <cstring>

#include "foundation/Jobs.h"
#include "foundation/Log.h"
#include "kiv/Random.h"
#include "online/Scramble.h"

namespace {
// Retransmission timeouts in seconds, by the number of sends so far.
constexpr double kTimeouts[] = {2, 2, 4, 16, 32, 64};

inline int8_t Diff(uint8_t a, uint8_t b) { return static_cast<int8_t>(uint8_t(a - b)); }
inline uint8_t NextSeq(uint8_t s) { return s == 255 ? 1 : uint8_t(s + 1); }
// A datagram that comes again at least this long after it first did is being resent.
constexpr double kResendGap = 1.0;
// A repeat that may be a late copy waits for a resend only this long after the
// last delivery: the peer's first two sends, leaving it three more.
constexpr double kHoldWithin = 4.0;

// A 64-bit hash of a datagram past its sequence and ack bytes: its size, its
// first 64 and its last 8 bytes. Scrambled bytes follow the running state, so
// two datagrams that agree there are copies; a bounded hash keeps the check's
// cost apart from the datagram's size.
uint64_t DatagramHash(const uint8_t* data, size_t size) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  constexpr size_t kHead = 64, kTail = 8;
  uint64_t h = (size + 1) * kMul;
  auto mix = [&](const uint8_t* at, size_t n) {
    uint64_t w = 0;
    std::memcpy(&w, at, n);
    h = (h ^ w) * kMul;
    h ^= h >> 32;
  };
  const size_t head = std::min(size, kHead);
  for (size_t i = 0; i < head; i += 8) mix(data + i, std::min<size_t>(8, head - i));
  if (size > kHead) mix(data + size - std::min(size - kHead, kTail), std::min(size - kHead, kTail));
  return h;
}
}  // namespace

TMEEndpoint::TMEEndpoint() : m_delivered(256 * kRememberedTurns) {}

TMEEndpoint::~TMEEndpoint() {
  // A derived class's OnDisconnected is gone by now: drop everything quietly.
  LeavePeer();
}

double TMEEndpoint::Now() const { return ProcessClock::Seconds(); }

void TMEEndpoint::Attach(UdpPeer* peer) {
  Disconnect();
  double now = Now();
  m_ackTimer = now;
  m_lastHeard = now;
  m_nextSendSeq = 1;
  m_expectedSeq = 1;
  m_lastReceivedSeq = 0;
  m_lastAckSent = 0;
  for (Delivery& d : m_delivered) d = {};
  m_deliveries = 0;
  m_againSeq = 0;
  m_lastDeliveryRepeated = false;
  m_lastDeliveryAt = now;
  m_peer = peer;
  ++m_epoch;
  if (peer) peer->SetReceiver([this](const uint8_t* data, size_t size) { HandleDatagram(data, size); });
}

bool TMEEndpoint::SendPacket(std::unique_ptr<TMEPacket> packet) {
  if (!packet || !m_peer || m_sendQueue.size() > kMaxQueued) return false;
  size_t size = packet->Size();
  if (size > m_maxContent) return false;
  if (m_connectionMode == 1 ? FragmentCount(size) > kMaxFragments : m_connectionMode != 0) return false;
  if (!m_loginKey.empty()) {
    m_scrambler.Scramble(packet->GetBuffer().Data(), size, m_sendState);
    // An in-memory buffer always goes back to its start.
    (void)packet->Rewind();
  }
  m_sendQueue.push_back(std::move(packet));
  return true;
}

std::string TMEEndpoint::GetClientKey() {
  if (m_clientKey.empty()) {
    for (int i = 0; i < 8; ++i) m_clientKey.push_back(char(ProcessRandom().NextInt(255) + 1));
  }
  return m_clientKey;
}

bool TMEEndpoint::SetLoginKey(const std::string& key) {
  m_loginKey = key;
  m_sendState = 0;
  m_recvState = 0;
  if (key.size() < 8 || key.size() > kMaxLoginKey) {
    m_loginKey.clear();
    m_scrambler.Set({});
    return false;
  }
  m_scrambler.Set(GetClientKey() + m_loginKey);
  return true;
}

size_t TMEEndpoint::ReassemblyBytes() const {
  size_t n = 0;
  for (const auto& [seq, r] : m_reassembly) n += r.bytes;
  return n;
}

bool TMEEndpoint::TransmitWhole(TMEPacket& packet) {
  std::vector<uint8_t> datagram(packet.Size() + 2);
  datagram[0] = packet.sequence;
  datagram[1] = packet.ack;
  std::copy(packet.Data(), packet.Data() + packet.Size(), datagram.begin() + 2);
  return m_peer->Send(datagram.data(), datagram.size());
}

bool TMEEndpoint::TransmitSplit(TMEPacket& packet) {
  const size_t size = packet.Size();
  const size_t count = FragmentCount(size);
  if (count > kMaxFragments) return false;
  uint8_t datagram[kMaxDatagram];
  datagram[0] = packet.sequence;
  datagram[1] = packet.ack;
  const uint8_t* content = packet.Data();
  size_t offset = 0;
  for (size_t i = 0; i < count; ++i) {
    // Parts differ by at most one byte, the larger ones last.
    size_t part = (size - offset) / (count - i);
    datagram[2] = uint8_t(i | (i + 1 == count ? 0x80 : 0));
    std::copy(content + offset, content + offset + part, datagram + 3);
    offset += part;
    if (!m_peer->Send(datagram, part + 3)) return false;
  }
  return true;
}

bool TMEEndpoint::Transmit(TMEPacket& packet) {
  if (!m_peer) return false;
  double now = Now();
  packet.sendCount += 1;
  packet.sentAt = now;
  packet.ack = m_lastReceivedSeq;
  bool ok;
  if (packet.sequence == 0 || m_connectionMode == 0)
    ok = TransmitWhole(packet);
  else if (m_connectionMode == 1)
    ok = TransmitSplit(packet);
  else
    ok = false;
  if (ok) {
    m_ackTimer = now;
    m_lastAckSent = m_lastReceivedSeq;
    m_deliveredSinceAck = 0;
    m_deliveredBytesSinceAck = 0;
  }
  return ok;
}

void TMEEndpoint::Flush() {
  // Nothing leaves before the address is known, so no send is spent on it.
  bool ok = m_peer && m_peer->TakeResolution() == UdpPeer::Resolution::Resolved;
  while (ok && InFlightCount() < kMaxInFlight && m_inFlight.size() < kMaxUnconfirmed &&
         !m_sendQueue.empty() && (InFlightCount() == 0 || m_inFlightBytes < kMaxInFlightBytes)) {
    std::unique_ptr<TMEPacket> p = std::move(m_sendQueue.front());
    m_sendQueue.pop_front();
    p->sequence = m_nextSendSeq;
    m_nextSendSeq = NextSeq(m_nextSendSeq);
    ok = Transmit(*p);
    m_inFlightBytes += p->Size();
    m_inFlight.push_back(std::move(p));
  }
  TMETraffic().inFlight = uint32_t(InFlightCount());
  m_hasQueued = !m_sendQueue.empty();
}

void TMEEndpoint::SendControl(bool close) {
  if (!m_peer || m_peer->TakeResolution() != UdpPeer::Resolution::Resolved) return;
  TMEPacket packet;
  if (close) packet.WriteU8(0);
  // A packet not sent is sent again by the resend timer, or the channel times out.
  (void)Transmit(packet);
}

void TMEEndpoint::Update() {
  if (!m_peer) return;
  UdpPeer::Resolution resolution = m_peer->TakeResolution();
  if (resolution == UdpPeer::Resolution::Failed || resolution == UdpPeer::Resolution::None) {
    LogLine("TMEEndpoint::Update> the service address could not be resolved");
    Disconnect();
    return;
  }
  const double now = Now();
  if (resolution == UdpPeer::Resolution::Resolved) {
    for (auto it = m_inFlight.begin(); it != m_inFlight.end(); ++it) {
      TMEPacket* p = it->get();
      if (p->sentAt < now - kTimeouts[std::min<int>(p->sendCount, kMaxSends)]) {
        if (p->tentative && p->sendCount >= kMaxSends) {
          // Acknowledged, if only tentatively, and sent as often as any packet:
          // the peer has had its chances to take it.
          const uint32_t token = p->deliveryToken;
          --m_tentative;
          m_inFlight.erase(it);
          if (token) OnPacketDelivered(token);
        } else if (p->sendCount < kMaxSends) {
          // A packet not sent is sent again by the resend timer, or the channel times out.
          (void)Transmit(*p);
        } else {
          LogLine("TMEEndpoint::Update> packet %d unacknowledged after %d sends, disconnecting",
                  int(p->sequence), kMaxSends);
          Disconnect();
        }
        return;
      }
    }
    Flush();
    // Besides the delayed ack, half a window of deliveries is acknowledged at once, so a
    // sender with a full window never waits out the delay.
    const bool ackDue = m_lastReceivedSeq != m_lastAckSent &&
                        (m_ackTimer < now - kAckDelay || m_deliveredSinceAck >= kAckPackets ||
                         m_deliveredBytesSinceAck >= kAckBytes);
    if (ackDue || m_ackTimer < now - kKeepAlive) {
      SendControl(false);
      return;
    }
  }
  if (m_lastHeard < now - kSilence) Disconnect();
}

void TMEEndpoint::LeavePeer() {
  if (m_peer) {
    Flush();
    SendControl(true);
    m_peer->SetReceiver(nullptr);
    m_peer = nullptr;
  }
  DropAll();
}

void TMEEndpoint::Disconnect() {
  LeavePeer();
  OnDisconnected();
}

int TMEEndpoint::FindDelivered(uint8_t sequence, uint64_t hash) const {
  const Delivery* turns = Turns(sequence);
  for (size_t i = 0; i < kRememberedTurns && turns[i].index != 0; ++i)
    if (std::find(turns[i].hashes.begin(), turns[i].hashes.end(), hash) != turns[i].hashes.end())
      return int(i);
  return -1;
}

bool TMEEndpoint::Screen(uint8_t sequence, uint64_t hash, bool& takeAck) {
  const int turn = FindDelivered(sequence, hash);
  // At or ahead of the expected number every delivery remembered is an earlier
  // turn's. A repeat of one is kept (a peer that sends the same again may send
  // the same bytes), but it may be a late copy, whose ack means other packets now.
  if (Diff(sequence, m_expectedSeq) >= 0) {
    takeAck = turn < 0;
    return true;
  }
  // Behind: its ack is not taken either, for the same reason; the peer's newer
  // datagrams and bare acks carry what it has.
  takeAck = false;
  const Delivery& current = Turns(sequence)[0];
  if (turn == 0 || current.index == 0) {
    // A resend: the peer may have missed the acknowledgement.
    if (Diff(sequence, m_lastAckSent) <= 0) m_lastAckSent = 0;
    return false;
  }
  // Other bytes than this turn's delivery under the number, and no earlier
  // turn's either: when that delivery repeated an earlier packet, this is the
  // peer's own, and the receive state is out of step for good.
  if (turn < 0 && current.possibleCopy) {
    LogLine(
        "TMEEndpoint::HandleDatagram> packet %d came again with other content than the copy of an earlier "
        "packet delivered under its number: the stream is garbled, disconnecting",
        int(sequence));
    Disconnect();
  }
  return false;
}

bool TMEEndpoint::IsProvenCopy(const TMEPacket& packet) const {
  if (m_loginKey.empty() || packet.Size() < kProvenCopyBytes) return false;
  const Delivery* turns = Turns(packet.sequence);
  for (size_t i = 0; i < kRememberedTurns && turns[i].index != 0; ++i) {
    if (turns[i].hashes != packet.datagramHashes) continue;
    // The same wire bytes as then: unscrambled now they say what they said then
    // only where the masks agree.
    uint32_t now = m_recvState, then = turns[i].startState;
    size_t differ = 0;
    const uint8_t* data = packet.Data();
    for (size_t k = 0; k < packet.Size() && differ < kProvenCopyBytes; ++k) {
      differ += m_scrambler.MaskAt(now) != m_scrambler.MaskAt(then);
      now += data[k];
      then += data[k];
    }
    return differ >= kProvenCopyBytes;
  }
  return false;
}

bool TMEEndpoint::CameAgain(const TMEPacket& packet, double now, bool whileParked, int times) {
  if (whileParked && packet.cameAgain) return true;
  const uint64_t hash = packet.datagramHashes.empty() ? 0 : packet.datagramHashes.front();
  if (hash == m_againHash && packet.sequence == m_againSeq) {
    ++m_againCount;
    return m_againCount >= times && now - m_againAt >= kResendGap;
  }
  m_againHash = hash;
  m_againSeq = packet.sequence;
  m_againAt = packet.arrivedAt;
  m_againCount = 1;
  return false;
}

void TMEEndpoint::NoteRepeat(TMEPacket& parked, uint64_t hash) {
  if (Now() - parked.arrivedAt >= kResendGap &&
      std::find(parked.datagramHashes.begin(), parked.datagramHashes.end(), hash) !=
          parked.datagramHashes.end())
    parked.cameAgain = true;
}

void TMEEndpoint::Remember(TMEPacket& packet, uint32_t startState) {
  const bool repeat = IsKnownCopy(packet);
  m_lastDeliveryRepeated = repeat;
  Delivery* turns = Turns(packet.sequence);
  std::rotate(turns, turns + kRememberedTurns - 1, turns + kRememberedTurns);
  Delivery& d = turns[0];
  d.index = ++m_deliveries;
  d.startState = startState;
  d.hashes = std::move(packet.datagramHashes);
  d.possibleCopy = repeat;
}

void TMEEndpoint::DropAll() {
  m_parked.clear();
  m_inFlight.clear();
  m_inFlightBytes = 0;
  m_tentative = 0;
  m_sendQueue.clear();
  m_reassembly.clear();
  m_hasQueued = false;
}

void TMEEndpoint::Acknowledge(uint8_t ack, bool bare) {
  if (ack == 0) return;
  // An ack past the newest packet sent is an old copy's: it would take packets the peer never had.
  if (!m_inFlight.empty() && Diff(ack, m_inFlight.back()->sequence) > 0) return;
  std::vector<uint32_t> tokens;
  for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
    TMEPacket& p = **it;
    if (Diff(p.sequence, ack) > 0) {
      ++it;
      continue;
    }
    // A copy of the same bare ack confirms nothing; a newer one, or one that
    // answers a resend, does.
    const bool confirmed =
        !bare || (p.tentative && (p.tentativeAck != ack || p.tentativeSends != p.sendCount));
    if (!confirmed) {
      if (!p.tentative) {
        m_inFlightBytes -= p.Size();
        p.tentative = true;
        p.tentativeAck = ack;
        p.tentativeSends = p.sendCount;
        ++m_tentative;
      }
      ++it;
      continue;
    }
    if (p.tentative)
      --m_tentative;
    else
      m_inFlightBytes -= p.Size();
    if (p.deliveryToken) tokens.push_back(p.deliveryToken);
    it = m_inFlight.erase(it);
  }
  for (uint32_t t : tokens) OnPacketDelivered(t);
}

void TMEEndpoint::HandleDatagram(const uint8_t* data, size_t size) {
  if (size == 0 || !m_peer) return;
  const uint8_t sequence = data[0];
  bool whole = m_connectionMode == 0 || (m_connectionMode == 1 && sequence == 0);
  if (m_connectionMode > 1) return;
  if (whole) {
    if (size < 2) return;
    auto packet = std::make_unique<TMEPacket>(data + 2, size - 2);
    packet->sequence = sequence;
    packet->ack = data[1];
    if (sequence != 0) {
      const uint64_t hash = DatagramHash(data + 2, size - 2);
      bool takeAck = false;
      const bool expected = sequence == m_expectedSeq;
      if (!Screen(sequence, hash, takeAck)) return;
      if (!takeAck) {
        // A repeat at the expected number is most likely the peer's own packet in
        // a cycle of repeated messages; a late copy lands there one time in 255.
        if (expected) Acknowledge(packet->ack, true);
        packet->ack = 0;
      }
      packet->datagramHashes.push_back(hash);
    }
    PacketPath(std::move(packet));
    return;
  }
  // A split datagram never exceeds one fragment's room.
  if (size < 3 || size > kMaxDatagram) return;
  const uint64_t hash = DatagramHash(data + 2, size - 2);
  bool takeAck = false;
  const bool expected = sequence == m_expectedSeq;
  if (!Screen(sequence, hash, takeAck)) return;
  // A repeat at the expected number is most likely the peer's own packet in a
  // cycle of repeated messages; a late copy lands there one time in 255.
  if (takeAck || expected) Acknowledge(data[1], !takeAck);
  if (!m_peer) return;
  if (auto parked = m_parked.find(sequence); parked != m_parked.end()) {
    if (!takeAck) NoteRepeat(*parked->second, hash);
    if (!takeAck || !IsKnownCopy(*parked->second)) return;
    LogLine("TMEEndpoint::HandleDatagram> a late copy of an earlier packet %d ignored", int(sequence));
    m_parked.erase(parked);
  }
  std::unique_ptr<TMEPacket> packet = AddFragment(sequence, data[2], data + 3, size - 3, hash, !takeAck);
  if (packet) {
    packet->sequence = sequence;
    PacketPath(std::move(packet));
  }
}

bool TMEEndpoint::IsKnownCopy(const TMEPacket& packet) const {
  for (uint64_t h : packet.datagramHashes)
    if (FindDelivered(packet.sequence, h) >= 0) return true;
  return false;
}

std::unique_ptr<TMEPacket> TMEEndpoint::AddFragment(uint8_t sequence, uint8_t fragment, const uint8_t* data,
                                                    size_t size, uint64_t hash, bool knownCopy) {
  Reassembly& r = m_reassembly[sequence];
  const size_t index = fragment & 0x7F;
  // A late copy's fragment never displaces one that may be the peer's own.
  if (knownCopy && index < r.fragments.size() && r.fragments[index]) return nullptr;
  if (fragment & 0x80) r.total = uint8_t(index + 1);
  if (r.fragments.size() < index + 1) {
    r.fragments.resize(index + 1);
    r.hashes.resize(index + 1);
  }
  if (r.fragments[index]) r.bytes -= r.fragments[index]->size();
  r.fragments[index].emplace(data, data + size);
  r.hashes[index] = hash;
  r.bytes += size;
  // A record that can only end in a packet over the limit is dropped now, which
  // keeps a flood of fragments from holding more than the limit per sequence.
  if (r.bytes > m_maxContent) {
    m_reassembly.erase(sequence);
    return nullptr;
  }
  if (r.total == 0 || r.fragments.size() < r.total) return nullptr;
  for (size_t i = 0; i < r.total; ++i)
    if (!r.fragments[i]) return nullptr;  // an empty fragment is present, a missing one is not
  auto packet = std::make_unique<TMEPacket>();
  // The size was checked when the fragments were taken; the buffer grows as needed.
  (void)packet->GetBuffer().Reserve(r.bytes);
  for (size_t i = 0; i < r.total; ++i)
    // The size was checked when the fragments were taken; the buffer grows as needed.
    (void)packet->GetBuffer().Append(r.fragments[i]->data(), r.fragments[i]->size());
  packet->datagramHashes.assign(r.hashes.begin(), r.hashes.begin() + r.total);
  m_reassembly.erase(sequence);
  return packet;
}

void TMEEndpoint::PacketPath(std::unique_ptr<TMEPacket> packet) {
  if (packet->Size() > m_maxContent) return;
  Acknowledge(packet->ack, packet->sequence == 0);
  if (!m_peer) return;
  const double now = Now();
  packet->arrivedAt = now;
  if (packet->sequence == 0) {
    if (packet->Size() == 0)
      m_lastHeard = now;
    else if (packet->Size() == 1)
      Disconnect();
    return;
  }
  if (packet->sequence == m_expectedSeq) {
    const uint32_t epoch = m_epoch;
    while (packet) {
      if (IsProvenCopy(*packet)) {
        // Not acknowledged, so the peer sends its own packet again. The same
        // bytes again on the resend schedule are that packet itself: the
        // receive state is out of step, so the stream is garbled.
        if (CameAgain(*packet, now, false, 3)) {
          LogLine(
              "TMEEndpoint::HandleDatagram> packet %d keeps coming as it was delivered in an earlier turn, "
              "which the receive state no longer decodes: the stream is garbled, disconnecting",
              int(packet->sequence));
          Disconnect();
          return;
        }
        LogLine("TMEEndpoint::HandleDatagram> a late copy of an earlier packet %d ignored",
                int(packet->sequence));
        break;
      }
      // A repeat of an earlier turn's packet right after a new one may be a late
      // copy standing in for a new packet of the peer's: it waits, unacknowledged,
      // for the peer's own packet or for the same bytes again on the resend schedule.
      // After a long wait it is likely one of the peer's last sends, and is taken.
      if (!m_loginKey.empty() && !m_lastDeliveryRepeated && now - m_lastDeliveryAt < kHoldWithin &&
          IsKnownCopy(*packet) && !CameAgain(*packet, now, true, 2)) {
        break;
      }
      m_againSeq = 0;  // what was turned away under the last number is past
      m_lastDeliveryAt = now;
      if (m_lastReceivedSeq == m_lastAckSent) m_ackTimer = now;
      m_lastReceivedSeq = m_expectedSeq;
      const uint32_t startState = m_recvState;
      if (!m_loginKey.empty())
        m_scrambler.Unscramble(packet->GetBuffer().Data(), packet->Size(), m_recvState);
      Remember(*packet, startState);
      ++m_deliveredSinceAck;
      m_deliveredBytesSinceAck += packet->Size();
      // An in-memory buffer always goes back to its start.
      (void)packet->Rewind();
      HandlePacket(*packet);
      packet.reset();
      if (m_epoch != epoch || !m_peer) return;  // the handler closed or re-attached the channel
      m_expectedSeq = NextSeq(m_expectedSeq);
      uint8_t stale = uint8_t(m_expectedSeq + 127);
      if (stale == 0) stale = 1;
      m_reassembly.erase(stale);
      m_parked.erase(stale);
      auto it = m_parked.find(m_expectedSeq);
      if (it != m_parked.end()) {
        packet = std::move(it->second);
        m_parked.erase(it);
      }
    }
    m_lastHeard = now;
    return;
  }
  // Ahead (behind ones were screened out): parked until the gap fills. A late
  // copy parked there gives way to a datagram that may be the peer's own.
  auto parked = m_parked.find(packet->sequence);
  if (parked != m_parked.end()) {
    for (uint64_t h : packet->datagramHashes) NoteRepeat(*parked->second, h);
    if (IsKnownCopy(*packet) || !IsKnownCopy(*parked->second)) return;
    LogLine("TMEEndpoint::HandleDatagram> a late copy of an earlier packet %d ignored",
            int(packet->sequence));
    m_parked.erase(parked);
  }
  if (m_parked.size() < kMaxParked) m_parked[packet->sequence] = std::move(packet);
}
