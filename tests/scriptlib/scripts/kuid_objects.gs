// KUID objects: their texts, their base identifiers and one object per
// identifier while it lives.
include "Constructors.gs"

class Test {
  public native void Print(string s);
  KUID Read(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  public int Main(void) {
    KUID a = Read("<kuid:1:2>");
    KUID b = Read("<kuid2:1:2:3>");
    KUID neg = Read("<kuid2:-5:7:3>");
    Print(a.GetLogString() + " " + a.GetHTMLString() + " " + b.GetLogString() + " " + b.GetBaseString());
    Print("base " + b.GetBaseKUID().GetLogString() + " " + neg.GetBaseKUID().GetLogString() + " " +
          a.GetBaseKUID().GetLogString());
    if (b.GetBaseKUID() == a) Print("the base of 1:2:3 is the object of 1:2");
    if (Read("<kuid:1:2>") == a) Print("same identifier, same object");
    if (Read("<kuid2:1:2:3>") != a) Print("other version, other object");
    Print("name [" + a.GetName() + "]");
    return 0;
  }
};
