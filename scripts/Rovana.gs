// The program's side of a script context: clock and calendar, version,
// assets and searches, and the host's hooks. Scripts call them through the
// static object World, e.g. World.GetSeconds().
include "asset.gs"
include "Library.gs"

class RovanaScriptBase {
  public native float GetSeconds(void);
  // The time of day shifted by half a day: midnight 0.5, noon 1.0.
  public native float GetNormalizedSystemTime(void);
  public native int GetSystemYear(void);
  public native int GetSystemMonth(void);
  public native int GetSystemDate(void);
  public native int GetSystemHour(void);
  public native int GetSystemMinute(void);
  public native int GetSystemSecond(void);
  // The context's one object of a library asset; null when the asset is no
  // library or its script fails.
  public native Library GetLibrary(KUID kuid);
  public native Asset FindAsset(KUID kuid);
  public native Asset[] GetAssetList(string type);
  public native Asset[] GetAssetList(string type, string categories);
  public native KUID[] SearchAssets(string categories, bool localOnly);
  public native Asset[] FindUpdatedAssets(void);
  public native Soup RovanaSystemCall(string name, Soup argument);
  public native bool OpenURL(string url);
  public native void Log(string text);
  public native float GetRovanaVersion(void);
  public native int GetRovanaBuild(void);
  public native KUID CloneKUID(KUID kuid);
};

static class World isclass RovanaScriptBase {
};
