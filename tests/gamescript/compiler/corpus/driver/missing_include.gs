// result: 1
// A missing include is named as written, with the folders searched.
// expect: Could not read file NOT_THERE.gs : not found in '$DIR'.
// expect: .. while compiling 'NOT_THERE.gs'
// expect: .. while compiling 'missing_include.gs'
include "NOT_THERE.gs"
class M { };
