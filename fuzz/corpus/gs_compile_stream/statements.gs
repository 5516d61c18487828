// Every statement form in one class.
class Statements {
  public int total;
  public string text = "start";
  define int LIMIT = 10;

  public int Loops(int n) {
    int i, j = 0;
    for (i = 0; i < n; i++) {
      if (i % 2 == 0) continue;
      j = j + i;
      if (j > LIMIT) break;
    }
    for (;;) { j--; if (j < 0) break; }
    while (j < n) {
      j = j + 3;
      if (j == 7) continue;
    }
    return j;
  }

  public int Choose(int n) {
    switch (n) {
      case 9: total = 1; break;
      case -4: total = 2;
      case 0: { total = 3; break; }
      case 100000: total = 4; break;
      default: total = 0;
    }
    if (n > 0) return 1;
    else if (n < 0) return -1;
    return 0;
  }

  public void Jumps(int n) {
  top:
    n = n - 1;
    if (n > 0) goto top;
    {
      string inner = text;
      text = inner + n;
    }
  }
};
