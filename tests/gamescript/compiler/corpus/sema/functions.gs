// Function declarations: specifiers, types, overriding and prototypes.
class Base
{
  final void Locked();
  void Open();
};

class A isclass Base
{
  static void S();
  native thread void NT();
  Missing M();
  void P(int a, Missing b);
  void Locked();
  void Open();
  int Twice(int a) { return a; }
  int Twice(int b) { return b; }
  int Proto(int a);
  float Proto(int a) { return 1.0; }
  public void Spec();
  void Spec() { }
  thread int T();
  void Pair(int a, float a) { }
  native void N();
};
// EXPECT: functions.gs(10) : Function has illegal declaration specifiers, line 10.
// EXPECT: functions.gs(11) : Function has illegal declaration specifiers, line 11.
// EXPECT: functions.gs(12) : object<Missing> not declared, line 12.
// EXPECT: functions.gs(13) : object<Missing> not declared, line 13.
// EXPECT: functions.gs(14) : Cannot override final function, line 14.
// EXPECT: functions.gs(17) : Function Twice already declared, line 17.
// EXPECT: functions.gs(19) : Function differs only by return type, line 19.
// EXPECT: functions.gs(21) : Function specifiers differ from prototype, line 21.
// EXPECT: functions.gs(22) : thread function must return void, line 22.
// EXPECT: functions.gs(23) : Variable a already declared in this scope, line 23.
