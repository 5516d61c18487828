// gsrun --game Logger 2
// Logging pays for its bytes: a text longer than what is left of the run
// budget is refused with a report that ends the thread, by World.Log and by
// GameObject.Exception alike, so a run cannot flood the log. A short text is
// logged as before.
include "Rovana.gs"

static class Test {
  public native void Print(string s);
};

class Logger isclass GameObject {
  thread void Init(void) {
    string s = "0123456789abcdef";
    int i;
    for (i = 0; i < 20; i++) s = s + s;
    Test.Print("a text of " + s.size() + " bytes");
    if (GetName() == "Logger1") {
      World.Log("a short line");
      World.Log(s);
    } else {
      Exception("a short report");
      Exception(s);
    }
    Test.Print("not reached");
  }
};
