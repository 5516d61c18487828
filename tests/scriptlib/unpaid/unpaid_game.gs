// gsrun --game -m8 Worker
// Natives pay for the work they do and count what they keep. Under -m8: the
// fonts of 520 faces and of sizes 1..4096 (every 65th) (the cache keeps a bounded few;
// the test checks the peak memory), tokens counted at their real size, and
// loops whose budget runs out: tokens made, long linked-list keys compared,
// and the asset rows of a few thousand assets walked by each world list.
include "Rovana.gs"
include "Constructors.gs"
include "LinkedList.gs"

static class Test {
  public native void Print(string s);
};

class Worker isclass GameObject {
  string Text(string piece, int bytes) {
    string t = piece;
    while (t.size() < bytes) t = t + t;
    return t;
  }
  LinkedData[] Items(string key, int count) {
    LinkedData[] list = new LinkedData[count];
    int i;
    for (i = 0; i < count; i++) {
      LinkedData d = new LinkedData();
      d.key = key;
      d.value = i;
      list[i] = d;
    }
    return list;
  }

  // Each part runs in a slot of its own (5 s of the game's clock apart), so
  // that no part holds memory while another is measured.
  thread void Fonts(void) {
    Sleep(5.0);
    Image image = Constructors.NewImage();
    int i, wide = 0;
    for (i = 0; i < 520 + 64; i++) {
      if (i < 520) image.SetTextFont("face " + i, 10 + i % 20);
      else image.SetTextFont("sans", 1 + (i - 520) * 65);
      if (image.MeasureTextWidth("Ag") > 0) wide++;
      if (i % 40 == 39) Sleep(0.1);
    }
    Test.Print("fonts measured: " + (wide > 520));
  }
  thread void Tokens(void) {
    string[] held = Str.Tokens(Text("a ", 80000)[0, 80000], " ");
    Test.Print("40,000 one-letter tokens under 8 MiB, all kept: " + (held.size() == 40000));
    held = null;
    Sleep(0.1);
    string words = Text("a ", 32768);
    int i;
    for (i = 0; i < 100; i++) Str.Tokens(words, " ");
    Test.Print("not reached: 1.6 million tokens in one run");
  }
  thread void Sort(void) {
    Sleep(10.0);
    LinkedData[] list = Items(Text("k", 16384), 100);
    Sleep(0.1);
    int i;
    for (i = 0; i < 300; i++) LinkedList.SortInternal(list);
    Test.Print("not reached: 300 sorts of 16 KiB keys in one run");
  }
  thread void AddUnique(void) {
    Sleep(15.0);
    string key = Text("k", 16384);
    LinkedData[] list = Items(key, 100);
    LinkedData item = new LinkedData();
    item.key = key;
    item.value = -1;
    Sleep(0.1);
    int i;
    for (i = 0; i < 1000; i++) LinkedList.AddInternal(list, item, true);
    Test.Print("not reached: 1,000 unique adds of 16 KiB keys in one run");
  }
  thread void Lists(int which) {
    Sleep(20.0 + 5.0 * which);
    int i, n = 0;
    for (i = 0; i < 400; i++) {
      if (which == 0) n = n + World.GetAssetList("buildings").size();
      else if (which == 1) n = n + World.SearchAssets("QQ", false).size();
      else n = n + World.FindUpdatedAssets().size();
    }
    Test.Print("not reached: 400 world lists over 2,000 assets in one run (" + which + ")");
  }

  public thread void Init(void) {
    Tokens();
    Fonts();
    Sort();
    AddUnique();
    Lists(0);
    Lists(1);
    Lists(2);
  }
};
