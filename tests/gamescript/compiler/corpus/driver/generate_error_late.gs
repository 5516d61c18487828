// A generation error in a late class: every class before it is checked and
// generated, and only its error is reported.
// result: 1
// expect: generate_error_late.gs(13) : no matching label, line 13
// expect: \nInternal Code Generation Error...
class A { public int F(void) { return 1; } };
class B isclass A {
 public int G(void) { return F() + 1; }
};
class C {
 public void H(void) {
  int i = 0;
  goto nowhere;
 }
};
