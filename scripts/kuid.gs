// The identity of an asset. Objects of this class come from the natives; one
// context holds at most one per identifier.
include "gs.gs"

final class KUID isclass GSObject {
  public native string GetLogString(void);
  public native string GetHTMLString(void);
  public native string GetBaseString(void);
  public native KUID GetBaseKUID(void);
  public native string GetName(void);
};
