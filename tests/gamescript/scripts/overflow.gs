// Endless recursion overflows the 1024-cell stack.
class Test {
  public int Down(int n) { return Down(n + 1) + 1; }
  public int Main(void) { return Down(0); }
};
