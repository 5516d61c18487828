// s = s + t grows s in place also in a function whose calls the load cannot
// type (Print shares its slot with Other.Twice, of another shape): 16,384
// appends of 256 bytes from a variable, then as many from a literal, fit
// one run's budget, and a copy taken along the way keeps its text.
class Other {
  int Twice(int n) {
    return n * 2;
  }
};

class Test {
  public native void Print(string s);
  public int Main(void) {
    string piece = "0123456789abcdef";
    int i;
    for (i = 0; i < 4; i++) piece = piece + piece;
    string text = "";
    for (i = 0; i < 16384; i++) text = text + piece;
    string kept = text;
    for (i = 0; i < 16384; i++)
      text = text + "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    text = text + text;
    Print(text.size() + " bytes, the copy " + kept.size() + ", " + text[4194300, 4194308]);
    return 0;
  }
};
