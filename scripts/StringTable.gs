// The localisable texts of an asset, with parameters $0 to $9.
include "gs.gs"

final class StringTable isclass GSObject {
  public native void SetParam(int index, string value);
  public native void ClearParams(void);
  public native string GetString(string key);
  public native string GetLanguage(void);
};
