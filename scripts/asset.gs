// What the asset database knows about one asset. Objects of this class come
// from the natives; one context holds at most one per asset.
include "Soup.gs"
include "KUIDList.gs"
include "StringTable.gs"
include "Image.gs"

final class Asset isclass GSObject {
  public native KUID GetKUID(void);
  public native string GetLocalisedName(void);
  public native string GetLocalisedDescription(void);
  public native string GetCreatorName(void);
  // A KUID of the asset's kuid-table; a name the table lacks stops the script.
  public native KUID LookupKUIDTable(string name);
  public native Asset FindAsset(string name);
  public native StringTable GetStringTable(void);
  public native Soup GetConfigSoup(void);
  public native KUIDList GetDependencyList(void);
  public native bool SupportsRovanaBuildVersion(float version);
  // An image file of the asset's folder; null when it cannot be read.
  public native Image LoadImage(string file);
  public native bool IsLocallyModified(void);
  public native string GetInfoURL(void);
  public native bool GetIsFavorite(void);
  public native void SetIsFavorite(bool favorite);
  public native Asset GetParent(void);
  public native string GetCategoryEra(void);
  public native string GetCategoryRegion(void);
  public native Soup GetSessionRuleData(string name);
  public native bool IsBuiltIn(void);
  public native bool IsOnTheVendaro(void);
};
