class A
{
  define int X = X + 1;
  define int Y = Z;
  define int Z = Y;
};
// A define that names itself, directly or through another, has no constant value.
// EXPECT: defines_self.gs(3) : define variable must have a const assignment, line 3.
// EXPECT: defines_self.gs(4) : variable Z not declared, line 4.
// EXPECT: defines_self.gs(4) : define variable must have a const assignment, line 4.
// EXPECT: defines_self.gs(5) : define variable must have a const assignment, line 5.
