#pragma once
// The process's connection to the online-access service: login through the
// asset database's account data, a status code for scripts, message delivery
// to running clients or storage for later ones, flood limits on posts, and the
// group requests of the script classes. Main thread only.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "kiv/PString.h"
#include "kiv/Status.h"
#include "online/OnlineMessages.h"
#include "online/TMEEndpoint.h"
#include "online/UdpSocket.h"

class UMBUrlRequest;

// A script object that receives messages for its asset (user and content).
class OnlineAccessClientBase {
public:
  virtual ~OnlineAccessClientBase() = default;
  virtual void ReceiveMessage(std::unique_ptr<OnlineMessage> message) = 0;
  KUID kuid;
};

struct OnlineAccessSettings {
  // Never resolves: a deployment names the real service.
  std::string host = "online-access.invalid";
  int port = 5251;
  // Folder of "oa_messages.dat"; empty: "cache" in the user-data folder.
  std::string cacheFolder;
  // Largest packet content either way (test setups lift it).
  size_t maxContent = TMEEndpoint::kMaxContent;
  size_t maxStoredMessages = 1000;
};

class OnlineAccessClientEndpoint : public TMEEndpoint {
public:
  enum Status : uint32_t {
    kNoProfile = 0,
    kIdle = 1,
    kShortLoginKey = 2,
    kRefused = 3,
    kDropped = 5,
    kConnecting = 6,
    kOnline = 7,
  };
  // Post results.
  enum : int { kPostSent = 0, kPostNotOnline = 1, kPostRefused = 4 };

  static constexpr double kDefaultMinuteLimit = 300000.0;
  static constexpr double kDefaultHourLimit = 10800000.0;
  static constexpr double kRetryDelay = 10.0;

  // A group of the OnlineGroup script class.
  class OnlineGroup {
  public:
    virtual ~OnlineGroup() = default;
    [[nodiscard]] virtual bool MatchesRequest(uint32_t id) = 0;
    virtual void OnJoined(const Kiv::PString& key, TMEPacket& rest) = 0;
    virtual void OnUsersChanged(TMEPacket& rest) = 0;
    virtual void OnClosed() = 0;
    virtual void OnClientRemoved(OnlineAccessClientBase* client) = 0;
    [[nodiscard]] virtual bool MatchesKey(const Kiv::PString& key) = 0;
    virtual void OnMessage(std::unique_ptr<OnlineGroupMessage> message) = 0;
  };

  explicit OnlineAccessClientEndpoint(OnlineAccessSettings settings = {});
  ~OnlineAccessClientEndpoint() override;

  // The process's endpoint (made on first use) and its shut-down, which the
  // program runs before the asset database closes; afterwards Instance makes a
  // fresh idle one.
  static OnlineAccessClientEndpoint& Instance();
  static void Shutdown();
  // Tests: replaces the process's endpoint with a fresh idle one using these settings.
  static OnlineAccessClientEndpoint& Restart(OnlineAccessSettings settings);

  // Logs in; false when nothing was sent (already connecting or online without
  // force, no profile, web login started, or the socket failed).
  [[nodiscard]] bool Connect(bool force);
  // Drops any web login and the channel; status 1.
  void Reset();
  void Update() override;

  uint32_t GetStatus() const { return m_status; }
  const OnlineAccessSettings& Settings() const { return m_settings; }

  void AddClient(OnlineAccessClientBase* client);
  void RemoveClient(OnlineAccessClientBase* client);
  // The client of exactly this asset version (stored messages are replayed to
  // any version of the asset when its client registers).
  OnlineAccessClientBase* FindClient(const KUID& kuid) const;
  size_t ClientCount() const { return m_clients.size(); }
  void AddGroup(OnlineGroup* group);
  void RemoveGroup(OnlineGroup* group);

  // 0 sent, 1 not online, 4 refused (flood limits, queue full, too long).
  int PostMessage(const KUID& target, const std::string& text, const SoupRef& soup, bool senderModified);
  int PostGroupMessage(const Kiv::PString& groupKey, const SoupRef& soup, const KUID& sender);

  // Group requests; false when the request could not be queued.
  [[nodiscard]] bool SendGroupClose(const Kiv::PString& key);                                           // 22
  [[nodiscard]] bool SendGroupMember(const Kiv::PString& key, uint8_t mode, const Kiv::PString& user);  // 23
  [[nodiscard]] bool SendGroupMode(const Kiv::PString& key, uint32_t set, uint32_t clear);              // 25
  [[nodiscard]] bool SendGroupUserMode(const Kiv::PString& key, const Kiv::PString& user, uint32_t set,
                                       uint32_t clear);                      // 26
  [[nodiscard]] bool SendGroupJoin(const Kiv::PString& key, uint32_t mode);  // 28
  // 29: the request id (from 1), or 0 when it could not be queued.
  uint32_t SendGroupCreate(uint32_t mode);

  // Writes the stored messages to their file, replacing it whole. Not ok, with
  // the file and the reason, when it could not be written (the old file stays);
  // a message that could not be written whole is kept with stand-ins, and said so.
  Kiv::Status SaveStoredMessages();
  // Loads what is whole of the file; false when it is missing or damaged.
  [[nodiscard]] bool LoadStoredMessages();
  size_t StoredCount() const { return m_stored.size(); }
  std::string StoredMessagesPath() const;

  double MinuteLimit() const { return m_minuteLimit; }
  double HourLimit() const { return m_hourLimit; }
  void SetFloodLimits(double minute, double hour) {
    m_minuteLimit = minute;
    m_hourLimit = hour;
  }
  UdpSocket& Socket() { return m_socket; }

protected:
  void HandlePacket(TMEPacket& packet) override;
  void OnDisconnected() override;

private:
  [[nodiscard]] bool SendRequest(std::unique_ptr<TMEPacket> packet);
  int Post(std::unique_ptr<TMEPacket> packet, const std::string& what);
  // True when the soup's binary form fits in one packet's content.
  bool SoupFitsPacket(const SoupRef& soup) const;
  void Deliver(std::unique_ptr<OnlineMessage> message);
  void Store(std::unique_ptr<OnlineMessage> message);
  OnlineGroup* FindGroupByKey(const Kiv::PString& key) const;
  void HandleGroupEvent(uint8_t type, TMEPacket& packet);
  void LoginFailed();

  OnlineAccessSettings m_settings;
  std::vector<OnlineGroup*> m_groups;
  double m_minuteLimit = kDefaultMinuteLimit;
  double m_hourLimit = kDefaultHourLimit;
  double m_retryDelay = 0.0;
  uint32_t m_status = kIdle;
  UdpPeer m_peer;
  UdpSocket m_socket;
  double m_lastUpdate = 0.0;
  double m_hourUsed = 0.0;
  double m_minuteUsed = 0.0;
  std::unique_ptr<UMBUrlRequest> m_pendingLogin;
  uint32_t m_requestCounter = 0;
  std::deque<std::unique_ptr<OnlineMessage>> m_stored;
  std::vector<OnlineAccessClientBase*> m_clients;
  // Requests made while the login is under way: they go out, scrambled, after the
  // session key, so the service never has to guess where scrambling starts.
  std::vector<std::unique_ptr<TMEPacket>> m_held;
};
