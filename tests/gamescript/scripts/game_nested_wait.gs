// gsrun --game A
// A constructor that runs nested on a game object's thread cannot sleep or
// wait: it stops with a thread error, and the object is not made.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Napper {
  public int Nap(void) {
    GameObject g = Router.GetGameObject("A1");
    g.Sleep(1.0);
    Test.Print("unreached");
    return 1;
  }
  int x = Nap();
};

class A isclass GameObject {
  thread void Init(void) {
    Test.Print("before");
    Napper p = new Napper();
    Test.Print("unreached");
  }
};
