// Arrays of keyed items: sorting by key and adding without duplicates.
include "gs.gs"

class LinkedData isclass GSObject {
  public string key;
  public int value;
  public GSObject data;
};

static class LinkedList {
  public native void SortInternal(LinkedData[] list);
  public native void AddInternal(LinkedData[] list, LinkedData item, bool unique);
};
