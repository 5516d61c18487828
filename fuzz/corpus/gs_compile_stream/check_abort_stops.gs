// A class declared twice stops the checks: nothing after it is checked.
// result: 2
// expect: check_abort_stops.gs(7) : object<Missing> not declared, line 7.
// expect: check_abort_stops.gs(8) : Class A has already been declared, line 8.
// expect: .. while compiling 'check_abort_stops.gs'
class A { };
class B { Missing m; };
class A { };
class C { Unknown u; };
