// gsrun --game Copier
// Loops whose every turn copies, compares or scans a megabyte pay for the
// bytes as well as for their code, so the run budget stops each of them
// after about a thousand turns, not after hundreds of thousands.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Copier isclass GameObject {
  int joins, edits, arrays;

  string Megabyte(void) {
    string big = "x";
    int i;
    for (i = 0; i < 20; i++) big = big + big;
    return big;
  }
  thread void Joins(void) {
    string big = Megabyte();
    string t;
    while (1) {
      t = big + "y";
      joins++;
    }
  }
  thread void Edits(void) {
    string big = Megabyte();
    string t = Megabyte();
    while (1) {
      t[0, 1] = "z";
      if (t == big) Test.Print("unreached");
      if (Str.Find(big, "q", 0) >= 0) Test.Print("unreached");
      string u = t[5, big.size()];
      Str.ToUpper(t);
      edits++;
    }
  }
  thread void Arrays(void) {
    int[] a = new int[262144];
    int[] b = new int[0];
    while (1) {
      b.copy(a);
      int[] c = a[0, 262144];
      b[0, 1] = c;
      int[] d = new int[262144];
      arrays++;
    }
  }
  void Report(string what, int turns) {
    string bound = "a bounded number of";
    if (turns < 50) bound = turns + "";
    if (turns > 5000) bound = turns + "";
    Test.Print(what + " stopped after " + bound + " turns");
  }
  thread void Init(void) {
    Joins();
    Edits();
    Arrays();
    Sleep(0.5);
    Report("joins", joins);
    Report("edits", edits);
    Report("arrays", arrays);
  }
};
