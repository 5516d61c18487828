// A report names the script's file as it is spelled on disk, not lower-cased.
class Test {
  public int Main(void) {
    int zero = 0;
    return 1 / zero;
  }
};
