// A locked reference reads the soup but refuses changes.
include "Constructors.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("name", "kept");
    Soup locked = s.GetLockedReference();
    Soup same = locked.GetLockedReference();
    if (same == locked) Print("a locked soup gives itself");
    Soup child = locked.GetNamedSoup("missing");
    Print("locked " + locked.IsLocked() + " child locked " + child.IsLocked() + " reads " +
          locked.GetNamedTag("name") + " source locked " + s.IsLocked());
    s.SetNamedTag("more", 1);
    Print("changes through the owner are seen: " + locked.CountTags());
    locked.SetNamedTag("name", "changed");
    Print("not reached");
    return 1;
  }
};
