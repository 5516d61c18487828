// Text work pays for the bytes it touches, not for the whole text at each
// step: 16,384 appends from a variable, 8,000 equal-length replacements and
// the commas found one after another in the 4 MB text fit one run's budget.
static class Str {
  public native int Find(string s, string sub, int start);
};

class Test {
  public native void Print(string s);
  public int Main(void) {
    string piece = "0123456789abcdef";
    int i;
    for (i = 0; i < 4; i++) piece = piece + piece;
    piece[255] = ',';
    string text = "";
    for (i = 0; i < 16384; i++) text = text + piece;
    for (i = 0; i < 8000; i++) text[i * 500, i * 500 + 3] = "XYZ";
    int found = 0;
    for (i = Str.Find(text, ",", 0); i >= 0; i = Str.Find(text, ",", i + 1)) found++;
    Print(text.size() + " bytes, " + found + " commas, " + text[3999500, 3999504]);
    return 0;
  }
};
