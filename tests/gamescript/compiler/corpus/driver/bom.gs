// result: 1
// expect: 'bom.gs' appears to be UTF-8 encoded, please resave as ANSI.
// expect: .. while compiling 'bom.gs'
class Bom { };
