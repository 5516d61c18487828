// gsrun --game Souper
// Soup natives pay for what they copy or walk: entering a soup below a new
// one (the walk that refuses a cycle), setting a megabyte text and copying a
// large soup each stop on the run budget after a bounded number of turns.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Souper isclass GameObject {
  int nests, tags, copies;

  thread void Nest(void) {
    Soup s = Constructors.NewSoup();
    while (1) {
      Soup t = Constructors.NewSoup();
      t.SetNamedSoup("x", s);
      s = t;
      nests++;
    }
  }
  thread void Tags(void) {
    string big = "x";
    int i;
    for (i = 0; i < 20; i++) big = big + big;
    Soup s = Constructors.NewSoup();
    while (1) {
      s.SetNamedTag("big", big);
      tags++;
    }
  }
  thread void Copies(void) {
    Soup s = Constructors.NewSoup();
    int i;
    for (i = 0; i < 20000; i++) s.SetNamedTag("t" + i, i);
    Soup t = Constructors.NewSoup();
    while (1) {
      t.Copy(s);
      copies++;
    }
  }
  void Report(string what, int turns, int most) {
    string bound = "a bounded number of";
    if (turns < 10) bound = turns + "";
    if (turns > most) bound = turns + "";
    Test.Print(what + " stopped after " + bound + " turns");
  }
  thread void Init(void) {
    Nest();
    Tags();
    Copies();
    Sleep(0.5);
    Report("nesting", nests, 20000);
    Report("tags", tags, 5000);
    Report("copies", copies, 5000);
  }
};
