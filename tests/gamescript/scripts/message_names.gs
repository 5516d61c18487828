// gsrun --game -m8 Namer
// Message names count against the script memory limit (8 MiB here) as long
// as the router keeps them, whatever their length: a name of 256 KiB is
// handled and delivered as a short one is. Past the limit, the call fails
// as it does for a bad name, with one report, and messages of the names
// already known still arrive.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Namer isclass GameObject {
  void Ping(Message msg) {
    Test.Print("ping arrived");
  }
  void H(Message msg) {
  }
  void Arrived(Message msg) {
    Test.Print("a message named with " + msg.major.size() + " bytes arrived");
  }
  thread void Long(void) {
    string s = "0123456789abcdef";
    int i;
    for (i = 0; i < 14; i++) s = s + s;
    AddHandler(me, s, "", "Arrived");
    PostMessage(me, s, "", 0.0);
  }
  thread void Init(void) {
    AddHandler(me, "Ping", "", "Ping");
    Long();
    Sleep(0.2);
    string s = "0123456789abcdef";
    int i;
    for (i = 0; i < 7; i++) s = s + s;
    s = s + s[0, 1952];
    for (i = 0; i < 4800; i++) {
      AddHandler(me, s + i, "", "H");
      if (i % 500 == 499) Sleep(0.1);
    }
    Test.Print("4800 names of " + s.size() + " bytes tried");
    PostMessage(me, "Ping", "", 0.0);
  }
};
