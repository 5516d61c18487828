// Only includes and no class is a syntax error at the end of the file (the line after the last newline).
// result: 1
// expect: only_includes.gs(6) : parse error, line 6
// expect: .. while compiling 'only_includes.gs'
include "part.gs"
