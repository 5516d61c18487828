// The OnlineAccess and OnlineGroup script classes driven by a compiled script
// through a router stepped on fake time, against the loopback service.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "OnlineTestSupport.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"
#include "online/GSOOnlineAccess.h"
#include "online/GSOOnlineGroup.h"
#include "online/OnlineNatives.h"
#include "scriptlib/ScriptNatives.h"
#include "tests/umbclient/TempTree.h"
#include "config/AssetSpec.h"
#include "online/OnlineMessages.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"

using namespace GSRuntime;
using namespace loopback;

namespace {

const char* const kSource = R"(include "gs.gs"
include "Constructors.gs"
include "OnlineAccess.gs"
class Probe isclass GameObject {
  OnlineAccess oa;
  OnlineGroup group;
  string events = "";
  void Got(Message m) { events = events + m.major + "/" + m.minor + ";"; }
  void Watch(GameObject o, string major) {
    o.Sniff(me, major, "", true);
    AddHandler(me, major, "", "Got");
  }
  public void Bind(OnlineAccess a) { oa = a; Watch(a, "OnlineAccess"); }
  public string Events(void) { string e = events; events = ""; return e; }
  public void Connect(void) { oa.Connect(); }
  public void Disconnect(void) { oa.Disconnect(); }
  public int Status(void) { return oa.GetStatus(); }
  public int Post(int n) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("n", "one");
    int i;
    for (i = 0; i < n; i++) if (oa.PostMessage("hello", s) == 4) return i;
    return -1;
  }
  public string Collect(void) {
    string t = "-";
    Soup s = Constructors.NewSoup();
    int r = oa.CollectMessage(t, s);
    return r + ":" + t + ":" + s.GetNamedTag("n");
  }
  public int SetLocal(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("colour", "red");
    return oa.SetLocalData("Paint", s);
  }
  public string GetLocal(void) {
    Soup s = Constructors.NewSoup();
    int r = oa.GetLocalData("PAINT", s);
    return r + ":" + s.GetNamedTag("colour");
  }
  public int GetLocalLocked(void) {
    Soup s = Constructors.NewSoup();
    return oa.GetLocalData("paint", s.GetLockedReference());
  }
  public string Offline(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("n", "x");
    string r = oa.PostOfflineMessage(s) + "," + oa.PostOfflineMessage(s);
    Soup in = Constructors.NewSoup();
    r = r + "," + oa.CollectOfflineMessage(in) + ":" + in.GetNamedTag("n");
    return r + "," + oa.CollectOfflineMessage(in);
  }
  public int Profile(void) { return oa.GetProfileData("x", Constructors.NewSoup()); }
  public void Create(void) {
    group = oa.CreateGroup(5);
    Watch(group, "OnlineGroup");
    Watch(group, "OnlineGroup.UserAdded");
    Watch(group, "OnlineGroup.UserRemoved");
  }
  public string Group(void) {
    return group.GetStatus() + ":" + group.GetOnlineGroupCookie() + ":" + group.CountUsers() + ":" +
           group.GetIndexedUser(0) + ":" + group.GetIndexedUser(99) + ":" + group.FindUser("TESTER") + ":" +
           group.GetUserStatus(0) + ":" + group.GetUserModeFlags("nobody");
  }
  public void AddUser(string name) { group.AddUser(name); }
  public int GroupPost(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("n", "g");
    return group.PostMessage(s);
  }
  public string GroupCollect(void) {
    string t = "-";
    Soup s = Constructors.NewSoup();
    int r = group.CollectMessage(t, s);
    return r + ":" + t + ":" + s.GetNamedTag("n");
  }
};
)";

std::vector<std::string> g_log;
void CaptureLog(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_log.push_back(text);
}

// The asset database, keeping the bodies of the local-data requests.
class RecordingDatabase : public FolderAssetDatabase {
public:
  using FolderAssetDatabase::FolderAssetDatabase;
  bool Execute(uint32_t id, TBuffer& body, TBuffer& reply) override {
    if (id == 121) bodies[id].push_back(Bytes(body.Data(), body.Data() + body.Size()));
    return FolderAssetDatabase::Execute(id, body, reply);
  }
  bool Post(uint32_t id, TBuffer& body) override {
    if (id == 122) bodies[id].push_back(Bytes(body.Data(), body.Data() + body.Size()));
    return FolderAssetDatabase::Post(id, body);
  }
  static inline std::map<uint32_t, std::vector<Bytes>> bodies;
};

class OnlineScriptTest : public ::testing::Test {
protected:
  void SetUp() override {
    InstallOnlineNatives();
    ASSERT_TRUE(RegisterScriptNatives());
    ScriptLogHook = &CaptureLog;
    g_log.clear();
    EXPECT_TRUE(Kiv::File::CreateDirectories(tree.Path("user/settings")));
    EXPECT_TRUE(Kiv::File::CreateDirectories(tree.Path("user/cache")));
    EXPECT_TRUE(Kiv::File::CreateDirectories(tree.Path("install")));
    // The probe's asset is open for edit (locally modified), another only installed.
    tree.WriteSoup("user/editing/probe/config.txt", AssetConfig(kModifiedOwner));
    tree.WriteSoup("user/local/plain/config.txt", AssetConfig(kPlainOwner));
    UMBStandIns standIns;
    standIns.onlineSessionKey = "secret";
    RecordingDatabase::bodies.clear();
    auto database = std::make_unique<RecordingDatabase>(tree.Path("user"), tree.Path("install"), standIns);
    database->Rescan();
    ASSERT_TRUE(UMBOpenDatabase(std::move(database)));
    specs = std::make_unique<SpecRegistry>();
    SoupRef internet = SoupRef::NewContainer();
    internet.SetNamedTag("username", "tester");
    ASSERT_TRUE(UMBSetSettingsRecord("internet", internet));

    OnlineAccessSettings settings;
    settings.host = "127.0.0.1";
    settings.port = svc.Port();
    settings.cacheFolder = tree.Path("user/cache");
    endpoint = &OnlineAccessClientEndpoint::Restart(settings);

    static int serial = 0;
    const std::string name = "online_probe" + std::to_string(++serial);
    const std::string path = tree.Write(name + ".gs", kSource);
    GSCompiler::CompileLog log;
    std::vector<GSCompiler::IncludePath> includes{{Kiv::File::Path(ROVANA_SOURCE_DIR "/scripts"), {}}};
    ASSERT_EQ(GSCompiler::CompileFile(path.c_str(), (tree.Root() + "/").c_str(), includes, &log), 0)
        << (log.Count() ? log.At(0) : "");
    GSLibrary* library = GSMachine::Instance().AddLibrary(tree.Root(), name + ".gsl")
                             ? GSMachine::Instance().GetLibraryByName(name + ".gsl")
                             : nullptr;
    ASSERT_NE(library, nullptr);
    probeClass = library->FindClass("Probe");
    ASSERT_NE(probeClass, nullptr);
    router = context.CreateRouter([this] { return now; });
    probe = new GSGameObject();
    ASSERT_TRUE(probe->BindScriptClass(probeClass, &context) && router->AddNode(probe));
    access = GSOOnlineAccess::Get(&context, kModifiedOwner);
    ASSERT_NE(access, nullptr);
    Call("::Bind(OnlineAccess)", access->GetScriptHandle());
  }
  void TearDown() override {
    delete probe;
    if (access) ReleaseHandle(access->GetScriptHandle());
    for (int i = 0; i < 3; ++i) Tick();
    OnlineAccessClientEndpoint::Shutdown();
    specs.reset();
    UMBCloseDatabase();
    ScriptLogHook = nullptr;
  }

  // `argument` (when not 0) is a handle, or with `word` a plain int.
  uint32_t Call(const char* method, uint32_t argument = 0, bool word = false) {
    GSFunction* f = probeClass->FindMethod(method);
    EXPECT_NE(f, nullptr) << method;
    if (!f) return 0;
    if (argument && !word) AddReference(argument);  // the frame releases it
    uint32_t cell = 0;
    const uint32_t count = argument || word ? 1 : 0;
    lastCode = CallScriptFunction(*f, probe->GetScriptHandle(), count ? &argument : nullptr, count, &cell);
    return cell;
  }
  int32_t CallInt(const char* method) { return int32_t(Call(method)); }
  int32_t Posts(int32_t n) { return int32_t(Call("::Post(int)", uint32_t(n), true)); }
  std::string CallText(const char* method) {
    const uint32_t cell = Call(method);
    GSObjectReference* s = GetObject(cell);
    std::string text = s && s->Type() == ObjectString ? static_cast<GSString*>(s)->Text() : "<null>";
    ReleaseHandle(cell);
    return text;
  }
  void Tick(double seconds = 0.05) {
    FakeClock::Advance(seconds);
    now += uint64_t(seconds * 1000);
    Exchange(endpoint->Socket(), svc, [&] { router->Step(); });
  }
  template <class Done>
  bool TickUntil(Done done, double seconds = 5) {
    for (double t = 0; t < seconds; t += 0.05) {
      if (done()) return true;
      Tick();
    }
    return done();
  }
  void GoOnline() {
    Call("::Connect()");
    ASSERT_TRUE(TickUntil([&] { return access->ReportedStatus() == 7; }));
    Tick();
  }

  static SoupRef AssetConfig(const KUID& kuid) {
    SoupRef config = SoupRef::NewContainer();
    config.SetNamedTagKUID("kuid", kuid);
    config.SetNamedTag("username", "probe");
    config.SetNamedTag("kind", "scenery");
    return config;
  }
  // A message to `target` as the service delivers it (type 11).
  void Deliver(const KUID& target, const char* text, bool senderModified) {
    OnlineVersionedMessage m;
    m.target = target;
    m.text = text;
    m.version = 1;
    m.senderModified = senderModified;
    TBuffer b;
    b.WriteU8(11);
    m.Write(b);
    svc.Send(Bytes(b.Data(), b.Data() + b.Size()));
  }

  static inline const KUID kModifiedOwner{1000, 5, 0};
  static inline const KUID kPlainOwner{1000, 6, 0};
  FakeClock clock;
  TempTree tree;
  std::unique_ptr<SpecRegistry> specs;
  LoopbackService svc{5};
  OnlineAccessClientEndpoint* endpoint = nullptr;
  GSContext context;
  GSRouter* router = nullptr;
  uint64_t now = 0;
  GSClass* probeClass = nullptr;
  GSGameObject* probe = nullptr;
  GSOOnlineAccess* access = nullptr;
  int32_t lastCode = 0;
};

TEST_F(OnlineScriptTest, StatusEventsAndMessagesInTheirTick) {
  Tick();
  // Never asked to connect: idle, whatever the endpoint does for others.
  EXPECT_EQ(CallInt("::Status()"), 1);
  Tick();  // the event of one tick arrives on the next
  EXPECT_EQ(CallText("::Events()"), "OnlineAccess/StatusChange;");
  EXPECT_EQ(CallText("::Collect()"), "1:-:");  // not online
  EXPECT_EQ(CallInt("::Profile()"), 1);

  GoOnline();
  EXPECT_EQ(CallText("::Collect()"), "6:-:");  // online, nothing waiting
  EXPECT_EQ(CallText("::Events()"), "OnlineAccess/StatusChange;OnlineAccess/StatusChange;");  // 6, 7

  // A message that arrives is announced once; one that waits while the
  // status changes is announced right after the change, in the same tick.
  svc.echoPosts = 11;
  EXPECT_EQ(Posts(2), -1);
  ASSERT_TRUE(TickUntil([&] { return access->HasMessages(); }));
  Tick();
  EXPECT_EQ(CallText("::Events()"), "OnlineAccess/ReceiveMessage;");
  EXPECT_EQ(CallText("::Collect()"), "0:hello:one");
  endpoint->Reset();  // the channel goes: the status changes with one message waiting
  Tick();
  Tick();
  EXPECT_EQ(CallText("::Events()"), "OnlineAccess/StatusChange;OnlineAccess/ReceiveMessage;");
  EXPECT_EQ(CallText("::Collect()"), "0:hello:one");
  EXPECT_EQ(CallText("::Collect()"), "1:-:");
}

TEST_F(OnlineScriptTest, AModifiedOwnerTakesOnlyMessagesFromModifiedSenders) {
  GSOOnlineAccess* plain = GSOOnlineAccess::Get(&context, kPlainOwner);
  ASSERT_NE(plain, nullptr);
  // Both answers came from the owners' asset specs.
  ASSERT_TRUE(specs->FindSpec(kModifiedOwner));
  ASSERT_TRUE(specs->FindSpec(kPlainOwner));
  endpoint->AddClient(plain);
  GoOnline();

  // Posts carry the owner's flag as the sender's.
  EXPECT_EQ(Posts(1), -1);
  Call("::Bind(OnlineAccess)", plain->GetScriptHandle());
  EXPECT_EQ(Posts(1), -1);
  ASSERT_TRUE(TickUntil([&] { return svc.requests[11].size() == 2; }));
  EXPECT_EQ(svc.requests[11][0].back(), 1);
  EXPECT_EQ(svc.requests[11][1].back(), 0);

  Deliver(kModifiedOwner, "from plain", false);
  Deliver(kModifiedOwner, "from modified", true);
  Deliver(kPlainOwner, "from plain", false);
  Deliver(kPlainOwner, "from modified", true);
  ASSERT_TRUE(TickUntil([&] { return svc.Unacknowledged() == 0; }));
  Tick();
  std::string text;
  SoupRef soup;
  std::vector<std::string> modifiedGot, plainGot;
  while (access->PopMessage(text, soup) == 0) modifiedGot.push_back(text);
  while (plain->PopMessage(text, soup) == 0) plainGot.push_back(text);
  EXPECT_EQ(modifiedGot, std::vector<std::string>{"from modified"});
  EXPECT_EQ(plainGot, (std::vector<std::string>{"from plain", "from modified"}));
  ReleaseHandle(plain->GetScriptHandle());
}

// Messages kept for a script that is not running are saved when an access
// object goes; a save that fails is told in the scripts' log with the file and
// the reason, and the messages stay in memory.
TEST_F(OnlineScriptTest, AFailedStoreOfMessagesIsReportedInTheScriptLog) {
  GoOnline();
  Deliver(KUID(1000, 9, 0), "for later", false);
  ASSERT_TRUE(TickUntil([&] { return endpoint->StoredCount() == 1; }));
  GSOOnlineAccess* other = GSOOnlineAccess::Get(&context, kPlainOwner);
  ASSERT_NE(other, nullptr);
  Kiv::File::SetFaultInjector([](std::string_view step) { return step != "write data"; });
  g_log.clear();
  ReleaseHandle(other->GetScriptHandle());
  for (int i = 0; i < 3; ++i) Tick();  // released objects go at the router's next step
  Kiv::File::SetFaultInjector(nullptr);
  const std::string file = tree.Path("user/cache/oa_messages.dat");
  EXPECT_NE(std::find(g_log.begin(), g_log.end(),
                      "GSOOnlineAccess::Leave> stored messages not saved: cannot write '" + file +
                          "': No space left on device"),
            g_log.end())
      << (g_log.empty() ? "" : g_log.back());
  EXPECT_EQ(endpoint->StoredCount(), 1u);
  EXPECT_FALSE(Kiv::File::Exists(file));
}

TEST_F(OnlineScriptTest, PostCreditAllowsSixtyOneATickAndDrainsByOneASecond) {
  GoOnline();
  EXPECT_EQ(Posts(62), 61);  // the 62nd is refused
  EXPECT_EQ(Posts(1), 0);
  for (int i = 0; i < 20; ++i) Tick();  // exactly a second, in steps of 0.05
  EXPECT_EQ(Posts(1), -1);
  EXPECT_EQ(Posts(1), 0);
  ASSERT_TRUE(TickUntil([&] { return svc.requests[11].size() >= 62; }));
  EXPECT_EQ(svc.requests[11].size(), 62u);
}

TEST_F(OnlineScriptTest, LocalDataBodiesAndTheLockedSoup) {
  EXPECT_EQ(CallInt("::SetLocal()"), 0);
  EXPECT_EQ(CallText("::GetLocal()"), "0:red");
  ASSERT_EQ(RecordingDatabase::bodies[121].size(), 1u);
  ASSERT_EQ(RecordingDatabase::bodies[122].size(), 1u);
  // KUID 1000:5 (content, then version << 25 | user), the name lower-cased as a pstring.
  const Bytes head = {5, 0, 0, 0, 0xE8, 3, 0, 0, 6, 0, 0, 0, 'p', 'a', 'i', 'n', 't', 0};
  EXPECT_TRUE(RecordingDatabase::bodies[121][0] == head);
  const Bytes& set = RecordingDatabase::bodies[122][0];
  ASSERT_GT(set.size(), head.size());
  EXPECT_TRUE(Bytes(set.begin(), set.begin() + long(head.size())) == head);
  TBuffer rest(set.data() + head.size(), set.size() - head.size());
  SoupRef soup;
  ASSERT_TRUE(ReadSoupBinary(rest, soup));
  EXPECT_EQ(soup.GetNamedTag(Kiv::PString("colour")).Str(), "red");

  g_log.clear();
  CallInt("::GetLocalLocked()");
  EXPECT_NE(lastCode, ER_Done);
  bool reported = false;
  for (const std::string& l : g_log)
    if (l.find("OnlineAccess.GetLocalData> soup is locked") != std::string::npos) reported = true;
  EXPECT_TRUE(reported);
  EXPECT_EQ(RecordingDatabase::bodies[121].size(), 1u);  // nothing asked
}

TEST_F(OnlineScriptTest, OfflineBoxes) {
  tree.Write("user/cache/offline-inbox.tbox", "one\n{\n  n \"x\"\n}\nbad \"text\"\n");
  GSOOnlineAccess::LoadOfflineData(tree.Path("user/cache"));
  ASSERT_TRUE(GSOOnlineAccess::OfflineInbox().IsValid());
  // Two posts named "0" and "1"; the one inbox soup, then nothing (the text entry is no message).
  EXPECT_EQ(CallText("::Offline()"), "0,0,0:x,6");
  const SoupRef& outbox = GSOOnlineAccess::OfflineOutbox();
  ASSERT_EQ(outbox.CountTags(), 2u);
  EXPECT_EQ(outbox.GetIndexedTagName(0).Str(), "0");
  EXPECT_EQ(outbox.GetIndexedTagName(1).Str(), "1");
  EXPECT_EQ(GSOOnlineAccess::OfflineInbox().CountTags(), 0u);
}

TEST_F(OnlineScriptTest, GroupLifecycle) {
  // Made while connecting: the create waits for the login key.
  Call("::Connect()");
  Call("::Create()");
  ASSERT_TRUE(TickUntil([&] { return CallText("::Group()").rfind("2:", 0) == 0; }));
  Tick();
  EXPECT_EQ(CallText("::Group()"), "2:G1:1:tester::0:1:0");
  const std::string events = CallText("::Events()");
  EXPECT_NE(events.find("OnlineGroup/StatusChange;OnlineGroup.UserAdded/tester;OnlineGroup/UsersChange;"),
            std::string::npos)
      << events;
  EXPECT_EQ(svc.requests[29].size(), 1u);
  EXPECT_TRUE(svc.requests[29][0] == (Bytes{1, 0, 0, 0, 5, 0, 0, 0}));

  // A name already there in another letter case sends nothing.
  const uint32_t name = [&] {
    GSString* s = GSString::Create(&context, "TESTER");
    return s->GetScriptHandle();
  }();
  Call("::AddUser(string)", name);
  ReleaseHandle(name);
  Tick();
  Tick();
  EXPECT_EQ(svc.requests[23].size(), 0u);

  // A group post makes the round trip.
  svc.echoGroupPosts = true;
  EXPECT_EQ(CallInt("::GroupPost()"), 0);
  ASSERT_TRUE(TickUntil(
      [&] { return CallText("::Events()").find("OnlineGroup/ReceiveMessage") != std::string::npos; }));
  EXPECT_EQ(CallText("::GroupCollect()"), "0::g");
  EXPECT_EQ(CallText("::GroupCollect()"), "6:-:");

  // The owner's Disconnect closes its groups.
  Call("::Disconnect()");
  Tick();
  EXPECT_EQ(CallText("::Group()").substr(0, 2), "3:");
  EXPECT_NE(CallText("::Events()").find("OnlineGroup/StatusChange;"), std::string::npos);
  EXPECT_EQ(CallInt("::GroupPost()"), 1);
  EXPECT_EQ(CallText("::GroupCollect()"), "1:-:");
}

}  // namespace
