// An ordered list of asset identities, each held once.
include "kuid.gs"

final class KUIDList isclass GSObject {
  public native bool IsLocked(void);
  public native int CountKUIDs(void);
  public native void Clear(void);
  public native void Copy(KUIDList source);
  public native bool HasKUID(KUID kuid);
  public native void RemoveKUID(KUID kuid);
  public native void AddKUID(KUID kuid);
  public native KUID GetIndexedKUID(int index);
};
