// String instructions and their edge cases.
class Test {
  public native void Print(string s);
  public int Main(void) {
    string s = "ab";
    s[5] = 'x';
    Print("[" + s + "] " + (string)s.size());
    string n = null;
    if (n == "") Print("null equals empty");
    if (n < "a") Print("null below a");
    if ("a" > n) Print("a above null");
    string both = n + n;
    Print("[" + both + "] " + (string)both.size());
    Print(n + "tail");
    Print((string)true + " " + (string)1.5 + " " + (string)-12);
    string t = "hello world";
    Print(t[0, 5] + "|" + t[6, ] + "|" + t[, 2]);
    t[0, 5] = "HELLO";
    Print(t);
    Print((string)(int)t[1]);
    string c = t;
    c = t[0, ];
    c[0] = 'J';
    Print(c + " " + t);
    return s.size();
  }
};
