class A
{
  void f()
  {
  };
};
// EXPECT: bad_body_semicolon.gs(5) : parse error, line 5
