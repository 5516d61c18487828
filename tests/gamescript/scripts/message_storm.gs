// gsrun --game -m64 Storm 2
// Messages in flight count against the script memory limit (this test runs
// under -m64). A handler that posts two messages for each one it receives
// overflows the router's queues; the overflow is reported, every queued
// message goes, and the router carries on. A loop of delayed posts with a
// payload overflows them the same way.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Storm isclass GameObject {
  int grown, late;

  void Grow(Message msg) {
    grown++;
    PostMessage(me, "Grow", "", 0.0);
    PostMessage(me, "Grow", "", 0.0);
  }
  void Late(Message msg) {
    late++;
  }
  void Ping(Message msg) {
    Test.Print(GetName() + " still gets messages");
  }
  void Storm2(void) {
    AddHandler(me, "Late", "", "Late");
    Soup payload = Constructors.NewSoup();
    int i;
    for (i = 0; i < 500; i++) payload.SetNamedTag("tag" + i, "a value longer than eight bytes");
    for (i = 0; i < 3000; i++) PostMessage(me, "Late", "", payload, 1.0);
    Sleep(2.0);
    if (late > 0 and late < 3000) Test.Print("some delayed messages were dropped, the rest arrived");
    else Test.Print(late + " delayed messages arrived");
  }
  thread void Init(void) {
    AddHandler(me, "Ping", "", "Ping");
    if (GetName() == "Storm2") {
      Sleep(5.0);
      Storm2();
      return;
    }
    AddHandler(me, "Grow", "", "Grow");
    PostMessage(me, "Grow", "", 0.0);
    Sleep(4.0);
    if (grown > 100000) Test.Print("the storm ended");
    else Test.Print("the storm ended after " + grown);
    PostMessage(Router.GetGameObject("Storm2"), "Ping", "", 0.0);
    PostMessage(me, "Ping", "", 0.0);
  }
};
