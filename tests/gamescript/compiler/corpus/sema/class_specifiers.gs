// A class with a specifier classes cannot have stops the checks of the file.
class A { };
public class B { };
class C { void f() { undeclared = 1; } };
// EXPECT: class_specifiers.gs(3) : Class has illegal declaration specifiers, line 3.
