// gsrun --game Walker
// The Str natives that look at bytes one by one pay several times what a
// byte copied pays: a loop of trims by a 1 MiB set, of searches of 1 MiB for
// a near-match, or of conversions after 1 MiB of blanks ends on the run's
// budget instead of running for seconds.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Walker isclass GameObject {
  string Repeat(string s, int doublings) {
    int i;
    for (i = 0; i < doublings; i++) s = s + s;
    return s;
  }
  thread void Trims(void) {
    string c = "c", set = Repeat("b", 20);
    int i;
    for (i = 0; i < 200; i++) Str.TrimLeft(c, set);
    Test.Print("not reached: 200 trims by a 1 MiB set");
  }
  thread void Finds(void) {
    string a = Repeat("a", 20), near = Repeat("a", 12) + "b";
    int i, found = 0;
    for (i = 0; i < 100; i++) found = found + Str.Find(a, near, 0);
    Test.Print("not reached: 100 searches of 1 MiB");
  }
  thread void Numbers(void) {
    string b = Repeat(" ", 20) + "5";
    int i, sum = 0;
    for (i = 0; i < 200; i++) sum = sum + Str.ToInt(b);
    Test.Print("not reached: 200 numbers after 1 MiB of blanks");
  }
  public thread void Init(void) {
    Trims();
    Finds();
    Numbers();
  }
};
