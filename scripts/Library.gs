// Script libraries: one shared object per context for each library asset,
// found with World.GetLibrary. A library asset's script class derives from
// Library; its properties are saved with the world through PropertyObject.
include "RovanaGameObject.gs"
include "OnlineAccess.gs"
include "Constructors.gs"

// An object whose settings its host keeps: GetProperties gives them as a
// soup, SetProperties hands a kept soup back (locked).
class PropertyObject {
  public Soup GetProperties(void) { return Constructors.NewSoup(); }
  public void SetProperties(Soup soup) { }
};

// A menu of the host's, shown from a library's system-menu icon.
class Menu isclass GSObject {
};

class Library isclass RovanaGameObject, PropertyObject {
  // The online-access object of this library's asset; null without one.
  public native OnlineAccess GetOnlineAccess(void);
  // Calls `function` of the asset's native-interface plug-in with the string
  // arguments (objectParams is not passed) and gives the string it returns;
  // "" when the asset has no plug-in or the function gives no string.
  public native string LibraryCallNative(string function, string[] stringParams, GSObject[] objectParams);
  public native void AddSystemMenuIcon(Asset icon, string text1, string text2);
  public native void AddSystemMenuIcon(Asset icon, string text1, string text2, bool flag);
  public native void BlinkSystemMenuIcon(int count);
  public native void RemoveSystemMenuIcon(void);
  public native void ShowSystemMenuIconMenu(Menu menu);
};
