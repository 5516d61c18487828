// A picture a script draws into: points, lines, rectangles, circles,
// triangles, other images and text. Colours are red, green, blue and alpha
// from 0.0 to 1.0; rectangles are given by two corners.
include "Soup.gs"

final class Image isclass GSObject {
  public native void SetLineColor(float r, float g, float b, float a);
  public native void SetFillColor(float r, float g, float b, float a);
  public native void SetTextFont(string face, int pixels);
  public native int GetWidth(void);
  public native int GetHeight(void);
  public native void Clear(int width, int height);
  public native void Resize(int width, int height, bool scale);
  public native void DrawPoint(int x, int y);
  public native void DrawLine(int x1, int y1, int x2, int y2);
  public native void DrawRect(int x1, int y1, int x2, int y2);
  public native void DrawCircle(int x, int y, int radius);
  public native void DrawTriangle(int x1, int y1, int x2, int y2, int x3, int y3);
  public native void DrawImage(int x, int y, Image source);
  public native void DrawImage(int x1, int y1, int x2, int y2, Image source);
  public native void DrawImage(int x1, int y1, int x2, int y2, Image source, int sx1, int sy1, int sx2, int sy2);
  public native void DrawText(int x, int y, string text);
  public native int MeasureTextWidth(string text);
  public native void ImportImage(Soup soup);
  public native Soup ExportImage(void);
};
