// gsrun --game Pinger 3
// Game objects exchange messages: a wait that takes any minor, handlers in
// list order, a handler added during delivery that runs only for later
// messages, a sleep of one second (ten steps), delayed and router messages,
// and lookups by id and by name.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Pinger isclass GameObject {
  int handled;

  thread void Init(void) {
    Message m;
    if (GetName() != "Pinger1") {
      wait() {
        on "Ping", "", m: Test.Print(GetName() + " woke on " + m.major + "/" + m.minor + " from " + m.src.GetName());
      }
      return;
    }
    AddHandler(me, "Note", "", "First");
    AddHandler(me, "Note", "", "Second");
    AddHandler(me, "Note", "", "First");
    Sleep(1.0);
    Test.Print("slept");
    SendMessage(null, "Ping", "hello");
    PostMessage(me, "Note", "posted", 0.0);
    PostMessage(me, "Note", "later", 0.3);
    Router.PostMessage(GetId(), GetId(), "Note", "routed", 0.0);
    GameObject other = Router.GetGameObject("Pinger3");
    GameObject same = Router.GetGameObject(other.GetId());
    if (same == other) Test.Print("found " + same.GetName() + " by name and id");
    Router.Info();
  }

  void First(Message msg) {
    handled++;
    Test.Print("First " + msg.minor + " " + handled);
    AddHandler(me, "Note", "", "Third");
  }
  void Second(Message msg) { Test.Print("Second " + msg.minor + " to " + msg.dst.GetName()); }
  void Third(Message msg) { Test.Print("Third " + msg.minor); }
};
