// Every statement form inside one function.
class Statements
{
  int Run(int n, string s)
  {
    int i, j = 2;
    Statements other;
    Statements[] many = null;
    ;
    { }
    if (n) i = 1;
    if (n) i = 1; else i = 2;
    if (n) if (i) j = 1; else j = 2;
    while (i < n) i++;
    for (i = 0; i < n; i++) continue;
    for (;;) break;
    for (i = 0, j = 1; ; ) { break; }
    switch (n)
    {
      case 1: j = 1; break;
      case 2 * 3:
      case -4: j = 3;
      default: j = 0;
    }
    wait()
    {
      on "Object", "Enter", other: { break; }
      on "Timer", "":
        continue;
    }
  again:
    j--;
    if (j > 0) goto again;
    return i + j;
  }
};
