// A font that cannot be made (its cells do not fit the glyph bitmap) is
// paid as a made one is: each new description is tried anew, so a loop of
// 2,000 of them ends with the run's budget instead of running for seconds.
include "Constructors.gs"
include "Image.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    Image image = Constructors.NewImage();
    int i, wide = 0;
    for (i = 0; i < 2000; i++) {
      image.SetTextFont("face " + i, 2000);
      wide = wide + image.MeasureTextWidth("W");
    }
    Print("not reached: 2,000 fonts that cannot be made, " + wide + " pixels");
    return 0;
  }
};
