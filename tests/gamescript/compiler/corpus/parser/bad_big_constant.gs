class A
{
  int big = 99999999999;
};
// EXPECT: bad_big_constant.gs(3) : integer constant too large, line 3
