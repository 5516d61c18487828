// Code is generated only for a file that passes every check: a generation
// error of an early class is not reported when a later class fails a check.
// result: 1
// expect: generate_then_check_error.gs(13) : object<Missing> not declared, line 13.
// expect: .. while compiling 'generate_then_check_error.gs'
class A {
 public void F(void) {
  goto nowhere;
 }
};
class B { int y; };
class C {
 Missing m;
};
