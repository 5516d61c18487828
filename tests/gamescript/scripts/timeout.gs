// A loop that never ends runs out of the run budget.
class Test {
  public int Main(void) {
    int i = 0;
    while (i >= 0) i = i | 1;
    return i;
  }
};
