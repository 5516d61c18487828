// Soups, KUIDs and KUID lists made through Constructors.
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Example {
  public void Main(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("name", "Crate");
    s.SetNamedTag("count", 3);
    s.SetNamedTag("kuid", "<kuid2:523:1001:2>");
    Soup dims = s.GetNamedSoupAdd("size");
    dims.SetNamedTag("width", 1.5);
    Test.Print(s.CountTags() + " tags: " + s.GetIndexedTagName(0) + ", ..., " + s.GetIndexedTagName(3));
    Test.Print("count " + s.GetNamedTagAsInt("count") + ", missing " + s.GetNamedTagAsInt("none", -1));
    Test.Print("width " + s.GetNamedSoup("size").GetNamedTagAsFloat("width"));

    KUID k = s.GetNamedTagAsKUID("kuid");
    Test.Print(k.GetLogString() + " base " + k.GetBaseKUID().GetLogString() + " " + k.GetBaseString());

    Soup locked = s.GetLockedReference().GetLockedReference();
    Test.Print("locked " + locked.IsLocked() + ", same soup " + locked.GetNamedTag("name"));

    KUIDList list = Constructors.NewKUIDList();
    list.AddKUID(k);
    list.AddKUID(k);
    list.AddKUID(k.GetBaseKUID());
    Test.Print(list.CountKUIDs() + " in the list, first " + list.GetIndexedKUID(0).GetLogString());
    list.RemoveKUID(k);
    Test.Print("has it: " + list.HasKUID(k));

    s.SetNamedTag("name", "");
    s.RemoveNamedTag("count");
    s.Log();
  }
};
