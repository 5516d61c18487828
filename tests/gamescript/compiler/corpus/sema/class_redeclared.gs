// A second class of the same name stops the checks of the file.
class A { };
class A { };
class C { void f() { undeclared = 1; } };
// EXPECT: class_redeclared.gs(3) : Class A has already been declared, line 3.
