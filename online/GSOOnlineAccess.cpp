#include "online/GSOOnlineAccess.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "config/AssetSpec.h"
#include "foundation/Stream.h"
#include "gamescript/runtime/Router.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/String.h"
#include "online/GSOOnlineGroup.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/OpenDatabase.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

// Local data requests of the asset database.
constexpr uint32_t kGetLocalData = 121;
constexpr uint32_t kSetLocalData = 122;

// Every object, newest first.
std::vector<GSOOnlineAccess*>& Objects() {
  static std::vector<GSOOnlineAccess*> objects;
  return objects;
}

OnlineAccessClientEndpoint& Endpoint() { return OnlineAccessClientEndpoint::Instance(); }

}  // namespace

void PostToSelf(GSNode* node, std::string_view major, std::string_view minor) {
  GSRouter* router = node->Router();
  if (!router) return;
  const MessageRef message(GSMessage::Create(node, major, minor, uint32_t(node->NodeId()), 0));
  // A post refused past the memory limit is reported by the router itself.
  if (message) (void)router->PostMessage(message.Get());
}

GSOOnlineAccess::GSOOnlineAccess(const KUID& owner) {
  kuid = owner;
  m_ownerModified = IsSpecLocallyModified(owner);
}

GSOOnlineAccess* GSOOnlineAccess::Get(GSContext* context, const KUID& owner) {
  for (GSOOnlineAccess* o : Objects())
    if (o->Context() == context && o->kuid.user == owner.user && o->kuid.content == owner.content &&
        o->GetScriptHandle()) {
      AddReference(o->GetScriptHandle());
      return o;
    }
  auto* object = new GSOOnlineAccess(owner);
  if (!object->BindScriptClass(ScriptClasses().onlineAccess, context)) {
    delete object;
    return nullptr;
  }
  Objects().insert(Objects().begin(), object);
  // Unrouted, it never updates its status; the log says so, the script still gets it.
  if (GSRouter* router = context->Router()) (void)router->AddNewNode(object, "GSOOnlineAccess::Get");
  object->RequestUpdate();
  return object;
}

GSOOnlineAccess::~GSOOnlineAccess() {
  m_destroying = true;
  Leave();
  std::erase(Objects(), this);
}

void GSOOnlineAccess::Leave() {
  m_connectRequested = false;
  OnlineAccessClientEndpoint& endpoint = Endpoint();
  endpoint.RemoveClient(this);
  if (endpoint.ClientCount() == 0) endpoint.Reset();
  // Messages kept for scripts not running now are lost when this fails: the
  // scripts' log says so, with the file and the reason.
  if (const Kiv::Status saved = endpoint.SaveStoredMessages(); !saved.ok() && ScriptLogHook)
    ScriptLogHook("GSOOnlineAccess::Leave> stored messages not saved: %s", saved.message().c_str());
}

void GSOOnlineAccess::Update(float seconds) {
  GSGameObject::Update(seconds);
  m_postCreditMs = std::max<int64_t>(0, m_postCreditMs - std::llround(double(seconds) * 1000.0));
  OnlineAccessClientEndpoint& endpoint = Endpoint();
  endpoint.Update();
  const uint32_t status =
      m_connectRequested ? endpoint.GetStatus() : uint32_t(OnlineAccessClientEndpoint::kIdle);
  if (status != m_reportedStatus) {
    m_reportedStatus = status;
    PostToSelf(this, "OnlineAccess", "StatusChange");
    if (!m_messages.empty()) m_newMessage = true;
  }
  if (m_newMessage) {
    m_newMessage = false;
    PostToSelf(this, "OnlineAccess", "ReceiveMessage");
  }
  RequestUpdate();
}

void GSOOnlineAccess::ReceiveMessage(std::unique_ptr<OnlineMessage> message) {
  if (!message || !message->IsVersioned()) return;
  std::unique_ptr<OnlineVersionedMessage> versioned(static_cast<OnlineVersionedMessage*>(message.release()));
  if (!versioned->senderModified && m_ownerModified) return;
  m_messages.push_back(std::move(versioned));
  m_newMessage = true;
}

int GSOOnlineAccess::PopMessage(std::string& text, SoupRef& soup) {
  if (m_messages.empty()) return Endpoint().GetStatus() == OnlineAccessClientEndpoint::kOnline ? 6 : 1;
  text = std::move(m_messages.front()->text);
  soup = m_messages.front()->soup;
  m_messages.pop_front();
  return 0;
}

bool GSOOnlineAccess::TakePostCredit() {
  if (m_postCreditMs > kPostCreditMs) return false;
  m_postCreditMs += 1000;
  return true;
}

SoupRef& GSOOnlineAccess::OfflineInbox() {
  static SoupRef inbox;
  return inbox;
}

SoupRef& GSOOnlineAccess::OfflineOutbox() {
  static SoupRef outbox;
  return outbox;
}

void GSOOnlineAccess::LoadOfflineData(const std::string& cacheFolder) {
  OfflineInbox().Clear();
  OfflineOutbox().Clear();
  // Missing boxes are the normal first run; damaged ones are logged where they are read.
  (void)LoadSoupFileWithBackup(cacheFolder, "offline-inbox.tbox", OfflineInbox());
  // Missing boxes are the normal first run; damaged ones are logged where they are read.
  (void)LoadSoupFileWithBackup(cacheFolder, "offline-outbox.tbox", OfflineOutbox());
  // Missing boxes are the normal first run; damaged ones are logged where they are read.
  (void)Endpoint().LoadStoredMessages();
}

// ---- natives ----

namespace {

// The Soup argument at `index` for a native that fills it: a locked one is
// refused with "OnlineAccess.<native>> soup is locked".
GSOSoup* WritableSoup(GSStack& stack, uint32_t index, const char* lockedText) {
  GSOSoup* soup = nullptr;
  if (!GetNativeParameter(stack, index, soup, false)) return nullptr;
  if (soup->Locked()) {
    Raise(lockedText);
    return nullptr;
  }
  return soup;
}

}  // namespace

void GSOOnlineAccess::Connect(GSStack&) {
  m_connectRequested = true;
  OnlineAccessClientEndpoint& endpoint = Endpoint();
  const uint32_t status = endpoint.GetStatus();
  if (status != OnlineAccessClientEndpoint::kConnecting && status != OnlineAccessClientEndpoint::kOnline)
    // The status the script reads says whether it connects.
    (void)endpoint.Connect(false);
  endpoint.AddClient(this);
}

void GSOOnlineAccess::GetStatus(GSStack& stack) { PushNativeResult(stack, m_reportedStatus); }

void GSOOnlineAccess::Disconnect(GSStack&) { Leave(); }

void GSOOnlineAccess::GetUsername(GSStack& stack) {
  PushNativeStringResult(stack, Context(), UMBGetOnlineAccount());
}

// 0 when the database answered and the soup was filled, else 1.
void GSOOnlineAccess::GetLocalData(GSStack& stack) {
  std::string name;
  if (!GetNativeStringParameter(stack, 1, name, false)) return PushNativeResult(stack, 1);
  GSOSoup* soup = WritableSoup(stack, 2, "OnlineAccess.GetLocalData> soup is locked");
  if (!soup) return PushNativeResult(stack, 1);
  TBuffer body, reply;
  WriteKUID(body, kuid);
  body.WritePString(Kiv::PString(Kiv::ToLowerAscii(name)));
  SoupRef data;
  bool ok = UMBExecuteTransaction(kGetLocalData, body, reply);
  if (ok) {
    // An in-memory buffer always goes back to its start.
    (void)reply.Rewind();
    ok = ReadSoupBinary(reply, data) && data.IsValid();
  }
  if (ok) {
    // As Soup.Copy does: the object's soup becomes the copy, paid for as one.
    PayRunBudget(reply.Size() + SoupBytes(data));
    SoupRef copy;
    copy.Copy(data);
    soup->SetSoup(copy);
  }
  PushNativeResult(stack, ok ? 0 : 1);
}

// 0 when posted, else 1.
void GSOOnlineAccess::SetLocalData(GSStack& stack) {
  std::string name;
  GSOSoup* soup = nullptr;
  if (!GetNativeStringParameter(stack, 1, name, false) || !GetNativeParameter(stack, 2, soup, false))
    return PushNativeResult(stack, 1);
  TBuffer body;
  WriteKUID(body, kuid);
  body.WritePString(Kiv::PString(Kiv::ToLowerAscii(name)));
  // Counted before it is made, as Soup.Log counts: a few nodes can stand for
  // terabytes of form. A soup that cannot be written (nested too deep, or
  // past the room) is not stored as an empty one.
  PayRunBudget(SoupBytes(soup->Soup()));
  int depth = 0;
  const uint64_t size = TDBBinaryFile::EncodedSize(soup->Soup(), &depth);
  if (GSOSoup::WriteRefusal(size, depth) || !WriteOnlineSoup(body, soup->Soup())) {
    if (ScriptLogHook)
      ScriptLogHook("GSOOnlineAccess::SetLocalData> the soup of '%s' cannot be stored", name.c_str());
    return PushNativeResult(stack, 1);
  }
  PayRunBudget(size);
  PushNativeResult(stack, UMBPostMessage(kSetLocalData, body) ? 0 : 1);
}

// Profile data is not kept: always 1.
void GSOOnlineAccess::GetProfileData(GSStack& stack) { PushNativeResult(stack, 1); }
void GSOOnlineAccess::SetProfileData(GSStack& stack) { PushNativeResult(stack, 1); }

void GSOOnlineAccess::PostMessage(GSStack& stack) {
  std::string text;
  GSOSoup* soup = nullptr;
  if (!GetNativeStringParameter(stack, 1, text, false) || !GetNativeParameter(stack, 2, soup, false))
    return PushNativeResult(stack, OnlineAccessClientEndpoint::kPostRefused);
  if (!TakePostCredit()) return PushNativeResult(stack, OnlineAccessClientEndpoint::kPostRefused);
  PayRunBudget(SoupBytes(soup->Soup()));  // written out to be sent
  PushNativeResult(stack, uint32_t(Endpoint().PostMessage(kuid, text, soup->Soup(), m_ownerModified)));
}

void GSOOnlineAccess::CollectMessage(GSStack& stack) {
  CollectMessageNative(stack, "OnlineAccess.CollectMessage");
}

void OnlineAccessMessageList::CollectMessageNative(GSStack& stack, const char* who) {
  GSString* text = nullptr;
  if (!GetNativeGSStringParameter(stack, text)) return PushNativeResult(stack, 1);
  GSOSoup* soup = WritableSoup(stack, 2, (std::string(who) + "> soup is locked").c_str());
  if (!soup) return PushNativeResult(stack, 1);
  // The text becomes the script's string: counted before the message is taken.
  if (!text->Reserve(NextTextBytes())) {
    Raise((std::string(who) + "> the text would pass the script memory limit").c_str());
    return PushNativeResult(stack, 1);
  }
  std::string got;
  SoupRef data;
  const int result = PopMessage(got, data);
  if (result == 0) {
    text->Text() = std::move(got);
    soup->SetSoup(data);
  }
  PushNativeResult(stack, uint32_t(result));
}

void GSOOnlineAccess::CreateGroup(GSStack& stack) {
  const int32_t mode = GetNativeIntParameter(stack, 1);
  PushObject(stack, GSOOnlineGroup::Create(this, Kiv::PString(), uint32_t(mode)), false);
}

void GSOOnlineAccess::OpenGroup(GSStack& stack) {
  std::string_view key;
  if (!GetNativeStringViewParameter(stack, 1, key, false)) return PushNativeResult(stack, 0);
  const int32_t mode = GetNativeIntParameter(stack, 2);
  // The group keeps the script's key while it lives: counted before it is copied.
  if (!ScriptMemory::Take(key.size())) {
    Raise("OnlineAccess.OpenGroup> the group key would pass the script memory limit");
    return PushNativeResult(stack, 0);
  }
  PayRunBudget(key.size());
  GSOOnlineGroup* group = GSOOnlineGroup::Create(this, Kiv::PString(key.data(), key.size()), uint32_t(mode));
  if (group)
    group->KeepCounted(key.size());
  else
    ScriptMemory::Give(key.size());
  PushObject(stack, group, false);
}

void GSOOnlineAccess::PostOfflineMessage(GSStack& stack) {
  GSOSoup* soup = nullptr;
  if (!GetNativeParameter(stack, 1, soup, false)) return PushNativeResult(stack, 1);
  // The outbox is kept until exit: the copies count against the script
  // memory limit, so a script that posts without end stops with a report.
  const uint64_t bytes = SoupBytes(soup->Soup());
  PayRunBudget(bytes);
  if (!ScriptMemory::Fits(bytes)) {
    Raise("OnlineAccess.PostOfflineMessage> the soup would pass the script memory limit");
    return PushNativeResult(stack, 1);
  }
  SoupRef& outbox = OfflineOutbox();
  if (outbox.IsNull()) outbox = SoupRef::NewContainer();
  PayRunBudget(outbox.CountTags() * sizeof(TDBDataTag));  // its unique name is found by a walk
  SoupRef copy;
  copy.Copy(soup->Soup());
  copy.EnsureContainer();
  ACSChunk::CountMemory(copy.Get());
  // A child made here cannot hold the soup it enters.
  (void)outbox.SetNamedSoup(outbox.GetUniqueTagName(), copy);
  PushNativeResult(stack, 0);
}

// The oldest soup of the inbox: 0; 6 when none waits (other entries than soups
// are dropped on the way).
void GSOOnlineAccess::CollectOfflineMessage(GSStack& stack) {
  GSOSoup* soup = WritableSoup(stack, 1, "OnlineAccess.CollectOfflineMessage> soup is locked");
  if (!soup) return PushNativeResult(stack, 6);
  SoupRef& inbox = OfflineInbox();
  while (inbox.IsValid() && inbox.CountTags() > 0) {
    const Kiv::PString name = inbox.GetIndexedTagName(0);
    SoupRef child = inbox.GetIndexedSoup(0);
    inbox.RemoveNamedTag(name);
    if (child.IsValid()) {
      soup->SetSoup(child);
      return PushNativeResult(stack, 0);
    }
  }
  PushNativeResult(stack, 6);
}

void GSOOnlineAccess::RegisterNatives(GSMachine& machine) {
  const char* const c = "OnlineAccess";
  using O = GSOOnlineAccess;
  AddNative(machine, c, "$void@OnlineAccess::Connect()", &O::Connect);
  AddNative(machine, c, "$int@OnlineAccess::GetStatus()", &O::GetStatus);
  AddNative(machine, c, "$void@OnlineAccess::Disconnect()", &O::Disconnect);
  AddNative(machine, c, "$string@OnlineAccess::GetUsername()", &O::GetUsername);
  AddNative(machine, c, "$int@OnlineAccess::GetLocalData(string,Soup)", &O::GetLocalData);
  AddNative(machine, c, "$int@OnlineAccess::SetLocalData(string,Soup)", &O::SetLocalData);
  AddNative(machine, c, "$int@OnlineAccess::GetProfileData(string,Soup)", &O::GetProfileData);
  AddNative(machine, c, "$int@OnlineAccess::SetProfileData(string,Soup)", &O::SetProfileData);
  AddNative(machine, c, "$int@OnlineAccess::PostMessage(string,Soup)", &O::PostMessage);
  AddNative(machine, c, "$int@OnlineAccess::CollectMessage(string,Soup)", &O::CollectMessage);
  AddNative(machine, c, "$OnlineGroup@OnlineAccess::CreateGroup(int)", &O::CreateGroup);
  AddNative(machine, c, "$OnlineGroup@OnlineAccess::OpenGroup(string,int)", &O::OpenGroup);
  AddNative(machine, c, "$int@OnlineAccess::PostOfflineMessage(Soup)", &O::PostOfflineMessage);
  AddNative(machine, c, "$int@OnlineAccess::CollectOfflineMessage(Soup)", &O::CollectOfflineMessage);
}
