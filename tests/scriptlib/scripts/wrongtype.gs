// A Soup passed where a KUID is expected: this script was built against its
// own, wrong, declaration of KUIDList, whose AddKUID takes a Soup. The call
// reaches the real AddKUID, whose parameter check must refuse the Soup and
// stop the thread.
include "Soup.gs"

final class KUIDList isclass GSObject {
  public native bool IsLocked(void);
  public native int CountKUIDs(void);
  public native void Clear(void);
  public native void Copy(KUIDList source);
  public native bool HasKUID(KUID kuid);
  public native void RemoveKUID(KUID kuid);
  public native void AddKUID(Soup kuid);
  public native KUID GetIndexedKUID(int index);
};

class ConstructorsBase {
  public native Soup NewSoup(void);
  public native KUIDList NewKUIDList(void);
};

static class Constructors isclass ConstructorsBase {
};

class Test {
  public native void Print(string s);
  public int Main(void) {
    KUIDList list = Constructors.NewKUIDList();
    Soup s = Constructors.NewSoup();
    Print("before " + list.CountKUIDs());
    list.AddKUID(s);
    Print("not reached");
    return 1;
  }
};
