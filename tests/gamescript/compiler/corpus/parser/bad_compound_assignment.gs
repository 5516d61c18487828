class A
{
  void f(int a)
  {
    a += 1;
  }
};
// EXPECT: bad_compound_assignment.gs(5) : parse error, line 5
