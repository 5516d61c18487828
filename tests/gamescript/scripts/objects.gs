// Initialisers with code, the one static instance per context, members of
// other objects, object comparison, null tests and switch.
static class Counter {
  public int n;
  public int Next(void) { n++; return n; }
};

class Named {
  public string name = "item" + 7;
  public Named next;
  public int[] marks = new int[2];
};

class Test {
  public native void Print(string s);
  public string Kind(int k) {
    switch (k) {
      case -5: return "minus five";
      case 0: return "zero";
      case 2147483647: return "max";
      default: return "other";
    }
    return "unreached";
  }
  public int Main(void) {
    Counter.Next();
    Print("counter " + Counter.Next());
    Named a = new Named();
    Named b = new Named();
    a.next = b;
    b.name = "second";
    Print(a.name + " " + a.next.name + " " + a.marks.size());
    if (a != b and a.next == b) Print("compare ok");
    if (b.next == null) Print("null member");
    Print(Kind(-5) + ", " + Kind(0) + ", " + Kind(2147483647) + ", " + Kind(3));
    return Counter.Next();
  }
};
