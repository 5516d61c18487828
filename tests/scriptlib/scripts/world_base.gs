// The script context's natives where no asset database is open: version and
// build, calendar ranges, an unknown asset type's empty list, and a system
// call whose argument the default host writes to the log.
include "Rovana.gs"
include "Constructors.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    Print("version " + World.GetRovanaVersion() + " build " + World.GetRovanaBuild());
    float t = World.GetNormalizedSystemTime();
    if (t >= 0.0 and t <= 1.0) Print("time of day in range");
    int month = World.GetSystemMonth();
    if (month >= 1 and month <= 12 and World.GetSystemYear() > 2000) Print("calendar in range");
    Asset[] none = World.GetAssetList("nosuchtype");
    if (none) Print("empty list of " + none.size());
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("a", "b");
    Soup r = World.RovanaSystemCall("anything", s);
    if (!r.CountTags()) Print("empty answer");
    if (!World.OpenURL("http://example.invalid/")) Print("no page shown");
    World.Log("a line of the script");
    return 0;
  }
};
