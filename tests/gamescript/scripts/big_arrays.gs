// Arrays and strings are as large as the script memory limit (1 GiB by
// default) allows: an array of 20,000,000 ints and a string of 70,000,000
// characters are made.
class Test {
  public native void Print(string s);
  public int Main(void) {
    int[] a = new int[20000000];
    a[19999999] = 7;
    Print("array of " + a.size() + ", last " + a[19999999]);
    string s = "";
    s[69999999] = 'x';
    Print("string of " + s.size() + ", last " + s[69999998, 70000000]);
    return 0;
  }
};
