// gsrun --game Painter
// Drawing and text pay the run budget for the pixels and characters they
// touch, so a loop drawing a whole 1024 x 1024 image, copying it onto
// itself, remaking it, or measuring a 1 MiB text stops after a bounded
// number of turns, not after hours.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Painter isclass GameObject {
  int shapes, copies, remakes, texts;

  Image Canvas(void) {
    Image image = Constructors.NewImage();
    image.SetFillColor(0.5, 0.5, 0.5, 0.5);
    image.Clear(1024, 1024);
    return image;
  }
  thread void Shapes(void) {
    Image image = Canvas();
    while (1) {
      image.DrawRect(0, 0, 1023, 1023);
      image.DrawCircle(512, 512, 800);
      image.DrawTriangle(-5000, -5000, 5000, -5000, 0, 5000);
      shapes++;
    }
  }
  thread void Copies(void) {
    Image image = Canvas();
    while (1) {
      image.DrawImage(1, 1, image);
      copies++;
    }
  }
  thread void Remakes(void) {
    Image image = Canvas();
    while (1) {
      image.Resize(2048, 2048, true);
      image.Clear(1024, 1024);
      remakes++;
    }
  }
  thread void Texts(void) {
    Image image = Canvas();
    string text = "Mm";
    while (text.size() < 1048576) text = text + text;
    while (1) {
      image.DrawText(0, 0, text);
      image.MeasureTextWidth(text);
      texts++;
    }
  }
  void Report(string what, int turns) {
    string bound = "a bounded number of";
    if (turns < 5) bound = turns + "";
    if (turns > 2000) bound = turns + "";
    Test.Print(what + " stopped after " + bound + " turns");
  }
  thread void Init(void) {
    Shapes();
    Copies();
    Remakes();
    Texts();
    Sleep(0.5);
    Report("shapes", shapes);
    Report("copies", copies);
    Report("remakes", remakes);
    Report("texts", texts);
  }
};
