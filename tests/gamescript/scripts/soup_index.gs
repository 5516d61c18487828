// gsrun --game Indexer
// Long runs over big soups and KUID lists stay linear: setting 600,000 new
// names in one soup, removing 100,000 KUIDs from the end of a list of
// 300,000 and reading the rest in order each take moments, not minutes.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Indexer isclass GameObject {
  thread void Names(void) {
    Soup soup = Constructors.NewSoup();
    int i;
    for (i = 0; i < 600000; i++) {
      soup.SetNamedTag("t" + i, i);
      if (i % 20000 == 0) Sleep(0.001);
    }
    soup.SetNamedTag("t7", "moved");
    Test.Print(soup.CountTags() + " tags, the last " + soup.GetIndexedTagName(599999) + " = " +
               soup.GetNamedTag("t7") + ", t599999 at " + soup.GetIndexForNamedTag("t599999"));
  }
  thread void Kuids(void) {
    Soup s = Constructors.NewSoup();
    KUIDList list = Constructors.NewKUIDList();
    KUID[] kuids = new KUID[300000];
    int i;
    for (i = 0; i < 300000; i++) {
      s.SetNamedTag("k", "<kuid:" + i + ":1>");
      kuids[i] = s.GetNamedTagAsKUID("k");
      list.AddKUID(kuids[i]);
      if (i % 10000 == 0) Sleep(0.001);
    }
    for (i = 299999; i >= 200000; i--) {
      list.RemoveKUID(kuids[i]);
      if (i % 10000 == 0) Sleep(0.001);
    }
    int same = 0;
    for (i = 0; i < list.CountKUIDs(); i++) {
      if (list.GetIndexedKUID(i) == kuids[i]) same++;
      if (i % 10000 == 0) Sleep(0.001);
    }
    Test.Print(list.CountKUIDs() + " KUIDs left, " + same + " in order");
  }
  thread void Init(void) {
    Names();
    Kuids();
  }
};
