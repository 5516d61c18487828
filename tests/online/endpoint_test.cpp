// The online-access endpoint against the loopback service, logging in through
// the asset database's online-account requests, with the process clock faked.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>

#include "OnlineTestSupport.h"
#include "foundation/Stream.h"
#include "kiv/File.h"
#include "kiv/Log.h"
#include "online/OnlineAccessClientEndpoint.h"
#include "tests/umbclient/TempTree.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"

using namespace loopback;

namespace {

class LogCapture {
public:
  LogCapture() {
    m_id = Kiv::Log::Instance().AddListener(
        [this](Kiv::LogLevel, std::string_view l) { lines.emplace_back(l); });
  }
  ~LogCapture() { Kiv::Log::Instance().RemoveListener(m_id); }
  int Count(std::string_view needle) const {
    return int(std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
  }
  std::vector<std::string> lines;

private:
  int m_id;
};

struct TestClient : OnlineAccessClientBase {
  explicit TestClient(KUID k) { kuid = k; }
  void ReceiveMessage(std::unique_ptr<OnlineMessage> m) override { got.push_back(std::move(m)); }
  std::vector<std::unique_ptr<OnlineMessage>> got;
};

struct TestGroup : OnlineAccessClientEndpoint::OnlineGroup {
  bool MatchesRequest(uint32_t id) override { return id == requestId; }
  void OnJoined(const Kiv::PString& k, TMEPacket& rest) override {
    key = k;
    members = rest.ReadU16();
    events.push_back("joined");
  }
  void OnUsersChanged(TMEPacket&) override { events.push_back("users"); }
  void OnClosed() override { events.push_back("closed"); }
  void OnClientRemoved(OnlineAccessClientBase*) override { events.push_back("removed"); }
  bool MatchesKey(const Kiv::PString& k) override { return !key.IsEmpty() && k == key; }
  void OnMessage(std::unique_ptr<OnlineGroupMessage>) override { events.push_back("message"); }
  uint32_t requestId = 0;
  Kiv::PString key;
  int members = -1;
  std::vector<std::string> events;
};

Bytes Packet(const std::function<void(TBuffer&)>& fill) {
  TBuffer b;
  fill(b);
  return Bytes(b.Data(), b.Data() + b.Size());
}

class EndpointTest : public ::testing::Test {
protected:
  void SetUp() override {
    EXPECT_TRUE(Kiv::File::CreateDirectories(tree.Path("user/settings")));
    EXPECT_TRUE(Kiv::File::CreateDirectories(tree.Path("install")));
    OpenDatabase("tester", "secret");
  }
  void TearDown() override {
    endpoint.reset();
    UMBCloseDatabase();
  }
  void OpenDatabase(const std::string& profile, const std::string& sessionKey) {
    UMBStandIns standIns;
    standIns.onlineSessionKey = sessionKey;
    standIns.urlStatus = [this](const UrlParts&, uint32_t) { return urlStatus; };
    ASSERT_TRUE(UMBOpenDatabase(
        std::make_unique<FolderAssetDatabase>(tree.Path("user"), tree.Path("install"), standIns)));
    SoupRef internet = SoupRef::NewContainer();
    internet.SetNamedTag("username", profile.c_str());
    ASSERT_TRUE(UMBSetSettingsRecord("internet", internet));
    // Set-up; the checks below show a failure.
    (void)UMBWithDatabase([](AssetDatabase& d) { d.ResetRequestCounts(); });
  }
  OnlineAccessSettings Settings() {
    OnlineAccessSettings s;
    s.host = "127.0.0.1";
    s.port = svc->Port();
    s.cacheFolder = tree.Path("user/cache");
    return s;
  }
  OnlineAccessClientEndpoint& Make() {
    endpoint = std::make_unique<OnlineAccessClientEndpoint>(Settings());
    return *endpoint;
  }
  void Run(double seconds, double tick = 0.05) {
    for (double t = 0; t < seconds; t += tick) {
      FakeClock::Advance(tick);
      Exchange(endpoint->Socket(), *svc, [&] { endpoint->Update(); });
    }
  }
  // Runs until the condition holds (at most `seconds`): on a loaded machine a tick
  // may pass before a datagram is in.
  template <class Done>
  void RunUntil(Done done, double seconds = 5) {
    for (double t = 0; t < seconds && !done(); t += 0.05) Run(0.05);
  }
  bool LoginSettled() const {
    return endpoint->GetStatus() != 6 || (!svc->delivered.empty() && !svc->answerLogin);
  }
  OnlineAccessClientEndpoint& Online() {
    Make();
    EXPECT_TRUE(endpoint->Connect(false));
    RunUntil([&] { return endpoint->GetStatus() != 6; });
    EXPECT_EQ(endpoint->GetStatus(), 7u);
    return *endpoint;
  }
  std::vector<int> DeliveredTypes() const {
    std::vector<int> out;
    for (auto& d : svc->delivered) out.push_back(d.empty() ? -1 : d[0]);
    return out;
  }
  uint64_t Count(uint32_t request) const {
    uint64_t n = 0;
    // Set-up; the checks below show a failure.
    (void)UMBWithDatabase([&](AssetDatabase& d) { n = d.RequestCount(request); });
    return n;
  }

  FakeClock clock;
  TempTree tree;
  std::unique_ptr<LoopbackService> svc = std::make_unique<LoopbackService>(3);
  uint32_t urlStatus = 0;
  LogCapture log;
  std::unique_ptr<OnlineAccessClientEndpoint> endpoint;
};

TEST_F(EndpointTest, LoginContentIsExactAndReachesOnline) {
  auto& e = Make();
  ASSERT_TRUE(e.Connect(false));
  EXPECT_FALSE(e.Connect(false));  // connecting already
  RunUntil([&] { return e.GetStatus() == 7; });
  ASSERT_FALSE(svc->delivered.empty());
  std::string key = e.GetClientKey();
  Bytes expected = {0x1F, 6,   0,   0,   0,   't', 'e', 's', 't', 'e', 'r', 10, 0, 0, 0, 'R', 'o', 'v', 'a',
                    'n',  'a', 'U', 't', 'i', 'l', 0,   0,   0,   0,   0,   0,  0, 0, 0, 8,   0,   0,   0};
  expected.insert(expected.end(), key.begin(), key.end());
  expected.push_back(4);
  EXPECT_EQ(expected.size(), 47u);
  EXPECT_TRUE(svc->delivered[0] == expected);
  // The session key went out scrambled and the service, scrambling on its own, read it.
  EXPECT_EQ(svc->sessionKeySeen, "secret");
  EXPECT_EQ(e.GetStatus(), 7u);
  EXPECT_EQ(log.Count("OnlineAccessClientEndpoint::HandlePacket> Flood limits set by server "
                      "(10800000.000000,300000.000000)"),
            1);
  // The limits reply is acknowledged by a bare ack within about a second.
  Run(1.2);
  bool bareAck = false;
  for (auto& d : svc->wire)
    if (d.fromClient && d.bytes == Bytes{0, 2}) bareAck = true;
  EXPECT_TRUE(bareAck);
  EXPECT_TRUE(svc->violations.empty());
}

TEST_F(EndpointTest, LoginMatrix) {
  struct Case {
    const char* name;
    std::function<void(LoopbackService&)> setup;
    uint32_t status;
    uint64_t loginFailedPosts;
  } cases[] = {
      {"success by 3", [](LoopbackService& s) { s.resultType = 3; }, 7, 0},
      {"success by 4", [](LoopbackService&) {}, 7, 0},
      {"error in 1", [](LoopbackService& s) { s.loginError = "no such user"; }, 3, 0},
      {"short key", [](LoopbackService& s) { s.loginKey = "ABCDEFG"; }, 2, 0},
      {"error in 3",
       [](LoopbackService& s) {
         s.resultType = 3;
         s.resultError = "expired";
       },
       3, 1},
      {"error in 4", [](LoopbackService& s) { s.resultError = "expired"; }, 3, 1},
      {"no answer", [](LoopbackService& s) { s.answerLogin = false; }, 6, 0},
      {"empty reply 1", [](LoopbackService& s) { s.emptyLoginReply = true; }, 2, 0},
  };
  // And again with each refusal carrying its error text alone.
  for (bool textOnly : {false, true})
    for (auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (textOnly ? ", text only" : ""));
      endpoint.reset();  // its close goes to the service it talked to
      svc = std::make_unique<LoopbackService>(3);
      svc->refusalTextOnly = textOnly;
      c.setup(*svc);
      // Set-up; the checks below show a failure.
      (void)UMBWithDatabase([](AssetDatabase& d) { d.ResetRequestCounts(); });
      Make();
      ASSERT_TRUE(endpoint->Connect(false));
      RunUntil([&] { return LoginSettled(); });
      EXPECT_EQ(endpoint->GetStatus(), c.status);
      EXPECT_EQ(Count(UMBRequest::OnlineLoginFailed), c.loginFailedPosts);
      endpoint.reset();
    }
}

TEST_F(EndpointTest, LoginWithoutProfileOrSessionKey) {
  UMBCloseDatabase();
  OpenDatabase("", "secret");
  Make();
  EXPECT_FALSE(endpoint->Connect(false));
  EXPECT_EQ(endpoint->GetStatus(), 0u);
  EXPECT_EQ(log.Count("OnlineAccessClientEndpoint::Connect> empty profile name"), 1);
  Run(0.5);
  EXPECT_TRUE(svc->wire.empty());

  // No session key: the web login runs; its result 3 refuses.
  UMBCloseDatabase();
  OpenDatabase("tester", "");
  urlStatus = 3;
  Make();
  EXPECT_FALSE(endpoint->Connect(false));
  EXPECT_EQ(endpoint->GetStatus(), 6u);
  EXPECT_FALSE(endpoint->Connect(false));  // while it runs nothing more starts
  EXPECT_EQ(Count(UMBRequest::UrlStart), 1u);
  Run(0.1, 0.1);
  EXPECT_EQ(endpoint->GetStatus(), 3u);
  EXPECT_EQ(Count(UMBRequest::UrlClose), 1u);  // closed once
  EXPECT_TRUE(svc->wire.empty());

  // Success with the key still empty: another web login, then the retry delay ends it.
  urlStatus = 0;
  // Set-up; the checks below show a failure.
  (void)UMBWithDatabase([](AssetDatabase& d) { d.ResetRequestCounts(); });
  EXPECT_FALSE(endpoint->Connect(false));
  Run(0.1, 0.1);
  EXPECT_EQ(Count(UMBRequest::UrlStart), 2u);
  EXPECT_EQ(endpoint->GetStatus(), 6u);
  Run(0.1, 0.1);
  EXPECT_EQ(endpoint->GetStatus(), 1u);
  EXPECT_EQ(Count(UMBRequest::UrlClose), 2u);
}

TEST_F(EndpointTest, MessagesAreDeliveredOrStoredAndReplayed) {
  auto& e = Online();
  TestClient running(KUID(5, 6, 1));
  e.AddClient(&running);
  auto message = [](uint8_t type, KUID target, const char* text) {
    return Packet([&](TBuffer& b) {
      b.WriteU8(type);
      OnlineVersionedMessage m;
      m.target = target;
      m.text = text;
      m.soup = SoupRef::NewContainer();
      m.soup.SetNamedTag("n", "1");
      m.version = 1;
      if (type == 11)
        m.Write(b);
      else
        m.OnlineMessage::Write(b);
    });
  };
  svc->Send(message(11, KUID(5, 6, 0), "to another version"));
  svc->Send(message(10, KUID(5, 6, 1), "plain"));
  svc->Send(message(11, KUID(7, 8, 0), "for later"));
  svc->Send(message(11, KUID(9, 9, 0), "also later"));
  Run(0.5);
  // A running client takes the messages of its own version; another version's wait.
  ASSERT_EQ(running.got.size(), 1u);
  EXPECT_EQ(running.got[0]->text, "plain");
  EXPECT_FALSE(running.got[0]->IsVersioned());
  EXPECT_EQ(e.StoredCount(), 3u);
  EXPECT_EQ(log.Count("OnlineAccessClientEndpoint::HandlePacket> Storing iRovana message for <kuid:7:8>"), 1);
  ASSERT_TRUE(e.SaveStoredMessages().ok());

  std::string bytes;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(tree.Path("user/cache/oa_messages.dat"), bytes));
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x01\0\0\0\x03\0\0\0", 8));

  // Replay on registering takes any version.
  OnlineAccessClientEndpoint fresh(Settings());
  EXPECT_TRUE(fresh.LoadStoredMessages());
  EXPECT_EQ(fresh.StoredCount(), 3u);
  TestClient later(KUID(7, 8, 3));
  fresh.AddClient(&later);
  ASSERT_EQ(later.got.size(), 1u);
  EXPECT_EQ(later.got[0]->text, "for later");
  EXPECT_EQ(later.got[0]->soup.GetNamedTag("n").Str(), "1");
  EXPECT_EQ(log.Count("OnlineAccessClientEndpoint::AddClient> replaying stored message for <kuid:7:8>"), 1);
  EXPECT_EQ(fresh.StoredCount(), 2u);
  e.RemoveClient(&running);
}

TEST_F(EndpointTest, DamagedStoredMessagesLoadWhatIsWhole) {
  OnlineAccessClientEndpoint e(Settings());
  TBuffer good;
  good.WriteU32(1);
  good.WriteU32(3);
  for (int i = 0; i < 3; ++i) {
    OnlineVersionedMessage m;
    m.target = KUID(1, i, 0);
    m.text = "m" + std::to_string(i);
    m.Write(good);
  }
  const std::string path = tree.Path("user/cache/oa_messages.dat");
  std::string whole(reinterpret_cast<const char*>(good.Data()), good.Size());
  struct Case {
    const char* name;
    std::string bytes;
    bool ok;
    size_t count;
  } cases[] = {
      {"whole", whole, true, 3},
      {"cut in the third", whole.substr(0, whole.size() - 3), false, 2},
      {"huge count", whole.substr(0, 4) + std::string("\xff\xff\xff\xff", 4) + whole.substr(8), false, 3},
      {"empty", "", false, 3},
      {"another version", std::string("\x02\0\0\0\x00\0\0\0", 8), false, 3},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    tree.WriteFile("user/cache/oa_messages.dat", c.bytes);
    EXPECT_EQ(e.LoadStoredMessages(), c.ok);
    EXPECT_EQ(e.StoredCount(), c.count);
  }
  // A failed save keeps the old file whole.
  tree.WriteFile("user/cache/oa_messages.dat", whole);
  Kiv::File::SetFaultInjector([](std::string_view step) { return step != "rename"; });
  EXPECT_FALSE(e.SaveStoredMessages().ok());
  Kiv::File::SetFaultInjector(nullptr);
  std::string after;
  EXPECT_TRUE(Kiv::File::ReadWholeFile(path, after));
  EXPECT_EQ(after, whole);
}

TEST_F(EndpointTest, FloodLimits) {
  svc->minuteLimit = 1000;
  auto& e = Online();
  EXPECT_EQ(e.MinuteLimit(), 1000.0);
  std::string text(600, 'x');
  EXPECT_EQ(e.PostMessage(KUID(1, 2, 0), text, {}, false), 0);
  EXPECT_EQ(e.PostMessage(KUID(1, 2, 0), text, {}, false), 0);  // the test is made before adding
  EXPECT_EQ(e.PostMessage(KUID(1, 2, 0), text, {}, false), 4);
  EXPECT_EQ(log.Count(text), 1);
  Run(60, 1.0);
  EXPECT_EQ(e.PostMessage(KUID(1, 2, 0), text, {}, false), 0);
  EXPECT_EQ(e.PostMessage(KUID(1, 2, 0), std::string(70000, 'y'), {}, false), 4);  // would go out empty
  RunUntil([&] { return svc->requests[11].size() >= 3; });
  EXPECT_EQ(svc->requests[11].size(), 3u);

  // Limits 0 and 0: the first post goes, every later one is refused.
  endpoint.reset();
  svc = std::make_unique<LoopbackService>(3);
  svc->minuteLimit = 0;
  svc->hourLimit = 0;
  auto& zero = Online();
  EXPECT_EQ(zero.PostGroupMessage(Kiv::PString("G1"), {}, KUID(1, 2, 0)), 0);
  Run(120, 1.0);
  EXPECT_EQ(zero.PostGroupMessage(Kiv::PString("G1"), {}, KUID(1, 2, 0)), 4);
  zero.Reset();
  EXPECT_EQ(zero.PostMessage(KUID(1, 2, 0), "x", {}, false), 1);
}

TEST_F(EndpointTest, GroupRequestsWaitForTheLoginAndUnknownKeysAreLeft) {
  auto& e = Make();
  TestGroup group;
  e.AddGroup(&group);
  ASSERT_TRUE(e.Connect(false));
  group.requestId = e.SendGroupCreate(0);
  EXPECT_EQ(group.requestId, 1u);
  RunUntil([&] { return !group.key.IsEmpty(); });
  // The create goes out after the session key, scrambled like it, so the service reads it.
  EXPECT_EQ(DeliveredTypes(), (std::vector<int>{31, 2, 29}));
  EXPECT_EQ(group.key.Str(), "G1");
  EXPECT_EQ(group.members, 1);
  EXPECT_TRUE(svc->violations.empty());

  for (uint8_t type : {21, 23, 24, 22}) {
    svc->Send(Packet([&](TBuffer& b) {
      b.WriteU8(type);
      if (type == 24) {
        OnlineGroupMessage m;
        m.groupKey = Kiv::PString("X");
        m.Write(b);
      } else {
        b.WritePString(Kiv::PString("X"));
      }
    }));
  }
  // And the known group gets its events.
  svc->Send(Packet([](TBuffer& b) {
    b.WriteU8(23);
    b.WritePString(Kiv::PString("G1"));
    b.WriteU16(0);
  }));
  svc->Send(Packet([](TBuffer& b) {
    b.WriteU8(22);
    b.WritePString(Kiv::PString("G1"));
  }));
  RunUntil([&] { return group.events.size() >= 3; });
  Run(0.5);
  ASSERT_EQ(svc->requests[22].size(), 3u);  // none for the unknown 22
  EXPECT_TRUE(svc->requests[22][0] == (Bytes{2, 0, 0, 0, 'X', 0}));
  EXPECT_EQ(group.events, (std::vector<std::string>{"joined", "users", "closed"}));
  e.RemoveGroup(&group);
}

TEST_F(EndpointTest, MalformedMessagesAreIgnored) {
  auto& e = Online();
  TestClient client(KUID(5, 6, 0));
  e.AddClient(&client);
  Bytes full = Packet([](TBuffer& b) {
    b.WriteU8(11);
    OnlineVersionedMessage m;
    m.target = KUID(5, 6, 0);
    m.text = "hello";
    m.version = 3;
    m.senderModified = true;
    m.Write(b);
  });
  // Every truncation of a message, a string length over the limit, unknown types, an empty packet.
  for (size_t n = 0; n < full.size(); ++n) svc->Send(Bytes(full.begin(), full.begin() + long(n)));
  svc->Send({10, 5, 0, 0, 0, 6, 0, 0, 0, 0xff, 0xff, 0x01, 0x00});
  for (uint8_t t : {0, 5, 12, 30, 255}) svc->Send({t, 1, 2, 3});
  svc->Send(full);
  RunUntil([&] { return client.got.size() >= 6; });
  // Cut in its version or flag, a message still arrives: what is missing reads as 0 and false.
  ASSERT_EQ(client.got.size(), 6u);
  std::string seen;
  for (auto& m : client.got) {
    auto& v = static_cast<OnlineVersionedMessage&>(*m);
    seen += v.text + "/" + std::to_string(v.version) + (v.senderModified ? "m " : " ");
  }
  EXPECT_EQ(seen, "hello/0 hello/0 hello/0 hello/0 hello/3 hello/3m ");
  EXPECT_EQ(e.GetStatus(), 7u);
  e.RemoveClient(&client);
}

TEST_F(EndpointTest, ReconnectsCloseAndDescriptors) {
  auto& e = Online();
  // The service closes: the client drops to 5 and answers with its own close.
  svc->SendClose();
  Run(0.2);
  EXPECT_EQ(e.GetStatus(), 5u);
  EXPECT_EQ(svc->closes, 1);

  const int before = Kiv::CountOpenDescriptors();
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(e.Connect(true));
    Run(0.2);
  }
  EXPECT_EQ(e.GetStatus(), 7u);
  EXPECT_EQ(Kiv::CountOpenDescriptors(), before);  // still the one socket

  // Reset (the endpoint's shut-down goes through it) sends a close.
  const int closes = svc->closes;
  e.Reset();
  Run(0.2);
  EXPECT_EQ(svc->closes, closes + 1);
  EXPECT_EQ(e.GetStatus(), 1u);
}

}  // namespace

// A soup whose form passes one packet is refused before anything is encoded
// in full: each level holding the one below twice makes a form of terabytes
// from 41 nodes.
TEST_F(EndpointTest, SoupsPastOnePacketAreRefused) {
  auto& e = Online();
  SoupRef soup = SoupRef::NewContainer();
  soup.SetNamedTagInt(Kiv::PString("v"), 1);
  for (int i = 0; i < 40; ++i) {
    SoupRef up = SoupRef::NewContainer();
    EXPECT_TRUE(up.SetNamedSoup(Kiv::PString("a"), soup));
    EXPECT_TRUE(up.SetNamedSoup(Kiv::PString("b"), soup));
    soup = up;
  }
  EXPECT_EQ(e.PostMessage(KUID(1, 2, 0), "huge", soup, false), 4);
  EXPECT_EQ(e.PostGroupMessage(Kiv::PString("G1"), soup, KUID(1, 2, 0)), 4);
  SoupRef small = soup.GetNamedSoup(Kiv::PString("a"));
  for (int i = 0; i < 35; ++i) small = small.GetNamedSoup(Kiv::PString("a"));
  EXPECT_EQ(e.PostMessage(KUID(1, 2, 0), "small", small, false), 0);
  EXPECT_EQ(e.PostGroupMessage(Kiv::PString("G1"), small, KUID(1, 2, 0)), 0);
}

// Late copies of a service packet from an earlier turn of the numbering, once
// past the window and once inside it, cost no later message.
TEST_F(EndpointTest, LateCopiesOfAPacketCostNoMessage) {
  auto& e = Online();
  TestClient client(KUID(5, 6, 0));
  e.AddClient(&client);
  std::string want, got;
  auto sendUntil = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      const std::string text = std::string("m").append(std::to_string(i));
      want.append(text).push_back(' ');
      svc->Send(Packet([&](TBuffer& b) {
        b.WriteU8(11);
        OnlineVersionedMessage m;
        m.target = client.kuid;
        m.text = text;
        m.Write(b);
      }));
    }
    RunUntil([&] { return client.got.size() >= size_t(to); }, 60);
  };
  sendUntil(0, 150);
  // Message 10 went out as packet 13 (the login replies took 1 and 2).
  auto stale = std::find_if(svc->wire.begin(), svc->wire.end(),
                            [](auto& d) { return !d.fromClient && d.bytes[0] == 13; });
  ASSERT_NE(stale, svc->wire.end());
  const Bytes copy = stale->bytes;
  svc->SendRaw(copy);  // 140 packets on: past the window
  sendUntil(150, 230);
  svc->SendRaw(copy);  // 220 packets on: inside the window, at a number not delivered yet
  sendUntil(230, 300);
  for (auto& m : client.got) got.append(m->text).push_back(' ');
  EXPECT_EQ(got, want);
  EXPECT_EQ(e.GetStatus(), 7u);
  EXPECT_EQ(log.Count("TMEEndpoint::HandleDatagram> a late copy of an earlier packet 13 ignored"), 1);
  e.RemoveClient(&client);
}

// The longest login key a reply carries costs the scrambler a few MB at most.
TEST_F(EndpointTest, LongLoginKeyKeepsMemoryBounded) {
  svc->loginKey.assign(65003, 'k');
  for (size_t i = 0; i < svc->loginKey.size(); i += 7) svc->loginKey[i] = char('a' + i % 26);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  Online();
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(svc->sessionKeySeen, "secret");                  // scrambled alike on both sides
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);  // KB
}
