// Page text: Print adds markup as it is, Escape makes text safe and turns
// each line break into one "<br>".
include "HTMLBuffer.gs"

class Test {
  public native void Print(string s);
  public int Main(void) {
    HTMLBuffer page = HTMLBufferStatic.Construct();
    Print("new [" + page.AsString() + "] empty " + page.IsEmpty());
    page.Print("<b>bold</b>");
    page.Print("");
    Print("print [" + page.AsString() + "] empty " + page.IsEmpty());
    page.Clear();
    page.Escape("a<b & c>d");
    Print("escape [" + page.AsString() + "] empty " + page.IsEmpty());
    page.Clear();
    page.Escape("line1\r\nline2\n\rline3\rline4\nline5\n\nline6\r\r");
    Print("breaks [" + page.AsString() + "]");
    page.Clear();
    page.Escape("");
    Print("cleared [" + page.AsString() + "] empty " + page.IsEmpty());
    return 0;
  }
};
