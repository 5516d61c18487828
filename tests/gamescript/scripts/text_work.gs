// Ordinary text work pays for the bytes it touches, not for the whole text
// at every step: each of these finishes well inside one run's budget at
// four times the size that used to stop it.
static class Str {
  public native int Find(string s, string sub, int start);
};

class Test {
  public native void Print(string s);

  // A 640 KB text of 65,536 comma-ended fields, found one after another.
  int Commas(void) {
    string field = "abcdefghi,";
    string text = "";
    int i;
    for (i = 0; i < 16; i++) text = text + field;
    for (i = 0; i < 12; i++) text = text + text;
    int found = 0;
    int at = Str.Find(text, ",", 0);
    while (at >= 0) {
      found++;
      at = Str.Find(text, ",", at + 1);
    }
    return found;
  }

  // 8,000 equal-length replacements in a 5.2 MB text.
  string Replacements(void) {
    string text = "0123456789";
    int i;
    for (i = 0; i < 19; i++) text = text + text;
    for (i = 0; i < 8000; i++) text[i * 600, i * 600 + 3] = "XYZ";
    return text.size() + " " + text[0, 4] + text[4799400, 4799404];
  }

  // 16,384 appends of a 256-byte piece held in a variable.
  int Appends(void) {
    string piece = "0123456789abcdef";
    int i;
    for (i = 0; i < 4; i++) piece = piece + piece;
    string text = "";
    for (i = 0; i < 16384; i++) text = text + piece;
    return text.size();
  }

  public int Main(void) {
    Print("commas found: " + Commas());
    Print("replaced: " + Replacements());
    Print("appended: " + Appends());
    return 0;
  }
};
