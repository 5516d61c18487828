#pragma once
// Game objects: script objects that take part in messaging. A game object is
// a node of its context's router, owns up to 64 script threads that run on
// every update, and keeps a list of message handlers (script methods run when
// a message arrives) and sniffers (objects that get a copy of the messages).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/Router.h"

namespace GSRuntime {

class GSMachine;
class GSStack;
class GSThread;
struct GSFunction;

// One entry of a game object's handler list.
struct GSHandler {
  int32_t node = 0;                // the game object whose method runs, or that gets the copies
  uint32_t block = 0;              // class block of the target's instance the function belongs to
  GSFunction* function = nullptr;  // handler only
  uint16_t major = 0;
  uint16_t minor = kMessageAnyMinor;  // any minor
  bool sniff = false;

  // Two entries are the same handler when all but the block agree.
  struct Same {
    bool operator()(const GSHandler& a, const GSHandler& b) const {
      return a.node == b.node && a.function == b.function && a.major == b.major && a.minor == b.minor &&
             a.sniff == b.sniff;
    }
  };
  struct Hash {
    std::size_t operator()(const GSHandler& h) const {
      const uint64_t ids = uint64_t(h.major) << 48 | uint64_t(h.minor) << 32 | uint32_t(h.node);
      return std::hash<uint64_t>()(ids) ^ std::hash<const void*>()(h.function) ^ std::size_t(h.sniff);
    }
  };
};

class GSGameObject : public GSObject, public GSNode {
public:
  static constexpr std::size_t kMaxThreads = 64;
  // Bytes one handler or sniff entry counts against the script memory
  // limit. The first kFreeHandlers are part of the object, as its other
  // fixed parts are; only a list that grows past them counts.
  static constexpr uint64_t kHandlerBytes = 64;
  static constexpr std::size_t kFreeHandlers = 16;
  static constexpr uint64_t HandlerBytes(std::size_t count) {
    return count > kFreeHandlers ? (count - kFreeHandlers) * kHandlerBytes : 0;
  }

  GSGameObject();
  ~GSGameObject() override;

  // Drops every thread and handler first; the class must derive from "GameObject".
  [[nodiscard]] bool BindScriptClass(GSClass* cls, GSContext* context) override;
  // Registered with a router, the object waits for the router to delete it.
  [[nodiscard]] bool DeferDeletion() override;

  // The name the node registers under; set it before the object joins a router.
  void SetName(std::string name) { m_name = std::move(name); }
  std::string NodeName() const override { return m_name; }
  [[nodiscard]] bool Receive(GSMessage* message) override;
  void Update(float seconds) override;
  void DumpStacks() override;
  GSGameObject* AsGameObject() override { return this; }

  // A new thread of this object (run on its next update); null when it has
  // 64 or has no script instance.
  GSThread* StartThread();
  // Deletes a thread of this object that has not run yet.
  void StopThread(GSThread* thread);
  // Made by a script (`new`): the scripts own it, and its context's teardown deletes it.
  void SetOwnedByScripts() { m_ownedByScripts = true; }
  [[nodiscard]] bool OwnedByScripts() const override { return m_ownedByScripts; }
  std::size_t ThreadCount() const { return m_threads.size(); }
  GSThread* ThreadAt(std::size_t i) const { return m_threads[i].get(); }
  const std::vector<GSHandler>& Handlers() const { return m_handlers; }

  // The natives of "GameObject".
  void SendMessage(GSStack& stack);
  void SendMessageWithPayload(GSStack& stack);
  void PostMessage(GSStack& stack);
  void PostMessageWithPayload(GSStack& stack);
  void ClearMessages(GSStack& stack);
  void AddHandler(GSStack& stack);
  void Sniff(GSStack& stack);
  void Sleep(GSStack& stack);
  void GetId(GSStack& stack);
  void GetName(GSStack& stack);
  void Exception(GSStack& stack);

private:
  void DropThreadsAndHandlers();
  void Send(GSStack& stack, bool payload);
  void Post(GSStack& stack, bool payload);
  void RunHandler(const GSHandler& handler, GSMessage* message);
  // Appends an entry that is not there yet and subscribes to its major; past
  // the memory limit nothing is added and `native` reports it.
  void EnterHandler(const GSHandler& handler, const char* native);
  // Removes the entries that match, unsubscribing each; the walk is paid for.
  void RemoveHandlers(const std::function<bool(const GSHandler&)>& match);

  std::string m_name;
  std::vector<GSHandler> m_handlers;  // in the order they were added
  std::unordered_set<GSHandler, GSHandler::Hash, GSHandler::Same> m_handlerIndex;  // the same, for duplicates
  std::vector<std::unique_ptr<GSThread>> m_threads;
  bool m_destroying = false;
  bool m_ownedByScripts = false;
};

// The game object behind a script handle, or null.
GSGameObject* GameObjectOf(uint32_t handle);
// The handle of the object's instance viewed as class "GameObject"; 0 when none.
uint32_t GameObjectHandle(GSGameObject* object);

// The script library binds payload soups to its Soup objects through these.
struct PayloadHooks {
  // The soup a script object carries; null when it carries none.
  SoupRef (*soupOf)(GSObjectReference* object) = nullptr;
  // A new script object of the context around the soup, its handle with one
  // reference; 0 when none can be made.
  uint32_t (*makeObject)(GSContext* context, const SoupRef& soup) = nullptr;
};
void SetPayloadHooks(const PayloadHooks& hooks);
// The bytes a soup holds: each of its containers once, their tags and values.
// What a payload counts against the script memory, and what natives that
// copy or walk a soup pay into the run budget.
uint64_t SoupBytes(const SoupRef& soup);

// Appends the records of the "GameObject" and "Router" natives.
void RegisterGameObjectNatives(GSMachine& machine);

}  // namespace GSRuntime
