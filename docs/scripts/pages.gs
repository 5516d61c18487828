// HTMLBuffer and LinkedList.
include "HTMLBuffer.gs"
include "LinkedList.gs"

static class Test {
  public native void Print(string s);
};

class Example {
  LinkedData Item(string key, int value) {
    LinkedData item = new LinkedData();
    item.key = key;
    item.value = value;
    return item;
  }

  public void Main(void) {
    LinkedData[] items = new LinkedData[0];
    LinkedList.AddInternal(items, Item("signal", 3), true);
    LinkedList.AddInternal(items, Item("crate", 1), true);
    LinkedList.AddInternal(items, Item("crate", 1), true);
    LinkedList.AddInternal(items, Item("bridge", 2), false);
    LinkedList.SortInternal(items);

    HTMLBuffer page = HTMLBufferStatic.Construct();
    page.Print("<ul>");
    int i;
    for (i = 0; i < items.size(); i++) {
      page.Print("<li>");
      page.Escape(items[i].key + " & " + items[i].value);
      page.Print("</li>");
    }
    page.Print("</ul>");
    Test.Print(page.AsString());
    page.Clear();
    Test.Print("empty after Clear: " + page.IsEmpty());
  }
};
