#pragma once
// The script class "OnlineGroup": a group of users on the online-access
// service, made or joined through an OnlineAccess object (its owner, on which
// it holds one script reference until the group closes). It keeps the member
// list as the service reports it and announces changes to itself as router
// messages: ("OnlineGroup", "StatusChange"), ("OnlineGroup", "UsersChange"),
// ("OnlineGroup", "ReceiveMessage") and ("OnlineGroup.UserAdded" /
// "OnlineGroup.UserRemoved" / "OnlineGroup.UserStatus", member name).
#include <deque>
#include <memory>
#include <string>

#include "online/GSOOnlineAccess.h"
#include "online/OnlineGroupMembers.h"

class GSOOnlineGroup : public GSRuntime::GSGameObject,
                       public OnlineAccessClientEndpoint::OnlineGroup,
                       public OnlineAccessMessageList {
public:
  enum Status : uint32_t { kNotConnected = 0, kConnecting = 1, kJoined = 2, kClosed = 3 };

  // A new group of the owner's context and router (key empty: one to be
  // made by the service), connected at once; the caller owns its one script
  // reference. Null when it got no script instance.
  static GSOOnlineGroup* Create(GSOOnlineAccess* owner, const Kiv::PString& key, uint32_t mode);
  // Bytes its maker counted against the script memory limit for it (the
  // script's key); given back when the group goes.
  void KeepCounted(uint64_t bytes) { m_keyBytes += bytes; }
  ~GSOOnlineGroup() override;

  void Update(float seconds) override;

  [[nodiscard]] bool MatchesRequest(uint32_t id) override;
  void OnJoined(const Kiv::PString& key, TMEPacket& rest) override;
  void OnUsersChanged(TMEPacket& rest) override;
  void OnClosed() override;
  void OnClientRemoved(OnlineAccessClientBase* client) override;
  [[nodiscard]] bool MatchesKey(const Kiv::PString& key) override;
  void OnMessage(std::unique_ptr<OnlineGroupMessage> message) override;

  int PopMessage(std::string& text, SoupRef& soup) override;
  [[nodiscard]] bool HasMessages() const override { return !m_messages.empty(); }
  std::size_t NextTextBytes() const override {
    return m_messages.empty() ? 0 : m_messages.front()->text.size();
  }

  uint32_t GetStatus() const { return m_status; }
  const OnlineGroupMembers& Members() const { return m_users; }
  GSOOnlineAccess* Owner() const { return m_owner; }

  // Appends the 15 records of "OnlineGroup".
  static void RegisterNatives(GSRuntime::GSMachine& machine);

  // The natives, in the order of the table.
  void Connect(GSRuntime::GSStack& stack);
  void NativeGetStatus(GSRuntime::GSStack& stack);
  void Disconnect(GSRuntime::GSStack& stack);
  void GetOnlineGroupCookie(GSRuntime::GSStack& stack);
  void AddUser(GSRuntime::GSStack& stack);
  void RemoveUser(GSRuntime::GSStack& stack);
  void CountUsers(GSRuntime::GSStack& stack);
  void GetIndexedUser(GSRuntime::GSStack& stack);
  void FindUser(GSRuntime::GSStack& stack);
  void GetUserStatus(GSRuntime::GSStack& stack);
  void PostMessage(GSRuntime::GSStack& stack);
  void CollectMessage(GSRuntime::GSStack& stack);
  void SetModeFlags(GSRuntime::GSStack& stack);
  void SetUserModeFlags(GSRuntime::GSStack& stack);
  void GetUserModeFlags(GSRuntime::GSStack& stack);

private:
  GSOOnlineGroup(GSOOnlineAccess* owner, const Kiv::PString& key, uint32_t mode);
  void ConnectGroup();
  // Pays the run budget for a walk of the members.
  void PayForMembers() const;
  // Counts the members as the list now holds them against the script memory limit.
  void RecountMembers();
  void SetStatus(uint32_t status);
  // Leaves the endpoint's list and gives the owner's reference back.
  void Release();
  // Reads the member list with its events; `replace` empties the list first.
  void ReadMembers(TMEPacket& rest, bool replace);

  uint32_t m_status = kNotConnected;
  GSOOnlineAccess* m_owner = nullptr;
  Kiv::PString m_groupKey;
  OnlineGroupMembers m_users;
  uint64_t m_memberBytes = 0;  // the members counted against the script memory limit
  uint64_t m_keyBytes = 0;     // the script's key, counted by its maker
  std::deque<std::unique_ptr<OnlineGroupMessage>> m_messages;
  bool m_newMessage = false;
  uint32_t m_mode = 0;
  uint32_t m_requestId = 0;
};
