// The Str natives walk a text once whatever the length of the character set
// or of the text sought: a set of 1 MiB against a text of 1 MiB, and a
// search of 1 MiB of repeats for a 4 KiB near-match, take milliseconds (a
// search through the set at every character takes minutes). The set is paid
// for too: a loop that trims a short text by a long set ends on the run
// budget within a second.
static class Str {
  public native void TrimLeft(string s, string set);
  public native void TrimRight(string s, string set);
  public native string[] Tokens(string s, string delimiters);
  public native int Find(string s, string sub, int start);
};

class Test {
  public native void Print(string s);
  string Repeat(string s, int doublings) {
    int i;
    for (i = 0; i < doublings; i++) s = s + s;
    return s;
  }
  public int Main(void) {
    string a = Repeat("a", 20), b = Repeat("b", 20);
    string s = a + "c" + a;
    Str.TrimLeft(s, b + "a");
    Str.TrimRight(s, b + "a");
    Print("trimmed to " + s);
    string[] tokens = Str.Tokens(a + "," + a, b + ",");
    Print(tokens.size() + " tokens of " + tokens[0].size());
    string near = Repeat("a", 12) + "b";
    int i, found = 0;
    for (i = 0; i < 20; i++) found = found + Str.Find(a, near, i);
    Print("20 searches, sum " + found);
    string c = "c";
    for (i = 0; i < 1000000; i++) Str.TrimLeft(c, b);
    Print("not reached");
    return 0;
  }
};
