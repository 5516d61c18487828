class A {
 public void F(void) {
  goto nowhere;
 }
};
// result: 1
// expect: missing_label.gs(3) : no matching label, line 3
// expect: \nInternal Code Generation Error...
