// Only ".gs" and ".gse" files are sources: another extension cannot be read.
// result: 1
// expect: Could not read file include_error.inc : not found in '$DIR'.
// expect: .. while compiling 'include_error.inc'
// expect: .. while compiling 'include_error.gs'
include "include_error.inc"
class M { };
