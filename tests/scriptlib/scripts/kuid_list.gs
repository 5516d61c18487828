// KUID lists keep insertion order and hold each identifier once.
include "Constructors.gs"

class Test {
  public native void Print(string s);
  KUID Read(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  string Show(KUIDList list) {
    string out = "[";
    int i;
    for (i = 0; i < list.CountKUIDs(); i++) out = out + " " + list.GetIndexedKUID(i).GetLogString();
    return out + " ]";
  }
  public int Main(void) {
    KUIDList list = Constructors.NewKUIDList();
    KUID a = Read("<kuid:1:2>");
    KUID b = Read("<kuid2:1:2:3>");
    KUID c = Read("<kuid:-4:9>");
    list.AddKUID(c);
    list.AddKUID(a);
    list.AddKUID(b);
    list.AddKUID(a);
    Print("added " + list.CountKUIDs() + " " + Show(list) + " locked " + list.IsLocked());
    Print("has " + list.HasKUID(a) + " " + list.HasKUID(Read("<kuid:1:3>")));
    list.RemoveKUID(a);
    list.RemoveKUID(Read("<kuid:7:7>"));
    Print("removed " + Show(list));
    KUIDList other = Constructors.NewKUIDList();
    other.AddKUID(a);
    other.Copy(list);
    Print("copy " + Show(other));
    other.Copy(other);
    Print("self copy " + Show(other));
    other.Clear();
    Print("cleared " + other.CountKUIDs());
    if (list.GetIndexedKUID(0) == c) Print("entries are the context's KUID objects");
    list.GetIndexedKUID(-1);
    Print("not reached");
    return 1;
  }
};
