// result: 1
// expect: Could not read file (null) : not_there.gs.
// expect: .. while compiling 'not_there.gs'
// expect: .. while compiling 'missing_include.gs'
include "NOT_THERE.gs"
class M { };
