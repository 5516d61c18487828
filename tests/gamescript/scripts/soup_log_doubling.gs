// gsrun --game -m64 Doubler
// A soup of a few dozen nodes, each holding the one below under two names,
// is written out once per name: its text would take terabytes. Logging it
// stops at the room under the script memory limit (64 MiB here) with a
// report, instead of filling the machine's memory; a soup of the same shape
// that fits is logged whole.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Doubler isclass GameObject {
  Soup Doubling(int levels) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("v", 1);
    int i;
    for (i = 0; i < levels; i++) {
      Soup t = Constructors.NewSoup();
      t.SetNamedSoup("a", s);
      t.SetNamedSoup("b", s);
      s = t;
    }
    return s;
  }
  thread void Huge(void) {
    Doubling(40).Log();
    Test.Print("the huge soup was logged");
  }
  thread void Init(void) {
    Doubling(1).Log();
    Test.Print("the small soup was logged");
    Huge();
    Sleep(0.5);
    Test.Print("done");
  }
};
