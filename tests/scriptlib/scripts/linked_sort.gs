// The sort of keyed items puts them, equal keys included, in the order a
// selection sort gives, and a list of forty thousand items sorts within
// one run.
include "LinkedList.gs"

class Test {
  public native void Print(string s);
  int seed;
  int Next(int below) {
    seed = (seed * 1103515 + 12345) & 1048575;
    return (seed / 16) % below;
  }
  LinkedData[] Items(int count, int keys) {
    LinkedData[] list = new LinkedData[count];
    int i;
    for (i = 0; i < count; i++) {
      LinkedData d = new LinkedData();
      int k = Next(keys);
      if (k > 0) d.key = "k" + k;
      d.value = i;
      list[i] = d;
    }
    return list;
  }
  // A null item or key reads as the empty key.
  string Key(LinkedData d) {
    if (!d) return "";
    if (!d.key) return "";
    return d.key;
  }
  // Selection sort as the script would write it: for each position the
  // first smallest key from there on is swapped in.
  void SelectionSort(LinkedData[] list) {
    int i, j;
    for (i = 0; i + 1 < list.size(); i++) {
      int minimum = i;
      for (j = i + 1; j < list.size(); j++) {
        if (Key(list[j]) < Key(list[minimum])) minimum = j;
      }
      if (minimum != i) {
        LinkedData t = list[i];
        list[i] = list[minimum];
        list[minimum] = t;
      }
    }
  }
  public int Main(void) {
    seed = 7;
    LinkedData[] list = Items(300, 6);
    LinkedData[] twin = new LinkedData[0];
    twin.copy(list);
    list[17] = null;
    twin[17] = null;
    LinkedList.SortInternal(list);
    SelectionSort(twin);
    int i, same = 0;
    for (i = 0; i < list.size(); i++) {
      if (list[i] == twin[i]) same++;
    }
    Print(same + " of " + list.size() + " in selection sort's places");

    LinkedData[] many = Items(40000, 20000);
    LinkedList.SortInternal(many);
    int ordered = 1;
    for (i = 1; i < many.size(); i++) {
      if (many[i - 1].key > many[i].key) ordered = 0;
    }
    Print("large list ordered " + ordered);
    return 0;
  }
};
