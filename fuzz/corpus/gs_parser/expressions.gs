// Expression forms: precedence, postfix forms, casts, new and constants.
class Expressions
{
  void Run(int[] a, string s, Expressions e)
  {
    int x = 1 + 2 * 3 - 4 / 5 % 6;
    x = x << 2 >> 1 & 0xFF ^ 0x0f | 007;
    bool b = x < 1 or x > 2 and x <= 3 or x >= 4 and x == 5 or x != 6;
    b = !b and true or false;
    x = -x + +x + ~x;
    x++; x--; ++x; --x;
    a[0] = a[1];
    s = s[1, 2] + s[, 2] + s[1, ];
    x = a.size() + s.size();
    b = e.isclass(Expressions);
    a.copy(a);
    e.Run(a, s, e).Run(a, s, null);
    x = (int)1.5 + (int)(float)2;
    e = cast<Expressions>me;
    Expressions[] list = new Expressions[4];
    e = new Expressions();
    a = new int[x + 1];
    s = "text\twith \"escapes\"\n" + 'c' + L"wide" + 'ab';
    float f = .5 + 1. + 2.25;
    x = y = z = 0;
    (x) = 1;
  }
};
