// Scripts draw into images: shapes, copies, resizes and text, checked through
// pixel values (AARRGGBB), checksums and counts of inked pixels.
include "Constructors.gs"

class Test {
  public native void Print(string s);
  public native string Pixel(Image image, int x, int y);
  public native string Checksum(Image image);
  public native int Ink(Image image, int x1, int y1, int x2, int y2);

  public int Main(void) {
    Image image = Constructors.NewImage();
    image.DrawRect(0, 0, 5, 5);
    image.DrawText(0, 0, "nothing");
    Print("new " + image.GetWidth() + " x " + image.GetHeight());
    image.Clear(0, 10);
    Print("clear 0 x 10: " + image.GetWidth() + " x " + image.GetHeight());
    image.Clear(8200, 8200);
    Print("clear past 2^26 pixels: " + image.GetWidth() + " x " + image.GetHeight());

    image.SetFillColor(0.0, 0.0, 1.0, 1.0);
    image.Clear(4, 4);
    Print("clear 4 x 4: " + image.GetWidth() + " x " + image.GetHeight() + " ink " + Ink(image, 0, 0, 4, 4) +
          " corners " + Pixel(image, 0, 0) + " " + Pixel(image, 3, 3));
    image.SetLineColor(1.0, 0.0, 0.0, 1.0);
    image.DrawPoint(1, 1);
    image.SetLineColor(-2.0, 0.5, 7.0, 1.0);
    image.DrawLine(0, 3, 3, 3);
    Print("point " + Pixel(image, 1, 1) + " line " + Pixel(image, 2, 3));

    image.Resize(4, 4, false);
    image.Resize(8, 8, false);
    Print("resize " + image.GetWidth() + " x " + image.GetHeight() + " kept " + Pixel(image, 1, 1) + " " +
          Pixel(image, 3, 3) + " padded " + Pixel(image, 4, 4) + " " + Pixel(image, 7, 0) + " ink " +
          Ink(image, 0, 0, 8, 8));
    image.Resize(16, 16, true);
    Print("stretch " + Pixel(image, 2, 2) + " " + Pixel(image, 3, 3) + " " + Pixel(image, 6, 6) + " ink " +
          Ink(image, 0, 0, 16, 16));
    string before = Checksum(image);
    image.DrawImage(0, 0, 8, 8, image);
    image.DrawImage(1, 1, 9, 9, image, 0, 0, 4, 4);
    Print("self copy at another size unchanged " + (Checksum(image) == before));
    image.DrawImage(4, 4, image);
    Print("self copy at its size " + Pixel(image, 6, 6) + " " + Pixel(image, 7, 7));

    image.SetFillColor(0.0, 0.0, 0.0, 0.0);
    image.Clear(32, 32);
    image.SetLineColor(1.0, 1.0, 1.0, 1.0);
    image.SetFillColor(0.0, 1.0, 0.0, 1.0);
    image.DrawRect(2, 2, 10, 10);
    Print("rect edge " + Pixel(image, 2, 2) + " inside " + Pixel(image, 5, 5) + " outside " + Pixel(image, 12, 12));
    image.DrawTriangle(20, 20, 30, 20, 20, 30);
    Print("triangle edge " + Pixel(image, 20, 20) + " inside " + Pixel(image, 22, 22));
    image.DrawCircle(24, 8, 4);
    Print("circle centre " + Pixel(image, 24, 8));
    before = Checksum(image);
    image.DrawRect(10, 10, 2, 2);
    image.DrawLine(-2000000000, -2000000000, -2000000000, 2000000000);
    image.DrawCircle(-2000000000, 5, 1000000000);
    image.DrawTriangle(-2000000000, 0, -2000000000, 9, -1999999999, 4);
    image.DrawImage(5000, 0, image);
    Print("outside and reversed draw nothing " + (Checksum(image) == before));
    image.DrawLine(-2000000000, 16, 2000000000, 16);
    Print("a line across the whole int range " + Ink(image, 0, 16, 32, 17));

    Image other = Constructors.NewImage();
    other.SetFillColor(1.0, 0.0, 1.0, 0.5);
    other.Clear(2, 2);
    image.DrawImage(0, 30, other);
    Print("copy blends " + Pixel(image, 0, 30) + " " + Pixel(image, 1, 31));

    Image text = Constructors.NewImage();
    text.Clear(200, 40);
    text.SetTextFont("swiss", 16);
    int width = text.MeasureTextWidth("Hello, world");
    Print("text width within reason " + (width > 40 and width < 200) + " wider than one word " +
          (width > text.MeasureTextWidth("Hello")));
    text.DrawText(4, 4, "Hello, world");
    Print("text inked " + (Ink(text, 0, 0, 200, 40) > 50) + " beyond its width " +
          Ink(text, 4 + width + 2, 0, 200, 40) + " above " + Ink(text, 0, 0, 200, 4));
    text.DrawText(-100000, -100000, "far away");
    text.DrawText(190, 30, "\xff\xfe\xc3");
    Print("export locked " + text.ExportImage().IsLocked() + " tags " + text.ExportImage().CountTags());
    text.ImportImage(null);

    // Black text leaves opaque white opaque: copied over red, it shows no red.
    text.SetFillColor(1.0, 1.0, 1.0, 1.0);
    text.Clear(120, 30);
    text.SetLineColor(0.0, 0.0, 0.0, 1.0);
    text.DrawText(2, 2, "Opaque ink");
    other.SetFillColor(1.0, 0.0, 0.0, 1.0);
    other.Clear(120, 30);
    other.DrawImage(0, 0, text);
    Print("text keeps the paper opaque " + (Checksum(other) == Checksum(text)));
    image.Resize(20000, 8, false);
    Print("not reached");
    return 0;
  }
};
