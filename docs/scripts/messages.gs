// Game objects: handlers, posted messages, sleeping threads and the router.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Signal isclass GameObject {
  void Changed(Message msg) {
    Test.Print(GetName() + " got " + msg.major + "/" + msg.minor + " from " + msg.src.GetName());
  }

  thread void Init(void) {
    AddHandler(me, "Signal", "", "Changed");
    if (GetName() == "Signal1") {
      Sleep(0.5);
      GameObject other = Router.GetGameObject("Signal2");
      PostMessage(other, "Signal", "Green", 0.2);
      SendMessage(null, "Signal", "Red");
    }
  }
};
