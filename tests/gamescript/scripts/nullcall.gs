// A call on null, a member of null and a float division by +0.0.
class Box {
  public int v;
  public int Get(void) { return v; }
};
class Test {
  public native void Print(string s);
  public float Ratio(float a, float b) { return a / b; }
  public int Main(void) {
    Print((string)Ratio(1.0, -0.0));
    Box b;
    Print("before");
    return b.Get();
  }
};
