class A
{
  void f(int a, int b)
  {
    a + b = 3;
  }
};
// EXPECT: bad_assignment_target.gs(5) : parse error, line 5
