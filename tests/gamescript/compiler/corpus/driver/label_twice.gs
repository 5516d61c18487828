class A {
 public void F(void) {
  here: ;
  here: ;
 }
};
// result: 1
// expect: label_twice.gs(4) : label here already defined, line 4.
// expect: \nInternal Code Generation Error...
