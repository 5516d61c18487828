// The Str and Math natives and their edge cases.
static class Str {
  public native void TrimLeft(string s, string set);
  public native void TrimRight(string s, string set);
  public native int ToInt(string s);
  public native float ToFloat(string s);
  public native void ToUpper(string s);
  public native void ToLower(string s);
  public native string[] Tokens(string s, string delimiters);
  public native int UnpackInt(string s);
  public native float UnpackFloat(string s);
  public native string UnpackString(string s);
  public native int Find(string s, string sub, int start);
};

static class Math {
  public native float Rand(float a, float b);
  public native int Rand(int a, int b);
  public native float Sqrt(float x);
};

class Test {
  public native void Print(string s);
  public int Main(void) {
    string blanks = "   ";
    Str.TrimLeft(blanks, null);
    Print("[" + blanks + "]");
    string s = "xx-abc-xx";
    Str.TrimLeft(s, "x");
    Str.TrimRight(s, "x-");
    Print("[" + s + "]");
    Print((string)Str.ToInt(" 42abc") + " " + (string)Str.ToFloat("2.5e1"));
    string u = "MiXed 1";
    Str.ToUpper(u);
    Print(u);
    Str.ToLower(u);
    Print(u);
    string[] t = Str.Tokens("a,,b c", ", ");
    int i;
    for (i = 0; i < t.size(); i++) Print("token " + t[i]);
    Print("null tokens " + Str.Tokens(null, null).size());
    string w = "  abc def";
    string first = Str.UnpackString(w);
    Print("[" + first + "][" + w + "]");
    string nums = "12 3.5 rest";
    int n = Str.UnpackInt(nums);
    float f = Str.UnpackFloat(nums);
    Print((string)n + " " + (string)f + " [" + nums + "]");
    Print((string)Str.UnpackInt(""));
    Print((string)Str.Find("hello", "l", 0) + " " + (string)Str.Find("hello", "", 5) + " " +
          (string)Str.Find("hello", "", 6) + " " + (string)Str.Find(null, "a", 0));
    Print((string)Math.Sqrt(16.0) + " " + (string)Math.Rand(3, 3) + " " + (string)Math.Rand(2.0, 2.0));
    float r = Math.Rand(0.0, 1.0);
    if (r >= 0.0 and r <= 1.0) Print("rand in range");
    return 0;
  }
};
