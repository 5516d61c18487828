// An include that fails is not reported when its includer does not parse.
// result: 1
// expect: include_error_then_parse_error.gs(7) : parse error, line 7
// expect: .. while compiling 'include_error_then_parse_error.gs'
include "include_error.inc"
class M { };
class N { int };
