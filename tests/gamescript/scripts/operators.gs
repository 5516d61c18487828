// The operators and stores that keep their value, one of each instruction
// that the other scripts of the corpus do not make.
class Holder {
  public int n;
  public string s;
};

class Test {
  public native void Print(string s);
  public int m;
  public string ms;
  public string Join(string[] a) {
    string out = "" + a.size() + ":";
    int i;
    for (i = 0; i < a.size(); i++) out = out + " " + a[i];
    return out;
  }
  public int Main(void) {
    int a = 7;
    int n = -a;
    a--;
    int bits = (a & 3) ^ (a | 8);
    int c = ~a;
    int sh = n >> 28;
    Print("ints " + n + " " + a + " " + bits + " " + c + " " + sh);
    float x = 2.5;
    float y = x + a;
    float z = (y - x) * x;
    float w = z % 4.0;
    x++;
    y--;
    Print("floats " + y + " " + z + " " + w + " " + x);
    bool big = a > 100;
    bool small = !big;
    float none = 0.0;
    bool noFloat = !none;
    Print("not " + small + " " + noFloat);
    int k;
    int j = (k = 4) + 1;
    string s1;
    string s2 = (s1 = "ab") + "c";
    Print("locals " + j + " " + k + " " + s1 + " " + s2);
    int[] arr = new int[3];
    int q = (arr[0] = 9) + 1;
    string[] sa = new string[3];
    string r = (sa[1] = "x") + "y";
    Print("elements " + q + " " + r);
    int[] two = new int[2];
    two[0] = 1;
    two[1] = 2;
    int len = (arr[1, 3] = two).size();
    Print("range " + len + " " + arr[0] + arr[1] + arr[2]);
    string[] part = sa[1, 2];
    string[] other = new string[1];
    other[0] = "o";
    sa[0, 1] = other;
    string[] kept = (sa[2, 3] = other);
    Print("object ranges " + Join(part) + " /" + Join(sa) + " /" + Join(kept));
    string ns = new string();
    string cs = "abc";
    int ch = (cs[0] = 'z');
    string ss = (cs[1, 2] = "QQ");
    Print("chars [" + ns + "] " + ch + " " + cs + " " + ss);
    Holder h = new Holder();
    int hn = (h.n = 3) + 1;
    string hs = (h.s = "hs") + "!";
    int mm = (m = 11) + 1;
    string mss = (ms = "me") + "?";
    string lds = ms;
    Print("members " + hn + " " + h.n + " " + hs + " " + mm + " " + mss + " " + lds);
    return a;
  }
};
