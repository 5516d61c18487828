#include "online/OnlineAccessClientEndpoint.h"

#include <algorithm>

#include "foundation/Jobs.h"
#include "foundation/Log.h"
#include "foundation/UrlParts.h"
#include "kiv/File.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/UrlRequest.h"

namespace {
std::unique_ptr<OnlineAccessClientEndpoint>& TheEndpoint() {
  static std::unique_ptr<OnlineAccessClientEndpoint> endpoint;
  return endpoint;
}

std::unique_ptr<TMEPacket> NewPacket(uint8_t type) {
  auto p = std::make_unique<TMEPacket>();
  p->WriteU8(type);
  return p;
}

// Longest texts the string forms carry; longer ones would go out empty.
constexpr size_t kMaxText = TStream::kMaxStringLength;
constexpr size_t kMaxPText = TStream::kMaxStringLength - 1;
constexpr uint32_t kStoredFormat = 1;
// A stored record is at least a KUID, a string length, a soup and the version words.
constexpr int64_t kMinStoredRecord = 8 + 4 + 1 + 4 + 1;
}  // namespace

OnlineAccessClientEndpoint::OnlineAccessClientEndpoint(OnlineAccessSettings settings)
    : m_settings(std::move(settings)) {
  SetMaxContent(m_settings.maxContent);
}

OnlineAccessClientEndpoint::~OnlineAccessClientEndpoint() {
  Reset();
  m_socket.Close();
}

OnlineAccessClientEndpoint& OnlineAccessClientEndpoint::Instance() {
  auto& e = TheEndpoint();
  if (!e) e = std::make_unique<OnlineAccessClientEndpoint>();
  return *e;
}

void OnlineAccessClientEndpoint::Shutdown() { TheEndpoint().reset(); }

OnlineAccessClientEndpoint& OnlineAccessClientEndpoint::Restart(OnlineAccessSettings settings) {
  auto& e = TheEndpoint();
  e.reset();
  e = std::make_unique<OnlineAccessClientEndpoint>(std::move(settings));
  return *e;
}

std::string OnlineAccessClientEndpoint::StoredMessagesPath() const {
  std::string folder =
      m_settings.cacheFolder.empty() ? GetUserDataFolder() + "/cache" : m_settings.cacheFolder;
  return folder + "/oa_messages.dat";
}

bool OnlineAccessClientEndpoint::Connect(bool force) {
  if (!force && (m_status == kConnecting || m_status == kOnline)) return false;
  std::string profile = UMBGetOnlineAccount();
  if (profile.empty()) {
    LogLine("OnlineAccessClientEndpoint::Connect> empty profile name");
    m_status = kNoProfile;
    return false;
  }
  Reset();
  m_status = kConnecting;
  if (UMBGetOnlineSessionKey().empty()) {
    UrlParts url;
    // Fixed option text that parses.
    (void)url.Parse("oalogin://");
    m_pendingLogin = UMBUrlRequest::Start(url, 2);
    return false;
  }
  if (!m_socket.Open()) {
    LogLine("OnlineAccessClientEndpoint::Connect> unable to open a socket");
    m_status = kDropped;
    return false;
  }
  SetConnectionMode(1);
  if (!m_peer.Connect(m_socket, m_settings.host, m_settings.port)) {
    LogLine("OnlineAccessClientEndpoint::Connect> unable to resolve '%s'", m_settings.host.c_str());
    m_status = kDropped;
    return false;
  }
  Attach(&m_peer);
  m_status = kConnecting;
  // An empty key is always taken.
  (void)SetLoginKey("");
  auto login = std::make_unique<TMEPacket>();
  WriteLoginPacket(*login, profile, GetClientKey());
  // A packet not sent is sent again by the resend timer, or the channel times out.
  (void)SendPacket(std::move(login));
  return true;
}

void OnlineAccessClientEndpoint::Reset() {
  // Taken out first, so a request is closed once however Reset is reached.
  if (auto pending = std::move(m_pendingLogin)) pending->Close();
  m_held.clear();
  Disconnect();
  m_peer.Reset();
  m_status = kIdle;
}

void OnlineAccessClientEndpoint::OnDisconnected() {
  m_held.clear();
  if (m_status == kConnecting || m_status == kOnline) m_status = kDropped;
}

void OnlineAccessClientEndpoint::Update() {
  const double now = ProcessClock::Seconds();
  const double dt = now - m_lastUpdate;
  m_hourUsed = std::max(0.0, m_hourUsed - dt / 3600.0 * m_hourLimit);
  m_minuteUsed = std::max(0.0, m_minuteUsed - dt / 60.0 * m_minuteLimit);
  m_lastUpdate = now;
  m_retryDelay -= dt;
  if (m_retryDelay < -10.0) m_retryDelay = 0.0;

  m_socket.Poll();
  TMEEndpoint::Update();

  if (m_pendingLogin && m_pendingLogin->Poll()) {
    uint32_t r = m_pendingLogin->QueryStatus();
    std::unique_ptr<UMBUrlRequest> done = std::move(m_pendingLogin);
    done->Close();
    if (r != 0 || m_retryDelay > 0) {
      if (m_status == kConnecting) {
        Reset();
        if (r == 3) m_status = kRefused;
      }
    } else if (m_status == kConnecting) {
      if (!Connect(true)) m_retryDelay = kRetryDelay;
    }
  }
}

void OnlineAccessClientEndpoint::AddClient(OnlineAccessClientBase* client) {
  if (std::find(m_clients.begin(), m_clients.end(), client) == m_clients.end()) m_clients.push_back(client);
  for (auto it = m_stored.begin(); it != m_stored.end();) {
    const KUID& t = (*it)->target;
    if (t.user == client->kuid.user && t.content == client->kuid.content) {
      LogLine("OnlineAccessClientEndpoint::AddClient> replaying stored message for %s",
              FormatKUIDTag(t).c_str());
      std::unique_ptr<OnlineMessage> m = std::move(*it);
      it = m_stored.erase(it);
      client->ReceiveMessage(std::move(m));
    } else {
      ++it;
    }
  }
}

void OnlineAccessClientEndpoint::RemoveClient(OnlineAccessClientBase* client) {
  m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
  for (size_t i = m_groups.size(); i-- > 0;) {
    if (i < m_groups.size()) m_groups[i]->OnClientRemoved(client);
  }
}

OnlineAccessClientBase* OnlineAccessClientEndpoint::FindClient(const KUID& kuid) const {
  for (OnlineAccessClientBase* c : m_clients)
    if (c->kuid == kuid) return c;
  return nullptr;
}

void OnlineAccessClientEndpoint::AddGroup(OnlineGroup* group) {
  if (std::find(m_groups.begin(), m_groups.end(), group) == m_groups.end()) m_groups.push_back(group);
}

void OnlineAccessClientEndpoint::RemoveGroup(OnlineGroup* group) {
  m_groups.erase(std::remove(m_groups.begin(), m_groups.end(), group), m_groups.end());
}

bool OnlineAccessClientEndpoint::SoupFitsPacket(const SoupRef& soup) const {
  // Counted, not written: a soup that holds one container under many names
  // spells it out once per name, so a few nodes can stand for terabytes.
  int depth = 0;
  return TDBBinaryFile::EncodedSize(soup, &depth) <= MaxContent() && depth <= kMaxSoupDepth;
}

int OnlineAccessClientEndpoint::Post(std::unique_ptr<TMEPacket> packet, const std::string& what) {
  if (m_hourUsed > m_hourLimit || m_minuteUsed > m_minuteLimit) {
    LogLine("OnlineAccessClientEndpoint::PostMessage> flood limit reached, not sent: %s", what.c_str());
    return kPostRefused;
  }
  const double size = double(packet->Size());
  if (!SendPacket(std::move(packet))) return kPostRefused;
  m_hourUsed += size;
  m_minuteUsed += size;
  return kPostSent;
}

int OnlineAccessClientEndpoint::PostMessage(const KUID& target, const std::string& text, const SoupRef& soup,
                                            bool senderModified) {
  if (m_status != kOnline) return kPostNotOnline;
  if (text.size() > kMaxText) return kPostRefused;  // it would go out empty
  if (!SoupFitsPacket(soup)) return kPostRefused;
  OnlineVersionedMessage m;
  m.target = target;
  m.text = text;
  m.soup = soup;
  m.version = 1;
  m.senderModified = senderModified;
  auto packet = NewPacket(OnlineMessageType::Versioned);
  m.Write(*packet);
  return Post(std::move(packet), text);
}

int OnlineAccessClientEndpoint::PostGroupMessage(const Kiv::PString& groupKey, const SoupRef& soup,
                                                 const KUID& sender) {
  if (m_status != kOnline) return kPostNotOnline;
  if (groupKey.Length() > kMaxPText) return kPostRefused;
  if (!SoupFitsPacket(soup)) return kPostRefused;
  OnlineGroupMessage m;
  m.groupKey = groupKey;
  m.soup = soup;
  m.sender = sender;
  auto packet = NewPacket(OnlineMessageType::GroupPost);
  m.Write(*packet);
  return Post(std::move(packet), groupKey.Str());
}

bool OnlineAccessClientEndpoint::SendRequest(std::unique_ptr<TMEPacket> packet) {
  if (!IsConnected()) return false;
  if (m_status == kConnecting && !HasLoginKey()) {
    if (m_held.size() >= kMaxQueued) return false;
    m_held.push_back(std::move(packet));
    return true;
  }
  return SendPacket(std::move(packet));
}

bool OnlineAccessClientEndpoint::SendGroupClose(const Kiv::PString& key) {
  if (key.IsEmpty() || key.Length() > kMaxPText) return false;
  auto p = NewPacket(OnlineMessageType::GroupClose);
  p->WritePString(key);
  return SendRequest(std::move(p));
}

bool OnlineAccessClientEndpoint::SendGroupMember(const Kiv::PString& key, uint8_t mode,
                                                 const Kiv::PString& user) {
  if (key.Length() > kMaxPText || user.Length() > kMaxPText) return false;
  auto p = NewPacket(OnlineMessageType::GroupMembers);
  p->WritePString(key);
  p->WriteU8(mode);
  p->WritePString(user);
  return SendRequest(std::move(p));
}

bool OnlineAccessClientEndpoint::SendGroupMode(const Kiv::PString& key, uint32_t set, uint32_t clear) {
  if (key.Length() > kMaxPText) return false;
  auto p = NewPacket(OnlineMessageType::GroupMode);
  p->WritePString(key);
  p->WriteU32(set);
  p->WriteU32(clear);
  return SendRequest(std::move(p));
}

bool OnlineAccessClientEndpoint::SendGroupUserMode(const Kiv::PString& key, const Kiv::PString& user,
                                                   uint32_t set, uint32_t clear) {
  if (key.Length() > kMaxPText || user.Length() > kMaxPText) return false;
  auto p = NewPacket(OnlineMessageType::GroupUserMode);
  p->WritePString(key);
  p->WritePString(user);
  p->WriteU32(set);
  p->WriteU32(clear);
  return SendRequest(std::move(p));
}

bool OnlineAccessClientEndpoint::SendGroupJoin(const Kiv::PString& key, uint32_t mode) {
  if (key.Length() > kMaxPText) return false;
  auto p = NewPacket(OnlineMessageType::GroupJoin);
  p->WritePString(key);
  p->WriteU32(mode);
  return SendRequest(std::move(p));
}

uint32_t OnlineAccessClientEndpoint::SendGroupCreate(uint32_t mode) {
  uint32_t id = ++m_requestCounter;
  if (id == 0) id = ++m_requestCounter;
  auto p = NewPacket(OnlineMessageType::GroupCreate);
  p->WriteU32(id);
  p->WriteU32(mode);
  return SendRequest(std::move(p)) ? id : 0;
}

void OnlineAccessClientEndpoint::LoginFailed() {
  m_status = kRefused;
  // The login failure is marked for the asset database; nothing is waiting on it.
  (void)UMBOnlineLoginFailed();
}

OnlineAccessClientEndpoint::OnlineGroup* OnlineAccessClientEndpoint::FindGroupByKey(
    const Kiv::PString& key) const {
  if (key.IsEmpty()) return nullptr;  // a group still being created has no key yet
  for (OnlineGroup* g : m_groups)
    if (g->MatchesKey(key)) return g;
  return nullptr;
}

void OnlineAccessClientEndpoint::Deliver(std::unique_ptr<OnlineMessage> message) {
  if (OnlineAccessClientBase* client = FindClient(message->target)) {
    client->ReceiveMessage(std::move(message));
    return;
  }
  LogLine("OnlineAccessClientEndpoint::HandlePacket> Storing iRovana message for %s",
          FormatKUIDTag(message->target).c_str());
  Store(std::move(message));
}

void OnlineAccessClientEndpoint::Store(std::unique_ptr<OnlineMessage> message) {
  if (m_settings.maxStoredMessages == 0) return;
  while (m_stored.size() >= m_settings.maxStoredMessages) {
    LogLine("OnlineAccessClientEndpoint::HandlePacket> too many stored messages, dropping the oldest for %s",
            FormatKUIDTag(m_stored.front()->target).c_str());
    m_stored.pop_front();
  }
  m_stored.push_back(std::move(message));
}

void OnlineAccessClientEndpoint::HandleGroupEvent(uint8_t type, TMEPacket& packet) {
  using namespace OnlineMessageType;
  if (type == GroupPost) {
    auto m = std::make_unique<OnlineGroupMessage>();
    m->Read(packet);
    if (packet.GetError()) return;
    if (OnlineGroup* g = FindGroupByKey(m->groupKey))
      g->OnMessage(std::move(m));
    else
      // A request that cannot be queued is dropped; the service closes the group by itself when the client goes.
      (void)SendGroupClose(m->groupKey);
    return;
  }
  uint32_t requestId = type == GroupCreate ? packet.ReadU32() : 0;
  Kiv::PString key = packet.ReadPString();
  if (packet.GetError()) return;
  OnlineGroup* group = nullptr;
  if (type == GroupCreate) {
    for (OnlineGroup* g : m_groups)
      if (g->MatchesRequest(requestId)) {
        group = g;
        break;
      }
  } else {
    group = FindGroupByKey(key);
  }
  if (type == GroupClose) {
    if (group) group->OnClosed();
    return;
  }
  if (!group) {
    // A request that cannot be queued is dropped; the service closes the group by itself when the client goes.
    (void)SendGroupClose(key);
    return;
  }
  if (type == GroupMembers)
    group->OnUsersChanged(packet);
  else
    group->OnJoined(key, packet);
}

void OnlineAccessClientEndpoint::HandlePacket(TMEPacket& packet) {
  using namespace OnlineMessageType;
  const uint8_t type = packet.ReadU8(255);
  // Each reply leads with the fields it cannot do without; those after them may
  // be missing (a refusal may carry its text alone) and read as defaults.
  switch (type) {
    case LoginReply: {
      // Read as the stream gives it: a reply cut short, even an empty one, reads
      // as an empty error and an empty key, a refusal (2) rather than a login
      // left connecting for ever.
      std::string error = packet.ReadString();
      std::string key = packet.GetError() ? std::string() : packet.ReadString();
      if (!error.empty()) {
        m_status = kRefused;
      } else if (!SetLoginKey(key)) {
        m_status = kShortLoginKey;
      } else {
        auto reply = NewPacket(SessionKey);
        reply->WriteString(UMBGetOnlineSessionKey());
        // A packet not sent is sent again by the resend timer, or the channel times out.
        (void)SendPacket(std::move(reply));
        std::vector<std::unique_ptr<TMEPacket>> held = std::move(m_held);
        m_held.clear();
        // A packet not sent is sent again by the resend timer, or the channel times out.
        for (auto& p : held) (void)SendPacket(std::move(p));
      }
      return;
    }
    case LoginResult:
    case LoginLimits: {
      std::string error = packet.ReadString();
      if (packet.GetError()) break;
      if (!error.empty()) {
        LoginFailed();
        return;
      }
      if (type == LoginLimits) {
        // The field is skipped; its value is not used.
        (void)packet.ReadBool();
        const uint32_t minute = packet.ReadU32();
        packet.ReadU32();
        const uint32_t hour = packet.ReadU32();
        // Limits cut short would read as 0 and refuse every post: the current ones stay.
        if (!packet.GetError()) {
          m_minuteLimit = minute;
          m_hourLimit = hour;
          LogLine("OnlineAccessClientEndpoint::HandlePacket> Flood limits set by server (%f,%f)", m_hourLimit,
                  m_minuteLimit);
        }
      }
      m_status = kOnline;
      return;
    }
    case Plain:
    case Versioned: {
      std::unique_ptr<OnlineMessage> m;
      if (type == Plain)
        m = std::make_unique<OnlineMessage>();
      else
        m = std::make_unique<OnlineVersionedMessage>();
      // Target, text and soup must be whole; a missing version and flag read as 0 and false.
      m->OnlineMessage::Read(packet);
      if (packet.GetError()) break;
      if (type == Versioned) static_cast<OnlineVersionedMessage&>(*m).ReadTrailer(packet);
      Deliver(std::move(m));
      return;
    }
    case GroupJoined:
    case GroupClose:
    case GroupMembers:
    case GroupPost:
    case GroupCreate: HandleGroupEvent(type, packet); return;
    default: return;  // types the client does not take, and empty packets
  }
  LogLine("OnlineAccessClientEndpoint::HandlePacket> malformed message of type %d ignored", int(type));
}

Kiv::Status OnlineAccessClientEndpoint::SaveStoredMessages() {
  TBuffer out;
  out.WriteU32(kStoredFormat);
  out.WriteU32(uint32_t(m_stored.size()));
  for (const auto& m : m_stored) {
    if (m->IsVersioned()) {
      m->Write(out);
    } else {
      OnlineVersionedMessage v;
      v.target = m->target;
      v.text = m->text;
      v.soup = m->soup;
      v.Write(out);
    }
  }
  std::string path = StoredMessagesPath();
  Kiv::File::Path folder(path);
  folder.RemoveFileName();
  // A folder in the file's place goes; should it stay, the write below says so.
  if (Kiv::File::IsDirectory(path)) (void)Kiv::File::Prune(path);
  // Written beside and renamed over, so a failure keeps the old file.
  if (!Kiv::File::CreateDirectories(folder.Str()) ||
      !Kiv::File::ReplaceFileAtomic(path, out.Data(), out.Size())) {
    Kiv::Status failed = Kiv::Status::FromLastFileError();
    LogLine("OnlineAccessClientEndpoint::SaveStoredMessages> unable to write '%s': %s", path.c_str(),
            failed.message().c_str());
    return failed;
  }
  if (out.GetError() != TStream::kErrorNone)
    return Kiv::Status::Corruption("a stored message could not be written whole to '" + path +
                                   "'; it was kept with stand-ins");
  return Kiv::Status::OK();
}

bool OnlineAccessClientEndpoint::LoadStoredMessages() {
  std::string path = StoredMessagesPath();
  std::vector<uint8_t> bytes;
  if (!Kiv::File::Exists(path) || !Kiv::File::ReadWholeFile(path, bytes, uint64_t(1) << 28)) return false;
  TBuffer in(bytes.data(), bytes.size());
  if (in.ReadU32() != kStoredFormat || in.GetError()) return false;
  uint32_t count = in.ReadU32();
  if (in.GetError()) return false;
  m_stored.clear();
  for (uint32_t i = 0; i < count; ++i) {
    // The count is only believed as far as the bytes go.
    if (in.Remaining() < kMinStoredRecord) break;
    auto m = std::make_unique<OnlineVersionedMessage>();
    m->Read(in);
    if (in.GetError()) break;  // the damaged record is dropped, the ones before kept
    Store(std::move(m));
  }
  if (m_stored.size() != count) {
    LogLine("OnlineAccessClientEndpoint::LoadStoredMessages> '%s' is damaged: %zu of %u messages read",
            path.c_str(), m_stored.size(), count);
    return false;
  }
  return true;
}
