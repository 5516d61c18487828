// Call resolution: overloads, conversions, access and inherited.
class Shape { };
class Square isclass Shape { };

class Base
{
  public void Hello() { }
  void Private() { }
  public int Measure(int i) { return i; }
  public int Measure(float f) { return 1; }
  public void Take(Shape a) { }
  public void Take(Square b) { }
};

class A isclass Base
{
  int early = inherited();

  public void Pick(float f) { }
  public void Pick(string s) { }
  public void Exact(int i) { }
  public void Exact(Shape s) { }
  native void Native() { inherited(); }
  thread void Run() { inherited(); }
  void Hello() { inherited(); me.inherited(); }

  void F(Base b, object o, int[] ia, Square sq)
  {
    b.Hello();
    b.Private();
    b.Nothing();
    Nothing();
    Measure(1);
    Measure(1.5);
    Measure(true);
    Pick(1);
    Take(o);
    Take(sq);
    Exact("text");
    ia[0](1);
    Hello(1);
  }
};
// EXPECT: calls.gs(17) : internal compiler error while parsing 'inherited', line 17.
// EXPECT: calls.gs(23) : 'inherited' can not be used on native or thread function, line 23.
// EXPECT: calls.gs(24) : 'inherited' can not be used on native or thread function, line 24.
// EXPECT: calls.gs(25) : 'inherited' can only be used on current function, line 25.
// EXPECT: calls.gs(30) : function Private not public in object Base, line 30.
// EXPECT: calls.gs(31) : function Nothing not declared in class Base or derivative, line 31.
// EXPECT: calls.gs(32) : function Nothing not declared, line 32.
// EXPECT: calls.gs(37) : function call Take is ambiguous, line 37.
// EXPECT: calls.gs(39) : Error in expression, line 39.
// EXPECT: calls.gs(40) : Internal compiler error.
// EXPECT: calls.gs(41) : function Hello not declared, line 41.
