#include "gamescript/runtime/Router.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/Clock.h"

namespace GSRuntime {

namespace {

// Freed messages are kept for reuse: a router that posts and delivers at a
// steady rate then allocates nothing. Sanitizer builds free them at once, so
// that a message used after its release is caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kKeptMessages = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kKeptMessages = 0;
#else
constexpr std::size_t kKeptMessages = 65536;
#endif
#else
constexpr std::size_t kKeptMessages = 65536;
#endif

std::vector<void*>& FreeMessages() { return Machine().freeMessages; }

}  // namespace

// ------------------------------------------------------------ messages

MessageRef GSMessage::Make(uint16_t major, uint16_t minor, uint32_t source, uint32_t destination,
                           uint32_t time) {
  std::vector<void*>& free = FreeMessages();
  void* memory;
  if (free.empty()) {
    memory = ::operator new(sizeof(GSMessage));
  } else {
    memory = free.back();
    free.pop_back();
  }
  auto* m = new (memory) GSMessage();
  m->major = major;
  m->minor = minor;
  m->source = source;
  m->destination = destination;
  m->time = time;
  return MessageRef(m);
}

bool GSMessage::CountPayload() {
  if (!ScriptMemory::Take(payloadBytes)) return false;
  m_counted += payloadBytes;
  return true;
}

void GSMessage::DestroyCounted(GSMessage* message) {
  ScriptMemory::Give(message->m_counted);
  message->~GSMessage();
  std::vector<void*>& free = FreeMessages();
  if (free.size() < kKeptMessages)
    free.push_back(message);
  else
    ::operator delete(message);
}

MessageRef GSMessage::Create(GSNode* source, std::string_view major, std::string_view minor,
                             uint32_t destination, uint32_t delayWord) {
  GSRouter* router = source ? source->Router() : nullptr;
  if (!router) return {};
  const uint16_t a = router->GetMessageId(major);
  const uint16_t b = router->GetMessageId(minor);
  if (a == 0 || b == 0) return {};
  return Make(a, b, uint32_t(source->NodeId()), destination,
              (delayWord & kMessageTimeMask) | kMessageCreated);
}

MessageRef GSMessage::Copy() const {
  MessageRef m = Make(major, minor, source, destination, time);
  m->payload = payload;
  m->payloadBytes = payloadBytes;
  return m;
}

// ------------------------------------------------------------ nodes

GSNode::~GSNode() {
  // A node that already left its router has nothing to remove.
  if (m_router) (void)m_router->RemoveNode(this);
}

bool GSNode::Receive(GSMessage* message) {
  if (message->major != kMessageDelete) return false;
  MarkForDeletion();
  return true;
}

void GSNode::Update(float) {
  // The router cleared the update flag before this call, so that what runs
  // here may ask for the next update.
  std::vector<MessageRef> queue;
  queue.swap(m_queue);
  // True when handled; a message that no one handles is dropped, as messages are.
  for (const MessageRef& m : queue) (void)Receive(m.Get());
}

void GSNode::RequestUpdate() {
  if (!m_router && (m_flags & kDeletionPending)) {
    delete this;
    return;
  }
  if (m_updateRequested) return;
  m_updateRequested = true;
  if (m_router) m_router->EnterUpdate(this);
}

void GSNode::MarkForDeletion() {
  if (m_flags & kDeletionPending) return;
  m_flags |= kDeletionPending;
  if (m_router) m_router->EnterDoomed(this);
}

void GSNode::QueueMessage(GSMessage* message) {
  if (!message) return;
  m_queue.push_back(MessageRef(message));
}

// ------------------------------------------------------------ router

GSRouter::GSRouter(ClockSource clock) : m_clock(std::move(clock)) {
  if (!m_clock) m_clock = [] { return Kiv::Clock::Milliseconds(); };
  m_clockBase = m_clock();
}

GSRouter::~GSRouter() { Done(); }

bool GSRouter::AddNode(GSNode* node) {
  if (!node || node->m_id != -1 || node->m_router) return false;
  // One counter for the whole machine: an id is never reused.
  int32_t& next = Machine().nextNodeId;
  if (next == INT32_MAX) return false;
  const int32_t id = next++;
  node->m_id = id;
  m_ids.emplace(id, node);
  const std::string name = node->NodeName();
  if (!name.empty()) m_names.emplace(name, id);  // a name taken already stays with its node
  node->m_prev = m_last;
  node->m_next = nullptr;
  (m_last ? m_last->m_next : m_first) = node;
  m_last = node;
  node->m_router = this;
  if (node->m_updateRequested) EnterUpdate(node);
  if (node->m_flags & GSNode::kDeletionPending) EnterDoomed(node);
  return true;
}

bool GSRouter::AddNewNode(GSNode* node, const char* maker) {
  if (AddNode(node)) return true;
  if (ScriptLogHook)
    ScriptLogHook("%s> a new object could not join its router (%s); it gets no messages or updates", maker,
                  Machine().nextNodeId == INT32_MAX ? "no node ids left" : "registered already");
  return false;
}

void GSRouter::Unlink(GSNode* node) {
  (node->m_prev ? node->m_prev->m_next : m_first) = node->m_next;
  (node->m_next ? node->m_next->m_prev : m_last) = node->m_prev;
  node->m_prev = node->m_next = nullptr;
  node->m_id = -1;
  node->m_router = nullptr;
}

namespace {
// The place of `id` in an ordered list of node ids.
std::vector<int32_t>::iterator Place(std::vector<int32_t>& ids, int32_t id) {
  return std::lower_bound(ids.begin(), ids.end(), id);
}
}  // namespace

void GSRouter::DropSubscriptions(GSNode* node) {
  for (const auto& [major, count] : node->m_subscribed) {
    std::vector<int32_t>& tree = m_subscriptions[major];
    const auto at = Place(tree, node->m_id);
    if (at != tree.end() && *at == node->m_id) tree.erase(at);
  }
  node->m_subscribed.clear();
}

bool GSRouter::RemoveNode(GSNode* node) {
  if (!node || node->m_router != this) return false;
  DropSubscriptions(node);
  const std::string name = node->NodeName();
  const auto named = m_names.find(name);
  if (named != m_names.end() && named->second == node->m_id) m_names.erase(named);
  // The node leaves the list even when a reset forgot its id, so no pointer to it stays behind.
  const bool known = m_ids.erase(node->m_id) != 0;
  Unlink(node);
  return known;
}

std::vector<GSNode*> GSRouter::Nodes() const {
  std::vector<GSNode*> nodes;
  for (GSNode* n = m_first; n; n = n->m_next) nodes.push_back(n);
  return nodes;
}

GSNode* GSRouter::FindNode(std::string_view name) const {
  const auto found = m_names.find(std::string(name));
  return found == m_names.end() ? nullptr : FindNode(found->second);
}

bool GSRouter::Subscribe(GSNode* node, uint16_t major) {
  if (!node || node->m_router != this) return false;
  if (++node->m_subscribed[major] > 1) return true;
  if (m_subscriptions.size() <= major) m_subscriptions.resize(std::size_t(major) + 1);
  std::vector<int32_t>& tree = m_subscriptions[major];
  tree.insert(Place(tree, node->m_id), node->m_id);
  return true;
}

bool GSRouter::Unsubscribe(GSNode* node, uint16_t major) {
  if (!node || node->m_router != this) return false;
  const auto it = node->m_subscribed.find(major);
  if (it == node->m_subscribed.end()) return false;
  if (--it->second > 0) return true;
  node->m_subscribed.erase(it);
  std::vector<int32_t>& tree = m_subscriptions[major];
  const auto at = Place(tree, node->m_id);
  if (at != tree.end() && *at == node->m_id) tree.erase(at);
  return true;
}

bool GSRouter::IsSubscribed(const GSNode* node, uint16_t major) const {
  return node && node->m_router == this && node->m_subscribed.contains(major);
}

std::size_t GSRouter::SubscriptionTreeCount() const {
  return std::size_t(std::count_if(m_subscriptions.begin(), m_subscriptions.end(),
                                   [](const std::vector<int32_t>& t) { return !t.empty(); }));
}

uint16_t GSRouter::FindMessageId(std::string_view text) {
  if (text.empty()) return kMessageAnyMinor;
  PayRunBudget(text.size());
  const auto found = m_messageIds.find(std::string(text));
  return found == m_messageIds.end() ? 0 : found->second;
}

uint16_t GSRouter::GetMessageId(std::string_view text) {
  if (const uint16_t known = FindMessageId(text)) return known;
  // Names are kept until the router is reset: each counts against the
  // script memory before it is kept, which bounds their length too.
  const uint64_t bytes = kMessageNameBytes + text.size();
  const uint64_t held = m_namesHeld + bytes;
  const uint64_t counted = held > kFreeMessageNameBytes ? held - kFreeMessageNameBytes : 0;
  // Wrapping the ids would reach the system ids.
  const int reason = m_idCounter == 0xFFFF ? 0 : !ScriptMemory::Take(counted - m_namesCounted) ? 1 : -1;
  if (reason >= 0) {
    static const char* const kRefusals[] = {"no message id is left",
                                            "keeping the name would pass the script memory limit"};
    if (!(m_namesRefusedReported & (1u << reason)) && ScriptLogHook)
      ScriptLogHook("GSRouter: no message id for '%.*s%s': %s", int(std::min<std::size_t>(text.size(), 64)),
                    text.data(), text.size() > 64 ? "..." : "", kRefusals[reason]);
    m_namesRefusedReported |= 1u << reason;
    return 0;
  }
  m_namesHeld = held;
  m_namesCounted = counted;
  const uint16_t id = ++m_idCounter;
  const auto entered = m_messageIds.emplace(std::string(text), id).first;
  if (m_messageStrings.size() <= id) m_messageStrings.resize(std::size_t(id) + 1);
  m_messageStrings[id] = &entered->first;
  return id;
}

std::string_view GSRouter::MessageString(uint16_t id) const {
  return id < m_messageStrings.size() && m_messageStrings[id] ? std::string_view(*m_messageStrings[id])
                                                              : std::string_view();
}

void GSRouter::SendMessage(GSMessage* message) {
  if (!message) return;
  const MessageRef hold(message);  // delivery may drop every other holder
  Deliver(message);
}

void GSRouter::Deliver(GSMessage* message) {
  if (m_dumpMajor != 0 && message->major == m_dumpMajor && message->minor == m_dumpMinor) {
    if (message->destination == 0) {
      DumpAllStacks();
    } else if (GSNode* node = FindNode(int32_t(message->destination))) {
      if (node->m_flags & GSNode::kGameObject) node->DumpStacks();
    }
    return;
  }
  if (message->destination != 0) {
    GSNode* node = FindNode(int32_t(message->destination));
    if (!node) return;
    if (message->major < kFirstScriptMessageId) {
      // True when handled; a message that no one handles is dropped, as messages are.
      (void)node->Receive(message);
    } else if (!(node->m_flags & GSNode::kSkipSubscribers) && IsSubscribed(node, message->major)) {
      // True when handled; a message that no one handles is dropped, as messages are.
      (void)node->Receive(message);
    }
    return;
  }
  // Receivers may add or remove nodes and subscriptions while the message
  // goes round: the recipients are taken first, and each is looked up again.
  std::vector<int32_t> recipients;
  if (message->major < kFirstScriptMessageId) {
    recipients.reserve(m_ids.size());
    for (GSNode* n = m_first; n; n = n->m_next) recipients.push_back(n->m_id);
    for (int32_t id : recipients)
      // True when handled; a message that no one handles is dropped, as messages are.
      if (GSNode* node = FindNode(id)) (void)node->Receive(message);
    return;
  }
  if (message->major >= m_subscriptions.size()) return;
  recipients = m_subscriptions[message->major];
  PayRunBudget(sizeof(int32_t) * recipients.size());
  for (int32_t id : recipients) {
    GSNode* node = FindNode(id);
    if (node && !(node->m_flags & GSNode::kSkipSubscribers) && IsSubscribed(node, message->major))
      // True when handled; a message that no one handles is dropped, as messages are.
      (void)node->Receive(message);
  }
}

bool GSRouter::PostMessage(GSMessage* message) {
  if (!message || !m_running) return false;
  // A handler that posts more than it receives would fill the memory: what
  // is queued is bounded, and past the bound the queues empty, as a full
  // thread queue does, so that such a flood ends.
  const uint64_t bytes = kQueuedMessageBytes + message->payloadBytes;
  if (PostedCount() + DelayedCount() >= kMaxQueuedMessages || !ScriptMemory::Take(bytes)) {
    Overflow(message);
    return false;
  }
  // The queue holds this reference until the copy is delivered or cleared.
  GSMessage* copy = message->Copy().Detach();
  copy->m_counted = bytes;
  const uint32_t delay = copy->time & kMessageTimeMask;
  if (delay == 0) {
    m_posted.push_back(copy);
    return true;
  }
  const uint64_t due = m_time + delay;
  copy->time = (copy->time & ~kMessageTimeMask) | (uint32_t(due) & kMessageTimeMask);
  m_delayed.push_back(Delayed{due, m_serial++, copy});
  std::push_heap(m_delayed.begin(), m_delayed.end(), Later);
  return true;
}

void GSRouter::Overflow(const GSMessage* message) {
  const std::size_t queued = PostedCount() + DelayedCount();
  if (ScriptLogHook) {
    char line[160];
    std::snprintf(line, sizeof line, "Message Queue Overflow for node %d (discarded message follows)\n",
                  int(message->source));
    std::string report = line;
    DescribeMessage(message, report);
    std::snprintf(line, sizeof line, " %d messages queued by the router are dropped\n", int(queued));
    report += line;
    ScriptLogHook("%s", report.c_str());
  }
  DropQueued();
}

void GSRouter::DropQueued() {
  ++m_drops;
  // Taken out first: a release may end a game object, which may post.
  std::vector<GSMessage*> posted;
  posted.swap(m_posted);
  const std::size_t head = m_postedHead;
  m_postedHead = 0;
  std::vector<Delayed> delayed;
  delayed.swap(m_delayed);
  for (std::size_t i = head; i < posted.size(); ++i) posted[i]->ReleaseReference();
  for (const Delayed& d : delayed) d.message->ReleaseReference();
}

void GSRouter::ClearDelayedMessages(GSNode* node, std::string_view major, std::string_view minor) {
  if (!node) return;
  // A name never seen names no queued message: nothing is interned for it.
  const uint16_t a = FindMessageId(major);
  const uint16_t b = minor.empty() ? 0 : FindMessageId(minor);
  if (a == 0 || (!minor.empty() && b == 0)) return;
  PayRunBudget(m_delayed.size() * sizeof(Delayed));
  const uint32_t target = uint32_t(node->m_id);
  const auto gone = std::remove_if(m_delayed.begin(), m_delayed.end(), [&](const Delayed& d) {
    const GSMessage* m = d.message;
    return m->destination == target && m->major == a && (b == 0 || m->minor == b);
  });
  const std::size_t count = std::size_t(m_delayed.end() - gone);
  if (count == 0) return;
  for (auto it = gone; it != m_delayed.end(); ++it) it->message->ReleaseReference();
  m_delayed.erase(gone, m_delayed.end());
  std::make_heap(m_delayed.begin(), m_delayed.end(), Later);
  if (ScriptLogHook)
    ScriptLogHook("%d queued router messages cleared for %04d '%s', message %s, %s", int(count), node->m_id,
                  node->NodeName().c_str(), std::string(major).c_str(), std::string(minor).c_str());
}

void GSRouter::Step() {
  const uint64_t now = m_clock();
  const uint64_t elapsed = now > m_clockBase ? now - m_clockBase : 0;
  m_clockBase = std::max(now, m_clockBase);
  m_time += elapsed;
  m_running = true;
  const float seconds = float(elapsed) / 1000.0f;

  // Delayed messages posted while these are delivered fall due later.
  while (!m_delayed.empty() && m_delayed.front().due <= m_time) {
    std::pop_heap(m_delayed.begin(), m_delayed.end(), Later);
    GSMessage* m = m_delayed.back().message;
    m_delayed.pop_back();
    Deliver(m);
    m->ReleaseReference();
  }
  // Only what was posted before the step: a handler that posts at every
  // message cannot keep the step going. An overflow drops them all.
  const std::size_t end = m_posted.size();
  const uint64_t drops = m_drops;
  while (m_postedHead < end && m_drops == drops) {
    GSMessage* m = m_posted[m_postedHead];
    m_posted[m_postedHead++] = nullptr;
    Deliver(m);
    m->ReleaseReference();
  }
  if (m_postedHead == m_posted.size()) {
    m_posted.clear();
    m_postedHead = 0;
  } else if (m_postedHead > m_posted.size() / 2) {
    m_posted.erase(m_posted.begin(), m_posted.begin() + long(m_postedHead));
    m_postedHead = 0;
  }

  std::vector<int32_t> updates;
  updates.swap(m_updates);
  for (int32_t id : updates) {
    GSNode* node = FindNode(id);
    if (!node || !node->m_updateRequested) continue;
    // Cleared here whatever the elapsed time, so that the node may ask again
    // during its update and is not lost from the set on a step of no time.
    node->m_updateRequested = false;
    node->Update(seconds);
  }
  if (m_updates.empty()) {
    updates.clear();
    m_updates.swap(updates);  // keeps the buffer
  }

  std::vector<int32_t> doomed;
  doomed.swap(m_doomed);
  for (int32_t id : doomed) {
    GSNode* node = FindNode(id);
    if (!node || !(node->m_flags & GSNode::kDeletionPending)) continue;
    // A node that already left its router has nothing to remove.
    (void)RemoveNode(node);
    delete node;
  }
}

void GSRouter::Info() const {
  if (!ScriptLogHook) return;
  ScriptLogHook("ROUTER INFO\n===========");
  ScriptLogHook("%d Node(s)", int(m_ids.size()));
  ScriptLogHook("%d Message(s) in the delay queue", int(m_delayed.size()));
  ScriptLogHook("%d Major types", int(m_idCounter));
  ScriptLogHook("%d Posted messages", int(PostedCount()));
  ScriptLogHook("%d Subscription AVL trees", int(SubscriptionTreeCount()));
}

void GSRouter::DumpAllStacks() {
  if (ScriptLogHook) ScriptLogHook("*** DUMPING ALL THREAD STACKS ***");
  std::vector<int32_t> nodes;
  for (GSNode* n = m_first; n; n = n->m_next)
    if (n->m_flags & GSNode::kGameObject) nodes.push_back(n->m_id);
  for (int32_t id : nodes)
    if (GSNode* node = FindNode(id)) node->DumpStacks();
}

void GSRouter::DescribeMessage(const GSMessage* message, std::string& text) const {
  if (!message) return;
  auto name = [&](uint32_t id) {
    const GSNode* n = id ? FindNode(int32_t(id)) : nullptr;
    return n ? n->NodeName() : std::string();
  };
  char line[128];
  const std::string from = name(message->source), to = name(message->destination);
  std::snprintf(line, sizeof line, "router message from %04d '", int(message->source));
  text += line;
  text += from;
  std::snprintf(line, sizeof line, "' to %04d '", int(message->destination));
  text += line;
  text += to;
  text += "', message ";
  text += MessageString(message->major);
  text += ", ";
  text += MessageString(message->minor);
  text += "\n";
}

void GSRouter::Reset() {
  for (GSNode* n = m_first; n; n = n->m_next) n->m_subscribed.clear();
  m_ids.clear();
  m_names.clear();
  m_subscriptions.clear();
  // The text-to-id table goes too: kept, old strings would share ids with new ones.
  m_messageIds.clear();
  m_messageStrings.clear();
  ScriptMemory::Give(m_namesCounted);
  m_namesHeld = m_namesCounted = 0;
  m_idCounter = kFirstScriptMessageId;
  m_namesRefusedReported = 0;
}

void GSRouter::Done() {
  int outstanding = 0;
  for (GSNode* n = m_first; n; n = n->m_next) ++outstanding;
  if (outstanding && ScriptLogHook) ScriptLogHook("GSRouter::Done(), %d outstanding node(s)", outstanding);
  Reset();
  while (GSNode* node = m_first) {
    Unlink(node);
    node->m_updateRequested = false;
    if (node->m_flags & GSNode::kDeletionPending) delete node;
  }
  DropQueued();
  m_updates.clear();
  m_doomed.clear();
  m_running = false;
  m_dumpMajor = m_dumpMinor = 0;
}

}  // namespace GSRuntime
