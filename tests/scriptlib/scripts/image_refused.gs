// An empty face name is refused and stops the thread; the image keeps its font.
include "Constructors.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    Image image = Constructors.NewImage();
    image.Clear(8, 8);
    Print("measured " + (image.MeasureTextWidth("ab") > 0));
    image.SetTextFont("", 40);
    Print("not reached");
    return 1;
  }
};
