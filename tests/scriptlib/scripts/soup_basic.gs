include "Constructors.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    Soup s = Constructors.NewSoup();
    Print("new: " + s.CountTags() + " [" + s.GetNamedTag("x") + "] locked " + s.IsLocked());
    s.SetNamedTag("name", "box");
    s.SetNamedTag("count", 3);
    s.SetNamedTag("scale", 1.5);
    s.SetNamedTag("empty", "");
    Print("tags " + s.CountTags() + " " + s.GetNamedTag("name") + " " + s.GetNamedTagAsInt("count") + " " +
          s.GetNamedTagAsFloat("scale") + " [" + s.GetNamedTag("empty") + "]");
    Print("index " + s.GetIndexForNamedTag("scale") + " " + s.GetIndexForNamedTag("none") + " " +
          s.GetIndexedTagName(0) + " [" + s.GetIndexedTagName(9) + "][" + s.GetIndexedTagName(-1) + "]");
    Print("defaults " + s.GetNamedTagAsInt("none", 7) + " " + s.GetNamedTagAsFloat("none", 2.5) + " " +
          s.GetNamedTagAsInt("name", 9) + " " + s.GetNamedTagAsInt("scale"));
    return s.CountTags();
  }
};
