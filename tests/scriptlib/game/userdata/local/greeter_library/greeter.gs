// A script library that reads its own asset when it starts.
include "Rovana.gs"

class Greeter isclass Library {
  public void Init(Asset self) {
    inherited(self);
    StringTable strings = self.GetStringTable();
    strings.SetParam(0, self.GetLocalisedName());
    World.Log(strings.GetString("greeting"));
    World.Log("kind " + self.GetConfigSoup().GetNamedTag("kind") + ", by " + self.GetCreatorName());
    World.Log("kuid-table: shed " + self.LookupKUIDTable("shed").GetLogString() + ", hut " +
              self.FindAsset("hut").GetLocalisedName());
    KUID[] found = World.SearchAssets("BS", true);
    World.Log("assets of category BS: " + found.size());
  }
};
