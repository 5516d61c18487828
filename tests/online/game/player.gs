// What the online scenarios share: the OnlineAccess object of the probe
// library asset, the events of the objects a player watches (printed as they
// come), and the collection of messages.
include "Rovana.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Player isclass GameObject {
  OnlineAccess oa;
  int received;

  void Got(Message m) {
    Test.Print("  event " + m.major + "/" + m.minor);
    if (m.minor == "ReceiveMessage") received++;
  }

  void Watch(GameObject o, string major) {
    o.Sniff(me, major, "", true);
    AddHandler(me, major, "", "Got");
  }

  KUID Kuid(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }

  void Start(void) {
    Library probe = World.GetLibrary(Kuid("<kuid:523:400>"));
    oa = probe.GetOnlineAccess();
    if (oa and oa == probe.GetOnlineAccess()) Test.Print("one OnlineAccess object for the library's asset");
    Watch(oa, "OnlineAccess");
  }

  Soup Note(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("n", text);
    return s;
  }

  // What the group's natives tell of it and its members.
  string Members(OnlineGroup group) {
    return "status " + group.GetStatus() + ", cookie [" + group.GetOnlineGroupCookie() + "], " +
           group.CountUsers() + " member(s): [" + group.GetIndexedUser(0) + "] [" + group.GetIndexedUser(1) +
           "] [" + group.GetIndexedUser(99) + "], TESTER at " + group.FindUser("TESTER") + ", first member's status " +
           group.GetUserStatus(0) + ", flags of nobody " + group.GetUserModeFlags("nobody");
  }

  // Drops the objects, so that they leave the router before the game ends.
  void Finish(void) {
    oa = null;
  }

  // "<result>:<text>:<the soup's n>" of one CollectMessage.
  string Collect(void) {
    string text = "-";
    Soup s = Constructors.NewSoup();
    int r = oa.CollectMessage(text, s);
    return r + ":" + text + ":" + s.GetNamedTag("n");
  }
};
