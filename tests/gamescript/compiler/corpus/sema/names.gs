// Identifiers, static references and member access.
static class Util
{
  public int counter;
  int hidden;
  public define string NAME = "util";
};

class Plain
{
  public int value;
  int secret;
  public define float SCALE = 2;
};

class A
{
  Unknown u;

  void F(int i, Plain p, string s, int[] ia)
  {
    i = missing;
    Plain;
    i = Plain.value;
    i = i.value;
    i = s.value;
    i = ia.value;
    i = p.secret;
    i = p.nothing;
    i = Util.counter;
    i = Util.hidden;
    i = Util.nothing;
    s = Util.NAME;
    i = p.SCALE;
    i = u.value;
    p = Util;
  }
};
// EXPECT: names.gs(18) : object<Unknown> not declared, line 18.
// EXPECT: names.gs(22) : variable missing not declared, line 22.
// EXPECT: names.gs(23) : class Plain is not static, line 23.
// EXPECT: names.gs(24) : Plain is not a static class or variable within this class, line 24.
// EXPECT: names.gs(25) : . operator cannot be used on a non-reference type, line 25.
// EXPECT: names.gs(26) : unknown object class for '.' operator, line 26.
// EXPECT: names.gs(27) : unknown object class for '.' operator, line 27.
// EXPECT: names.gs(28) : member secret not public in object Plain, line 28.
// EXPECT: names.gs(29) : member nothing does not exist in object Plain, line 29.
// EXPECT: names.gs(31) : member hidden not public in object Util, line 31.
// EXPECT: names.gs(32) : member nothing does not exist in object Util, line 32.
// EXPECT: names.gs(35) : Internal compiler error
// EXPECT: names.gs(36) : cannot cast from object<Util> to object<Plain>, line 36.
