#pragma once
// Messages between nodes (game objects) and the router that carries them.
//
// A message has a major and a minor string, interned by the router into
// 16-bit ids, a source node, an optional destination node, an optional delay
// and an optional payload soup. The router registers nodes under process-wide
// ids, keeps per-major-id subscriptions, delivers a message at once
// (SendMessage) or queues it (PostMessage: posted, or delayed until a due
// time), and its Step delivers what is due and updates the nodes that asked.
//
// Time word of a message: bits 0-29 the delay in milliseconds and, once
// queued, the due router time; bit 30 marks a sniffed copy; bit 31 is set on
// every message made through Create.
//
// Single-threaded: the router, its nodes and its messages are used only from
// the thread that runs the scripts.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/Soup.h"
#include "kiv/RefCount.h"

namespace GSRuntime {

class GSGameObject;
class GSNode;
class GSRouter;

constexpr uint16_t kMessageAnyMinor = 1;         // the empty minor; a handler with it takes any minor
constexpr uint16_t kMessageDelete = 3;           // an unhandled one marks its receiver for deletion
constexpr uint16_t kFirstScriptMessageId = 100;  // ids below are system messages
constexpr uint32_t kMessageTimeMask = 0x3FFFFFFF;
constexpr uint32_t kMessageSniffed = 0x40000000;
constexpr uint32_t kMessageCreated = 0x80000000;

class GSMessage;
// A counted reference to a message.
using MessageRef = Kiv::Ref<GSMessage>;

class GSMessage : public Kiv::RefCounted<GSMessage, false, int32_t> {
public:
  // A message from `source` (which must be registered with a router, else
  // null), its strings interned by that router; the time word is the delay
  // word's bits 0-29 with bit 31 set. Null too when a string cannot be
  // interned (the router's ids are used up).
  static MessageRef Create(GSNode* source, std::string_view major, std::string_view minor,
                           uint32_t destination, uint32_t delayWord);
  // A message with these fields.
  static MessageRef Make(uint16_t major, uint16_t minor, uint32_t source, uint32_t destination,
                         uint32_t time);
  // A copy (ids, nodes, all 32 bits of the time word) sharing the payload.
  MessageRef Copy() const;

  uint16_t major = 0;
  uint16_t minor = kMessageAnyMinor;
  uint32_t source = 0;
  uint32_t destination = 0;  // 0: none (subscribers, or every node for a system message)
  uint32_t time = 0;
  SoupRef payload;
  // What the payload holds, in bytes, as the sender measured it when it
  // attached it (copies share it and the figure).
  uint64_t payloadBytes = 0;

  // Counts the payload (payloadBytes) against the script memory limit while
  // the message lives, wherever it waits; false, with nothing counted, past
  // the limit.
  [[nodiscard]] bool CountPayload();
  // Returns a released message to the pool; what it held of the script
  // memory is given back.
  static void DestroyCounted(GSMessage* message);

private:
  friend class GSRouter;
  GSMessage() = default;
  ~GSMessage() = default;
  uint64_t m_counted = 0;  // bytes taken from the script memory for it
};

// The message-target part of every game object.
class GSNode {
public:
  static constexpr uint32_t kSkipSubscribers = 0x1;  // not delivered as a subscriber
  static constexpr uint32_t kGameObject = 0x2;       // its thread stacks can be dumped
  static constexpr uint32_t kDeletionPending = 0x40000000;

  GSNode() = default;
  // Leaves its router.
  virtual ~GSNode();
  GSNode(const GSNode&) = delete;
  GSNode& operator=(const GSNode&) = delete;

  virtual std::string NodeName() const { return std::string(); }
  // True when the message was handled. The base handles only the delete
  // message: it marks the node for deletion.
  [[nodiscard]] virtual bool Receive(GSMessage* message);
  // Hands each message of the node's own queue to Receive, in order. The
  // router calls it on its step when the node asked for it.
  virtual void Update(float seconds);
  // The thread stacks, for the router's stack dump; nothing in the base.
  virtual void DumpStacks() {}
  // The game object this node is; null for other nodes.
  virtual GSGameObject* AsGameObject() { return nullptr; }

  // Asks the router to call Update on its next step (once until then). A
  // node without router and with deletion pending deletes itself.
  void RequestUpdate();
  // Marks the node for deletion; its router deletes it on its next step, or
  // when the router is done.
  void MarkForDeletion();
  // Appends a message (a reference kept) to the node's own queue.
  void QueueMessage(GSMessage* message);

  int32_t NodeId() const { return m_id; }
  GSRouter* Router() const { return m_router; }
  uint32_t NodeFlags() const { return m_flags; }
  void SetNodeFlags(uint32_t flags) { m_flags = flags; }
  [[nodiscard]] bool UpdateRequested() const { return m_updateRequested; }

private:
  friend class GSRouter;
  int32_t m_id = -1;
  uint32_t m_flags = 0;
  GSRouter* m_router = nullptr;
  bool m_updateRequested = false;
  std::unordered_map<uint16_t, int32_t> m_subscribed;  // count by major id
  GSNode* m_prev = nullptr;                            // the router's node list, in registration order
  GSNode* m_next = nullptr;
  std::vector<MessageRef> m_queue;
};

class GSRouter {
public:
  // Milliseconds of the process clock; tests and programs inject their own.
  using ClockSource = std::function<uint64_t()>;

  // A running router whose time starts at 0 at the clock's current reading
  // (the process clock when `clock` is empty).
  explicit GSRouter(ClockSource clock = {});
  ~GSRouter();
  GSRouter(const GSRouter&) = delete;
  GSRouter& operator=(const GSRouter&) = delete;

  // Registers a node that has no id and no router: it takes the next
  // process-wide node id and its name enters the name table. False when it
  // is registered already.
  [[nodiscard]] bool AddNode(GSNode* node);
  // AddNode for a node just made by `maker` (a class and operation, for the
  // log): a node that cannot be registered gets no messages and no updates,
  // which the scripts' log is told. False then.
  [[nodiscard]] bool AddNewNode(GSNode* node, const char* maker);
  // Unregisters a node of this router: its subscriptions, name and id go.
  [[nodiscard]] bool RemoveNode(GSNode* node);
  GSNode* FindNode(int32_t id) const {
    const auto found = m_ids.find(id);
    return found == m_ids.end() ? nullptr : found->second;
  }
  GSNode* FindNode(std::string_view name) const;
  std::size_t NodeCount() const { return m_ids.size(); }
  // The registered nodes in registration order.
  std::vector<GSNode*> Nodes() const;

  // Subscriptions are counted: a node subscribed twice for a major id stays
  // subscribed until it unsubscribes twice.
  [[nodiscard]] bool Subscribe(GSNode* node, uint16_t major);
  [[nodiscard]] bool Unsubscribe(GSNode* node, uint16_t major);
  [[nodiscard]] bool IsSubscribed(const GSNode* node, uint16_t major) const;
  std::size_t SubscriptionTreeCount() const;

  // The id of a message string: 1 for the empty string; a new string gets
  // the next id (101 first after a reset). 0, each reason reported once
  // until the next reset, when the ids are used up (the 16-bit range is never wrapped into
  // the system ids) or when keeping it would pass the script memory limit
  // (whatever its length): a router keeps its names
  // until it is reset, and past the first kFreeMessageNameBytes (part of the
  // router, as its tables are) they count against the limit as long. The
  // bytes looked up pay into the run budget.
  uint16_t GetMessageId(std::string_view text);
  // The id of a known string (1 for the empty one); 0 when it is not known.
  uint16_t FindMessageId(std::string_view text);
  // Bytes one kept name holds beyond its characters.
  static constexpr uint64_t kMessageNameBytes = 64;
  static constexpr uint64_t kFreeMessageNameBytes = 64 * 1024;
  // The text of an id; empty when unknown.
  std::string_view MessageString(uint16_t id) const;
  uint16_t MessageIdCounter() const { return m_idCounter; }

  // Immediate delivery.
  void SendMessage(GSMessage* message);
  // Queues a copy: posted when it has no delay, else delayed until router
  // time + delay. Nothing happens while the router is not running. A queued
  // message, its place and its payload count against the script memory
  // limit, and a router queues at most kMaxQueuedMessages: past either,
  // the queues overflow. The overflow is reported, every queued message is
  // dropped with the new one, and false is returned.
  [[nodiscard]] bool PostMessage(GSMessage* message);
  // Reports that the message could not be queued or sent for want of script
  // memory, and drops every queued message to make room.
  void Overflow(const GSMessage* message);
  static constexpr std::size_t kMaxQueuedMessages = std::size_t(1) << 20;
  // Bytes one queued message counts, its payload aside.
  static constexpr uint64_t kQueuedMessageBytes = 128;
  // Removes the delayed messages for `node` with that major and minor (an
  // empty minor: any minor), reporting how many went.
  void ClearDelayedMessages(GSNode* node, std::string_view major, std::string_view minor);

  // The periodic step: advances the router time by the clock, delivers the
  // delayed messages now due (earliest first, equal due times in the order
  // they were posted), then the messages posted before the step began, in
  // order, then updates the nodes that asked for it, and finally deletes the
  // nodes marked for deletion.
  void Step();

  void Info() const;
  void DumpAllStacks();
  // Appends "router message from ... to ..., message major, minor\n".
  void DescribeMessage(const GSMessage* message, std::string& text) const;
  // Forgets the nodes, names, subscriptions and message ids (ids restart at 101).
  void Reset();
  // Stops the router: resets, detaches every node (deleting those marked for
  // deletion), drops every queued message.
  void Done();

  uint32_t Time() const { return uint32_t(m_time) & kMessageTimeMask; }
  [[nodiscard]] bool Running() const { return m_running; }
  std::size_t PostedCount() const { return m_posted.size() - m_postedHead; }
  std::size_t DelayedCount() const { return m_delayed.size(); }
  // The due time of delayed message i (heap order); for tests.
  uint32_t DelayedDue(std::size_t i) const { return m_delayed[i].message->time & kMessageTimeMask; }
  void SetStackDumpPair(uint16_t major, uint16_t minor) {
    m_dumpMajor = major;
    m_dumpMinor = minor;
  }
  // A hidden router is skipped by searches across contexts.
  [[nodiscard]] bool Hidden() const { return m_hidden; }
  void SetHidden(bool hidden) { m_hidden = hidden; }

private:
  friend class GSNode;
  struct Delayed {
    uint64_t due;
    uint64_t serial;
    GSMessage* message;
  };
  [[nodiscard]] static bool Later(const Delayed& a, const Delayed& b) {
    return a.due != b.due ? a.due > b.due : a.serial > b.serial;
  }
  void Deliver(GSMessage* message);
  void DropQueued();
  void Unlink(GSNode* node);
  void EnterUpdate(GSNode* node) { m_updates.push_back(node->m_id); }
  void EnterDoomed(GSNode* node) { m_doomed.push_back(node->m_id); }
  void DropSubscriptions(GSNode* node);

  ClockSource m_clock;
  uint64_t m_clockBase = 0;
  uint64_t m_time = 0;  // milliseconds since the router started
  bool m_running = true;
  bool m_hidden = false;
  uint16_t m_dumpMajor = 0, m_dumpMinor = 0;

  std::unordered_map<int32_t, GSNode*> m_ids;
  std::unordered_map<std::string, int32_t> m_names;
  GSNode* m_first = nullptr;
  GSNode* m_last = nullptr;

  std::unordered_map<std::string, uint16_t> m_messageIds;
  std::vector<const std::string*> m_messageStrings;  // by id, the keys above (which stay where they are)
  uint16_t m_idCounter = kFirstScriptMessageId;
  uint32_t m_namesRefusedReported = 0;  // a bit for each reason of refusal reported
  uint64_t m_namesHeld = 0;             // bytes the names hold
  uint64_t m_namesCounted = 0;          // of which counted against the script memory

  // By major id, the subscribed node ids in order; each node keeps its own
  // majors with their counts.
  std::vector<std::vector<int32_t>> m_subscriptions;

  std::vector<GSMessage*> m_posted;  // one reference each; [m_postedHead, end) are queued
  std::size_t m_postedHead = 0;
  uint64_t m_drops = 0;            // times the queues were dropped
  std::vector<Delayed> m_delayed;  // min-heap by (due, serial)
  uint64_t m_serial = 0;

  std::vector<int32_t> m_updates;  // nodes that asked for an update
  std::vector<int32_t> m_doomed;   // nodes marked for deletion
};

}  // namespace GSRuntime
