// gsrun --game Letters
// Each pixel of a glyph drawn pays the run budget: a loop drawing one large
// letter stops after a bounded number of turns, as a loop drawing the same
// pixels as a rectangle does, not after all of them.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Letters isclass GameObject {
  int turns;

  thread void Letter(void) {
    Image image = Constructors.NewImage();
    image.Clear(512, 512);
    image.SetTextFont("sans", 300);
    int i;
    for (i = 0; i < 20000; i++) {
      image.DrawText(0, 0, "W");
      turns++;
    }
  }
  thread void Init(void) {
    Letter();
    Sleep(0.5);
    if (turns < 20000) Test.Print("the letter stopped after a bounded number of turns");
    else Test.Print("the letter was drawn " + turns + " times");
  }
};
