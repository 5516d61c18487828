class A
{
  void f(int a)
  {
    a = a ? 1 : 2;
  }
};
// EXPECT: bad_unknown_character.gs(5) : parse error, line 5
