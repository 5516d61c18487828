// An unclosed block comment ends the input normally.
// result: 0
// expect: Library '$DIR/unterminated_comment.gsl' not written: code generation is not available yet.
class C { };
/* never closed
class D { };
