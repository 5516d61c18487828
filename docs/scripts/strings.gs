// Str and Math: the texts are changed in place.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Example {
  public void Main(void) {
    string s = "  42 3.5 signal  ";
    Str.TrimLeft(s, "");
    Str.TrimRight(s, null);
    Test.Print("[" + s + "]");
    int n = Str.UnpackInt(s);
    float f = Str.UnpackFloat(s);
    Test.Print(n + " " + f + " [" + s + "]");
    Str.ToUpper(s);
    Test.Print("find: " + Str.Find(s, "SIGNAL", 0) + " " + Str.Find(s, "x", 0));
    string[] words = Str.Tokens("red,green;;blue", ",;");
    Test.Print(words.size() + " words, the last " + words[words.size() - 1]);
    Test.Print("to int: " + Str.ToInt("12abc") + ", sqrt: " + Math.Sqrt(2.25));
    Test.Print("rand: " + Math.Rand(7, 7));
  }
};
