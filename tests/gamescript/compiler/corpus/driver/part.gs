// result: 1
// expect: part.gs(4) : parse error, line 4
// expect: .. while compiling 'part.gs'
class { };
