class A {
 public int v;
 public void F(int n) {
  switch (n) { case 5: v = 1; default: v = 2; }
  switch (n) { case 2: case 2: break; default: break; }
 }
};
// Two cases with one value: the switch cannot be built.
// result: 1
// expect: duplicate_case.gs(5) : case has duplicate value, line 5
// expect: \nInternal Code Generation Error...
