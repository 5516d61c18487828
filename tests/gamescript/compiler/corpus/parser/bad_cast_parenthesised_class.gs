// Only primitive types can be cast with parentheses.
class Bad
{
  void f(Bad b)
  {
    Bad c = (Bad)b;
  }
};
// EXPECT: bad_cast_parenthesised_class.gs(6) : parse error, line 6
