class A
{
  string s = "one
two";
  int = 3;
};
// EXPECT: bad_line_after_multiline_string.gs(5) : parse error, line 5
