class Known { };

class A isclass Known,
  Unknown
{
};
// EXPECT: undeclared.gs(4) : Class Unknown has not been declared, line 4.
