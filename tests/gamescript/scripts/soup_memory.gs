// gsrun --game -m64 Grower
// What a script's soups hold counts against the script memory limit (64 MiB
// here), also across runs: a thread that sleeps between additions gets a
// fresh run budget each time, but the soup it grows stops with a report
// once it passes the limit. What a soup frees counts again, and a copy
// counts as much as the soup it copies.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Grower isclass GameObject {
  int added, copied;
  Soup kept;
  string big;

  thread void Grow(void) {
    kept = Constructors.NewSoup();
    while (added < 5000) {
      kept.SetNamedTag("t" + added, big);
      added++;
      if (added % 100 == 0) Sleep(0.01);
    }
  }
  thread void Copies(void) {
    Soup[] copies = new Soup[5000];
    while (copied < 5000) {
      Soup c = Constructors.NewSoup();
      c.Copy(kept);
      copies[copied] = c;
      copied++;
      Sleep(0.01);
    }
  }
  thread void Init(void) {
    big = "x";
    int i;
    for (i = 0; i < 16; i++) big = big + big;
    Grow();
    Sleep(4.0);
    if (added > 100 and added < 1024) Test.Print("the soup stopped short of the limit");
    else Test.Print("added " + added + " tags");
    kept.Clear();
    kept.SetNamedTag("again", big);
    Test.Print("the cleared soup takes a tag again");
    for (i = 0; i < 100; i++) kept.SetNamedTag("t" + i, big);
    Copies();
    Sleep(4.0);
    if (copied > 1 and copied < 20) Test.Print("copies stopped short of the limit");
    else Test.Print("made " + copied + " copies");
  }
};
