// Casts, assignment and its l-values, new.
class Base { };
class Derived isclass Base { };
static class Tool { };
game class Actor { };

class A
{
  Missing m;

  void F(int i, float f, bool b, string s, Base base, Derived derived, int[] ia, object o)
  {
    f = i;
    b = f;
    s = f;
    i = s;
    i = null;
    s = null;
    o = null;
    base = derived;
    derived = base;
    derived = cast<Derived> base;
    base = cast<Base> derived;
    i = cast<int> s;
    o = cast<A> base;
    o = cast<Nowhere> base;
    ia = cast<int[]> o;
    s = cast<string> f;
    base = m;
    1 = i;
    s = new string();
    ia = new int[4];
    base = new Base();
    i = new int();
    o = new object();
    ia = new int[2.0];
    base = new Base(1);
    base = new Nobody();
    o = new Tool();
    o = new Actor();
    f = new float[3];
    o = new Nobody[3];
  }
};
// EXPECT: conversions.gs(9) : object<Missing> not declared, line 9.
// EXPECT: conversions.gs(16) : cannot cast from string to int, line 16.
// EXPECT: conversions.gs(17) : cannot cast from null to int, line 17.
// EXPECT: conversions.gs(21) : cannot cast from object<Base> to object<Derived>, line 21.
// EXPECT: conversions.gs(24) : cannot cast from string to int, line 24.
// EXPECT: conversions.gs(25) : cannot cast from Base to A, line 25.
// EXPECT: conversions.gs(26) : object<Nowhere> not declared, line 26.
// EXPECT: conversions.gs(27) : cannot cast from object to int[], line 27.
// EXPECT: conversions.gs(29) : class Missing not defined, line 29.
// EXPECT: conversions.gs(30) : illegal l-value for assignment, line 30.
// EXPECT: conversions.gs(34) : cannot new type int, line 34.
// EXPECT: conversions.gs(35) : cannot new unnamed object, line 35.
// EXPECT: conversions.gs(36) : non-integral expression for new[], line 36.
// EXPECT: conversions.gs(37) : constructors not yet supported, line 37.
// EXPECT: conversions.gs(38) : cannot find class Nobody in this translation unit, line 38.
// EXPECT: conversions.gs(39) : cannot new static or game class, line 39.
// EXPECT: conversions.gs(40) : cannot new static or game class, line 40.
// EXPECT: conversions.gs(41) : cannot cast from float[] to float, line 41.
// EXPECT: conversions.gs(42) : cannot find class Nobody in this translation unit, line 42.
