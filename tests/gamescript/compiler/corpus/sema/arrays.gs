// Indexing, sub-ranges, size, isclass and copy.
class A
{
  void F(int i, float f, string s, int[] ia, float[] fa, A a, A[] aa)
  {
    i = s[0];
    i = ia[1];
    a = aa[2];
    i = i[0];
    i = ia[f];
    s = s[1, 2];
    ia = ia[, 2];
    i = f[1, 2];
    s = s[f, ];
    s = s[1, f];
    i = ia.size();
    i = i.size();
    f = a.isclass(A);
    f = i.isclass(A);
    f = a.isclass(Nothing);
    ia.copy(ia);
    i.copy(ia);
    ia.copy(i);
    ia.copy(fa);
    s.copy(s);
  }
};
// EXPECT: arrays.gs(9) : int not an array type for [] operator, line 9
// EXPECT: arrays.gs(10) : index not integral for [] operator, line 10
// EXPECT: arrays.gs(13) : float not an array type for [,] operator, line 13
// EXPECT: arrays.gs(14) : left index not integral for [,] operator, line 14
// EXPECT: arrays.gs(15) : right index not integral for [,] operator, line 15
// EXPECT: arrays.gs(17) : .size operator requires an array type, line 17.
// EXPECT: arrays.gs(19) : .isclass operator requires an object type, line 19.
// EXPECT: arrays.gs(20) : class Nothing not declared for .isclass operator, line 20.
// EXPECT: arrays.gs(22) : .copy operator requires an array type, line 22.
// EXPECT: arrays.gs(23) : .copy expression must be an array type, line 23.
// EXPECT: arrays.gs(24) : left and right types incompatible for .copy operator, line 24.
