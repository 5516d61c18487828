// A file that does not parse reports only why, even when a class before the
// syntax error fails its checks.
// result: 1
// expect: check_then_parse_error.gs(12) : parse error, line 12
// expect: .. while compiling 'check_then_parse_error.gs'
class A {
 Missing m;
};
class B {
 public int F(void) { return 1; }
};
class C { int x = ; };
