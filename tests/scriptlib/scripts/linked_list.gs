// Sorting keyed items and adding them with and without duplicates.
include "LinkedList.gs"

class Test {
  public native void Print(string s);
  LinkedData Item(string key, int value, GSObject data) {
    LinkedData d = new LinkedData();
    d.key = key;
    d.value = value;
    d.data = data;
    return d;
  }
  string Show(LinkedData[] list) {
    string out = "";
    int i;
    for (i = 0; i < list.size(); i++) out = out + "[" + list[i].key + " " + list[i].value + "]";
    return out;
  }
  public int Main(void) {
    LinkedData[] list = new LinkedData[0];
    LinkedList.SortInternal(list);
    LinkedData first = Item("pear", 1, null);
    LinkedList.AddInternal(list, first, false);
    LinkedList.SortInternal(list);
    Print("one " + Show(list));
    LinkedList.AddInternal(list, Item("apple", 2, null), false);
    LinkedList.AddInternal(list, Item("fig", 3, null), false);
    LinkedList.AddInternal(list, Item(null, 4, null), false);
    LinkedList.AddInternal(list, Item("Zebra", 5, null), false);
    LinkedList.AddInternal(list, null, false);
    LinkedList.SortInternal(list);
    Print("sorted " + Show(list));
    LinkedList.AddInternal(list, Item("fig", 3, null), true);
    Print("unique equal " + list.size());
    LinkedList.AddInternal(list, Item("fig", 6, null), true);
    Print("unique other int " + list.size());
    LinkedList.AddInternal(list, Item("fig", 3, first), true);
    Print("unique other object " + list.size());
    LinkedList.AddInternal(list, Item("fig", 3, null), false);
    Print("not unique " + list.size());
    return 0;
  }
};
