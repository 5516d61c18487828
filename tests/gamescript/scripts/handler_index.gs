// gsrun --game -m64 Adder
// Many handlers on one object: a duplicate is found without a walk of the
// list (adding 600,000 distinct handlers would take minutes otherwise), an
// identical one is still not added twice, and the handlers count against the
// script memory limit (64 MiB here): a string of 32 MiB fits before they are
// added, not beside them.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Adder isclass GameObject {
  int pings;

  void Ping(Message msg) {
    pings++;
  }
  void H(Message msg) {
  }
  thread void Big(void) {
    string s = "";
    s[33554431] = 'x';
    Test.Print("a string of " + s.size() + " made");
  }
  thread void Init(void) {
    Big();
    Sleep(0.2);
    AddHandler(me, "Ping", "", "Ping");
    AddHandler(me, "Ping", "", "Ping");
    int i, j;
    for (i = 0; i < 800; i++) {
      for (j = 0; j < 750; j++) AddHandler(me, "Major" + i, "minor" + j, "H");
      Sleep(0.01);
    }
    Test.Print("600000 handlers added");
    SendMessage(me, "Ping", "");
    Test.Print("one message, " + pings + " run");
    Big();
  }
};
