// gsrun --game Logger 3
// Logging pays for its bytes: a text longer than what is left of the run
// budget is refused with a report that ends the thread, by World.Log and by
// GameObject.Exception alike, so a run cannot flood the log. A short text is
// logged as before. A handler name that is not found is reported with the
// name, which pays the same way: a loop of them ends on the run budget.
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
    } else if (GetName() == "Logger2") {
      Exception("a short report");
      Exception(s);
    } else {
      AddHandler(me, "Tick", "", "Missing");
      while (true) AddHandler(me, "Tick", "", s);
    }
    Test.Print("not reached");
  }
};
