// Array instructions and their edge cases.
class Box {
  public int v;
};

class Test {
  public native void Print(string s);
  public string Show(int[] a) {
    string s = "" + a.size() + ":";
    int i;
    for (i = 0; i < a.size(); i++) s = s + " " + a[i];
    return s;
  }
  public int Main(void) {
    int[] e = new int[-5];
    Print(Show(e));
    e[10] = 7;
    Print(Show(e));
    int[] a = new int[4];
    int i;
    for (i = 0; i < 4; i++) a[i] = i + 1;
    Print(Show(a[-3, 100]));
    int[] r = new int[2];
    r[0] = 8;
    r[1] = 9;
    a[1, 3] = r;
    Print(Show(a));
    a[6, 7] = r;
    Print(Show(a));
    a[0, 2] = null;
    Print(Show(a));
    int[] c = new int[0];
    c.copy(a);
    c[0] = 100;
    Print(Show(a) + " /" + Show(c));
    Box[] boxes = new Box[2];
    boxes[1] = new Box();
    boxes[1].v = 5;
    Box[] more = new Box[0];
    more.copy(boxes);
    more[1].v++;
    Print((string)boxes[1].v);
    int[] bad = a[3, 2];
    return bad.size();
  }
};
