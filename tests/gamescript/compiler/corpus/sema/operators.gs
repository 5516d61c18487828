// Operator types, l-values and folding seen through case labels.
class A
{
  void F(int i, float f, bool b, string s, A a, int[] ia)
  {
    i = true + 1;
    s = "a" + 1;
    f = 1 + 2.0;
    b = i < null;
    b = s == null;
    b = a == null;
    b = ia == null;
    i = i << 2.0;
    i = -b;
    b = !ia;
    i = ~f;
    i = 1++;
    f = ++f;
    i = -(f + i);
    switch (i) {
      case 7 / 2 + (-7 % 2) * 10: break;
      case 1 << 33: break;
      case -2147483647 - 1: break;
      case (1 < 2) + 1: break;
      default: break;
    }
  }
};
// EXPECT: operators.gs(6) : illegal types for operand +, line 6
// EXPECT: operators.gs(9) : illegal types for operand <, line 9
// EXPECT: operators.gs(13) : illegal types for operand <<, line 13
// EXPECT: operators.gs(14) : illegal types for unary operand -, line 14
// EXPECT: operators.gs(16) : illegal types for unary operand ~, line 16
// EXPECT: operators.gs(17) : expression not an l-value for ++ operator, line 17
// EXPECT: operators.gs(24) : illegal types for operand +, line 24
// EXPECT: operators.gs(24) : case expression not constant or integral, line 24.
