// Children share their parent's container when attached; a child of a missing
// name is detached until GetNamedSoupAdd enters one. Self-copy keeps the data,
// and copies are deep.
include "Constructors.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    Soup root = Constructors.NewSoup();
    Soup detached = root.GetNamedSoup("child");
    detached.SetNamedTag("a", 1);
    Print("detached: root " + root.CountTags() + " child " + detached.CountTags());
    Soup attached = root.GetNamedSoupAdd("child");
    attached.SetNamedTag("b", 2);
    Print("attached: root " + root.CountTags() + " b " + root.GetNamedSoup("child").GetNamedTagAsInt("b"));
    Soup again = root.GetNamedSoupAdd("child");
    Print("same child " + again.GetNamedTagAsInt("b"));

    Soup shared = Constructors.NewSoup();
    root.SetNamedSoup("shared", shared);
    shared.SetNamedTag("late", "seen");
    Print("shared " + root.GetNamedSoup("shared").GetNamedTag("late"));

    root.SetNamedTag("0", 0);
    root.SetNamedTag("2", 2);
    Soup extra = Constructors.NewSoup();
    root.AddUniqueNamedSoup(extra);
    Print("unique name " + root.GetIndexedTagName(root.CountTags() - 1));

    Soup duplicate = Constructors.NewSoup();
    duplicate.Copy(root);
    duplicate.GetNamedSoup("child").SetNamedTag("b", 3);
    Print("deep copy " + duplicate.GetNamedSoup("child").GetNamedTagAsInt("b") + " original " +
          root.GetNamedSoup("child").GetNamedTagAsInt("b"));
    int before = root.CountTags();
    root.Copy(root);
    Print("self copy " + before + " " + root.CountTags() + " " + root.GetNamedSoup("child").GetNamedTagAsInt("b"));

    root.RemoveNamedTag("shared");
    root.RemoveNamedTag("missing");
    Print("removed " + root.GetIndexForNamedTag("shared") + " count " + root.CountTags());
    root.Clear();
    Print("cleared " + root.CountTags() + " locked " + root.IsLocked());
    root.SetNamedTag("fresh", "yes");
    Print("after clear " + root.GetNamedTag("fresh"));
    KUID none = root.GetNamedTagAsKUID("missing");
    if (!none) Print("missing KUID is null");
    return 0;
  }
};
