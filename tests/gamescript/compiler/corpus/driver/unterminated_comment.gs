// An unclosed block comment ends the input normally.
// result: 0
// (compiles to a library)
class C { };
/* never closed
class D { };
