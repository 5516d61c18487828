#include "gamescript/runtime/GameObject.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Stack.h"
#include "gamescript/runtime/Thread.h"

namespace GSRuntime {

namespace {

PayloadHooks g_payload;

// The text of a string argument; null for a null handle or another object.
const std::string* StringArgument(const GSStack& stack, uint32_t i) {
  GSObjectReference* o = GetObject(stack.Argument(i));
  return o && o->Type() == ObjectString ? &static_cast<GSString*>(o)->Text() : nullptr;
}

std::string_view Text(const std::string* s) { return s ? std::string_view(*s) : std::string_view(); }

// A delay in seconds as whole milliseconds for the time word.
uint32_t DelayWord(float seconds) {
  if (!(seconds > 0.0f)) return 0;
  const double ms = double(seconds) * 1000.0;
  return ms >= double(kMessageTimeMask) ? kMessageTimeMask : uint32_t(ms);
}

// The class "name" of the library "gs.gsl", looked up again until found.
GSClass* BaseClass(const char* name, GSClass*& cache) {
  if (!cache) {
    GSLibrary* library = GSMachine::Instance().GetLibraryByName("gs.gsl");
    cache = library ? library->FindClass(name) : nullptr;
  }
  return cache;
}

// The class whose part of `instance` starts at `block`.
const GSClass* ClassAtBlock(const GSScriptInstance* instance, uint32_t block) {
  if (!instance->cls) return nullptr;
  if (block == 0) return instance->cls;
  for (const GSAncestor& a : instance->cls->Ancestors())
    if (uint32_t(a.offset) == block) return a.cls;
  return nullptr;
}

// A game object found by node id in this router, or else among the routers
// of every live context.
GSGameObject* FindAnywhere(GSRouter* router, int32_t id) {
  if (GSNode* n = router ? router->FindNode(id) : nullptr) return n->AsGameObject();
  for (GSContext* c : GSContext::LiveContexts())
    if (GSRouter* r = c->Router(); r && r != router)
      if (GSNode* n = r->FindNode(id)) return n->AsGameObject();
  return nullptr;
}

// Gives the message a copy of the soup the script object carries, without
// the tags named "__...", which are the sender's own. The copy counts
// against the script memory as long as the message lives (a thread may keep
// it queued); false when that would pass the limit, which the router reports.
bool AttachPayload(GSMessage* message, uint32_t handle, GSRouter* router) {
  GSObjectReference* o = GetObject(handle);
  SoupRef soup = o && g_payload.soupOf ? g_payload.soupOf(o) : SoupRef();
  if (!soup) return true;
  message->payload.Copy(soup);
  message->payload.Get()->RemoveTagsIf(
      [](const TDBDataTag& t) { return t.GetName().View().starts_with("__"); });
  message->payloadBytes = SoupBytes(message->payload);
  PayRunBudget(message->payloadBytes);
  if (message->CountPayload()) return true;
  if (router) router->Overflow(message);
  return false;
}

}  // namespace

void SetPayloadHooks(const PayloadHooks& hooks) { g_payload = hooks; }

uint64_t SoupBytes(const SoupRef& soup) {
  if (!soup) return 0;
  uint64_t bytes = 0;
  std::vector<const ACSChunk*> pending{soup.Get()};
  std::unordered_set<const ACSChunk*> seen{soup.Get()};
  while (!pending.empty()) {
    const ACSChunk* node = pending.back();
    pending.pop_back();
    bytes += sizeof(ACSChunk) + node->CountChildren() * sizeof(TDBDataTag);
    for (std::size_t i = 0; i < node->CountChildren(); ++i) {
      const TDBDataTag& tag = node->GetTag(i);
      bytes += tag.GetSize();
      if (const ACSChunk* child = tag.GetContainer(); child && seen.insert(child).second)
        pending.push_back(child);
    }
  }
  return bytes;
}

GSGameObject* GameObjectOf(uint32_t handle) {
  GSObjectReference* o = GetObject(handle);
  return o && o->Type() == ObjectGame ? dynamic_cast<GSGameObject*>(o) : nullptr;
}

uint32_t GameObjectHandle(GSGameObject* object) {
  GSScriptInstance* i = object ? object->Instance() : nullptr;
  if (!i || !i->cls) return 0;
  // The class of "gs.gsl" when it is loaded; by name for a class of another library.
  const GSClass* base = BaseClass("GameObject", Machine().gameObjectClass);
  auto is = [&](const GSClass* c) { return c && (base ? c == base : c->Name() == "GameObject"); };
  if (is(i->cls)) return i->HandleOfBlock(0);
  for (const GSAncestor& a : i->cls->Ancestors())
    if (is(a.cls)) return i->HandleOfBlock(uint32_t(a.offset));
  return 0;
}

// ------------------------------------------------------------ game objects

GSGameObject::GSGameObject() : GSObject(ObjectGame) {
  SetNodeFlags(NodeFlags() | kGameObject);
  RequestUpdate();
}

GSGameObject::~GSGameObject() {
  m_destroying = true;
  DropThreadsAndHandlers();
}

void GSGameObject::DropThreadsAndHandlers() {
  // A thread's frames may hold the last reference of this object: the
  // threads leave the list before they are deleted.
  std::vector<std::unique_ptr<GSThread>> threads;
  threads.swap(m_threads);
  threads.clear();
  for (const GSHandler& h : m_handlers)
    // One never subscribed has nothing to undo.
    if (Router()) (void)Router()->Unsubscribe(this, h.major);
  ScriptMemory::Give(HandlerBytes(m_handlers.size()));
  m_handlers.clear();
  m_handlerIndex.clear();
}

void GSGameObject::EnterHandler(const GSHandler& handler, const char* native) {
  if (m_handlerIndex.contains(handler)) return;
  if (!ScriptMemory::Take(HandlerBytes(m_handlers.size() + 1) - HandlerBytes(m_handlers.size()))) {
    if (ScriptLogHook) ScriptLogHook("%s> the handlers would pass the script memory limit", native);
    return;
  }
  m_handlers.push_back(handler);
  m_handlerIndex.insert(handler);
  // A refused subscription (no such major) leaves the handler unreached, as the script asked.
  if (GSRouter* router = Router()) (void)router->Subscribe(this, handler.major);
}

void GSGameObject::RemoveHandlers(const std::function<bool(const GSHandler&)>& match) {
  PayRunBudget(sizeof(GSHandler) * m_handlers.size());
  GSRouter* router = Router();
  const std::size_t before = m_handlers.size();
  std::erase_if(m_handlers, [&](const GSHandler& h) {
    if (!match(h)) return false;
    m_handlerIndex.erase(h);
    // One never subscribed has nothing to undo.
    if (router) (void)router->Unsubscribe(this, h.major);
    return true;
  });
  ScriptMemory::Give(HandlerBytes(before) - HandlerBytes(m_handlers.size()));
}

bool GSGameObject::BindScriptClass(GSClass* cls, GSContext* context) {
  DropThreadsAndHandlers();
  if (!cls) return GSObject::BindScriptClass(nullptr, context);
  if (!cls->IsDerivedFrom("GameObject")) return false;
  return GSObject::BindScriptClass(cls, context);
}

bool GSGameObject::DeferDeletion() {
  if (m_destroying) return true;
  if (!Router()) return false;
  MarkForDeletion();
  return true;
}

GSThread* GSGameObject::StartThread() {
  GSScriptInstance* i = Instance();
  if (m_threads.size() >= kMaxThreads || !i || !i->cls) return nullptr;
  m_threads.push_back(std::make_unique<GSThread>(this, 0));
  RequestUpdate();
  return m_threads.back().get();
}

void GSGameObject::StopThread(GSThread* thread) {
  const auto at = std::find_if(m_threads.begin(), m_threads.end(),
                               [&](const std::unique_ptr<GSThread>& t) { return t.get() == thread; });
  if (at == m_threads.end()) return;
  std::unique_ptr<GSThread> gone = std::move(*at);
  m_threads.erase(at);
}

void GSGameObject::Update(float seconds) {
  GSNode::Update(seconds);
  // Threads started during this update first run on the next one.
  const std::size_t n = m_threads.size();
  for (std::size_t i = 0; i < n && i < m_threads.size(); ++i) {
    GSThread* t = m_threads[i].get();
    if (t && t->Run(seconds) != ER_Blocked) {
      std::unique_ptr<GSThread> done = std::move(m_threads[i]);
      done.reset();
    }
  }
  std::erase(m_threads, nullptr);
  if (!m_threads.empty()) RequestUpdate();
}

void GSGameObject::DumpStacks() {
  for (std::size_t i = 0; i < m_threads.size(); ++i) {
    if (ScriptLogHook)
      ScriptLogHook("*** STACK DUMP OF THREAD %d ON GAME OBJECT %s, id %d ***", int(i), m_name.c_str(),
                    NodeId());
    m_threads[i]->Stack().DumpFrames();
    if (ScriptLogHook) ScriptLogHook("\n");
  }
}

bool GSGameObject::Receive(GSMessage* message) {
  GSRouter* router = Router();
  if (!router) return false;
  bool consumed = false;
  for (std::size_t i = 0; i < m_threads.size(); ++i) {
    GSThread* t = m_threads[i].get();
    if (!t) continue;
    const bool waiting = t->State() == GSThread::Waiting;
    if (t->OfferMessage(message, true) && waiting && t->State() == GSThread::Ready) consumed = true;
  }
  // Handlers added or removed while these run do not disturb this pass. Few
  // match a message: they are copied into room on the stack when they fit.
  PayRunBudget(sizeof(GSHandler) * m_handlers.size());
  GSHandler room[8];
  std::vector<GSHandler> more;
  std::size_t count = 0;
  for (const GSHandler& h : m_handlers) {
    if (h.major != message->major || (h.minor != kMessageAnyMinor && h.minor != message->minor)) continue;
    if (count < std::size(room))
      room[count] = h;
    else
      more.push_back(h);
    ++count;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const GSHandler& h = k < std::size(room) ? room[k] : more[k - std::size(room)];
    if (!h.sniff) {
      RunHandler(h, message);
      consumed = true;
      continue;
    }
    if (message->time & kMessageSniffed) continue;  // a copy is never sniffed again
    GSGameObject* sniffer = FindAnywhere(router, h.node);
    if (!sniffer) continue;
    const MessageRef copy = GSMessage::Make(message->major, message->minor, message->source,
                                            message->destination, kMessageCreated | kMessageSniffed);
    copy->payload = message->payload;
    // True when handled; a message that no one handles is dropped, as messages are.
    (void)sniffer->Receive(copy.Get());
  }
  if (!consumed && message->major == kMessageDelete) {
    MarkForDeletion();
    consumed = true;
  }
  return consumed;
}

void GSGameObject::RunHandler(const GSHandler& h, GSMessage* message) {
  GSRouter* router = Router();
  GSNode* node = h.node == NodeId() ? this : router ? router->FindNode(h.node) : nullptr;
  GSGameObject* target = node ? node->AsGameObject() : nullptr;
  GSScriptInstance* instance = target ? target->Instance() : nullptr;
  // The target may have been bound to another class since the handler was added.
  if (!instance || !h.function || ClassAtBlock(instance, h.block) != h.function->owner) return;
  const uint32_t self = instance->HandleOfBlock(h.block);
  GSContext* context = target->Context();
  const uint32_t messageObject = context ? context->MakeMessageObject(message) : 0;
  const int32_t code = CallScriptFunctionOn(SharedThread(), *h.function, self, &messageObject, 1, nullptr);
  // The frame owned the message object once it was set up; otherwise it is still ours.
  if (code == ER_StackOverflow || code == ER_LinkError) ReleaseHandle(messageObject);
}

// ------------------------------------------------------------ natives

void GSGameObject::Send(GSStack& stack, bool payload) {
  GSThread* thread = GSThread::Current();
  if (thread && (thread->Flags() & GSThread::kSharedThread)) {
    GSThread::Exception(thread, "Static Thread cannot call SendMessage", false);
    return;
  }
  GSGameObject* destination = GameObjectOf(stack.Argument(1));
  const std::string* major = StringArgument(stack, 2);
  const std::string* minor = StringArgument(stack, 3);
  const MessageRef m =
      major && minor
          ? GSMessage::Create(this, *major, *minor, destination ? uint32_t(destination->NodeId()) : 0, 0)
          : MessageRef();
  if (!m) {
    if (major && minor && !Router()) return;  // not registered: nothing to send through
    GSThread::Exception(thread, "GameObject::SendMessage() illegal major or minor string", false);
    return;
  }
  if (payload && !AttachPayload(m.Get(), stack.Argument(4), Router())) return;
  if (GSRouter* router = Router()) router->SendMessage(m.Get());
}

void GSGameObject::Post(GSStack& stack, bool payload) {
  GSThread* thread = GSThread::Current();
  GSGameObject* destination = GameObjectOf(stack.Argument(1));
  const std::string* major = StringArgument(stack, 2);
  const std::string* minor = StringArgument(stack, 3);
  const float delay = stack.FloatArgument(payload ? 5 : 4);
  const MessageRef m =
      major && minor ? GSMessage::Create(this, *major, *minor,
                                         destination ? uint32_t(destination->NodeId()) : 0, DelayWord(delay))
                     : MessageRef();
  if (!m) {
    if (major && minor && !Router()) return;
    GSThread::Exception(thread, "GameObject::PostMessage() illegal major or minor string", false);
    return;
  }
  if (payload && !AttachPayload(m.Get(), stack.Argument(4), Router())) return;
  // A post refused past the memory limit is reported by the router itself.
  if (GSRouter* router = Router()) (void)router->PostMessage(m.Get());
}

void GSGameObject::SendMessage(GSStack& stack) { Send(stack, false); }
void GSGameObject::SendMessageWithPayload(GSStack& stack) { Send(stack, true); }
void GSGameObject::PostMessage(GSStack& stack) { Post(stack, false); }
void GSGameObject::PostMessageWithPayload(GSStack& stack) { Post(stack, true); }

void GSGameObject::ClearMessages(GSStack& stack) {
  if (GSRouter* router = Router())
    router->ClearDelayedMessages(this, Text(StringArgument(stack, 1)), Text(StringArgument(stack, 2)));
}

void GSGameObject::AddHandler(GSStack& stack) {
  GSRouter* router = Router();
  if (!router) return;
  const uint32_t targetHandle = stack.Argument(1);
  GSGameObject* target = GameObjectOf(targetHandle);
  const std::string* major = StringArgument(stack, 2);
  const std::string* minor = StringArgument(stack, 3);
  const std::string* handler = StringArgument(stack, 4);
  if (!HandleTable::Instance().Get(targetHandle)) {
    if (ScriptLogHook) ScriptLogHook("target object is null for GameObject::AddHandler()");
    return;
  }
  if (!target) {
    if (ScriptLogHook) ScriptLogHook("target object is wrong type for GameObject::AddHandler()");
    return;
  }
  if (!major) {
    if (ScriptLogHook) ScriptLogHook("major type is null for GameObject::AddHandler()");
    return;
  }
  const uint16_t a = router->GetMessageId(*major);
  const uint16_t b = router->GetMessageId(Text(minor));
  if (a == 0 || b == 0) return;  // the router reported that its ids are used up
  if (!handler || handler->empty()) {
    RemoveHandlers([&](const GSHandler& h) {
      return !h.sniff && h.major == a && h.minor == b && h.node == target->NodeId();
    });
    return;
  }
  GSScriptInstance* instance = target->Instance();
  if (!instance || !instance->cls) return;
  // The handler's own class first, then its ancestors.
  const std::string method = "::" + *handler + "(Message)";
  // The name is looked up in the class and each ancestor.
  PayRunBudget(method.size() * (1 + instance->cls->Ancestors().size()));
  GSFunction* function = instance->cls->FindMethod(method);
  uint32_t block = 0;
  for (const GSAncestor& anc : instance->cls->Ancestors()) {
    if (function) break;
    if (anc.cls && (function = anc.cls->FindMethod(method))) block = uint32_t(anc.offset);
  }
  if (!function || function->IsNative() || function->ReturnsValue()) {
    const std::string key = "$void@" + std::string(instance->cls->Name()) + method;
    // The report carries the script's text: it pays as logging does.
    if (ScriptLogHook && PayForOutput(key.size()))
      ScriptLogHook("Could not find handler %s for native GameObject::AddHandler()", key.c_str());
    return;
  }
  EnterHandler(GSHandler{target->NodeId(), block, function, a, b, false}, "GameObject::AddHandler()");
}

void GSGameObject::Sniff(GSStack& stack) {
  const uint32_t targetHandle = stack.Argument(1);
  GSGameObject* target = GameObjectOf(targetHandle);
  const std::string* major = StringArgument(stack, 2);
  const std::string* minor = StringArgument(stack, 3);
  const bool enable = stack.Argument(4) != 0;
  const char* problem = !HandleTable::Instance().Get(targetHandle)
                            ? "target object is null for GameObject::Sniff()"
                        : !target   ? "target object is wrong type for GameObject::Sniff()"
                        : !major    ? "major type is null for GameObject::Sniff()"
                        : !Router() ? "router is null for GameObject::Sniff()"
                                    : nullptr;
  if (problem) {
    if (ScriptLogHook) ScriptLogHook("%s", problem);
    return;
  }
  GSRouter* router = Router();
  const uint16_t a = router->GetMessageId(*major);
  const uint16_t b = router->GetMessageId(Text(minor));
  if (a == 0 || b == 0) return;
  const GSHandler entry{target->NodeId(), 0, nullptr, a, b, true};
  if (enable) return EnterHandler(entry, "GameObject::Sniff()");
  // At most one entry matches.
  if (m_handlerIndex.contains(entry))
    RemoveHandlers([&](const GSHandler& h) { return GSHandler::Same()(h, entry); });
}

void GSGameObject::Sleep(GSStack& stack) {
  const float seconds = stack.FloatArgument(1);
  GSThread* thread = GSThread::Current();
  if (!(seconds > 0.000001f) || !thread || (thread->Flags() & GSThread::kSharedThread)) return;
  thread->SetState(GSThread::Waiting);
  thread->SetWaitTime(seconds);
}

void GSGameObject::GetId(GSStack& stack) { stack.Push(uint32_t(NodeId())); }

void GSGameObject::GetName(GSStack& stack) {
  if (!stack.PushString(Context(), m_name)) stack.Push(0);
}

void GSGameObject::Exception(GSStack& stack) {
  const std::string* text = StringArgument(stack, 1);
  // The report goes on running; a text past the run budget ends the thread instead.
  if (!PayForOutput(text ? text->size() : 0))
    return GSThread::Exception(GSThread::Current(),
                               "GameObject.Exception> the text would pass the run budget", false);
  GSThread::Exception(GSThread::Current(), text ? text->c_str() : "", true);
}

// ------------------------------------------------------------ threads and messages

GSGameObject* GSThread::OwnerGameObject() const {
  return m_owner && m_owner->Type() == ObjectGame ? dynamic_cast<GSGameObject*>(m_owner) : nullptr;
}

void GSThread::DropHandlers() {
  GSGameObject* owner = OwnerGameObject();
  if (GSRouter* router = owner ? owner->Router() : nullptr)
    // One never subscribed has nothing to undo.
    for (const Block& b : m_handlers) (void)router->Unsubscribe(owner, b.major);
  m_handlers.clear();
}

bool GSThread::Matches(const GSMessage* message, std::size_t& entry) const {
  for (std::size_t i = 0; i < m_handlers.size(); ++i) {
    const Block& b = m_handlers[i];
    if (b.major == message->major && (b.minor == kMessageAnyMinor || b.minor == message->minor)) {
      entry = i;
      return true;
    }
  }
  return false;
}

bool GSThread::OfferMessage(GSMessage* message, bool enqueue) {
  GSGameObject* owner = OwnerGameObject();
  if (!owner || !owner->Router() || !owner->Context() || !message) return false;
  std::size_t entry = 0;
  if (!Matches(message, entry)) return false;
  if (m_state == Waiting) {
    const uint32_t object = owner->Context()->MakeMessageObject(message);
    if (!m_stack.PushReference(object)) ReleaseHandle(object);
    m_resume = m_handlers[entry].target;
    m_state = Ready;
    m_wait = 0.0f;
    return true;
  }
  if (!enqueue) return true;
  if (m_queue.size() < kMaxQueuedMessages) {
    m_queue.push_back(MessageRef(message));
    return true;
  }
  GSRouter* router = owner->Router();
  char line[128];
  std::snprintf(line, sizeof line, "Message Queue Overflow for node %d (discarded message follows)\n",
                owner->NodeId());
  std::string report = line;
  router->DescribeMessage(message, report);
  std::snprintf(line, sizeof line, " thread state is %d\n", int(m_state));
  report += line;
  report += " messages already in queue follow:\n";
  for (const MessageRef& m : m_queue) router->DescribeMessage(m.Get(), report);
  m_queue.clear();
  Exception(this, report.c_str(), true);
  return true;
}

bool GSThread::ProcessQueue() {
  const std::size_t count = m_queue.size();
  bool resumed = false;
  for (std::size_t i = 0; i < count && !m_queue.empty(); ++i) {
    MessageRef m = std::move(m_queue.front());
    m_queue.pop_front();
    std::size_t entry = 0;
    if (!Matches(m.Get(), entry)) continue;  // matches nothing: dropped
    if (resumed) {
      m_queue.push_back(std::move(m));  // waits for the next wait
      continue;
    }
    // A message the thread does not take waits in the queue.
    (void)OfferMessage(m.Get(), false);
    resumed = m_state == Ready;
  }
  return m_state == Ready;
}

// ------------------------------------------------------------ contexts

uint32_t GSContext::MakeMessageObject(const GSMessage* message) {
  GSClass* cls = BaseClass("Message", Machine().messageClass);
  if (!cls || !message) return 0;
  auto* object = new GSObject();
  if (!object->BindScriptClass(cls, this)) {
    delete object;
    return 0;
  }
  GSScriptInstance* instance = object->Instance();
  GSRouter* router = Router();
  // The members are found by their names in "gs.gs".
  auto store = [&](const char* member, uint32_t handle) {
    const int32_t cell = cls->VariableCell(member);
    if (cell >= 0) StoreMember(instance, uint32_t(cell), handle);
    ReleaseHandle(handle);  // the member holds it now
  };
  auto string = [&](uint16_t id) {
    GSString* s = GSString::Create(this, router ? router->MessageString(id) : std::string_view());
    return s ? s->GetScriptHandle() : 0u;
  };
  auto node = [&](uint32_t id) {
    const uint32_t h = id ? GameObjectHandle(FindAnywhere(router, int32_t(id))) : 0;
    AddReference(h);
    return h;
  };
  store("major", string(message->major));
  store("minor", message->minor == kMessageAnyMinor ? string(0) : string(message->minor));
  store("src", node(message->source));
  store("dst", node(message->destination));
  if (message->payload && g_payload.makeObject)
    store("paramSoup", g_payload.makeObject(this, message->payload));
  return object->GetScriptHandle();
}

namespace {
// Pushes the object as "GameObject" with one reference, or null.
void PushGameObject(GSStack& stack, GSGameObject* object, bool allowSecured) {
  GSScriptInstance* i = object ? object->Instance() : nullptr;
  const bool visible = i && i->cls && (allowSecured || !(i->cls->Flags() & kClassSecured));
  const uint32_t h = visible ? GameObjectHandle(object) : 0;
  AddReference(h);
  stack.Push(h);
}
}  // namespace

void GSContext::GetGameObjectById(GSStack& stack) {
  GSNode* n = m_router ? m_router->FindNode(int32_t(stack.Argument(1))) : nullptr;
  PushGameObject(stack, n ? n->AsGameObject() : nullptr, false);
}

void GSContext::GetForeignGameObject(GSStack& stack) {
  const int32_t id = int32_t(stack.Argument(1));
  for (GSContext* c : LiveContexts()) {
    GSRouter* r = c->Router();
    if (!r || r->Hidden()) continue;
    GSNode* n = r->FindNode(id);
    GSGameObject* object = n ? n->AsGameObject() : nullptr;
    GSScriptInstance* i = object ? object->Instance() : nullptr;
    if (i && i->cls && !(i->cls->Flags() & kClassSecured)) {
      PushGameObject(stack, object, false);
      return;
    }
  }
  stack.Push(0);
}

void GSContext::GetGameObjectByName(GSStack& stack) {
  const std::string* name = StringArgument(stack, 1);
  PayRunBudget(name ? name->size() : 0);
  GSNode* n = m_router && name ? m_router->FindNode(*name) : nullptr;
  PushGameObject(stack, n ? n->AsGameObject() : nullptr, true);
}

void GSContext::RouterInfo(GSStack&) {
  if (m_router) m_router->Info();
}

void GSContext::RouterPostMessage(GSStack& stack) {
  const std::string* major = StringArgument(stack, 3);
  const std::string* minor = StringArgument(stack, 4);
  if (!m_router || !major || !minor) return;
  const uint16_t a = m_router->GetMessageId(*major);
  const uint16_t b = m_router->GetMessageId(*minor);
  if (a == 0 || b == 0) return;
  const MessageRef m = GSMessage::Make(a, b, stack.Argument(1), stack.Argument(2),
                                       DelayWord(stack.FloatArgument(5)) | kMessageCreated);
  // A post refused past the memory limit is reported by the router itself.
  (void)m_router->PostMessage(m.Get());
}

// ------------------------------------------------------------ registration

void RegisterGameObjectNatives(GSMachine& machine) {
  using G = GSCPPNativeFunction<GSGameObject>;
  using R = GSCPPContextNativeFunction<GSContext>;
  const struct {
    const char* key;
    void (GSGameObject::*function)(GSStack&);
  } objects[] = {
      {"$void@GameObject::SendMessage(GameObject,string,string)", &GSGameObject::SendMessage},
      {"$void@GameObject::SendMessage(GameObject,string,string,GSObject)",
       &GSGameObject::SendMessageWithPayload},
      {"$void@GameObject::PostMessage(GameObject,string,string,float)", &GSGameObject::PostMessage},
      {"$void@GameObject::PostMessage(GameObject,string,string,GSObject,float)",
       &GSGameObject::PostMessageWithPayload},
      {"$void@GameObject::ClearMessages(string,string)", &GSGameObject::ClearMessages},
      {"$void@GameObject::AddHandler(GameObject,string,string,string)", &GSGameObject::AddHandler},
      {"$void@GameObject::Sniff(GameObject,string,string,bool)", &GSGameObject::Sniff},
      {"$void@GameObject::Sleep(float)", &GSGameObject::Sleep},
      {"$int@GameObject::GetId()", &GSGameObject::GetId},
      {"$string@GameObject::GetName()", &GSGameObject::GetName},
      {"$void@GameObject::Exception(string)", &GSGameObject::Exception},
  };
  for (const auto& o : objects) machine.RegisterNative(std::make_unique<G>("GameObject", o.key, o.function));
  const struct {
    const char* key;
    void (GSContext::*function)(GSStack&);
  } router[] = {
      {"$GameObject@Router::GetGameObject(int)", &GSContext::GetGameObjectById},
      {"$GameObject@Router::GetForeignGameObject(int)", &GSContext::GetForeignGameObject},
      {"$GameObject@Router::GetGameObject(string)", &GSContext::GetGameObjectByName},
      {"$void@Router::Info()", &GSContext::RouterInfo},
      {"$void@Router::PostMessage(int,int,string,string,float)", &GSContext::RouterPostMessage},
  };
  for (const auto& r : router) machine.RegisterNative(std::make_unique<R>("Router", r.key, r.function));
}

}  // namespace GSRuntime
