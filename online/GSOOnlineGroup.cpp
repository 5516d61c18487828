#include "online/GSOOnlineGroup.h"

#include "gamescript/runtime/Router.h"
#include "kiv/String.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {
OnlineAccessClientEndpoint& Endpoint() { return OnlineAccessClientEndpoint::Instance(); }
constexpr uint8_t kMemberAdd = 0;
// A member kept: its entry and its name.
uint64_t MemberBytes(std::size_t nameLength) { return sizeof(OnlineGroupMembers::Member) + nameLength; }
}  // namespace

GSOOnlineGroup::GSOOnlineGroup(GSOOnlineAccess* owner, const Kiv::PString& key, uint32_t mode)
    : m_owner(owner), m_groupKey(key), m_mode(mode) {
  AddReference(owner->GetScriptHandle());
}

GSOOnlineGroup* GSOOnlineGroup::Create(GSOOnlineAccess* owner, const Kiv::PString& key, uint32_t mode) {
  if (!owner || !owner->GetScriptHandle()) return nullptr;
  auto* group = new GSOOnlineGroup(owner, key, mode);
  if (!group->BindScriptClass(ScriptClasses().onlineGroup, owner->Context())) {
    delete group;
    return nullptr;
  }
  Endpoint().AddGroup(group);
  // Unrouted, it never updates; the log says so, the script still gets it.
  if (GSRouter* router = owner->Router()) (void)router->AddNewNode(group, "GSOOnlineGroup::Create");
  group->RequestUpdate();
  group->ConnectGroup();
  return group;
}

GSOOnlineGroup::~GSOOnlineGroup() {
  // A request that cannot be queued is dropped; the service closes the group by itself when the client goes.
  if (m_owner && !m_groupKey.IsEmpty()) (void)Endpoint().SendGroupClose(m_groupKey);
  // No event: the object is going.
  m_status = kClosed;
  Release();
  ScriptMemory::Give(m_memberBytes + m_keyBytes);
}

void GSOOnlineGroup::Update(float seconds) {
  GSGameObject::Update(seconds);
  if (m_newMessage) {
    m_newMessage = false;
    PostToSelf(this, "OnlineGroup", "ReceiveMessage");
  }
  RequestUpdate();
}

void GSOOnlineGroup::SetStatus(uint32_t status) {
  if (status == m_status) return;
  m_status = status;
  PostToSelf(this, "OnlineGroup", "StatusChange");
}

void GSOOnlineGroup::ConnectGroup() {
  if (!m_owner || m_status != kNotConnected) return;
  m_status = kConnecting;
  bool queued;
  if (m_groupKey.IsEmpty()) {
    m_requestId = Endpoint().SendGroupCreate(m_mode);
    queued = m_requestId != 0;
  } else {
    queued = Endpoint().SendGroupJoin(m_groupKey, m_mode);
  }
  // A request that could not be queued leaves the group unconnected, so that
  // Connect can be tried again.
  if (!queued) m_status = kNotConnected;
}

bool GSOOnlineGroup::MatchesRequest(uint32_t id) {
  return m_status == kConnecting && m_groupKey.IsEmpty() && m_requestId == id;
}

void GSOOnlineGroup::OnJoined(const Kiv::PString& key, TMEPacket& rest) {
  m_groupKey = key;
  m_requestId = 0;
  SetStatus(kJoined);
  ReadMembers(rest, true);
}

void GSOOnlineGroup::OnUsersChanged(TMEPacket& rest) { ReadMembers(rest, false); }

void GSOOnlineGroup::OnClosed() {
  SetStatus(kClosed);
  Release();
}

void GSOOnlineGroup::Release() {
  Endpoint().RemoveGroup(this);
  GSOOnlineAccess* owner = m_owner;
  m_owner = nullptr;
  // An owner being destroyed has no reference left to give back.
  if (owner && !owner->Destroying()) ReleaseHandle(owner->GetScriptHandle());
}

void GSOOnlineGroup::OnClientRemoved(OnlineAccessClientBase* client) {
  if (m_owner && client == static_cast<OnlineAccessClientBase*>(m_owner)) OnClosed();
}

bool GSOOnlineGroup::MatchesKey(const Kiv::PString& key) { return m_groupKey == key; }

void GSOOnlineGroup::OnMessage(std::unique_ptr<OnlineGroupMessage> message) {
  if (!message) return;
  m_messages.push_back(std::move(message));
  m_newMessage = true;
}

int GSOOnlineGroup::PopMessage(std::string& text, SoupRef& soup) {
  if (!m_owner || Endpoint().GetStatus() != OnlineAccessClientEndpoint::kOnline) return 1;
  if (m_messages.empty()) return 6;
  text = std::move(m_messages.front()->text);
  soup = m_messages.front()->soup;
  m_messages.pop_front();
  return 0;
}

void GSOOnlineGroup::ReadMembers(TMEPacket& rest, bool replace) {
  using Change = OnlineGroupMembers::Change;
  const bool changed = m_users.Read(rest, replace, [this](Change change, std::string_view name) {
    const char* const major = change == Change::kAdded     ? "OnlineGroup.UserAdded"
                              : change == Change::kRemoved ? "OnlineGroup.UserRemoved"
                                                           : "OnlineGroup.UserStatus";
    PostToSelf(this, major, name);
  });
  RecountMembers();
  if (changed) PostToSelf(this, "OnlineGroup", "UsersChange");
}

// ---- natives ----

// A search of the members walks them all.
void GSOOnlineGroup::PayForMembers() const { PayRunBudget(m_users.Size() * kBytesPerBudgetByte); }

void GSOOnlineGroup::Connect(GSStack&) { ConnectGroup(); }

void GSOOnlineGroup::NativeGetStatus(GSStack& stack) { PushNativeResult(stack, m_status); }

void GSOOnlineGroup::Disconnect(GSStack&) {
  if (!m_owner) return;
  // A request that cannot be queued is dropped; the service closes the group by itself when the client goes.
  if (!m_groupKey.IsEmpty()) (void)Endpoint().SendGroupClose(m_groupKey);
  SetStatus(kNotConnected);
}

void GSOOnlineGroup::GetOnlineGroupCookie(GSStack& stack) {
  PushNativeStringResult(stack, Context(), m_status == kJoined ? m_groupKey.View() : std::string_view());
}

void GSOOnlineGroup::RecountMembers() {
  uint64_t bytes = 0;
  for (const OnlineGroupMembers::Member& m : m_users.All()) bytes += MemberBytes(m.name.Length());
  // The service's list is had whatever it holds: counted as it comes.
  if (bytes > m_memberBytes)
    ScriptMemory::Charge(bytes - m_memberBytes);
  else
    ScriptMemory::Give(m_memberBytes - bytes);
  m_memberBytes = bytes;
}

void GSOOnlineGroup::AddUser(GSStack& stack) {
  std::string_view name;
  if (!GetNativeStringViewParameter(stack, 1, name, false) || !m_owner) return;
  PayForMembers();
  if (m_users.Find(name) >= 0) return;
  // Kept until it is removed: counted before it is copied.
  if (!ScriptMemory::Take(MemberBytes(name.size())))
    return Raise("OnlineGroup.AddUser> the member would pass the script memory limit");
  m_memberBytes += MemberBytes(name.size());
  PayRunBudget(name.size());
  const Kiv::PString member(name.data(), name.size());
  m_users.Append(member);
  // The script learns the outcome from the group's events.
  (void)Endpoint().SendGroupMember(m_groupKey, kMemberAdd, member);
}

void GSOOnlineGroup::RemoveUser(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false) || !m_owner) return;
  PayForMembers();
  const int at = m_users.Find(name.View());
  if (at < 0) return;
  ScriptMemory::Give(MemberBytes(m_users.At(size_t(at)).name.Length()));
  m_memberBytes -= MemberBytes(m_users.At(size_t(at)).name.Length());
  m_users.RemoveAt(size_t(at));
  // The script learns the outcome from the group's events.
  (void)Endpoint().SendGroupMember(m_groupKey, OnlineGroupMembers::kRemoved, name);
}

void GSOOnlineGroup::CountUsers(GSStack& stack) { PushNativeResult(stack, uint32_t(m_users.Size())); }

void GSOOnlineGroup::GetIndexedUser(GSStack& stack) {
  const uint32_t index = uint32_t(GetNativeIntParameter(stack, 1));
  PushNativeStringResult(stack, Context(),
                         index < m_users.Size() ? m_users.At(index).name.View() : std::string_view());
}

void GSOOnlineGroup::FindUser(GSStack& stack) {
  std::string name;
  if (!GetNativeStringParameter(stack, 1, name, true)) return PushNativeResult(stack, uint32_t(-1));
  PayForMembers();
  PushNativeResult(stack, uint32_t(m_users.Find(name)));
}

void GSOOnlineGroup::GetUserStatus(GSStack& stack) {
  const uint32_t index = uint32_t(GetNativeIntParameter(stack, 1));
  PushNativeResult(stack, index < m_users.Size() ? m_users.At(index).status : 0);
}

void GSOOnlineGroup::PostMessage(GSStack& stack) {
  GSOSoup* soup = nullptr;
  if (!GetNativeParameter(stack, 1, soup, false)) return PushNativeResult(stack, 1);
  if (!m_owner) return PushNativeResult(stack, OnlineAccessClientEndpoint::kPostNotOnline);
  if (!m_owner->TakePostCredit()) return PushNativeResult(stack, OnlineAccessClientEndpoint::kPostRefused);
  PayRunBudget(SoupBytes(soup->Soup()));  // written out to be sent
  PushNativeResult(stack, uint32_t(Endpoint().PostGroupMessage(m_groupKey, soup->Soup(), m_owner->Owner())));
}

void GSOOnlineGroup::CollectMessage(GSStack& stack) {
  CollectMessageNative(stack, "OnlineGroup.CollectMessage");
}

void GSOOnlineGroup::SetModeFlags(GSStack& stack) {
  if (!m_owner) return;
  // The script learns the outcome from the group's events.
  (void)Endpoint().SendGroupMode(m_groupKey, uint32_t(GetNativeIntParameter(stack, 1)),
                                 uint32_t(GetNativeIntParameter(stack, 2)));
}

void GSOOnlineGroup::SetUserModeFlags(GSStack& stack) {
  Kiv::PString name;
  if (!GetNativePStringParameter(stack, 1, name, false) || !m_owner) return;
  // The script learns the outcome from the group's events.
  (void)Endpoint().SendGroupUserMode(m_groupKey, name, uint32_t(GetNativeIntParameter(stack, 2)),
                                     uint32_t(GetNativeIntParameter(stack, 3)));
}

void GSOOnlineGroup::GetUserModeFlags(GSStack& stack) {
  std::string name;
  if (!GetNativeStringParameter(stack, 1, name, true)) return PushNativeResult(stack, 0);
  PayForMembers();
  const int at = m_owner ? m_users.Find(name) : -1;
  PushNativeResult(stack, at < 0 ? 0 : m_users.At(size_t(at)).flags);
}

void GSOOnlineGroup::RegisterNatives(GSMachine& machine) {
  const char* const c = "OnlineGroup";
  using G = GSOOnlineGroup;
  AddNative(machine, c, "$void@OnlineGroup::Connect()", &G::Connect);
  AddNative(machine, c, "$int@OnlineGroup::GetStatus()", &G::NativeGetStatus);
  AddNative(machine, c, "$void@OnlineGroup::Disconnect()", &G::Disconnect);
  AddNative(machine, c, "$string@OnlineGroup::GetOnlineGroupCookie()", &G::GetOnlineGroupCookie);
  AddNative(machine, c, "$void@OnlineGroup::AddUser(string)", &G::AddUser);
  AddNative(machine, c, "$void@OnlineGroup::RemoveUser(string)", &G::RemoveUser);
  AddNative(machine, c, "$int@OnlineGroup::CountUsers()", &G::CountUsers);
  AddNative(machine, c, "$string@OnlineGroup::GetIndexedUser(int)", &G::GetIndexedUser);
  AddNative(machine, c, "$int@OnlineGroup::FindUser(string)", &G::FindUser);
  AddNative(machine, c, "$int@OnlineGroup::GetUserStatus(int)", &G::GetUserStatus);
  AddNative(machine, c, "$int@OnlineGroup::PostMessage(Soup)", &G::PostMessage);
  AddNative(machine, c, "$int@OnlineGroup::CollectMessage(string,Soup)", &G::CollectMessage);
  AddNative(machine, c, "$void@OnlineGroup::SetModeFlags(int,int)", &G::SetModeFlags);
  AddNative(machine, c, "$void@OnlineGroup::SetUserModeFlags(string,int,int)", &G::SetUserModeFlags);
  AddNative(machine, c, "$int@OnlineGroup::GetUserModeFlags(string)", &G::GetUserModeFlags);
}
