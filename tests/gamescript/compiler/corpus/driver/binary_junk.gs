// result: 1
// expect: binary_junk.gs(4) : parse error, line 4
// expect: .. while compiling 'binary_junk.gs'
þÿ€ class
