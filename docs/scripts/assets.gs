// Assets of the user data, found through World.
include "Rovana.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Example isclass GameObject {
  thread void Init(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("clock", "<kuid:523:1017>");
    Asset clock = World.FindAsset(s.GetNamedTagAsKUID("clock"));
    Test.Print(clock.GetLocalisedName() + " by " + clock.GetCreatorName() + ", " + clock.GetKUID().GetLogString());
    Test.Print("region " + clock.GetCategoryRegion() + ", era " + clock.GetCategoryEra());
    Test.Print("script " + clock.GetConfigSoup().GetNamedTag("script"));
    Test.Print("build 3.4: " + clock.SupportsRovanaBuildVersion(3.4) + ", 3.5: " + clock.SupportsRovanaBuildVersion(3.5));
    StringTable strings = clock.GetStringTable();
    Test.Print("language " + strings.GetLanguage());
    Test.Print("scenery: " + World.GetAssetList("scenery").size() + " assets");
    World.Log("version " + World.GetRovanaVersion());
  }
};
