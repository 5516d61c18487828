// A soup entered below itself would make a tree that never ends: refused, and
// nothing changes.
include "Constructors.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    Soup root = Constructors.NewSoup();
    Soup child = root.GetNamedSoupAdd("child");
    Soup grandchild = child.GetNamedSoupAdd("grandchild");
    grandchild.SetNamedTag("x", 1);
    Print("before " + root.CountTags() + " " + grandchild.CountTags());
    grandchild.SetNamedSoup("loop", root);
    Print("not reached");
    return 1;
  }
};
