// Integer and float arithmetic, comparisons at the ends of the range.
class Test {
  public native void Print(string s);
  public int Main(void) {
    int a = 7, b = -2;
    Print((string)(a / b) + " " + (string)(a % b));
    int big = 2147483647, small = -2;
    if (big > small) Print("big > small");
    int lo = -2147483648;
    if (lo < 1) Print("lo < 1");
    Print((string)(lo / -1) + " " + (string)(lo % -1));
    int s = 1;
    Print((string)(s << 33) + " " + (string)(-8 >> 28));
    float f = 2.9;
    Print((string)(int)f + " " + (string)(int)(-f));
    float x = 1.5;
    Print((string)x);
    return a * b + 100;
  }
};
