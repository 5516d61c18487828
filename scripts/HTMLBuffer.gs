// A growable text buffer for page text: Print adds markup, Escape adds plain
// text made safe.
include "gs.gs"

final class HTMLBuffer isclass GSObject {
  public native void Print(string text);
  public native void Escape(string text);
  public native void Clear(void);
  public native bool IsEmpty(void);
  public native string AsString(void);
};

static class HTMLBufferStatic {
  public native HTMLBuffer Construct(void);
};
