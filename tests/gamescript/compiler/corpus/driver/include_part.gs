// An include with a parse error: its own line, then the chain.
// result: 1
// expect: part.gs(4) : parse error, line 4
// expect: .. while compiling 'part.gs'
// expect: .. while compiling 'include_part.gs'
include "part.gs"
class M { };
