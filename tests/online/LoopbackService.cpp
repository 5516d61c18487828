#include "LoopbackService.h"

#include <algorithm>

#include "foundation/Jobs.h"
#include "foundation/Stream.h"
#include "kiv/String.h"

namespace loopback {

double FakeClock::now = 0;

FakeClock::FakeClock() {
  now = 1000.0;
  ProcessClock::SetSource([] { return FakeClock::now; });
  ProcessClock::Seconds();  // the process clock starts at this instant
}

FakeClock::~FakeClock() { ProcessClock::SetSource(nullptr); }

namespace {
int8_t Ahead(uint8_t a, uint8_t b) { return int8_t(uint8_t(a - b)); }
uint8_t After(uint8_t s) { return s == 255 ? 1 : uint8_t(s + 1); }

}  // namespace

LoopbackService::LoopbackService(uint64_t seed) : m_rng(seed) {
  // A loopback socket opens; should it not, every exchange of the tests fails.
  (void)m_socket.Open(Kiv::SocketAddress::Loopback(0));
  // A smaller buffer only drops more under load, which the tests tolerate.
  (void)m_socket.SetReceiveBufferSize(8 << 20);
  // As above: without it the spoofing tests see no traffic and fail.
  (void)m_spoof.Open(Kiv::SocketAddress::Loopback(0));
}

// The key stream, from the wire description: mask = (S & 0xFF) + (K[(S/13) % L]
// rotated right by (S/7) & 7), and both sides add the wire byte to S.
uint8_t LoopbackService::ScrambleOut(uint8_t plain) {
  uint8_t k = m_key[(m_sendState / 13) % m_key.size()];
  unsigned r = (m_sendState / 7) % 8;
  uint8_t rotated = r == 0 ? k : uint8_t((k >> r) | (k << (8 - r)));
  uint8_t wire = uint8_t(plain ^ uint8_t(m_sendState + rotated));
  m_sendState += wire;
  return wire;
}

uint8_t LoopbackService::UnscrambleIn(uint8_t wire) {
  uint8_t k = m_key[(m_recvState / 13) % m_key.size()];
  unsigned r = (m_recvState / 7) % 8;
  uint8_t rotated = r == 0 ? k : uint8_t((k >> r) | (k << (8 - r)));
  uint8_t plain = uint8_t(wire ^ uint8_t(m_recvState + rotated));
  m_recvState += wire;
  return plain;
}

void LoopbackService::SetKey(const Bytes& key) {
  m_key = key;
  m_sendState = m_recvState = 0;
  keyed = true;
}

void LoopbackService::OpenSession(const Kiv::SocketAddress& from) {
  m_client = from;
  m_haveClient = true;
  m_nextSeq = m_expected = 1;
  m_lastInOrder = 0;
  m_parked.clear();
  m_pieces.clear();
  m_heldOut.clear();
  m_ackOwed = false;
  // What went out in an earlier session is numbered and scrambled for it: the new one never sees it.
  m_unacked.erase(
      std::remove_if(m_unacked.begin(), m_unacked.end(), [](const Outgoing& o) { return o.sends > 0; }),
      m_unacked.end());
  if (service) {
    keyed = false;
    m_key.clear();
  }
}

void LoopbackService::Step(double now, size_t expected) {
  m_now = now;
  Bytes buffer(70000);
  Kiv::SocketAddress from;
  long n;
  size_t read = 0;
  for (int waits = 0; waits < 40 && read < expected; ++waits) {
    if (!m_socket.WaitReadable(5)) continue;
    while ((n = m_socket.ReceiveFrom(buffer.data(), buffer.size(), from)) >= 0) {
      ++read;
      m_pending.emplace_back(from, Bytes(buffer.begin(), buffer.begin() + n));
    }
  }
  while ((n = m_socket.ReceiveFrom(buffer.data(), buffer.size(), from)) >= 0)
    m_pending.emplace_back(from, Bytes(buffer.begin(), buffer.begin() + n));
  std::vector<std::pair<Kiv::SocketAddress, Bytes>> arrived = std::move(m_pending);
  m_pending.clear();
  for (auto& [source, datagram] : arrived) {
    from = source;
    Bytes& d = datagram;
    if (!m_haveClient || !(from == m_client)) {
      // Other test processes on this machine may still send to a port this service
      // now holds: a new session starts only with a login (or where the test said).
      const bool login = d.size() >= 4 && d[0] == 1 && d[2] == 0x80 && d[3] == 31;
      const bool control = from == m_client && d.size() >= 1 && d[0] == 0;  // a late close or ack
      if (!control) {
        if (from == m_client ? !m_pinned && !login : m_pinned || !login) {
          ++foreign;
          continue;
        }
        OpenSession(from);
      }
    }
    wire.push_back({m_now, true, d});
    uint32_t key = d.size() >= 3 ? (uint32_t(d[0]) << 8 | d[2]) : 0;
    if (Chance(in.drop) && m_dropsInRow[{true, key}] < in.maxDropsInRow) {
      ++m_dropsInRow[{true, key}];
      continue;
    }
    m_dropsInRow[{true, key}] = 0;
    if (Chance(in.reorder) || in.delay > 0) {
      m_heldIn.push_back({m_now + in.delay, 1 + int(m_rng() % 3), d});
      continue;
    }
    Receive(d);
    if (Chance(in.duplicate)) Receive(d);
    for (auto it = m_heldIn.begin(); it != m_heldIn.end();) {
      if (--it->afterCount <= 0 && it->releaseAt <= m_now) {
        Bytes held = std::move(it->bytes);
        it = m_heldIn.erase(it);
        Receive(held);
      } else {
        ++it;
      }
    }
  }
  for (auto it = m_heldIn.begin(); it != m_heldIn.end();) {
    if (it->releaseAt <= m_now) {
      Bytes held = std::move(it->bytes);
      it = m_heldIn.erase(it);
      Receive(held);
    } else {
      ++it;
    }
  }
  // Own retransmissions, oldest first.
  if (retransmit && m_haveClient) {
    for (auto& o : m_unacked)
      if (o.sentAt + retransmitAfter <= m_now) Transmit(o);
  }
  // Acknowledgements: at once for each delivery, healed every half second.
  if (m_ackOwed && ackPolicy == AckPolicy::Immediate) BareAck();
  if (ackPolicy == AckPolicy::Immediate && m_lastInOrder != 0 && m_now - m_lastAck >= 0.5) BareAck();
  for (auto it = m_heldOut.begin(); it != m_heldOut.end();) {
    if (it->releaseAt <= m_now) {
      Bytes held = std::move(it->bytes);
      it = m_heldOut.erase(it);
      Put(held);
    } else {
      ++it;
    }
  }
}

void LoopbackService::Receive(const Bytes& d) {
  if (d.size() < 2) {
    ++malformed;
    return;
  }
  if (d[0] == 0) {
    TakeAck(d[1]);
    if (d.size() == 2) {
      ++keepAlives;
    } else if (d.size() == 3) {
      ++closes;  // never answered: the client answers ours
      m_haveClient = false;
    } else {
      violations.push_back("unexpected unsequenced content");
    }
    return;
  }
  if (d.size() < 3) {
    ++malformed;
    return;
  }
  TakeAck(d[1]);
  const uint8_t seq = d[0];
  if (Ahead(seq, m_expected) < 0) {
    ++duplicates;
    m_ackOwed = true;
    return;
  }
  // Distance on the ring of 1..255 (0 is skipped).
  int distance = Ahead(seq, m_lastInOrder) - (seq < m_lastInOrder ? 1 : 0);
  if (m_lastInOrder != 0 && distance > 60)
    violations.push_back("more than 60 client packets in flight: " + std::to_string(seq) + " after " +
                         std::to_string(m_lastInOrder));
  if (m_parked.count(seq)) return;
  if (d.size() - 3 > 1469) violations.push_back("fragment over 1469 bytes");
  Pieces& p = m_pieces[seq];
  int index = d[2] & 0x7F;
  if (d[2] & 0x80) p.total = index + 1;
  p.parts[index] = Bytes(d.begin() + 3, d.end());
  if (p.total < 0) return;
  if (p.parts.rbegin()->first > p.total - 1) {
    violations.push_back("a fragment beyond the last-flagged one");
    p.parts.erase(p.parts.upper_bound(p.total - 1), p.parts.end());
  }
  if (int(p.parts.size()) < p.total) return;
  Bytes content;
  size_t smallest = SIZE_MAX, largest = 0, previous = 0;
  for (auto& [i, part] : p.parts) {
    if (part.size() < previous) violations.push_back("a larger fragment before a smaller one");
    previous = part.size();
    smallest = std::min(smallest, part.size());
    largest = std::max(largest, part.size());
    content.insert(content.end(), part.begin(), part.end());
  }
  if (largest - smallest > 1) violations.push_back("fragments differ by more than one byte");
  m_pieces.erase(seq);
  Complete(seq, std::move(content));
}

void LoopbackService::TakeAck(uint8_t ack) {
  if (ack == 0) return;
  while (!m_unacked.empty() && Ahead(m_unacked.front().sequence, ack) <= 0) m_unacked.pop_front();
  Release();
}

void LoopbackService::Complete(uint8_t seq, Bytes content) {
  if (seq != m_expected) {
    m_parked.emplace(seq, std::move(content));
    return;
  }
  Deliver(std::move(content));
  Advance();
  while (m_parked.count(m_expected)) {
    Bytes next = std::move(m_parked[m_expected]);
    m_parked.erase(m_expected);
    Deliver(std::move(next));
    Advance();
  }
  m_ackOwed = true;
}

// Past a delivery the number half a ring ahead belongs to the previous turn.
void LoopbackService::Advance() {
  m_lastInOrder = m_expected;
  m_expected = After(m_expected);
  uint8_t stale = uint8_t(m_expected + 127);
  if (stale == 0) stale = 1;
  m_pieces.erase(stale);
  m_parked.erase(stale);
}

void LoopbackService::Deliver(Bytes content) {
  if (keyed)
    for (uint8_t& b : content) b = UnscrambleIn(b);
  delivered.push_back(content);
  if (service) Serve(content);
}

void LoopbackService::Send(const Bytes& content) {
  // Before the client's first datagram the packet waits for its session.
  Bytes c = content;
  if (keyed)
    for (uint8_t& b : c) b = ScrambleOut(b);
  m_waiting.push_back(std::move(c));
  Release();
}

// At most 60 unacknowledged, as the client keeps: further ones wait their turn.
void LoopbackService::Release() {
  while (!m_waiting.empty() && m_unacked.size() < 60) {
    m_unacked.push_back(Outgoing{m_nextSeq, std::move(m_waiting.front()), 0, 0});
    m_waiting.pop_front();
    m_nextSeq = After(m_nextSeq);
    if (m_haveClient) Transmit(m_unacked.back());
  }
}

void LoopbackService::Transmit(Outgoing& o) {
  o.sentAt = m_now;
  ++o.sends;
  const size_t size = o.content.size();
  size_t count = std::max<size_t>(1, (size + fragmentSize - 1) / fragmentSize);
  std::vector<Bytes> parts;
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t part = (size - at) / (count - i);
    Bytes d{o.sequence, m_lastInOrder, uint8_t(i | (i + 1 == count ? 0x80 : 0))};
    d.insert(d.end(), o.content.begin() + at, o.content.begin() + at + part);
    at += part;
    parts.push_back(std::move(d));
  }
  if (shuffleFragments) std::shuffle(parts.begin(), parts.end(), m_rng);
  if (reverseFragments) std::reverse(parts.begin(), parts.end());
  for (auto& d : parts) {
    Emit(d);
    if (duplicateFragments) Emit(d);
  }
  if (ackPolicy != AckPolicy::Suppressed) m_ackOwed = false;
}

void LoopbackService::BareAck() {
  m_ackOwed = false;
  m_lastAck = m_now;
  Emit(Bytes{0, m_lastInOrder});
}

void LoopbackService::SendRaw(const Bytes& datagram) { Put(datagram); }
void LoopbackService::SendKeepAlive() { Emit(Bytes{0, m_lastInOrder}); }
void LoopbackService::SendClose() {
  Emit(Bytes{0, m_lastInOrder, 0});
  m_haveClient = false;
}

void LoopbackService::SendSpoofed(const Bytes& datagram) {
  // A datagram not sent is lost as on the wire; the tests then miss it.
  (void)m_spoof.SendTo(m_client, datagram.data(), datagram.size());
}

void LoopbackService::Emit(const Bytes& datagram) {
  if (!m_haveClient && !(datagram.size() == 3 && datagram[0] == 0)) return;
  uint32_t key = datagram.size() >= 3 ? (uint32_t(datagram[0]) << 8 | datagram[2]) : 0;
  if (Chance(out.drop) && m_dropsInRow[{false, key}] < out.maxDropsInRow) {
    ++m_dropsInRow[{false, key}];
    wire.push_back({m_now, false, datagram});
    return;
  }
  m_dropsInRow[{false, key}] = 0;
  if (Chance(out.reorder) || out.delay > 0) {
    m_heldOut.push_back({m_now + out.delay, 0, datagram});
    return;
  }
  Put(datagram);
  if (Chance(out.duplicate)) Put(datagram);
}

void LoopbackService::Put(const Bytes& datagram) {
  ++m_putTo[m_client.port];
  wire.push_back({m_now, false, datagram});
  // A datagram not sent is lost as on the wire; the tests then miss it.
  (void)m_socket.SendTo(m_client, datagram.data(), datagram.size());
}

// ---- the service ----

std::map<std::string, std::pair<uint8_t, uint32_t>>::iterator LoopbackService::FindMember(
    std::string_view name) {
  for (auto it = members.begin(); it != members.end(); ++it)
    if (Kiv::CompareNoCase(it->first, name) == 0) return it;
  return members.end();
}

void LoopbackService::WriteMembers(TBuffer& out, const std::vector<std::string>& names) {
  out.WriteU16(uint16_t(names.size()));
  for (const std::string& name : names) {
    const auto found = FindMember(name);
    out.WritePString(Kiv::PString(found == members.end() ? name : found->first));
    out.WriteU8(found == members.end() ? 0xFF : found->second.first);
    out.WriteU32(found == members.end() ? 0 : found->second.second);
  }
}

void LoopbackService::Serve(const Bytes& content) {
  TBuffer in(content.data(), content.size());
  const int type = in.ReadU8(255);
  requests[type].push_back(Bytes(content.begin() + (content.empty() ? 0 : 1), content.end()));
  TBuffer reply;
  switch (type) {
    case 31: {
      profile = in.ReadString();
      std::string program = in.ReadString();
      in.ReadFloat();
      in.ReadU32();
      (void)in.ReadBool();  // a field the service does not use
      std::string key = in.ReadString();
      uint8_t last = in.ReadU8();
      if (in.GetError() || program != "RovanaUtil" || last != 4 || key.size() != 8 ||
          key.find('\0') != std::string::npos)
        violations.push_back("malformed login");
      clientKey.assign(key.begin(), key.end());
      if (!answerLogin) return;
      reply.WriteU8(1);
      if (emptyLoginReply) {
        Send(Bytes(reply.Data(), reply.Data() + reply.Size()));
        return;
      }
      reply.WriteString(loginError);
      if (loginError.empty() || !refusalTextOnly) reply.WriteString(loginKey);
      Send(Bytes(reply.Data(), reply.Data() + reply.Size()));
      if (loginError.empty() && loginKey.size() >= 8) {
        // From here on both directions are scrambled, from state 0.
        m_key = clientKey;
        m_key.insert(m_key.end(), loginKey.begin(), loginKey.end());
        m_sendState = m_recvState = 0;
        keyed = true;
      }
      return;
    }
    case 2: {
      sessionKeySeen = in.ReadString();
      if (!expectedSessionKey.empty() && sessionKeySeen != expectedSessionKey)
        violations.push_back("wrong session key");
      if (!answerSessionKey) return;
      reply.WriteU8(uint8_t(resultType));
      reply.WriteString(resultError);
      if (!resultError.empty() && refusalTextOnly) break;
      if (resultType == 3) {
        reply.WriteU32(0);
        reply.WriteFloat(0);
      } else {
        reply.WriteBool(false);
        reply.WriteU32(minuteLimit);
        reply.WriteU32(0);
        reply.WriteU32(hourLimit);
      }
      break;
    }
    case 11:
      if (echoPosts == 0) return;
      reply.WriteU8(uint8_t(echoPosts));
      reply.WriteBytes(content.data() + 1, content.size() - 1);
      break;
    case 24:
      if (!echoGroupPosts) return;
      reply.WriteBytes(content.data(), content.size());
      break;
    case 29: {
      uint32_t id = in.ReadU32();
      reply.WriteU8(29);
      reply.WriteU32(id);
      std::string key = std::to_string(++groupCounter);
      key.insert(key.begin(), 'G');
      reply.WritePString(Kiv::PString(key));
      reply.WriteU16(1);
      reply.WritePString(Kiv::PString(profile));
      reply.WriteU8(1);
      reply.WriteU32(0);
      break;
    }
    case 28: {  // join: the list of the group, its host and the joiner
      const Kiv::PString key = in.ReadPString();
      members["host"] = {2, in.ReadU32()};
      members[profile] = {1, 0};
      reply.WriteU8(21);
      reply.WritePString(key);
      WriteMembers(reply, {"host", profile});
      break;
    }
    case 23: {  // a member asked in (0) or out: the change as the service sees it
      const Kiv::PString key = in.ReadPString();
      const uint8_t mode = in.ReadU8();
      const std::string name(in.ReadPString().View());
      auto found = FindMember(name);
      if (mode != 0 && found != members.end())
        members.erase(found);
      else if (mode == 0 && found == members.end())
        members[name] = {1, 0};
      else if (mode == 0)
        found->second.first = 1;
      reply.WriteU8(23);
      reply.WritePString(key);
      WriteMembers(reply, {name});
      break;
    }
    case 26: {  // a member's flags: set, then cleared
      const Kiv::PString key = in.ReadPString();
      const std::string name(in.ReadPString().View());
      const uint32_t set = in.ReadU32(), clear = in.ReadU32();
      if (auto found = FindMember(name); found != members.end())
        found->second.second = (found->second.second | set) & ~clear;
      reply.WriteU8(23);
      reply.WritePString(key);
      WriteMembers(reply, {name});
      break;
    }
    default: return;  // recorded only
  }
  if (reply.Size()) Send(Bytes(reply.Data(), reply.Data() + reply.Size()));
}

}  // namespace loopback
