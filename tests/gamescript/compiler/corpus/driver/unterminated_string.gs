// An unterminated string: its quote is an unknown character.
// result: 1
// expect: unterminated_string.gs(5) : parse error, line 5
// expect: .. while compiling 'unterminated_string.gs'
class S { string s = "abc
  no end;
};
