// Variable declarations: specifiers, types, clashes and defines.
class A
{
  static int s;
  final int f;
  public int p;
  define int D = 3;
  int twice, twice;
  Missing m;
  define int NOT_CONSTANT = p;
  define int NO_VALUE;
  void F()
  {
    int x;
    int x;
    { int x; }
  }
};
// EXPECT: variables.gs(4) : member declaration has invalid specifiers, line 4.
// EXPECT: variables.gs(5) : member declaration has invalid specifiers, line 5.
// EXPECT: variables.gs(8) : Variable twice already declared in this scope, line 8.
// EXPECT: variables.gs(9) : object<Missing> not declared, line 9.
// EXPECT: variables.gs(10) : define variable must have a const assignment, line 10.
// EXPECT: variables.gs(11) : define variable must have a const assignment, line 11.
// EXPECT: variables.gs(15) : Variable x already declared in this scope, line 15.
