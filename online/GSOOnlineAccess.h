#pragma once
// The script class "OnlineAccess": a script's handle on the online-access
// service. One object exists per script context and owning asset (user and
// content); it is a client of the process's endpoint for its asset's
// messages, announces status changes and arrivals to itself as router
// messages ("OnlineAccess", "StatusChange" / "ReceiveMessage"), limits posts
// to a credit that drains by one a second, and gives scripts the asset's
// local data (kept by the asset database) and the two offline boxes.
//
// Results of the message natives: 0 done, 1 not online, 4 refused (credit or
// flood limits), 6 nothing waiting.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Machine.h"
#include "online/OnlineAccessClientEndpoint.h"

// What both online script classes give to CollectMessage.
class OnlineAccessMessageList {
public:
  virtual ~OnlineAccessMessageList() = default;
  // Hands out the oldest message: 0; else 6 (nothing waiting) or 1 (not online).
  virtual int PopMessage(std::string& text, SoupRef& soup) = 0;
  [[nodiscard]] virtual bool HasMessages() const = 0;
  // The length of the oldest message's text; 0 when none waits.
  virtual std::size_t NextTextBytes() const = 0;

  // The CollectMessage native of both classes (`who`): the oldest message's
  // text and soup into the script's String and Soup; a locked Soup, or a
  // text past the script memory limit, is refused with "<who>> ...".
  void CollectMessageNative(GSRuntime::GSStack& stack, const char* who);
};

class GSOOnlineAccess : public GSRuntime::GSGameObject,
                        public OnlineAccessClientBase,
                        public OnlineAccessMessageList {
public:
  // A post is refused while more than this many seconds of posts are unspent;
  // each post adds a second. Kept in milliseconds: summed float steps of a
  // tenth would leave a second of steps short of draining a second.
  static constexpr int64_t kPostCreditMs = 60000;

  // The object of this context and owner (user and content compared), with one
  // more script reference for the caller; else a new one bound to the script
  // class and added to the context's router. Null when none can be made.
  static GSOOnlineAccess* Get(GSRuntime::GSContext* context, const KUID& owner);
  ~GSOOnlineAccess() override;

  void Update(float seconds) override;
  // Only versioned messages stay; a locally modified owner takes only messages
  // from modified senders.
  void ReceiveMessage(std::unique_ptr<OnlineMessage> message) override;
  int PopMessage(std::string& text, SoupRef& soup) override;
  [[nodiscard]] bool HasMessages() const override { return !m_messages.empty(); }
  std::size_t NextTextBytes() const override {
    return m_messages.empty() ? 0 : m_messages.front()->text.size();
  }

  const KUID& Owner() const { return kuid; }
  uint32_t ReportedStatus() const { return m_reportedStatus; }
  [[nodiscard]] bool Destroying() const { return m_destroying; }
  // False (and 4 for the caller) when the credit is spent; else takes one.
  [[nodiscard]] bool TakePostCredit();

  // The offline boxes: loaded from "offline-inbox.tbox" and
  // "offline-outbox.tbox" in the cache folder, kept until exit.
  static SoupRef& OfflineInbox();
  static SoupRef& OfflineOutbox();
  // Loads both boxes and the endpoint's stored messages; a missing or damaged
  // file leaves that box null.
  static void LoadOfflineData(const std::string& cacheFolder);

  // Appends the 14 records of "OnlineAccess".
  static void RegisterNatives(GSRuntime::GSMachine& machine);

  // The natives, in the order of the table.
  void Connect(GSRuntime::GSStack& stack);
  void GetStatus(GSRuntime::GSStack& stack);
  void Disconnect(GSRuntime::GSStack& stack);
  void GetUsername(GSRuntime::GSStack& stack);
  void GetLocalData(GSRuntime::GSStack& stack);
  void SetLocalData(GSRuntime::GSStack& stack);
  void GetProfileData(GSRuntime::GSStack& stack);
  void SetProfileData(GSRuntime::GSStack& stack);
  void PostMessage(GSRuntime::GSStack& stack);
  void CollectMessage(GSRuntime::GSStack& stack);
  void CreateGroup(GSRuntime::GSStack& stack);
  void OpenGroup(GSRuntime::GSStack& stack);
  void PostOfflineMessage(GSRuntime::GSStack& stack);
  void CollectOfflineMessage(GSRuntime::GSStack& stack);

private:
  explicit GSOOnlineAccess(const KUID& owner);
  void Leave();

  bool m_destroying = false;
  uint32_t m_reportedStatus = 0;
  bool m_ownerModified = false;
  bool m_connectRequested = false;
  std::deque<std::unique_ptr<OnlineVersionedMessage>> m_messages;
  bool m_newMessage = false;
  int64_t m_postCreditMs = 0;
};

// Posts (major, minor) from the node to itself through its router; nothing
// when it is not attached to one.
void PostToSelf(GSRuntime::GSNode* node, std::string_view major, std::string_view minor);
