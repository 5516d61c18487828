// Division by zero stops the thread with its report and stack dump.
class Test {
  public int Divide(int a, int b) {
    return a / b;
  }
  public int Main(void) {
    int x = 3;
    return x + Divide(x, x - 3);
  }
};
